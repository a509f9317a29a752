// A URL's identity as the store keys it, in a form that outlives the request
// or the row it was taken from: what the URL alarms compare.
#pragma once

#include <cstdint>
#include <string>

namespace tarnix {

struct UrlSite {
  std::int32_t url_id = 0;
  std::int32_t host_id = 0;  // the server host (through a proxy, the URL's host)
  int scheme = 0;
  std::uint16_t port = 0;  // 0: the scheme's own
  std::string path;        // as stored: "/" for none, cut to the column
  std::string vhost;       // the site the client named, lower case; empty: none
  std::string text;        // as the lists show it; empty when not read from the store
};

}  // namespace tarnix
