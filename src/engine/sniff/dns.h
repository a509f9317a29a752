// Names carried by DNS messages (unicast DNS, mDNS, LLMNR): which address
// each answer names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnix {

struct DnsAddressName {
  int family = 4;  // 4 or 6
  std::array<std::uint8_t, 16> address{};
  // For an A or AAAA answer the name the client asked for (the start of a
  // CNAME chain that leads to the record); for a PTR answer the name the
  // pointer gives.
  std::string name;
  bool from_pointer = false;
  bool via_cname = false;  // an address answer reached through a CNAME chain
};

struct DnsMessage {
  bool response = false;
  std::uint16_t id = 0;
  std::vector<DnsAddressName> names;
};

// Bounds that keep a hostile message cheap: records read per message, CNAME
// links followed, compression pointers followed per name.
inline constexpr int kDnsMaxRecords = 256;
inline constexpr int kDnsMaxCnames = 32;
inline constexpr int kDnsMaxChain = 8;
inline constexpr int kDnsMaxJumps = 32;

// Reads one DNS message (no TCP length prefix). False when the message is
// malformed; whatever was read before the fault is kept in `out`. Never
// reads outside [message, message + length).
bool dns_parse(const std::uint8_t* message, std::size_t length, DnsMessage& out);

// Reads the (possibly compressed) name at `offset`: labels joined by '.',
// without the root's dot. `next` is the offset after the name where it is
// written. Compression pointers must point before every place already read
// for this name, so a name can neither loop nor run on forever.
bool dns_read_name(const std::uint8_t* message, std::size_t length, std::size_t offset, std::string& name,
                   std::size_t& next);

// The address a reverse-zone name stands for: "4.3.2.1.in-addr.arpa" or the
// 32 nibbles of ip6.arpa. False for any other name.
bool dns_reverse_address(const std::string& name, DnsAddressName& out);

}  // namespace tarnix
