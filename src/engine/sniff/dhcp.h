// Host names in DHCP messages: what a client calls itself (option 12, or
// the client FQDN of option 81) and, once the server acknowledges, the
// address it leased.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnix {

struct DhcpNaming {
  int message_type = 0;                   // option 53: 1 discover, 3 request, 5 ack, 8 inform, ...
  bool from_client = false;               // BOOTREQUEST
  std::array<std::uint8_t, 6> client{};   // chaddr (Ethernet)
  std::array<std::uint8_t, 4> address{};  // yiaddr of an ACK, else ciaddr; zero when none
  std::string host_name;                  // option 12, else option 81's name; empty when neither
};

// Reads a DHCP message (the UDP payload). False when it is not a DHCP
// message over Ethernet or its options are malformed. Never reads outside
// [message, message + length).
bool dhcp_parse(const std::uint8_t* message, std::size_t length, DhcpNaming& out);

}  // namespace tarnix
