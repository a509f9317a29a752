// Who may ask the sensor's service port: where it listens, and the bearer
// token every request carries once it listens beyond this computer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnix::service {

struct ListenAddress {
  std::string host = "127.0.0.1";  // dotted IPv4
  std::uint16_t port = 0;
  bool loopback() const;
};

// "[ADDR:]PORT": ADDR a dotted IPv4 address (default 127.0.0.1), PORT 1 to
// 65535. False with a message in error otherwise.
bool parse_listen(std::string_view text, ListenAddress& out, std::string& error);

// The token of a token file: its first line without surrounding white space.
// False, with the reason, when the file cannot be read, is empty or is
// readable by others than its owner and group.
bool read_token_file(const std::string& path, std::string& token, std::string& error);

// The value of "Authorization: Bearer TOKEN" as given, or empty when the
// header is missing or names another scheme.
std::string_view bearer_token(std::string_view authorization);

// Compares in time that depends on the expected token's length only, so the
// answer's timing tells a client nothing about how much of a guess was right.
bool token_matches(std::string_view expected, std::string_view given);

}  // namespace tarnix::service
