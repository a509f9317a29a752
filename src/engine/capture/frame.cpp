// The capture callback and the frame handler: one accepted frame becomes
// counts on its source host, destination host, link, the link's protocol tree
// and the one-second frame window.
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "capture/net.h"
#include "sniff/frame_view.h"

namespace tarnix {

namespace {

// How many slots ahead of the window's oldest the expiry's records are
// fetched; about one slot leaves for every frame that comes.
constexpr int kExpiryLookahead = 8;

// A record that grew may have been left out of (or dropped from) a full
// ranking earlier; updating only ranked records would keep the busiest
// newcomer out for good, so unranked records try to enter again.
template <class Ranking, class Item>
inline void rank(Ranking& ranking, Item* item) {
  if (item->top_slot < 0)
    ranking.insert(item);
  else
    ranking.update(item);
}

// Hands the payload of a name-carrying UDP datagram or TCP segment to the
// name sniffer. Out of line: the frame path itself only tests the ports.
[[gnu::noinline, gnu::cold]] void hand_names(NameSink& sink, const FrameView& view) {
  if (view.payload == 0) return;
  NamePacket p;
  p.source_port = view.source_port;
  p.destination_port = view.destination_port;
  p.payload = view.payload_bytes();
  p.captured = view.payload_length;
  p.tcp = view.is_tcp();
  if (!p.tcp) {
    // Not the Ethernet padding after a short datagram.
    const std::size_t udp_length = frame_detail::be16(view.transport_header() + 4);
    if (udp_length < kUdpHeaderLength) return;
    if (udp_length - kUdpHeaderLength < p.captured) p.captured = udp_length - kUdpHeaderLength;
  } else {
    const std::uint8_t* tcp = view.transport_header();
    p.source = view.source;
    p.destination = view.destination;
    p.address_length = view.address_length;
    p.sequence = std::uint32_t{frame_detail::be16(tcp + 4)} << 16 | frame_detail::be16(tcp + 6);
    p.tcp_flags = tcp[13] & 0x07;
    const std::uint32_t total =
        view.network == NetworkKind::kIpv4 ? frame_detail::be16(view.bytes + view.link_header + 2) : 0;
    // The segment's own length, not the padding of a short frame. A zero
    // length (a segment the sender's adapter was to cut) says nothing.
    if (total != 0) {
      const std::uint32_t headers = view.payload - view.link_header;
      const std::uint32_t length = total > headers ? total - headers : 0;
      if (length < p.captured) p.captured = length;
      p.cut = length > p.captured;
    }
  }
  sink.name_packet(p);
}

// The protocol tree reads Ethernet frames: a frame of another link layer is
// classified as the Ethernet frame that would carry its payload, built in a
// scratch buffer of the capture thread's own. Ethernet frames never come here.
[[gnu::noinline]] std::uint32_t ethernet_shaped(const FrameView& view, const std::uint8_t*& frame) {
  thread_local std::vector<std::uint8_t> scratch;
  const std::size_t room = std::size_t{view.captured} + kEtherHeaderLength;
  if (scratch.size() < room) scratch.resize(room);
  frame = scratch.data();
  return frame_ethernet_shape(view, scratch.data(), static_cast<std::uint32_t>(room));
}

// How a frame of each network kind finds its records. An IPv4 pair's key is
// its two addresses, so a key that matches is the pair; an IPv6 pair's key
// is a hash, and a record found by it counts only once the addresses
// themselves agree.
struct Ipv4Records {
  static std::uint64_t pair_key(const Net&, const FrameView& v) {
    return ipv4_pair_key(v.source, v.destination);
  }
  static std::array<Net::RecentLink, Net::kRecentLinks>& recent(Net& net) REQUIRES(net.lock) {
    return *net.recent_links;
  }
  static bool same_pair(const Net::RecentLink&, const FrameView&) { return true; }
  static NetAddress address(const std::uint8_t* bytes) { return NetAddress::ipv4(bytes); }
  static Link* find_link(const Net& net, std::uint64_t key, const FrameView&) REQUIRES(net.lock) {
    return net.link_index.find(key);
  }
};

struct Ipv6Records {
  static std::uint64_t pair_key(const Net& net, const FrameView& v) {
    return ipv6_pair_key(v.source, v.destination, net.key_seed);
  }
  static std::array<Net::RecentLink, Net::kRecentLinks>& recent(Net& net) REQUIRES(net.lock) {
    return *net.recent_links6;
  }
  static bool same_pair(const Net::RecentLink& r, const FrameView& v) {
    // The table holds IPv6 pairs only: the bytes decide.
    return std::memcmp(r.source->address.bytes, v.source, 16) == 0 &&
           std::memcmp(r.destination->address.bytes, v.destination, 16) == 0;
  }
  static NetAddress address(const std::uint8_t* bytes) { return NetAddress::ipv6(bytes); }
  static Link* find_link(const Net& net, std::uint64_t key, const FrameView& v) REQUIRES(net.lock) {
    return net.link_index6.find_if(key,
                                   [&](const Link& l) { return link_joins6(l, v.source, v.destination); });
  }
};

// In line in the capture callback: a call per frame with its saved
// registers costs more than the few frames that come any other way.
template <class Records>
[[gnu::always_inline]] inline Link* handle(Net& net, const FrameView& view) REQUIRES(net.lock) {
  TrafficModel& model = *net.model;
  const std::uint8_t* frame = view.bytes;
  std::uint32_t caplen = view.captured;
  const std::uint32_t length = view.wire_length;
  if (view.link_type != LinkType::kEthernet) [[unlikely]]
    caplen = ethernet_shaped(view, frame);

  // The frame's conversation, from the recent pairs; its three records are
  // asked for now, so that they arrive while the frame is classified.
  const std::uint64_t pair = Records::pair_key(net, view);
  Net::RecentLink* set = &Records::recent(
      net)[(static_cast<std::size_t>((pair * 0x9E3779B97F4A7C15ull) >> 54) * 2) & (Net::kRecentLinks - 1)];
  auto holds = [&](const Net::RecentLink& r) {
    return r.key == pair && r.link != nullptr && Records::same_pair(r, view);
  };
  if (!holds(set[0]) && holds(set[1])) std::swap(set[0], set[1]);
  Net::RecentLink& recent = set[0];
  const bool known = holds(recent);
  // A new pair takes the first place and keeps the one it displaces.
  if (!known) set[1] = set[0];
  if (known) {
    // The counters, and the last path with the first tree nodes behind them.
    __builtin_prefetch(recent.link, 1);
    __builtin_prefetch(reinterpret_cast<const char*>(recent.link) + 64, 1);
    __builtin_prefetch(reinterpret_cast<const char*>(recent.link) + 128, 1);
    __builtin_prefetch(recent.source, 1);
    __builtin_prefetch(recent.destination, 1);
  }

  Classifier* classifier = model.classifier;
  const bool keyed = model.key_layout != nullptr;
  const ClassKey key = keyed ? class_key_of(*model.key_layout, frame, caplen) : ClassKey{};

  // The address values are built only when a look-up or a new record needs
  // them: a frame of a known conversation finds everything through its link.
  // Rankings are offered each record after its counters have grown, so that
  // a new host or link enters at the place its first frame earns it.
  const TimeValue now = model.now;
  Link* link = known ? recent.link : nullptr;

  Node* src = known ? recent.source : node_find(net, Records::address(view.source));
  const bool new_src = src == nullptr;
  if (new_src) {
    src = node_create(net, Records::address(view.source));
    // A link layer without Ethernet addresses (raw IP, loopback) leaves the
    // host's empty: nothing to show, and nothing to compare.
    src->ether_address = view.link_source != nullptr ? NetAddress::ether(view.link_source) : NetAddress{};
    ip_net_assign(net, *src);
  } else {
    DuplicateSink* dup = model.hooks.duplicates;
    if (dup != nullptr && view.link_source != nullptr && dup->detecting()) {
      const NetAddress ether_src = NetAddress::ether(view.link_source);
      if (netaddr_compare(src->ether_address, ether_src) != 0) {
        // A host first heard on a link without addresses had none to change.
        if (src->ether_address.present()) dup->report(src->address, src->ether_address, ether_src);
        src->ether_address = ether_src;
      }
    }
  }
  ++src->frames_sent;
  src->bytes_sent += length;
  src->active = 1;
  src->last_seen = now;
  src->vlan = view.vlan;
  if (new_src)
    net.top_hosts.insert(src);
  else
    rank(net.top_hosts, src);

  Node* dst = known ? recent.destination : node_find(net, Records::address(view.destination));
  const bool new_dst = dst == nullptr;
  if (new_dst) {
    dst = node_create(net, Records::address(view.destination));
    dst->ether_address =
        view.link_destination != nullptr ? NetAddress::ether(view.link_destination) : NetAddress{};
    ip_net_assign(net, *dst);
    net.top_hosts.insert(dst);
  }
  dst->active = 1;
  dst->vlan = view.vlan;

  if (link == nullptr) link = Records::find_link(net, pair, view);
  const bool new_link = link == nullptr;
  if (new_link) link = link_create(net, *src, *dst);
  recent.key = pair;
  recent.link = link;
  recent.source = src;
  recent.destination = dst;
  ++link->frames;
  link->bytes += length;
  link->active = 1;
  link->last_seen = now;
  if (link->tick_state != LinkTickState::kBusy) {
    link->tick_state = LinkTickState::kBusy;
    net.busy_links.push_back(link);
  }
  if (later_than(now, net.latest_time)) net.latest_time = now;
  if (new_link)
    net.top_links.insert(link);
  else
    rank(net.top_links, link);
  if ((new_src || new_dst || new_link) && net_over_bound(net)) net_keep_bound(net, *link);

  // Most frames of a conversation repeat their link's last class: they are
  // counted on the nodes it counted last, without classifying them again.
  if (keyed && link->class_keyed && link->class_key == key) {
    if (net.defer_counts) {
      if (link->pending_frames++ == 0) net.pending_links.push_back(link);
      link->pending_bytes += length;
    } else {
      classifier->count_again(link->last_counted, link->last_counted_len, 1, length);
    }
    return link;
  }
  // Frames noted on the link belong to the nodes it counted last.
  if (link->pending_frames != 0) link_settle_noted(*link, *classifier);
  const protocol_node* path[kPathSlots] = {};
  if (classifier != nullptr) classifier->classify(frame, caplen, length, path);
  linkstat_add(*link, path, length);
  if (keyed) {
    link->class_key = key;
    link->class_keyed = true;
  }
  return link;
}

// IPv6 frames out of line, and apart from the hot code (cold only in where
// it is placed: it measures as fast there): the IPv4 path, in line in the
// callback, stays as small and as packed as it was.
[[gnu::noinline, gnu::cold]] Link* handle_ipv6(Net& net, const FrameView& view) REQUIRES(net.lock) {
  return handle<Ipv6Records>(net, view);
}

inline Link* handle_any(Net& net, const FrameView& view) REQUIRES(net.lock) {
  if (view.network == NetworkKind::kIpv4) [[likely]]
    return handle<Ipv4Records>(net, view);
  return handle_ipv6(net, view);
}

}  // namespace

void frame_handle(Net& net, const std::uint8_t* frame, std::uint32_t caplen, std::uint32_t length) {
  FrameView view;
  if (frame_decode(frame, caplen, length, view)) handle_any(net, view);
}

namespace {

// A frame leaving the one-second window leaves every count it was added to.
inline void expire_slot(Net& net, Net::SlotCount& c) REQUIRES(net.lock) {
  if (c.link == nullptr) return;
  --net.window_frames;
  net.window_bytes -= c.length;
  --c.source->window_frames;
  c.source->window_bytes -= c.length;
  --c.link->window_frames;
  c.link->window_bytes -= c.length;
  c = {};
}

}  // namespace

void net_age_window(Net& net, const TimeValue& now) {
  FrameWindow& window = *net.frame_window;
  std::vector<Net::SlotCount>& slots = net.window_counts;
  auto expire = [&](const WindowEntry& e) {
    net.lock.assert_held();  // run by ring_detail::expire_older, within this call
    expire_slot(net, slots[static_cast<std::size_t>(&e - window.slots.data())]);
  };
  ring_detail::expire_older(window, now, expire);
}

void netif_callback(Net& net, const FrameHeader& header, const std::uint8_t* frame) {
  TrafficModel& model = *net.model;
  if (header.time.sec != model.now.sec) {
    model.capture_second.store(header.time.sec, std::memory_order_relaxed);
    if (CaptureStepSink* step = model.hooks.step) {
      // The pass sees the window at the end of the last frame's second: the
      // second just ended, or after a gap the last second that had traffic.
      // Adding this frame expires at least as much.
      const TimeValue second_end{model.now.sec + 1, 0};
      net_age_window(net, later_than(header.time, second_end) ? second_end : header.time);
      step->on_new_second(net);
    }
  }
  model.now = header.time;
  ++net.counters.frames_seen;

  const std::uint32_t caplen = header.caplen;
  const std::uint32_t length = header.len;
  // A frame must show its Ethernet type, the fixed IPv4 or IPv6 header with
  // both addresses and a sane header length; anything shorter cannot be
  // counted against hosts and is dropped like any other filtered frame.
  // NetBIOS name service chatter is dropped too.
  FrameView view;
  if (!frame_decode(frame, caplen, length, view, header.link) ||
      (view.is_udp() && view.has_ports &&
       (view.source_port == kPortNetbiosName || view.destination_port == kPortNetbiosName))) {
    ++net.counters.frames_filtered;
    return;
  }
  ++net.counters.frames_accepted;

  Link* link = handle_any(net, view);

  std::vector<Net::SlotCount>& slots = net.window_counts;
  FrameWindow& window = *net.frame_window;
  // The slots about to leave the window name records last touched about a
  // second ago, long gone from the cache: ask for them a few frames ahead,
  // so that their counters are at hand when the expiry takes them out.
  {
    int ahead = window.tail + kExpiryLookahead;
    if (ahead >= window.capacity()) ahead -= window.capacity();
    const Net::SlotCount& soon = slots[static_cast<std::size_t>(ahead)];
    if (soon.link != nullptr) {
      __builtin_prefetch(&soon.link->window_frames, 1);
      __builtin_prefetch(&soon.source->window_frames, 1);
    }
  }
  // Slot indices are taken from the window's current array: it may grow
  // (and move) within this call.
  ring_add(
      window, length, header.time,
      // The window runs these within this call, with the lock still held.
      [&](const WindowEntry& e) {
        net.lock.assert_held();
        Node* src = link->source;
        slots[static_cast<std::size_t>(&e - window.slots.data())] = {link, src, length};
        ++net.window_frames;
        net.window_bytes += length;
        // last_seen of both was set to this frame's time by handle().
        ++src->window_frames;
        src->window_bytes += length;
        ++link->window_frames;
        link->window_bytes += length;
      },
      [&](const WindowEntry& e) {
        net.lock.assert_held();
        expire_slot(net, slots[static_cast<std::size_t>(&e - window.slots.data())]);
      },
      [&](int old_tail, int old_capacity, int new_capacity) {
        net.lock.assert_held();
        ring_grow_beside(slots, old_tail, old_capacity, new_capacity);
      });

  if (view.is_tcp() && model.hooks.tcp != nullptr && view.first_fragment && view.transport < caplen) {
    TcpSegment seg;
    seg.frame = &view;
    seg.tcp = view.transport_header();
    seg.captured = view.transport_captured();
    seg.wire_length = length > view.transport ? length - view.transport : 0;
    seg.source_ipv4 = view.source;
    seg.destination_ipv4 = view.destination;
    seg.address_length = view.address_length;
    seg.urls = &net.urls;
    seg.latest_second = net.latest_time.sec;
    seg.time = model.now.sec;
    model.hooks.tcp->tcp_segment(seg);
  }

  if (model.hooks.names != nullptr && view.has_ports && (view.is_udp() || view.is_tcp()) &&
      carries_names(view.source_port, view.destination_port))
    hand_names(*model.hooks.names, view);
}

}  // namespace tarnix
