#include "sniff/dhcp.h"

#include <cstring>

#include "sniff/dns.h"

namespace tarnix {

namespace {

constexpr std::size_t kOptionsAt = 240;  // after the fixed fields and the magic cookie
// The server name and boot file fields, which option 52 may fill with
// options instead.
constexpr std::size_t kSnameAt = 44, kSnameSize = 64;
constexpr std::size_t kFileAt = 108, kFileSize = 128;
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
  bool fqdn_bad = false;
  int overload = 0;
  // One run of options in [from, to). An option that appears more than once
  // is the concatenation of its pieces, in the order read (long options).
  auto read = [&](std::size_t from, std::size_t to, bool main) {
    std::size_t pos = from;
    while (pos < to) {
      const std::uint8_t code = m[pos];
      if (code == 0) {  // pad
        ++pos;
        continue;
      }
      if (code == 255) break;  // a message cut short after whole options still says what it said
      if (pos + 2 > to) return false;
      const std::size_t n = m[pos + 1];
      const std::uint8_t* v = m + pos + 2;
      if (pos + 2 + n > to) return false;
      if (code == 53 && n == 1) out.message_type = v[0];
      // Only the options field may lend out the other two, so each field
      // is read once at most.
      if (code == 52 && n == 1 && main) overload = v[0];
      if (code == 12) out.host_name.append(reinterpret_cast<const char*>(v), n);
      if (code == 81) fqdn.append(reinterpret_cast<const char*>(v), n);
      pos += 2 + n;
    }
    return true;
  };
  bool ok = read(kOptionsAt, len, true);
  // Overloaded fields: the file field's options come before the server
  // name field's.
  if (ok && (overload == 1 || overload == 3)) ok = read(kFileAt, kFileAt + kFileSize, false);
  if (ok && (overload == 2 || overload == 3)) ok = read(kSnameAt, kSnameAt + kSnameSize, false);
  if (fqdn.size() > 3) {
    // Flags, two obsolete rcodes, then the name: wire format when the E bit
    // is set, else ASCII.
    const auto* v = reinterpret_cast<const std::uint8_t*>(fqdn.data());
    std::string name;
    if ((v[0] & 0x04) != 0) {
      std::size_t next = 0;
      fqdn_bad = !dns_read_name(v + 3, fqdn.size() - 3, 0, name, next);
    } else {
      name = fqdn.substr(3);
    }
    fqdn = fqdn_bad ? std::string() : name;
  } else {
    fqdn.clear();
  }
  // Pieces may add up to more than any name: that is no name.
  constexpr std::size_t kNameMax = 255;
  if (out.host_name.size() > kNameMax) out.host_name.clear();
  if (fqdn.size() > kNameMax) fqdn.clear();
  if (out.host_name.empty()) out.host_name = fqdn;
  // Trailing zero bytes some clients count into the option.
  while (!out.host_name.empty() && out.host_name.back() == '\0') out.host_name.pop_back();
  out.address = out.message_type == 5 ? yiaddr : ciaddr;
  return ok && out.message_type != 0;
}

}  // namespace tarnix
