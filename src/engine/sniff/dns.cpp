#include "sniff/dns.h"

#include <cstring>
#include <string_view>

namespace tarnix {

namespace {

constexpr std::uint16_t kTypeA = 1, kTypeCname = 5, kTypePtr = 12, kTypeAaaa = 28;
constexpr std::size_t kMaxNameText = 255;

std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && same_name(s.substr(s.size() - suffix.size()), suffix);
}

int hex_value(char c) {
  c = lower(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool dns_read_name(const std::uint8_t* m, std::size_t len, std::size_t offset, std::string& name,
                   std::size_t& next) {
  name.clear();
  std::size_t pos = offset;
  std::size_t lowest = offset;  // every pointer must land before this
  bool jumped = false;
  int jumps = 0;
  for (;;) {
    if (pos >= len) return false;
    const std::uint8_t l = m[pos];
    if ((l & 0xC0) == 0xC0) {
      if (pos + 1 >= len || ++jumps > kDnsMaxJumps) return false;
      const std::size_t target = static_cast<std::size_t>(l & 0x3F) << 8 | m[pos + 1];
      if (target >= lowest) return false;
      if (!jumped) next = pos + 2;
      jumped = true;
      lowest = target;
      pos = target;
      continue;
    }
    if ((l & 0xC0) != 0) return false;  // the extended label types are not names
    if (l == 0) {
      if (!jumped) next = pos + 1;
      return true;
    }
    if (pos + 1 + l > len) return false;
    if (name.size() + l + 1 > kMaxNameText) return false;
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(m + pos + 1), l);
    pos += 1 + l;
  }
}

bool dns_reverse_address(const std::string& name, DnsAddressName& out) {
  std::string_view n = name;
  if (ends_with_nocase(n, ".in-addr.arpa")) {
    n.remove_suffix(13);
    std::uint8_t bytes[4];
    for (int i = 3; i >= 0; --i) {
      const std::size_t dot = n.find('.');
      const std::string_view label = n.substr(0, dot);
      if (label.empty() || label.size() > 3) return false;
      int v = 0;
      for (char c : label) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
      }
      if (v > 255 || (label.size() > 1 && label[0] == '0')) return false;
      bytes[i] = static_cast<std::uint8_t>(v);
      if (i > 0 && dot == std::string_view::npos) return false;
      if (i == 0 && dot != std::string_view::npos) return false;
      if (dot != std::string_view::npos) n.remove_prefix(dot + 1);
    }
    out.family = 4;
    out.address = {};
    std::memcpy(out.address.data(), bytes, 4);
    return true;
  }
  if (ends_with_nocase(n, ".ip6.arpa")) {
    n.remove_suffix(9);
    if (n.size() != 63) return false;  // 32 nibbles and 31 dots
    out.address = {};
    for (int i = 0; i < 32; ++i) {
      const int v = hex_value(n[static_cast<std::size_t>(i) * 2]);
      if (v < 0 || (i < 31 && n[static_cast<std::size_t>(i) * 2 + 1] != '.')) return false;
      // The first nibble written is the last of the address.
      const int nibble = 31 - i;
      out.address[static_cast<std::size_t>(nibble / 2)] |=
          static_cast<std::uint8_t>(nibble % 2 == 0 ? v << 4 : v);
    }
    out.family = 6;
    return true;
  }
  return false;
}

bool dns_parse(const std::uint8_t* m, std::size_t len, DnsMessage& out) {
  out = {};
  if (m == nullptr || len < 12) return false;
  out.id = be16(m);
  out.response = (m[2] & 0x80) != 0;
  const int questions = be16(m + 4);
  const int records = be16(m + 6) + be16(m + 8) + be16(m + 10);
  std::size_t pos = 12;
  std::string name;
  for (int i = 0; i < questions; ++i) {
    if (i >= kDnsMaxRecords || !dns_read_name(m, len, pos, name, pos) || pos + 4 > len) return false;
    pos += 4;
  }
  struct Link {
    std::string owner, target;
  };
  std::vector<Link> cnames;
  struct Pending {
    std::string owner;
    DnsAddressName answer;
  };
  std::vector<Pending> addresses;
  bool ok = true;
  for (int i = 0; i < records && i < kDnsMaxRecords; ++i) {
    std::string owner;
    if (!dns_read_name(m, len, pos, owner, pos) || pos + 10 > len) {
      ok = false;
      break;
    }
    const std::uint16_t type = be16(m + pos);
    const std::size_t rdlength = be16(m + pos + 8);
    const std::size_t rdata = pos + 10;
    if (rdata + rdlength > len) {
      ok = false;
      break;
    }
    pos = rdata + rdlength;
    if ((type == kTypeA && rdlength == 4) || (type == kTypeAaaa && rdlength == 16)) {
      Pending p{std::move(owner), {}};
      p.answer.family = type == kTypeA ? 4 : 6;
      std::memcpy(p.answer.address.data(), m + rdata, rdlength);
      addresses.push_back(std::move(p));
    } else if (type == kTypeCname || type == kTypePtr) {
      std::string target;
      std::size_t after = 0;
      // The target must lie inside the record's own data.
      if (!dns_read_name(m, rdata + rdlength, rdata, target, after)) continue;
      if (type == kTypeCname) {
        if (cnames.size() < static_cast<std::size_t>(kDnsMaxCnames))
          cnames.push_back({std::move(owner), std::move(target)});
      } else {
        DnsAddressName a;
        if (!dns_reverse_address(owner, a)) continue;
        a.name = std::move(target);
        a.from_pointer = true;
        out.names.push_back(std::move(a));
      }
    }
  }
  // An address answer names what was asked: walk its CNAME chain back.
  for (Pending& p : addresses) {
    std::string asked = std::move(p.owner);
    std::vector<const Link*> taken;
    bool loop = false;
    for (int step = 0; step < kDnsMaxChain && !loop; ++step) {
      const Link* from = nullptr;
      for (const Link& l : cnames)
        if (same_name(l.target, asked)) from = &l;
      if (from == nullptr) break;
      // A chain that comes back on itself has no name that was asked.
      for (const Link* t : taken) loop = loop || t == from;
      taken.push_back(from);
      asked = from->owner;
    }
    if (loop) continue;
    p.answer.name = std::move(asked);
    p.answer.via_cname = !taken.empty();
    out.names.push_back(std::move(p.answer));
  }
  return ok;
}

}  // namespace tarnix
