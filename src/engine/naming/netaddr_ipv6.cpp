#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "naming/netaddr.h"
#include "naming/netaddr_common.h"

namespace tarnix {
namespace {

constexpr int kLen = 16;
static_assert(kAddressTextSize >= INET6_ADDRSTRLEN, "an IPv6 text form must fit the address text buffer");

// The system's own formatter writes the RFC 5952 form (lower case, the
// longest run of zero groups as "::", IPv4-mapped tails dotted).
void format(const std::uint8_t* b, char* buffer) {
  if (inet_ntop(AF_INET6, b, buffer, kAddressTextSize) == nullptr) buffer[0] = '\0';
}

// Text that is not an IPv6 address leaves the address all zero (::), as an
// unreadable IPv4 text leaves 0.0.0.0.
void parse(std::uint8_t* bytes, const char* t) {
  if (inet_pton(AF_INET6, t, bytes) != 1) std::memset(bytes, 0, kLen);
}

}  // namespace

constinit const AddressType kIpv6AddressType = netaddr_detail::address_type<kLen, format, parse>(kAddrIpv6);

}  // namespace tarnix
