// Crafts a capture in which two (or more) stations claim one IPv4 address,
// for the duplicate-address checks of the headless program and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnix::testing_support {

using Mac = std::array<std::uint8_t, 6>;
using Ipv4 = std::array<std::uint8_t, 4>;

struct CraftedFrame {
  std::int64_t sec;
  std::int32_t usec;
  std::vector<std::uint8_t> bytes;
};

// Ethernet + IPv4 (20-byte header, valid checksum) + UDP frame of 60 bytes.
std::vector<std::uint8_t> craft_udp_frame(const Mac& dst_mac, const Mac& src_mac, const Ipv4& src_ip,
                                          const Ipv4& dst_ip, std::uint16_t src_port, std::uint16_t dst_port);

// The scenario: 10.0.0.5 is used by station A (02:00:00:00:00:0a), later by
// B (…:0b) and, with more stations, by …:0c and on; a gateway 10.0.0.1
// (…:01) answers A, and 10.0.0.7 (…:07) talks normally throughout. The
// duplicate to expect is 10.0.0.5 with B, A, then C… in that order.
constexpr Ipv4 kClaimedAddress = {10, 0, 0, 5};
std::vector<CraftedFrame> dupip_scenario(int stations);
std::vector<std::string> dupip_expected_ethers(int stations);

// Writes frames as a pcap file (Ethernet link type); empty string on
// success, else the error text.
std::string write_pcap(const std::string& path, const std::vector<CraftedFrame>& frames);

}  // namespace tarnix::testing_support
