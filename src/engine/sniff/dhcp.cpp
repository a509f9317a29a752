#include "sniff/dhcp.h"

#include <cstring>

#include "sniff/dns.h"

namespace tarnix {

namespace {

constexpr std::size_t kOptionsAt = 240;  // after the fixed fields and the magic cookie
constexpr std::uint8_t kCookie[4] = {99, 130, 83, 99};

}  // namespace

bool dhcp_parse(const std::uint8_t* m, std::size_t len, DhcpNaming& out) {
  out = {};
  if (m == nullptr || len < kOptionsAt) return false;
  if ((m[0] != 1 && m[0] != 2) || m[1] != 1 || m[2] != 6) return false;  // Ethernet only
  if (std::memcmp(m + 236, kCookie, 4) != 0) return false;
  out.from_client = m[0] == 1;
  std::memcpy(out.client.data(), m + 28, 6);
  std::array<std::uint8_t, 4> ciaddr, yiaddr;
  std::memcpy(ciaddr.data(), m + 12, 4);
  std::memcpy(yiaddr.data(), m + 16, 4);
  std::string fqdn;
  std::size_t pos = kOptionsAt;
  while (pos < len) {
    const std::uint8_t code = m[pos];
    if (code == 0) {  // pad
      ++pos;
      continue;
    }
    if (code == 255) break;  // a message cut short after whole options still says what it said
    if (pos + 2 > len) return false;
    const std::size_t n = m[pos + 1];
    const std::uint8_t* v = m + pos + 2;
    if (pos + 2 + n > len) return false;
    if (code == 53 && n == 1) out.message_type = v[0];
    if (code == 12 && n > 0) out.host_name.assign(reinterpret_cast<const char*>(v), n);
    if (code == 81 && n > 3) {
      // Flags, two obsolete rcodes, then the name: wire format when the E
      // bit is set, else ASCII.
      if ((v[0] & 0x04) != 0) {
        std::size_t next = 0;
        if (!dns_read_name(v + 3, n - 3, 0, fqdn, next)) fqdn.clear();
      } else {
        fqdn.assign(reinterpret_cast<const char*>(v + 3), n - 3);
      }
    }
    pos += 2 + n;
  }
  if (out.host_name.empty()) out.host_name = fqdn;
  // Trailing zero bytes some clients count into the option.
  while (!out.host_name.empty() && out.host_name.back() == '\0') out.host_name.pop_back();
  out.address = out.message_type == 5 ? yiaddr : ciaddr;
  return out.message_type != 0;
}

}  // namespace tarnix
