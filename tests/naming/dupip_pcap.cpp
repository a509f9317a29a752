#include "dupip_pcap.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>

namespace tarnix::testing_support {

namespace {

constexpr std::size_t kFrameLength = 60;  // the Ethernet minimum without the check sequence

Mac station_mac(std::uint8_t last) {
  return {0x02, 0, 0, 0, 0, last};
}

void put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint16_t v) {
  f[at] = static_cast<std::uint8_t>(v >> 8);
  f[at + 1] = static_cast<std::uint8_t>(v & 0xFF);
}

std::uint16_t ones_complement_sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2 != 0) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace

std::vector<std::uint8_t> craft_udp_frame(const Mac& dst_mac, const Mac& src_mac, const Ipv4& src_ip,
                                          const Ipv4& dst_ip, std::uint16_t src_port,
                                          std::uint16_t dst_port) {
  std::vector<std::uint8_t> f(kFrameLength, 0);
  std::copy(dst_mac.begin(), dst_mac.end(), f.begin());
  std::copy(src_mac.begin(), src_mac.end(), f.begin() + 6);
  put16(f, 12, 0x0800);
  const std::size_t ip = 14, udp = 34;
  const std::uint16_t udp_length = static_cast<std::uint16_t>(kFrameLength - udp);
  f[ip] = 0x45;
  put16(f, ip + 2, static_cast<std::uint16_t>(20 + udp_length));
  f[ip + 8] = 64;  // time to live
  f[ip + 9] = 17;  // UDP
  std::copy(src_ip.begin(), src_ip.end(), f.begin() + ip + 12);
  std::copy(dst_ip.begin(), dst_ip.end(), f.begin() + ip + 16);
  put16(f, ip + 10, ones_complement_sum(&f[ip], 20));
  put16(f, udp, src_port);
  put16(f, udp + 2, dst_port);
  put16(f, udp + 4, udp_length);
  const char text[] = "tarnix";
  std::copy(text, text + sizeof text - 1, f.begin() + udp + 8);
  // UDP checksum over the pseudo-header and the datagram.
  std::vector<std::uint8_t> pseudo(12 + udp_length, 0);
  std::copy(src_ip.begin(), src_ip.end(), pseudo.begin());
  std::copy(dst_ip.begin(), dst_ip.end(), pseudo.begin() + 4);
  pseudo[9] = 17;
  pseudo[10] = static_cast<std::uint8_t>(udp_length >> 8);
  pseudo[11] = static_cast<std::uint8_t>(udp_length & 0xFF);
  std::copy(f.begin() + udp, f.end(), pseudo.begin() + 12);
  std::uint16_t sum = ones_complement_sum(pseudo.data(), pseudo.size());
  put16(f, udp + 6, sum == 0 ? 0xFFFF : sum);
  return f;
}

std::vector<CraftedFrame> dupip_scenario(int stations) {
  if (stations < 2) stations = 2;
  if (stations > 16) stations = 16;
  const Ipv4 gw_ip{10, 0, 0, 1}, quiet_ip{10, 0, 0, 7};
  const Mac gw = station_mac(0x01), quiet = station_mac(0x07), a = station_mac(0x0a);
  std::vector<CraftedFrame> frames;
  auto add = [&](std::int64_t sec, std::int32_t usec, const Mac& dst, const Mac& src, const Ipv4& sip,
                 const Ipv4& dip) {
    frames.push_back({sec, usec, craft_udp_frame(dst, src, sip, dip, 40000, 9)});
  };
  const std::int64_t t0 = 1700000000;
  add(t0 + 1, 0, gw, a, kClaimedAddress, gw_ip);       // A makes the host, recorded with A
  add(t0 + 1, 100000, a, gw, gw_ip, kClaimedAddress);  // the reply: no comparison for a destination
  add(t0 + 1, 200000, gw, quiet, quiet_ip, gw_ip);
  for (int k = 1; k < stations; ++k) {  // B, C, …: each one a new Ethernet address for 10.0.0.5
    add(t0 + 1 + k, 0, gw, station_mac(static_cast<std::uint8_t>(0x0a + k)), kClaimedAddress, gw_ip);
    add(t0 + 1 + k, 300000, gw, quiet, quiet_ip, gw_ip);
  }
  add(t0 + 1 + stations, 0, gw, a, kClaimedAddress, gw_ip);  // A again: already listed
  add(t0 + 1 + stations, 500000, gw, quiet, quiet_ip, gw_ip);
  return frames;
}

std::vector<std::string> dupip_expected_ethers(int stations) {
  if (stations < 2) stations = 2;
  if (stations > 16) stations = 16;
  std::vector<std::string> out;
  char text[18];
  auto name = [&](int last) {
    std::snprintf(text, sizeof text, "02:00:00:00:00:%02x", last);
    return std::string(text);
  };
  out.push_back(name(0x0b));  // the new address first,
  out.push_back(name(0x0a));  // then the one recorded for the host
  for (int k = 2; k < stations; ++k) out.push_back(name(0x0a + k));
  return out;
}

std::string write_pcap(const std::string& path, const std::vector<CraftedFrame>& frames) {
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  if (dead == nullptr) return "pcap_open_dead failed";
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  if (dumper == nullptr) {
    std::string error = pcap_geterr(dead);
    pcap_close(dead);
    return error;
  }
  for (const CraftedFrame& f : frames) {
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(f.sec);
    header.ts.tv_usec = static_cast<suseconds_t>(f.usec);
    header.caplen = header.len = static_cast<bpf_u_int32>(f.bytes.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, f.bytes.data());
  }
  std::string error;
  if (pcap_dump_flush(dumper) != 0) error = "could not write " + path;
  pcap_dump_close(dumper);
  pcap_close(dead);
  return error;
}

}  // namespace tarnix::testing_support
