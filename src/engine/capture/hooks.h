// The points where the frame path hands work to other subsystems. Each hook
// is a small interface of its own so that the duplicate detector, the HTTP
// sniffer and the alarm evaluation can be plugged in independently; an unset
// hook costs one null test per frame.
//
// Every hook runs on the capture thread and must return quickly: it must never
// wait for the name service, a database or a lock that such work may hold.
// The per-frame hooks (duplicates, TCP) run while the capture thread holds the
// network's model lock (see net.h); the step hook runs outside it, and may
// read the model without locking because the capture thread is its only
// writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "naming/netaddr.h"

namespace tarnix {

struct FrameView;
struct Net;
struct UrlCounters;

// Duplicate-address detection. `detecting()` is read for every frame whose
// IPv4 or IPv6 source is a known host and whose link layer names a sender;
// only when it answers true is the recorded Ethernet address compared with
// the frame's, and a difference reported (after which the frame handler
// records the frame's address in the host).
class DuplicateSink {
 public:
  virtual ~DuplicateSink() = default;
  virtual bool detecting() const = 0;
  virtual void report(const NetAddress& ipv4, const NetAddress& recorded_ether,
                      const NetAddress& frame_ether) = 0;
};

// One TCP segment as the capture callback found it: the decoded frame, and
// the segment's own bytes from it. The TCP header is located through the
// IPv4 header length field, or past the IPv6 extension headers, so frames
// with IP options are handed over correctly; IPv6 segments come with
// address_length 16. `captured` bytes from `tcp` are readable;
// `wire_length` is what the segment measured on the wire from the same point
// (it may be more than was captured, never less).
struct TcpSegment {
  const FrameView* frame = nullptr;
  const std::uint8_t* tcp = nullptr;
  std::size_t captured = 0;
  std::uint32_t wire_length = 0;
  const std::uint8_t* source_ipv4 = nullptr;       // address_length bytes, network order
  const std::uint8_t* destination_ipv4 = nullptr;  // address_length bytes, network order
  std::uint8_t address_length = 4;                 // 4 (IPv4) or 16 (IPv6)
  UrlCounters* urls = nullptr;                     // the network's request counters
  std::int64_t time = 0;  // the frame's capture time, seconds since the epoch
  // The latest capture time the network has seen (time runs backwards in
  // some files), seconds since the epoch.
  std::int64_t latest_second = 0;
};

// The HTTP sniffer: sees every accepted TCP frame.
class TcpSink {
 public:
  virtual ~TcpSink() = default;
  virtual void tcp_segment(const TcpSegment& segment) = 0;
};

// A UDP datagram, or a TCP segment, on a port that carries names: DNS (53),
// mDNS (5353), LLMNR (5355) answers and DHCP (67, 68) messages.
struct NamePacket {
  const std::uint8_t* payload = nullptr;  // after the UDP or TCP header
  std::size_t captured = 0;               // readable bytes from payload
  bool tcp = false;
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  // The connection a TCP segment belongs to and where it lies in it, for
  // messages that span segments.
  const std::uint8_t* source = nullptr;       // network order
  const std::uint8_t* destination = nullptr;  // network order
  std::uint8_t address_length = 0;
  std::uint32_t sequence = 0;  // of the payload's first byte
  std::uint8_t tcp_flags = 0;  // FIN 0x01, SYN 0x02, RST 0x04
  // The segment carries more payload than was captured: a gap follows.
  bool cut = false;
};

inline bool carries_names(std::uint16_t source_port, std::uint16_t destination_port) {
  return source_port == 53 || source_port == 5353 || source_port == 5355 || destination_port == 67 ||
         destination_port == 68;
}

// The sniffer of names heard on the wire: sees every accepted frame for
// which carries_names() holds.
class NameSink {
 public:
  virtual ~NameSink() = default;
  virtual void name_packet(const NamePacket& packet) = 0;
};

// Work that runs after every capture step, on the capture thread: the alarm
// binding and evaluation passes, in that order.
class CaptureStepSink {
 public:
  virtual ~CaptureStepSink() = default;
  virtual void after_capture_step(Net& net) = 0;
  // From the frame path, under the network's lock, when a frame opens a new
  // second of capture time, before that frame is counted: the window then
  // holds the second just ended, however many seconds one step reads.
  virtual void on_new_second(Net&) {}
  // After the step in which the source ended (a file read to its end, or a
  // failure): the second in progress is complete.
  virtual void on_source_end(Net&) {}
};

// The set of hooks one traffic model calls; any of them may be null.
struct CaptureHooks {
  DuplicateSink* duplicates = nullptr;
  TcpSink* tcp = nullptr;
  CaptureStepSink* step = nullptr;
  NameSink* names = nullptr;
};

}  // namespace tarnix
