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
// VLAN tags: 802.1Q, 802.1ad (the service tag of a stacked pair) and the
// pre-standard 0x9100 some switches still put outside a customer tag.
inline constexpr std::uint16_t kEtherTypeVlan = 0x8100;
inline constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;
inline constexpr std::uint16_t kEtherTypeQinQOld = 0x9100;
inline constexpr std::uint8_t kIpProtocolTcp = 6;
inline constexpr std::uint8_t kIpProtocolUdp = 17;
inline constexpr std::uint16_t kPortNetbiosName = 137;

inline constexpr std::uint32_t kEtherHeaderLength = 14;
inline constexpr std::uint32_t kVlanTagLength = 4;
// Tags stepped over to the network header: a customer tag, and a service
// tag outside it. A frame with more is not counted.
inline constexpr int kVlanTagsMax = 2;
inline constexpr std::uint32_t kLinuxSllHeaderLength = 16;
inline constexpr std::uint32_t kLinuxSll2HeaderLength = 20;
inline constexpr std::uint32_t kLoopbackHeaderLength = 4;
inline constexpr std::uint32_t kIpv4HeaderMin = 20;
inline constexpr std::uint32_t kIpv6HeaderLength = 40;
// IPv6 extension headers stepped over to find the transport header. Real
// traffic carries one or two; a chain longer than this is not followed (the
// frame still counts, without ports).
inline constexpr int kIpv6ExtensionHeadersMax = 8;
inline constexpr std::uint32_t kTcpHeaderMin = 20;
inline constexpr std::uint32_t kUdpHeaderLength = 8;

// The link layers frames can arrive in. The capture library numbers some of
// them differently from system to system (DLT_RAW, DLT_LOOP); the sources
// map their numbers onto these.
enum class LinkType : std::uint8_t {
  kEthernet,   // DLT_EN10MB
  kLinuxSll,   // DLT_LINUX_SLL: Linux "cooked" frames, as "tcpdump -i any" writes them
  kLinuxSll2,  // DLT_LINUX_SLL2: the same with the interface index
  kRaw,        // DLT_RAW: a bare IPv4 or IPv6 header, told apart by its version
  kIpv4,       // DLT_IPV4
  kIpv6,       // DLT_IPV6
  kNull,       // DLT_NULL: a 4-byte address family in the capturing host's byte order
  kLoop,       // DLT_LOOP: the same in network byte order
  kUnsupported,
};

// What the network layer of a frame is, as far as the decoder reads it.
// kNone: nothing the model counts (another EtherType, a header cut short or
// malformed).
enum class NetworkKind : std::uint8_t { kNone, kIpv4, kIpv6 };

struct FrameView {
  const std::uint8_t* bytes = nullptr;
  std::uint32_t captured = 0;     // bytes readable from `bytes`
  std::uint32_t wire_length = 0;  // what the frame measured on the wire

  // Link layer. The Ethernet addresses are null when the link header has
  // none: raw IP and loopback frames carry no address, cooked frames only
  // their sender's.
  LinkType link_type = LinkType::kEthernet;
  // The VLAN id of the innermost tag (of a stacked pair, the customer VLAN,
  // which is what an admin means by "the host's VLAN"); 0 when the frame
  // carries no tag, or only a priority tag.
  std::uint16_t vlan = 0;
  std::uint32_t link_header = 0;                   // bytes before the network header, tags included
  std::uint16_t ether_type = 0;                    // of the network header, past any tags
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

namespace frame_detail {

inline bool is_vlan_tag(std::uint16_t ether_type) {
  return ether_type == kEtherTypeVlan || ether_type == kEtherTypeQinQ || ether_type == kEtherTypeQinQOld;
}

// The network header at v.link_header, of type v.ether_type, behind up to
// kVlanTagsMax VLAN tags. Out of line: an untagged IPv4 Ethernet frame never
// comes here.
[[gnu::noinline]] inline bool decode_network(FrameView& v) {
  for (int tags = 0; is_vlan_tag(v.ether_type); ++tags) {
    if (tags == kVlanTagsMax || v.captured < v.link_header + kVlanTagLength) {
      v.vlan = 0;
      return false;
    }
    const std::uint8_t* tag = v.bytes + v.link_header;
    // Each tag overwrites the last: the innermost one's id stays.
    v.vlan = be16(tag) & 0x0FFFu;
    v.ether_type = be16(tag + 2);
    v.link_header += kVlanTagLength;
  }
  if (v.ether_type == kEtherTypeIpv4) return decode_ipv4(v);
  if (v.ether_type == kEtherTypeIpv6) return decode_ipv6(v);
  return false;
}

// A BSD loopback header's address family, read in either byte order (a
// DLT_NULL file keeps the byte order of the machine that wrote it), as the
// EtherType it stands for; 0 for a family that is not IP. IPv6 has a
// different number on every system that writes these headers.
inline std::uint16_t loopback_ether_type(const std::uint8_t* p) {
  std::uint32_t family =
      std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
  if (family > 0xFFFFu) family = __builtin_bswap32(family);
  switch (family) {
    case 2:  // AF_INET everywhere
      return kEtherTypeIpv4;
    case 10:  // Linux
    case 24:  // NetBSD, OpenBSD
    case 28:  // FreeBSD
    case 30:  // macOS
      return kEtherTypeIpv6;
    default:
      return 0;
  }
}

// Every link layer but Ethernet: its header, then the network header as
// for Ethernet (a cooked frame's protocol field may name a VLAN tag too).
[[gnu::noinline]] inline bool decode_link(FrameView& v) {
  const std::uint8_t* b = v.bytes;
  switch (v.link_type) {
    case LinkType::kLinuxSll:
      // packet type, ARPHRD type, address length, 8 address bytes, protocol
      if (v.captured < kLinuxSllHeaderLength) return false;
      if (be16(b + 4) == 6) v.link_source = b + 6;
      v.ether_type = be16(b + 14);
      v.link_header = kLinuxSllHeaderLength;
      break;
    case LinkType::kLinuxSll2:
      // protocol, reserved, interface index, ARPHRD type, packet type,
      // address length, 8 address bytes
      if (v.captured < kLinuxSll2HeaderLength) return false;
      if (b[11] == 6) v.link_source = b + 12;
      v.ether_type = be16(b);
      v.link_header = kLinuxSll2HeaderLength;
      break;
    case LinkType::kRaw:
      if (v.captured < 1) return false;
      v.ether_type = (b[0] >> 4) == 4 ? kEtherTypeIpv4 : (b[0] >> 4) == 6 ? kEtherTypeIpv6 : 0;
      break;
    case LinkType::kIpv4:
      v.ether_type = kEtherTypeIpv4;
      break;
    case LinkType::kIpv6:
      v.ether_type = kEtherTypeIpv6;
      break;
    case LinkType::kNull:
    case LinkType::kLoop:
      if (v.captured < kLoopbackHeaderLength) return false;
      v.ether_type = loopback_ether_type(b);
      v.link_header = kLoopbackHeaderLength;
      break;
    default:
      return false;
  }
  return decode_network(v);
}

}  // namespace frame_detail

// Decodes a frame of `captured` readable bytes, of the given link type, into
// `v`. True when it is an IPv4 or IPv6 frame whose header, with both
// addresses, was captured; the view is then filled as far as the captured
// bytes go. False leaves `network` kNone, with the link fields set when the
// link header was captured. An untagged Ethernet frame takes the short way;
// everything else is read out of line.
[[gnu::always_inline]] inline bool frame_decode(const std::uint8_t* frame, std::uint32_t captured,
                                                std::uint32_t wire_length, FrameView& v,
                                                LinkType link_type = LinkType::kEthernet) {
  v = FrameView{};
  v.bytes = frame;
  v.captured = captured;
  v.wire_length = wire_length;
  if (link_type != LinkType::kEthernet) [[unlikely]] {
    v.link_type = link_type;
    return frame_detail::decode_link(v);
  }
  if (captured < kEtherHeaderLength) return false;
  v.link_header = kEtherHeaderLength;
  v.link_destination = frame;
  v.link_source = frame + 6;
  v.ether_type = frame_detail::be16(frame + 12);
  if (v.ether_type == kEtherTypeIpv4) [[likely]]
    return frame_detail::decode_ipv4(v);
  return frame_detail::decode_network(v);
}

// Where the link layer's own header ends and its EtherType-typed payload
// (VLAN tags included) begins, and that payload's EtherType.
struct LinkPayload {
  std::uint32_t offset = 0;
  std::uint16_t ether_type = 0;
};

inline LinkPayload frame_link_payload(const FrameView& v) {
  const std::uint8_t* b = v.bytes;
  switch (v.link_type) {
    case LinkType::kEthernet:
      return v.captured >= kEtherHeaderLength ? LinkPayload{kEtherHeaderLength, frame_detail::be16(b + 12)}
                                              : LinkPayload{};
    case LinkType::kLinuxSll:
      return v.captured >= kLinuxSllHeaderLength
                 ? LinkPayload{kLinuxSllHeaderLength, frame_detail::be16(b + 14)}
                 : LinkPayload{};
    case LinkType::kLinuxSll2:
      return v.captured >= kLinuxSll2HeaderLength ? LinkPayload{kLinuxSll2HeaderLength, frame_detail::be16(b)}
                                                  : LinkPayload{};
    case LinkType::kNull:
    case LinkType::kLoop:
      return v.captured >= kLoopbackHeaderLength
                 ? LinkPayload{kLoopbackHeaderLength, frame_detail::loopback_ether_type(b)}
                 : LinkPayload{};
    default:
      // Raw IP: no link header, and never a tag.
      return {0, v.ether_type};
  }
}

// The frame as an Ethernet frame carrying the same payload, for readers
// written against Ethernet (the protocol tree): a 14-byte header with the
// frame's link addresses (zero where it has none) and the EtherType its
// link layer gave, then the payload, as much of it as `room` - 14 bytes
// hold. Returns the bytes written to `out`, 0 when the link header was
// not captured or `room` is under 14.
inline std::uint32_t frame_ethernet_shape(const FrameView& v, std::uint8_t* out, std::uint32_t room) {
  const LinkPayload p = frame_link_payload(v);
  if (room < kEtherHeaderLength || p.offset > v.captured || (p.offset == 0 && p.ether_type == 0)) return 0;
  for (std::uint32_t i = 0; i < 12; ++i) out[i] = 0;
  if (v.link_destination != nullptr)
    for (std::uint32_t i = 0; i < 6; ++i) out[i] = v.link_destination[i];
  if (v.link_source != nullptr)
    for (std::uint32_t i = 0; i < 6; ++i) out[6 + i] = v.link_source[i];
  out[12] = static_cast<std::uint8_t>(p.ether_type >> 8);
  out[13] = static_cast<std::uint8_t>(p.ether_type);
  std::uint32_t n = v.captured - p.offset;
  if (n > room - kEtherHeaderLength) n = room - kEtherHeaderLength;
  __builtin_memcpy(out + kEtherHeaderLength, v.bytes + p.offset, n);
  return kEtherHeaderLength + n;
}

}  // namespace tarnix
