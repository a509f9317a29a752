// JSON text for documents that carry what came off the wire (URLs, host
// names, Host values, TLS server names): whatever the bytes, the result is
// one valid JSON string that a log shipper or a terminal takes as data.
#pragma once

#include <string>
#include <string_view>

namespace tarnix::service {

// A quoted JSON string. Quotes, backslashes and control characters (C0, DEL
// and the C1 range) are escaped; malformed UTF-8 becomes U+FFFD byte by
// byte, so the output is always valid UTF-8.
std::string json_quote(std::string_view raw);

// Appends "key":value pairs; `value` is already JSON.
void json_field(std::string& out, std::string_view key, std::string_view value);

}  // namespace tarnix::service
