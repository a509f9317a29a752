// The system resolver behind the host-name cache. The reentrant hostent
// calls are used rather than getnameinfo/getaddrinfo because the cache keeps
// a host's aliases and full address list.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "naming/host_cache.h"

namespace tarnix {

namespace {

// Large enough for any sane reply; a reply that does not fit is treated as
// no answer rather than growing without bound.
constexpr std::size_t kFirstBuffer = 1024;
constexpr std::size_t kLargestBuffer = 64 * 1024;

HostRecord to_record(const hostent& he) {
  HostRecord r;
  if (he.h_name != nullptr) r.name = he.h_name;
  for (char** a = he.h_aliases; a != nullptr && *a != nullptr; ++a) r.aliases.emplace_back(*a);
  r.addrtype = static_cast<std::int16_t>(he.h_addrtype);
  r.length = static_cast<std::int16_t>(he.h_length);
  if (he.h_addrtype == AF_INET && he.h_length == 4) {
    for (char** a = he.h_addr_list; a != nullptr && *a != nullptr; ++a) {
      std::array<std::uint8_t, 4> bytes{};
      std::memcpy(bytes.data(), *a, 4);
      r.addresses.push_back(bytes);
    }
  }
  return r;
}

template <class Call>
std::optional<HostRecord> ask(Call&& call) {
  std::vector<char> buffer(kFirstBuffer);
  for (;;) {
    hostent he{};
    hostent* result = nullptr;
    int herr = 0;
    int rc = call(&he, buffer.data(), buffer.size(), &result, &herr);
    if (rc == ERANGE && buffer.size() < kLargestBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return std::nullopt;
    return to_record(*result);
  }
}

}  // namespace

NameService& system_name_service() {
  // Never destroyed: look-ups left behind at a stop may still be in it when
  // the program exits.
  static SystemNameService* const service = new SystemNameService;
  return *service;
}

std::optional<HostRecord> SystemNameService::by_address(const std::uint8_t ipv4[4]) {
  return ask([&](hostent* he, char* buf, std::size_t len, hostent** result, int* herr) {
    return gethostbyaddr_r(ipv4, 4, AF_INET, he, buf, len, result, herr);
  });
}

std::optional<HostRecord> SystemNameService::by_ipv6_address(const std::uint8_t ipv6[16]) {
  return ask([&](hostent* he, char* buf, std::size_t len, hostent** result, int* herr) {
    return gethostbyaddr_r(ipv6, 16, AF_INET6, he, buf, len, result, herr);
  });
}

std::optional<HostRecord> SystemNameService::by_name(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) return std::nullopt;
  return ask([&](hostent* he, char* buf, std::size_t len, hostent** result, int* herr) {
    return gethostbyname_r(name.c_str(), he, buf, len, result, herr);
  });
}

}  // namespace tarnix
