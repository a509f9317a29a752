#include <cstdio>
#include <cstring>
#include <string>

#include "naming/netaddr.h"
#include "naming/netaddr_common.h"

namespace tarnix {
namespace {

constexpr int kLen = 6;

void format(const std::uint8_t* b, char* buffer) {
  std::snprintf(buffer, kAddressTextSize, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3],
                b[4], b[5]);
}

bool is_separator(char c) { return c != '\0' && std::strchr(".-: \t\n", c) != nullptr; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Fields split at any of ".-: \t\n" (runs of separators make no empty
// field); each of the first six is read as hex and its low 8 bits kept. A
// field that is not hex reads as 0; fewer than six fields clear the address.
void parse(std::uint8_t* bytes, const char* t) {
  std::uint8_t out[kLen] = {};
  int fields = 0;
  const char* p = t;
  while (*p != '\0' && fields < kLen) {
    while (is_separator(*p)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !is_separator(*p)) ++p;
    const char* q = start;
    if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X') && q + 2 < p && hex_digit(q[2]) >= 0) q += 2;
    std::uint32_t value = 0;
    for (; q < p && hex_digit(*q) >= 0; ++q) value = (value << 4) | static_cast<std::uint32_t>(hex_digit(*q));
    out[fields++] = static_cast<std::uint8_t>(value & 0xFF);
  }
  if (fields < kLen) {
    std::memset(bytes, 0, kLen);
    return;
  }
  std::memcpy(bytes, out, kLen);
}

}  // namespace

constinit const AddressType kEtherAddressType = netaddr_detail::address_type<kLen, format, parse>(kAddrEther);

}  // namespace tarnix
