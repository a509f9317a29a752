#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "naming/netaddr.h"
#include "naming/netaddr_common.h"

namespace tarnix {
namespace {

constexpr int kLen = 4;

void format(const std::uint8_t* b, char* buffer) {
  std::snprintf(buffer, kAddressTextSize, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// One "%d" conversion: optional blanks, optional sign, digits. Keeps the
// low 8 bits of the number as written (arithmetic wraps mod 2^32, which
// leaves the low bits exact, so over-long numbers cannot overflow).
bool read_number(const char*& p, std::uint8_t& out) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  std::uint32_t v = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) v = v * 10u + static_cast<std::uint32_t>(*p++ - '0');
  if (negative) v = 0u - v;
  out = static_cast<std::uint8_t>(v & 0xFF);
  return true;
}

// Like "%d.%d.%d.%d": the address is cleared first, so numbers that are
// missing leave their bytes 0.
void parse(std::uint8_t* bytes, const char* t) {
  std::memset(bytes, 0, kLen);
  const char* p = t;
  for (int i = 0; i < kLen; ++i) {
    if (i > 0) {
      if (*p != '.') return;
      ++p;
    }
    if (!read_number(p, bytes[i])) return;
  }
}

}  // namespace

constinit const AddressType kIpv4AddressType = netaddr_detail::address_type<kLen, format, parse>(kAddrIpv4);

}  // namespace tarnix
