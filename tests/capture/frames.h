// Frames and capture files made in the tests.
#pragma once

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/net.h"

namespace tarnix::testing {

struct FrameSpec {
  std::uint8_t src_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
  std::uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 0x02};
  std::uint16_t ether_type = 0x0800;
  std::uint8_t src_ip[4] = {10, 0, 0, 1};
  std::uint8_t dst_ip[4] = {10, 0, 0, 2};
  std::uint8_t protocol = 17;  // UDP
  std::uint16_t sport = 1000;
  std::uint16_t dport = 2000;
  int ip_options = 0;          // bytes of IP options (multiple of 4)
  std::uint16_t fragment = 0;  // fragment offset field (flags excluded)
  std::size_t payload = 0;
  std::string text;            // payload text (after the transport header)
};

// What a packet source handed over, frame by frame (collect is its FrameFn).
struct Collected {
  std::vector<FrameHeader> headers;
  std::vector<std::vector<std::uint8_t>> frames;
};

inline void collect(void* user, const FrameHeader& h, const std::uint8_t* f) {
  auto* c = static_cast<Collected*>(user);
  c->headers.push_back(h);
  c->frames.emplace_back(f, f + h.caplen);
}

inline std::vector<std::uint8_t> make_frame(const FrameSpec& s) {
  std::vector<std::uint8_t> f;
  f.insert(f.end(), s.dst_mac, s.dst_mac + 6);
  f.insert(f.end(), s.src_mac, s.src_mac + 6);
  f.push_back(static_cast<std::uint8_t>(s.ether_type >> 8));
  f.push_back(static_cast<std::uint8_t>(s.ether_type));
  if (s.ether_type != 0x0800) {
    f.resize(60, 0);
    return f;
  }
  const int ihl = 20 + s.ip_options;
  const std::size_t l4 = s.protocol == 6 ? 20 : 8;
  const std::size_t body = l4 + s.text.size() + s.payload;
  const std::size_t total = static_cast<std::size_t>(ihl) + body;
  std::uint8_t ip[60] = {};
  ip[0] = static_cast<std::uint8_t>(0x40 | (ihl / 4));
  ip[2] = static_cast<std::uint8_t>(total >> 8);
  ip[3] = static_cast<std::uint8_t>(total);
  ip[6] = static_cast<std::uint8_t>(s.fragment >> 8);
  ip[7] = static_cast<std::uint8_t>(s.fragment);
  ip[8] = 64;
  ip[9] = s.protocol;
  for (int i = 0; i < 4; ++i) {
    ip[12 + i] = s.src_ip[i];
    ip[16 + i] = s.dst_ip[i];
  }
  for (int i = 20; i < ihl; ++i) ip[i] = 1;  // NOP options
  f.insert(f.end(), ip, ip + ihl);
  std::uint8_t t[20] = {};
  t[0] = static_cast<std::uint8_t>(s.sport >> 8);
  t[1] = static_cast<std::uint8_t>(s.sport);
  t[2] = static_cast<std::uint8_t>(s.dport >> 8);
  t[3] = static_cast<std::uint8_t>(s.dport);
  if (s.protocol == 6) t[12] = 0x50;
  f.insert(f.end(), t, t + l4);
  f.insert(f.end(), s.text.begin(), s.text.end());
  f.resize(f.size() + s.payload, 0xAB);
  if (f.size() < 60) f.resize(60, 0);
  return f;
}

// An Ethernet frame carrying UDP over IPv6, from the station whose Ethernet
// address ends in `station`.
inline std::vector<std::uint8_t> make_frame6(const char* src, const char* dst, std::size_t payload = 0,
                                             std::uint8_t station = 1) {
  std::vector<std::uint8_t> f = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, station, 0x86, 0xDD, 0x60, 0, 0, 0};
  const std::size_t udp = 8 + payload;
  f.push_back(static_cast<std::uint8_t>(udp >> 8));
  f.push_back(static_cast<std::uint8_t>(udp));
  f.push_back(17);
  f.push_back(64);
  f.resize(54);
  inet_pton(AF_INET6, src, f.data() + 22);
  inet_pton(AF_INET6, dst, f.data() + 38);
  const std::uint8_t ports[8] = {
      0x03, 0xE8, 0x07, 0xD0, static_cast<std::uint8_t>(udp >> 8), static_cast<std::uint8_t>(udp)};
  f.insert(f.end(), ports, ports + 8);
  f.resize(f.size() + payload, 0xAB);
  return f;
}

inline FrameHeader header_at(double seconds, std::uint32_t len, std::uint32_t caplen) {
  FrameHeader h;
  h.time.sec = static_cast<std::int32_t>(seconds);
  h.time.usec = static_cast<std::int32_t>((seconds - h.time.sec) * 1e6 + 0.5);
  if (h.time.usec >= 1000000) {
    h.time.sec += 1;
    h.time.usec -= 1000000;
  }
  h.len = len;
  h.caplen = caplen;
  return h;
}

// Feeds one frame through the capture callback at a capture time given as
// whole seconds plus microseconds.
inline void feed(Net& net, const std::vector<std::uint8_t>& f, std::int32_t sec, std::int32_t usec,
                 std::uint32_t wire_len = 0) {
  FrameHeader h;
  h.time = {sec, usec};
  h.caplen = static_cast<std::uint32_t>(f.size());
  h.len = wire_len ? wire_len : h.caplen;
  netif_callback(net, h, f.data());
}

struct TimedFrame {
  std::int64_t sec;
  std::int32_t usec;
  std::vector<std::uint8_t> bytes;
  std::uint32_t wire_len = 0;  // 0: the frame's size
};

// A classic pcap file through libpcap's own writer.
inline bool write_pcap(const std::string& path, const std::vector<TimedFrame>& frames, int snaplen = 65535,
                       int dlt = DLT_EN10MB) {
  pcap_t* dead = pcap_open_dead(dlt, snaplen);
  pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
  if (d == nullptr) {
    pcap_close(dead);
    return false;
  }
  for (const TimedFrame& f : frames) {
    pcap_pkthdr h{};
    h.ts.tv_sec = f.sec;
    h.ts.tv_usec = f.usec;
    h.caplen = static_cast<bpf_u_int32>(f.bytes.size());
    h.len = f.wire_len ? f.wire_len : h.caplen;
    pcap_dump(reinterpret_cast<u_char*>(d), &h, f.bytes.data());
  }
  pcap_dump_close(d);
  pcap_close(dead);
  return true;
}

// A pcapng file (section header, one Ethernet interface with microsecond
// time stamps, enhanced packet blocks), written by hand: libpcap reads
// pcapng but does not write it.
inline bool write_pcapng(const std::string& path, const std::vector<TimedFrame>& frames) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, out); };
  auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, out); };
  // Section header block.
  u32(0x0A0D0D0A);
  u32(28);
  u32(0x1A2B3C4D);
  u16(1);
  u16(0);
  u32(0xFFFFFFFF);
  u32(0xFFFFFFFF);
  u32(28);
  // Interface description block.
  u32(1);
  u32(20);
  u16(1);  // LINKTYPE_ETHERNET
  u16(0);
  u32(65535);
  u32(20);
  for (const TimedFrame& f : frames) {
    const std::uint32_t cap = static_cast<std::uint32_t>(f.bytes.size());
    const std::uint32_t padded = (cap + 3u) & ~3u;
    const std::uint32_t total = 32 + padded;
    const std::uint64_t ts = static_cast<std::uint64_t>(f.sec) * 1000000u + static_cast<std::uint64_t>(f.usec);
    u32(6);
    u32(total);
    u32(0);
    u32(static_cast<std::uint32_t>(ts >> 32));
    u32(static_cast<std::uint32_t>(ts));
    u32(cap);
    u32(f.wire_len ? f.wire_len : cap);
    std::fwrite(f.bytes.data(), 1, cap, out);
    static const std::uint8_t zeros[4] = {};
    std::fwrite(zeros, 1, padded - cap, out);
    u32(total);
  }
  return std::fclose(out) == 0;
}

// A file name in the test's temporary folder.
inline std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  std::string base = dir && *dir ? dir : "/tmp";
  return base + "/tarnix_capture_test_" + std::to_string(::getpid()) + "_" + name;
}

}  // namespace tarnix::testing
