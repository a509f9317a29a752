// Helpers shared by the protocol tests: frames built byte by byte, captures
// read with libpcap, and the path of a classification as names.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "pdl/protocol_tree.h"

namespace tarnix::pdltest {

inline std::string source_path(const std::string& relative) {
  return std::string(TARNIX_SOURCE_DIR) + "/" + relative;
}

// Names on a path joined with "/", e.g. "ROOT/ETHERNET/IP/TCP/HTTP".
inline std::string path_names(const ProtocolPath& path) {
  std::string out;
  for (const protocol_node* n : path) {
    if (n == nullptr) break;
    if (!out.empty()) out += '/';
    out += n->name;
  }
  return out;
}

inline std::string classify_names(const ProtocolTree& tree, const std::vector<std::uint8_t>& frame) {
  ProtocolPath path;
  protocol_classify(&tree, frame.data(), frame.size(), frame.size(), path);
  return path_names(path);
}

inline const protocol_node* leaf(const ProtocolPath& path) {
  const protocol_node* last = nullptr;
  for (const protocol_node* n : path) {
    if (n == nullptr) break;
    last = n;
  }
  return last;
}

// Ethernet II + 20-byte IPv4 + a transport header with the given ports
// (TCP: 20 bytes, UDP: 8 bytes) and a few payload bytes.
inline std::vector<std::uint8_t> ipv4_frame(std::uint8_t ip_protocol, std::uint16_t src_port,
                                             std::uint16_t dst_port, std::size_t payload = 16) {
  std::size_t transport = ip_protocol == 6 ? 20 : 8;
  std::vector<std::uint8_t> f(14 + 20 + transport + payload, 0);
  const std::uint8_t macs[12] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
  for (int i = 0; i < 12; ++i) f[i] = macs[i];
  f[12] = 0x08;
  f[13] = 0x00;
  f[14] = 0x45;
  std::size_t ip_len = f.size() - 14;
  f[16] = static_cast<std::uint8_t>(ip_len >> 8);
  f[17] = static_cast<std::uint8_t>(ip_len);
  f[22] = 64;
  f[23] = ip_protocol;
  f[26] = 192, f[27] = 168, f[28] = 1, f[29] = 10;
  f[30] = 192, f[31] = 168, f[32] = 1, f[33] = 20;
  f[34] = static_cast<std::uint8_t>(src_port >> 8);
  f[35] = static_cast<std::uint8_t>(src_port);
  f[36] = static_cast<std::uint8_t>(dst_port >> 8);
  f[37] = static_cast<std::uint8_t>(dst_port);
  if (ip_protocol == 6) f[46] = 0x50;  // data offset: 5 words
  return f;
}

struct CapturedFrame {
  std::vector<std::uint8_t> bytes;  // the captured bytes only
  std::uint32_t wire_length;
};

// Every frame of a capture file; an empty list (and a test failure) when the
// file cannot be read or is not Ethernet.
inline std::vector<CapturedFrame> read_capture(const std::string& path, std::string* error) {
  std::vector<CapturedFrame> frames;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
  if (p == nullptr) {
    *error = errbuf;
    return frames;
  }
  if (pcap_datalink(p) != DLT_EN10MB) {
    *error = path + ": not an Ethernet capture";
    pcap_close(p);
    return frames;
  }
  pcap_pkthdr* header;
  const u_char* data;
  while (pcap_next_ex(p, &header, &data) == 1)
    frames.push_back({std::vector<std::uint8_t>(data, data + header->caplen), header->len});
  pcap_close(p);
  return frames;
}

}  // namespace tarnix::pdltest
