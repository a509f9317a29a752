#include "service/access.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <charconv>
#include <fstream>

namespace tarnix::service {

bool ListenAddress::loopback() const {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

bool parse_listen(std::string_view text, ListenAddress& out, std::string& error) {
  ListenAddress result;
  std::string_view port = text;
  if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    result.host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
    in_addr a{};
    if (inet_pton(AF_INET, result.host.c_str(), &a) != 1) {
      error = "option --listen: '" + result.host + "' is not a dotted IPv4 address";
      return false;
    }
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) {
    error = "option --listen needs [ADDR:]PORT with a port from 1 to 65535, not '" + std::string(text) + "'";
    return false;
  }
  result.port = static_cast<std::uint16_t>(value);
  out = result;
  return true;
}

bool read_token_file(const std::string& path, std::string& token, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot read the token file " + path;
    return false;
  }
  if ((st.st_mode & S_IROTH) != 0) {
    error = "the token file " + path + " is readable by every user; make it private (chmod 600)";
    return false;
  }
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) line.clear();
  const char* space = " \t\r\n";
  const std::size_t first = line.find_first_not_of(space);
  token = first == std::string::npos ? std::string()
                                     : line.substr(first, line.find_last_not_of(space) - first + 1);
  if (token.empty()) {
    error = "the token file " + path + " holds no token";
    return false;
  }
  return true;
}

std::string_view bearer_token(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer ";
  if (authorization.size() <= kScheme.size()) return {};
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    char c = authorization[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return {};
  }
  std::string_view rest = authorization.substr(kScheme.size());
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  return rest;
}

bool token_matches(std::string_view expected, std::string_view given) {
  if (expected.empty()) return false;
  // Every byte of the expected token is looked at whatever the guess holds;
  // a shorter or longer guess still costs the same.
  unsigned diff = static_cast<unsigned>(expected.size() ^ given.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned char>(expected[i]) ^ g;
  }
  return diff == 0;
}

}  // namespace tarnix::service
