// One captured frame read once: where its link, network and transport
// headers lie, what they say, and how much of each was actually captured.
//
// Everything after the capture callback (the traffic model and its
// conversation keys, the filters, the HTTP and TLS sniffers) reads these
// fields instead of counting bytes into the frame itself, so that a new link
// layer or network kind changes one decoder rather than every reader. The
// protocol tree is the exception: it reads the bytes its own definitions
// name. Every offset here has been checked against the captured length: a
// field is set only when the bytes it comes from were captured.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

// Values of the wire that the decoder and its readers test.
inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
inline constexpr std::uint8_t kIpProtocolTcp = 6;
inline constexpr std::uint8_t kIpProtocolUdp = 17;
inline constexpr std::uint16_t kPortNetbiosName = 137;

inline constexpr std::uint32_t kEtherHeaderLength = 14;
inline constexpr std::uint32_t kIpv4HeaderMin = 20;
inline constexpr std::uint32_t kIpv6HeaderLength = 40;
// IPv6 extension headers stepped over to find the transport header. Real
// traffic carries one or two; a chain longer than this is not followed (the
// frame still counts, without ports).
inline constexpr int kIpv6ExtensionHeadersMax = 8;
inline constexpr std::uint32_t kTcpHeaderMin = 20;
inline constexpr std::uint32_t kUdpHeaderLength = 8;

// What the network layer of a frame is, as far as the decoder reads it.
// kNone: nothing the model counts (another EtherType, a header cut short or
// malformed).
enum class NetworkKind : std::uint8_t { kNone, kIpv4, kIpv6 };

struct FrameView {
  const std::uint8_t* bytes = nullptr;
  std::uint32_t captured = 0;     // bytes readable from `bytes`
  std::uint32_t wire_length = 0;  // what the frame measured on the wire

  // Link layer. The Ethernet addresses are null when the link header has
  // none.
  std::uint32_t link_header = 0;  // bytes before the network header
  std::uint16_t ether_type = 0;
  const std::uint8_t* link_source = nullptr;       // 6 bytes
  const std::uint8_t* link_destination = nullptr;  // 6 bytes

  // Network layer; the rest is set only when `network` is not kNone.
  NetworkKind network = NetworkKind::kNone;
  std::uint8_t address_length = 0;            // bytes of each address below
  const std::uint8_t* source = nullptr;       // network order, in the frame
  const std::uint8_t* destination = nullptr;  // network order, in the frame
  // The transport protocol: for IPv6 the last next-header value read, an
  // extension header's own number when its chain could not be followed.
  std::uint8_t ip_protocol = 0;
  // The IPv4 header, or the IPv6 header with its extension headers.
  std::uint32_t ip_header_length = 0;
  // Offset of the transport header: where the network header says it
  // starts, which may lie at or past the captured end.
  std::uint32_t transport = 0;
  // Only the first fragment of a datagram carries its transport header; a
  // later fragment's transport bytes are the middle of someone's data.
  bool first_fragment = false;

  // Transport layer (TCP and UDP, first fragments only).
  bool has_ports = false;  // both ports were captured
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  // The payload after a whole captured transport header: its offset (0 when
  // there is none to read) and how much of it was captured.
  std::uint32_t payload = 0;
  std::uint32_t payload_length = 0;

  bool is_tcp() const { return network != NetworkKind::kNone && ip_protocol == kIpProtocolTcp; }
  bool is_udp() const { return network != NetworkKind::kNone && ip_protocol == kIpProtocolUdp; }
  // The TCP or UDP header, with the captured bytes from it on (0 when none).
  const std::uint8_t* transport_header() const { return bytes + transport; }
  std::uint32_t transport_captured() const { return captured > transport ? captured - transport : 0; }
  const std::uint8_t* payload_bytes() const { return bytes + payload; }
};

namespace frame_detail {

inline std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// The TCP or UDP ports and payload at v.transport, as far as captured.
[[gnu::always_inline]] inline void decode_transport(FrameView& v) {
  if (!v.first_fragment || (v.ip_protocol != kIpProtocolTcp && v.ip_protocol != kIpProtocolUdp)) return;
  const std::uint32_t t = v.transport;
  if (v.captured < t + 4) return;
  v.has_ports = true;
  v.source_port = be16(v.bytes + t);
  v.destination_port = be16(v.bytes + t + 2);
  std::uint32_t header = kUdpHeaderLength;
  if (v.ip_protocol == kIpProtocolTcp) {
    if (v.captured < t + kTcpHeaderMin) return;
    header = (v.bytes[t + 12] >> 4) * 4u;
    if (header < kTcpHeaderMin) return;
  }
  if (v.captured < t + header) return;
  v.payload = t + header;
  v.payload_length = v.captured - v.payload;
}

// The IPv4 header at v.link_header and what follows it.
[[gnu::always_inline]] inline bool decode_ipv4(FrameView& v) {
  const std::uint32_t at = v.link_header;
  if (v.captured < at + kIpv4HeaderMin) return false;
  const std::uint8_t* ip = v.bytes + at;
  const std::uint32_t ihl = (ip[0] & 0x0Fu) * 4u;
  if (ihl < kIpv4HeaderMin) return false;
  v.network = NetworkKind::kIpv4;
  v.address_length = 4;
  v.source = ip + 12;
  v.destination = ip + 16;
  v.ip_protocol = ip[9];
  v.ip_header_length = ihl;
  v.transport = at + ihl;
  v.first_fragment = (be16(ip + 6) & 0x1FFF) == 0;
  decode_transport(v);
  return true;
}

// The IPv6 header at v.link_header, its extension headers, and what follows
// them. Each step reads only bytes already checked against the captured
// length; a chain cut short ends the walk with what was read so far.
[[gnu::noinline]] inline bool decode_ipv6(FrameView& v) {
  const std::uint32_t at = v.link_header;
  if (v.captured < at + kIpv6HeaderLength) return false;
  const std::uint8_t* ip = v.bytes + at;
  if ((ip[0] >> 4) != 6) return false;
  v.network = NetworkKind::kIpv6;
  v.address_length = 16;
  v.source = ip + 8;
  v.destination = ip + 24;
  v.first_fragment = true;
  std::uint8_t next = ip[6];
  std::uint32_t offset = at + kIpv6HeaderLength;
  bool walking = true;
  for (int step = 0; walking && step < kIpv6ExtensionHeadersMax; ++step) {
    const std::uint8_t* h = v.bytes + offset;
    switch (next) {
      case 0:    // hop-by-hop options
      case 43:   // routing
      case 60:   // destination options
      case 135:  // mobility
      case 139:  // host identity
      case 140:  // shim6
        if (v.captured < offset + 2) {
          walking = false;
          break;
        }
        next = h[0];
        offset += (h[1] + 1u) * 8u;
        break;
      case 51:  // authentication header: its length counts 4-byte words
        if (v.captured < offset + 2) {
          walking = false;
          break;
        }
        next = h[0];
        offset += (h[1] + 2u) * 4u;
        break;
      case 44:  // fragment
        if (v.captured < offset + 8) {
          walking = false;
          break;
        }
        next = h[0];
        // Only the first fragment (offset 0) carries the transport header.
        v.first_fragment = v.first_fragment && (be16(h + 2) & 0xFFF8u) == 0;
        offset += 8;
        break;
      default:
        walking = false;
        break;
    }
  }
  v.ip_protocol = next;
  v.ip_header_length = offset - at;
  v.transport = offset;
  decode_transport(v);
  return true;
}

}  // namespace frame_detail

// Decodes an Ethernet frame of `captured` readable bytes into `v`. True when
// it is an IPv4 or IPv6 frame whose header, with both addresses, was
// captured; the view is then filled as far as the captured bytes go. False
// leaves `network` kNone, with the link fields set when the link header was
// captured.
[[gnu::always_inline]] inline bool frame_decode(const std::uint8_t* frame, std::uint32_t captured,
                                                std::uint32_t wire_length, FrameView& v) {
  v = FrameView{};
  v.bytes = frame;
  v.captured = captured;
  v.wire_length = wire_length;
  if (captured < kEtherHeaderLength) return false;
  v.link_header = kEtherHeaderLength;
  v.link_destination = frame;
  v.link_source = frame + 6;
  v.ether_type = frame_detail::be16(frame + 12);
  if (v.ether_type == kEtherTypeIpv4) [[likely]]
    return frame_detail::decode_ipv4(v);
  if (v.ether_type == kEtherTypeIpv6) return frame_detail::decode_ipv6(v);
  return false;
}

}  // namespace tarnix
