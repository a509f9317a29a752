// The traffic model: network monitor records (one per adapter), hosts, links,
// subnet groups and per-link protocol trees, with their counters, rates and
// ageing. Records are created by the capture thread; past the model's bound
// the longest inactive go (see net_keep_bound), and their memory is kept for
// the records that come next, never handed back while the model lives, so a
// pointer a reader kept always names some record (its generation tells
// whether it is still the same one).
//
// Threads: the capture thread is the only writer. Each network carries a
// mutex, `lock`, that the capture thread holds while it feeds a batch of
// frames (at most 255) or ticks; the frame path's entry points require it.
// Any other thread reads hosts, links, subnets, trees or counters of a
// network through Net::read (or read_ranked), which holds the same mutex
// while the reader copies what it shows, and no longer (the capture thread
// waits for it). Names are the exception: a host's name entry is atomic and
// may be read at any time.
//
// What the compiler checks (clang's -Wthread-safety): every field of Net
// that the lock guards says GUARDED_BY(lock); those without it are atomics,
// constant, or written before any other thread can see the network. Node,
// Link, Subnet and the protocol tree nodes are guarded by their network's
// lock too, but a member cannot name another object's mutex, so their
// fields carry no annotation. They are reached only through the network's
// guarded tables, lists and rankings, or through a record pointer one of
// them gave out, and the rule that keeps them sound is: a function that
// takes a Node&, Link& or Subnet& and changes the model (or reads what the
// capture thread changes) also takes the Net& and says REQUIRES(net.lock)
// (node_create, link_create, ip_net_assign, node_evict...); one that takes
// only the record is called from such a function, or from a Net::read
// callback. A lambda that the same function calls says REQUIRES(net.lock);
// one handed to other code that runs it within the call (the frame window,
// a table's remove_if) starts with net.lock.assert_held().
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "capture/classifier.h"
#include "capture/focus.h"
#include "capture/hooks.h"
#include "capture/namer.h"
#include "core/hash.h"
#include "core/hashtable.h"
#include "core/list.h"
#include "core/mutex.h"
#include "core/record_pool.h"
#include "core/ring.h"
#include "core/sampler.h"
#include "core/timer.h"
#include "core/topn.h"
#include "core/url_counters.h"
#include "naming/netaddr.h"
#include "sniff/frame_view.h"

namespace tarnix {

struct Net;
struct Node;
struct Link;
struct Subnet;
class TrafficModel;

// Where the tick finds a link: busy links carried frames within the last ten
// ticks and are sampled every tick; idle links are active but quiet, and
// only their time-out is watched; asleep links are quiet and inactive.
enum class LinkTickState : std::uint8_t { kAsleep, kBusy, kIdle };

// One distinct protocol position in a link's traffic.
struct LinkProtoNode {
  LinkProtoNode* next = nullptr;   // next protocol at the same depth
  LinkProtoNode* child = nullptr;  // first protocol carried inside this one
  const protocol_node* protocol = nullptr;
  std::uint64_t bytes = 0;
  std::uint64_t frames = 0;
};

// Keys of the host and link tables: IPv4 addresses only, so hashing and
// comparing four bytes in line gives exactly what the address type's own
// operations give, without a call through the type per probe.
struct Ipv4KeyTraits {
  static std::int32_t hash(const NetAddress& a) { return bytes_hash(a.bytes, 4); }
  static int compare(const NetAddress& stored, const NetAddress& probe) {
    return std::memcmp(stored.bytes, probe.bytes, 4) != 0 ? 1 : 0;
  }
};

// Keys of the hosts table, of either network kind: an IPv4 address hashes
// and compares exactly as under Ipv4KeyTraits; an IPv6 address over its
// sixteen bytes. Kinds never meet: an IPv6 address that begins with an IPv4
// address's bytes is another key.
struct HostKeyTraits {
  static std::int32_t hash(const NetAddress& a) { return bytes_hash(a.bytes, a.is_ipv6() ? 16 : 4); }
  static int compare(const NetAddress& stored, const NetAddress& probe) {
    if (stored.type != probe.type) return 1;
    return std::memcmp(stored.bytes, probe.bytes, stored.is_ipv6() ? 16 : 4) != 0 ? 1 : 0;
  }
};

// The host table's key: a pointer to the address its host's record holds
// for as long as the entry is there, rather than a copy of the 32-byte
// address in every entry. Probes are plain addresses.
struct HostTableKey {
  const NetAddress* address;
};
struct HostTableTraits {
  static std::int32_t hash(const HostTableKey& k) { return HostKeyTraits::hash(*k.address); }
  static std::int32_t hash(const NetAddress& a) { return HostKeyTraits::hash(a); }
  static int compare(const HostTableKey& stored, const NetAddress& probe) {
    return HostKeyTraits::compare(*stored.address, probe);
  }
  static int compare(const HostTableKey& stored, const HostTableKey& probe) {
    return HostKeyTraits::compare(*stored.address, *probe.address);
  }
};

// The key of a (source, destination) pair of IPv4 addresses: both addresses'
// bytes as they lie in the frame, one 64-bit word.
inline std::uint64_t ipv4_key(const std::uint8_t* address4) {
  std::uint32_t a;
  std::memcpy(&a, address4, 4);
  return a;
}

inline std::uint64_t ipv4_pair_key(const std::uint8_t* source4, const std::uint8_t* destination4) {
  std::uint32_t s, d;
  std::memcpy(&s, source4, 4);
  std::memcpy(&d, destination4, 4);
  return (static_cast<std::uint64_t>(s) << 32) | d;
}

// Keys of IPv6 hosts and pairs: a 64-bit hash of the addresses, mixed with
// the network's random seed so that a flood of made-up source addresses
// cannot be chosen to share one key. Two addresses may still share a key:
// IPv6 records are found with find_if, which compares the addresses
// themselves, and they live in indexes of their own, so that an IPv4 key
// (the addresses themselves, never compared again) can never meet one.
inline std::uint64_t key_mix(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}
inline std::uint64_t ipv6_key(const std::uint8_t* address16, std::uint64_t seed) {
  std::uint64_t high, low;
  std::memcpy(&high, address16, 8);
  std::memcpy(&low, address16 + 8, 8);
  return key_mix(high ^ seed ^ key_mix(low + seed));
}
inline std::uint64_t ipv6_pair_key(const std::uint8_t* source16, const std::uint8_t* destination16,
                                   std::uint64_t seed) {
  // Not symmetric: A to B and B to A are two links.
  return key_mix(ipv6_key(source16, seed) + 0x9E3779B97F4A7C15ull * ipv6_key(destination16, seed));
}

// Records of a network by a 64-bit key (a host by its IPv4 address, a link
// by its pair key): a frame whose pair the recent links have forgotten, or
// a new pair, is settled with a few probes here instead of a walk down a
// hash chain or a search through the source's links, which for a busy
// server holds hundreds. Open addressing, at most three quarters full: a
// slot costs 16 bytes, and a fuller table would cost more probes than it
// saves memory.
template <class Record>
class RecordIndex {
 public:
  Record* find(std::uint64_t key) const {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& s = slots_[i];
      if (s.link == nullptr) return nullptr;
      if (s.key == key) return s.link;
    }
  }
  // The first record under the key that match(record) accepts, or null:
  // for keys that several records may share (see add).
  template <class Match>
  Record* find_if(std::uint64_t key, Match&& match) const {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& s = slots_[i];
      if (s.link == nullptr) return nullptr;
      if (s.key == key && match(*s.link)) return s.link;
    }
  }
  // Adds a record under the key beside any others that have it.
  void add(std::uint64_t key, Record* link) {
    if (full_after_one_more()) grow();
    place(key, link);
  }
  // Records the record for the key; one already recorded for it is
  // replaced.
  void set(std::uint64_t key, Record* link) {
    if (full_after_one_more()) grow();
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& s = slots_[i];
      if (s.link == nullptr) {
        s = {key, link};
        ++used_;
        return;
      }
      if (s.key == key) {
        s.link = link;
        return;
      }
    }
  }
  // Forgets the key (with `only`, the key's slot that holds that record,
  // for keys several records share); the slots behind it in its run move
  // up, so that a probe never stops short at the hole.
  void remove(std::uint64_t key, const Record* only = nullptr) {
    if (slots_.empty()) return;
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(key);
    for (;; i = (i + 1) & mask) {
      if (slots_[i].link == nullptr) return;
      if (slots_[i].key == key && (only == nullptr || slots_[i].link == only)) break;
    }
    for (std::size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
      if (slots_[j].link == nullptr) break;
      const std::size_t home = slot_of(slots_[j].key);
      // The entry at j may fill the hole at i only if its home is not in (i, j].
      if (((j - home) & mask) >= ((j - i) & mask)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --used_;
  }
  std::size_t size() const { return used_; }

 private:
  struct Slot {
    std::uint64_t key = 0;
    Record* link = nullptr;
  };
  std::size_t slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  bool full_after_one_more() const { return (used_ + 1) * 4 > slots_.size() * 3; }
  void place(std::uint64_t key, Record* link) {
    std::size_t i = slot_of(key);
    while (slots_[i].link != nullptr) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = {key, link};
    ++used_;
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t n = old.empty() ? 1024 : old.size() * 2;
    slots_.assign(n, Slot{});
    shift_ = 64 - std::countr_zero(n);
    used_ = 0;
    // Records that share a key all move: each keeps its own slot.
    for (const Slot& s : old)
      if (s.link != nullptr) place(s.key, s.link);
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  int shift_ = 64;
};

struct alignas(64) Link {
  TARNIX_POOLED_RECORD(Link)

  // What every frame and every tick touch comes first, in the record's first
  // cache line; the protocol tree follows, then the rates, touched once a
  // cycle while the link is busy.
  Node* source = nullptr;
  Node* destination = nullptr;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint32_t window_frames = 0;
  std::uint32_t window_bytes = 0;
  TimeValue last_seen;
  int active = 1;
  int top_slot = -1;
  std::atomic<std::int32_t> dominant_protocol{0};  // also stored by the focus builder's thread
  // Ticks in a row with nothing in the window, up to 11: once the tenth has
  // been sampled both rates hold ten zero samples, and sampling another
  // zero changes nothing. Small, so that what a tick reads of a link besides
  // its rates shares this line.
  std::uint8_t quiet_ticks = 0;
  // Which of the network's tick lists holds the link (see net_tick), and
  // whether it is counted in its hosts' active_links.
  LinkTickState tick_state = LinkTickState::kAsleep;
  bool counted_active = false;
  LinkProtoNode* protocol_tree = nullptr;

  // The tree's nodes: the first few live inside the record, next to the
  // counters every frame touches, the rest on the heap.
  static constexpr int kInlineTreeNodes = 6;
  int tree_inline_used = 0;
  // The nodes that the last frame's path counted, root first. Nodes are only
  // ever added behind the last sibling or as a first child, so a later frame
  // with the same path walks to exactly these nodes again; most frames of a
  // conversation repeat their link's last path and count here directly.
  int last_counted_len = 0;
  LinkProtoNode* last_counted[kPathSlots - 1] = {};
  // The class key of the frames whose path last_counted holds, when the
  // classifier keys frames: a frame with the same key takes the same path,
  // so it is counted on those nodes without being classified again.
  bool class_keyed = false;
  ClassKey class_key;
  // Frames of that class counted on the link's frames and bytes but not yet
  // on those nodes and their protocols (see Net::defer_counts).
  std::uint32_t pending_frames = 0;
  std::uint64_t pending_bytes = 0;
  LinkProtoNode tree_inline[kInlineTreeNodes];
  std::vector<std::unique_ptr<LinkProtoNode>> tree_storage;

  std::unique_ptr<Rates> rates;  // see Rates; read through the two below
  double frame_rate() const { return rates ? rates->frames.average : 0.0; }
  double byte_rate() const { return rates ? rates->bytes.average : 0.0; }

  // The other links to the same destination (see Node::links_in).
  Link* prev_in = nullptr;
  Link* next_in = nullptr;
  std::uint32_t all_index = 0;  // place in Net::all_links
  // Grows each time the record's memory is taken for another link.
  std::uint32_t generation = 0;
  bool held = false;  // an alarm watches it: never evicted
  bool dead = false;  // evicted, waiting for the window and the tick to let go of it
};

// A host's links, keyed by the destination's address. It walks its
// entries exactly as a 256-bucket table of the core would (bucket = low 8
// bits of the address hash, buckets in ascending order, each bucket newest
// first), because the map draws links in that order; but it keeps them in
// one array sorted that way, so a host costs a few dozen bytes instead of
// 2 KB of bucket heads, and a walk reads memory in order.
class LinkTable {
 public:
  LinkTable() = default;
  LinkTable(const LinkTable&) = delete;
  LinkTable& operator=(const LinkTable&) = delete;

  int count() const { return static_cast<int>(entries_.size()); }

  static int bucket_of(const NetAddress& key) {
    return static_cast<int>(static_cast<std::uint32_t>(HostKeyTraits::hash(key)) & 0xFFu);
  }

  // The stored link for the address, or null. The pointer is good until the
  // next set().
  std::unique_ptr<Link>* find(const NetAddress& key) {
    const int b = bucket_of(key);
    for (std::size_t i = first_at_or_after(b); i < entries_.size() && entries_[i].bucket == b; ++i)
      if (std::memcmp(entries_[i].key4, key.bytes, 4) == 0 && same_key(entries_[i], key))
        return &entries_[i].value;
    return nullptr;
  }
  const std::unique_ptr<Link>* find(const NetAddress& key) const {
    return const_cast<LinkTable*>(this)->find(key);
  }

  // Present: the given link replaces the stored one, which is handed back
  // through `previous` (when given) instead of being released; returns true.
  // Absent: a new entry ahead of the others of its bucket, returns false.
  bool set(const NetAddress& key, std::unique_ptr<Link> value, std::unique_ptr<Link>* previous = nullptr) {
    if (std::unique_ptr<Link>* v = find(key)) {
      if (previous != nullptr) *previous = std::move(*v);
      *v = std::move(value);
      return true;
    }
    const int b = bucket_of(key);
    Entry e{b, {}, std::move(value)};
    std::memcpy(e.key4, key.bytes, 4);
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(first_at_or_after(b)), std::move(e));
    return false;
  }

  // Takes the link of the address out of the table (null when absent).
  std::unique_ptr<Link> take(const NetAddress& key) {
    const int b = bucket_of(key);
    for (std::size_t i = first_at_or_after(b); i < entries_.size() && entries_[i].bucket == b; ++i) {
      if (same_key(entries_[i], key)) {
        std::unique_ptr<Link> out = std::move(entries_[i].value);
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
        return out;
      }
    }
    return nullptr;
  }

  // fn(const NetAddress&, std::unique_ptr<Link>&) for every entry, in the
  // order described above. fn must not add entries.
  template <class Fn>
  void foreach(Fn&& fn) {
    for (Entry& e : entries_) fn(static_cast<const NetAddress&>(key_of(e)), e.value);
  }
  template <class Fn>
  void foreach(Fn&& fn) const {
    for (const Entry& e : entries_) fn(static_cast<const NetAddress&>(key_of(e)), e.value);
  }
  // fn(Link&) for every link, in the same order, without making the keys.
  template <class Fn>
  void foreach_link(Fn&& fn) const {
    for (const Entry& e : entries_) fn(*e.value);
  }

 private:
  // Only the first four address bytes are kept: an entry of 16 bytes keeps
  // the moves of an insertion into a busy server's links short. They are the
  // whole key of an IPv4 destination; an IPv6 one (or a link a caller set
  // without a destination) is told apart by the whole address, which its
  // link's destination holds.
  struct Entry {
    int bucket;
    std::uint8_t key4[4];
    std::unique_ptr<Link> value;
  };
  static bool same_key(const Entry& e, const NetAddress& key);
  static NetAddress key_of(const Entry& e);
  // Index of the first entry whose bucket is b or later.
  std::size_t first_at_or_after(int b) const {
    std::size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
      std::size_t mid = lo + (hi - lo) / 2;
      if (entries_[mid].bucket < b)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  }
  std::vector<Entry> entries_;
};

// A host's Ethernet address in the 8 bytes it needs, where a NetAddress
// takes 32: read and assigned as a NetAddress, none being a null type.
class HostEther {
 public:
  HostEther& operator=(const NetAddress& a) {
    present_ = a.type != nullptr;
    std::memcpy(bytes_, a.bytes, sizeof bytes_);
    return *this;
  }
  operator NetAddress() const { return present_ ? NetAddress::ether(bytes_) : NetAddress{}; }
  bool present() const { return present_; }

 private:
  std::uint8_t bytes_[6] = {};
  bool present_ = false;
};

// An address as text, made when asked for: a host's record keeps the
// address, not its 46-byte text.
struct AddressText {
  char text[kAddressTextSize];
  const char* c_str() const { return text; }
};

// Not aligned to a cache line, unlike Link: a host is touched by fewer of
// its frames' steps than its link, and the slack of aligning it would be a
// fifth of its record.
struct Node {
  TARNIX_POOLED_RECORD(Node)

  // What every frame and every tick touch comes first; the links table and
  // the rates follow.
  std::uint64_t frames_sent = 0;
  std::uint64_t bytes_sent = 0;
  std::uint32_t window_frames = 0;
  std::uint32_t window_bytes = 0;
  TimeValue last_seen;
  int active = 0;
  int top_slot = -1;
  // Active links from or to the host, as the last tick left them.
  int active_links = 0;
  // The VLAN of the last frame from or to the host (see FrameView::vlan),
  // in what would otherwise be padding of the line every frame writes.
  std::uint16_t vlan = 0;
  Net* net = nullptr;
  NetAddress address;
  HostEther ether_address;
  // Name-cache entry for the address: null until the cache has one. Stored by
  // host creation or by the resolver's completion, read by anyone; the
  // reference keeps the entry in the cache until eviction lets go of it.
  HostCacheRefSlot name_entry;
  AddressText address_text() const {
    AddressText t;
    netaddr_format(address, t.text);
    return t;
  }
  std::unique_ptr<Rates> rates;  // see Rates; read through the two below
  double frame_rate() const { return rates ? rates->frames.average : 0.0; }
  double byte_rate() const { return rates ? rates->bytes.average : 0.0; }
  double map_x = 0.0;
  double map_y = 0.0;
  double layout_value = 0.0;
  LinkTable links;

  // Links to this host, through Link::next_in: an evicted host takes them
  // along without a search of every other host's links.
  Link* links_in = nullptr;
  // The group it joined (see ip_net_assign), and its neighbours in the
  // group's member list (see GroupMembers).
  Subnet* group = nullptr;
  Node* group_prev = nullptr;
  Node* group_next = nullptr;
  std::uint32_t all_index = 0;  // place in Net::all_hosts
  // Links from or to it not yet let go of, evicted ones included: they still
  // name it.
  std::uint32_t link_refs = 0;
  // Grows each time the record's memory is taken for another host.
  std::uint32_t generation = 0;
  bool held = false;  // an alarm watches it (or a link of it): never evicted
  bool dead = false;  // evicted, waiting for the window and the tick to let go of it
  // A name request is out whose completion stores into this record: its
  // memory is not reused until the completion has run.
  std::atomic<bool> name_pending{false};
};

// A host's or link's rates, made when it has none.
template <class Record>
Rates& rates_of(Record& record) {
  if (!record.rates) record.rates = std::make_unique<Rates>();
  return *record.rates;
}

// The tick's sample of a record's window: its rates come with a window that
// counted something and go once both hold ten zeros.
template <class Record>
void sample_rates(Record& record) {
  if (!record.rates && record.window_frames == 0 && record.window_bytes == 0) return;
  Rates& r = rates_of(record);
  sampler_add(r.frames, record.window_frames);
  sampler_add(r.bytes, record.window_bytes);
  if (r.frames.sum == 0 && r.bytes.sum == 0) record.rates.reset();
}

inline bool LinkTable::same_key(const Entry& e, const NetAddress& key) {
  const Node* d = e.value != nullptr ? e.value->destination : nullptr;
  if (d == nullptr) return key.is_ipv4();
  return d->address.type == key.type && (key.is_ipv4() || std::memcmp(d->address.bytes, key.bytes, 16) == 0);
}

inline NetAddress LinkTable::key_of(const Entry& e) {
  const Node* d = e.value != nullptr ? e.value->destination : nullptr;
  return d != nullptr ? d->address : NetAddress::ipv4(e.key4);
}

// The hosts of a group in the order they joined, linked through the hosts'
// own records: a host joins and leaves without an allocation or a walk.
class GroupMembers {
 public:
  int count() const { return count_; }
  Node* first() const { return first_; }
  Node* last() const { return last_; }
  template <class Fn>
  void foreach (Fn&& fn) const {
    for (Node* h = first_; h != nullptr; h = h->group_next) fn(h);
  }
  void append(Node* host) {
    host->group_prev = last_;
    host->group_next = nullptr;
    (last_ != nullptr ? last_->group_next : first_) = host;
    last_ = host;
    ++count_;
  }
  void remove(Node* host) {
    (host->group_prev != nullptr ? host->group_prev->group_next : first_) = host->group_next;
    (host->group_next != nullptr ? host->group_next->group_prev : last_) = host->group_prev;
    host->group_prev = host->group_next = nullptr;
    --count_;
  }

 private:
  Node* first_ = nullptr;
  Node* last_ = nullptr;
  int count_ = 0;
};

struct Subnet {
  Net* net = nullptr;
  std::string label;  // domain label, owned by the map
  NetAddress address;
  char address_text[kAddressTextSize] = {};
  GroupMembers hosts;
  int host_count = 0;
  int layout_flag = 1;
  double layout[3] = {};
  // Where the group sits in Net::subnets and Net::subnet_storage: a group
  // whose last host is evicted goes, or a flood of addresses from ever new
  // subnets (random IPv6 sources above all) would grow them without bound.
  List<Subnet*>::Node* list_at = nullptr;
  std::size_t storage_at = 0;
};

struct HostRankTraits {
  // The frame path offers a host to the ranking after every frame it sends.
  static constexpr bool kCacheValues = true;
  static int compare(const Node* a, const Node* b) { return compare_values(a->bytes_sent, b->bytes_sent); }
  static int get_position(const Node* n) { return n ? n->top_slot : -1; }
  static void set_position(Node* n, int i) { n->top_slot = i; }
  static std::string name(const Node* n);
  static std::uint64_t value(const Node* n) { return n->bytes_sent; }
};

struct LinkRankTraits {
  // The frame path offers a link to the ranking after every frame it counts.
  static constexpr bool kCacheValues = true;
  static int compare(const Link* a, const Link* b) { return compare_values(a->bytes, b->bytes); }
  static int get_position(const Link* l) { return l ? l->top_slot : -1; }
  static void set_position(Link* l, int i) { l->top_slot = i; }
  static std::string name(const Link* l);
  static std::uint64_t value(const Link* l) { return l->bytes; }
};

// Records the model's bound evicted, with what they had counted: a host's
// frames and bytes are those it sent, a link's those it carried.
struct EvictionCounts {
  std::uint64_t hosts = 0;
  std::uint64_t host_frames = 0;
  std::uint64_t host_bytes = 0;
  std::uint64_t links = 0;
  std::uint64_t link_frames = 0;
  std::uint64_t link_bytes = 0;
};

// What the capture side counted beside the model.
struct CaptureCounters {
  std::uint64_t frames_seen = 0;      // every frame handed to the callback
  std::uint64_t frames_accepted = 0;  // frames that reached the model
  std::uint64_t frames_filtered = 0;  // frames dropped by the callback's filters
  std::uint64_t received = 0;         // capture library: frames received
  std::uint64_t dropped = 0;          // capture library: dropped by the kernel
  std::uint64_t interface_dropped = 0;
};

// An IPv6 address as two numbers that sort as the address does, as the
// ordered maps of IPv6 hosts and groups key them.
using Ipv6Order = std::pair<std::uint64_t, std::uint64_t>;
inline Ipv6Order ipv6_order(const NetAddress& a) {
  std::uint64_t high = 0, low = 0;
  for (int i = 0; i < 8; ++i) {
    high = high << 8 | a.bytes[i];
    low = low << 8 | a.bytes[8 + i];
  }
  return {high, low};
}
inline constexpr std::uint8_t kNoIpv6Address[16] = {};

// Every host of a network, the IPv4 ones from the highest address down,
// then the IPv6 ones the same way: the order of the host list window and of
// the summary. Two ordered maps, which a new host finds its place in
// without a walk; their entries come from a pool of their own, packed
// together instead of strewn among the hosts' records and without an
// allocator header each.
class HostList {
 public:
  int count() const { return static_cast<int>(ipv4_.size() + ipv6_.size()); }
  std::size_t ipv6_count() const { return ipv6_.size(); }
  template <class Fn>
  void foreach (Fn&& fn) const {
    for (auto it = ipv4_.rbegin(); it != ipv4_.rend(); ++it) fn(it->second);
    for (auto it = ipv6_.rbegin(); it != ipv6_.rend(); ++it) fn(it->second);
  }
  void add(Node* host);
  void remove(const Node& host);

 private:
  std::pmr::unsynchronized_pool_resource pool_;
  std::pmr::map<std::uint32_t, Node*> ipv4_{&pool_};
  std::pmr::map<Ipv6Order, Node*> ipv6_{&pool_};
};
// A seed for ipv6_key from the system's random source.
std::uint64_t fresh_key_seed();

struct Net {
  explicit Net(TrafficModel* owner) : model(owner) {}
  Net(const Net&) = delete;
  Net& operator=(const Net&) = delete;

  // Not guarded: model, key_seed and name are set when the network is made
  // and never change; load_percent and urls are atomics, which other
  // threads (the charts, the recorder) read or write without the lock.
  TrafficModel* model;
  mutable Mutex lock;  // see the top of this file

  // How a thread other than the capture thread reads the network: fn gets
  // it with the lock held and returns what it copied. fn must not block on
  // anything but memory: the capture thread waits behind it.
  // fn is a lambda that states what it relies on,
  //   net.read([](const Net& n) REQUIRES(n.lock) { return n.host_list.count(); })
  // so that the analysis checks its body as run under the lock. It is called
  // as fn.operator()(...) because clang reads a lambda's REQUIRES against
  // the wrong argument when the call is written fn(...).
  template <class Fn>
  decltype(auto) read(Fn&& fn) const EXCLUDES(lock) {
    MutexLock held(lock);
    return std::forward<Fn>(fn).operator()(*this);
  }
  // The same, with the host and link rankings put back in order first (the
  // frame path moves a record up as it grows, but nothing moves one down).
  template <class Fn>
  decltype(auto) read_ranked(Fn&& fn) EXCLUDES(lock) {
    MutexLock held(lock);
    top_hosts.resort();
    top_links.resort();
    return std::forward<Fn>(fn).operator()(static_cast<const Net&>(*this));
  }

  std::string name;
  NetAddress local_address GUARDED_BY(lock);
  NetAddress local_mask GUARDED_BY(lock);
  HashTable<HostTableKey, std::unique_ptr<Node>, HostTableTraits> hosts GUARDED_BY(lock);
  RecordIndex<Node> host_index GUARDED_BY(lock);  // the same hosts, for node_find
  HostList host_list GUARDED_BY(lock);
  List<Subnet*> subnets GUARDED_BY(lock);
  // The same groups by address_order() of their address.
  std::unordered_map<std::uint32_t, Subnet*> subnet_index GUARDED_BY(lock);

  std::vector<std::unique_ptr<Subnet>> subnet_storage GUARDED_BY(lock);

  std::atomic<std::uint32_t> load_percent{0};
  std::uint32_t peak_load GUARDED_BY(lock) = 0;
  float average_load GUARDED_BY(lock) = 0.0f;
  std::uint32_t window_frames GUARDED_BY(lock) = 0;
  std::uint64_t window_bytes GUARDED_BY(lock) = 0;
  std::unique_ptr<FrameWindow> frame_window GUARDED_BY(lock) = ring_create();
  // What each window slot was counted as: its link (hosts and links are
  // never removed, so this is the record the slot's addresses name, found
  // without a look-up) and its full length (the slot keeps only 16 bits, and
  // a counter must lose exactly what it gained).
  // The source host is kept beside its link so that the expiry, which
  // meets records last touched a second ago, can fetch both at once.
  struct SlotCount {
    Link* link = nullptr;
    Node* source = nullptr;
    std::uint32_t length = 0;
  };
  // Slot for slot beside the window, growing with it.
  std::vector<SlotCount> window_counts GUARDED_BY(lock) = std::vector<SlotCount>(FrameWindow::kInitialSlots);
  UrlCounters urls;
  TopN<Node, HostRankTraits> top_hosts GUARDED_BY(lock);
  TopN<Link, LinkRankTraits> top_links GUARDED_BY(lock);

  CaptureCounters counters GUARDED_BY(lock);
  // Every link of every host, in order of creation: the tick walks this
  // instead of 256 buckets per host (each link's update depends on nothing
  // but itself, so the order does not matter).
  std::vector<Link*> all_links GUARDED_BY(lock);
  // Every host in order of creation, for the tick (each host's update
  // depends on nothing but itself): an array is read ahead, where the
  // host list makes every step wait for the one before.
  std::vector<Node*> all_hosts GUARDED_BY(lock);
  RecordIndex<Link> link_index GUARDED_BY(lock);
  // The tick's lists (see LinkTickState): the busy links, and the idle ones
  // with the last_seen their time-out runs from (an entry is out of date
  // once its link carried another frame). The latest capture time seen,
  // the time-out and the focus of the last tick: should time run backwards,
  // or either of them change, every link is visited again.
  struct IdleLink {
    Link* link;
    TimeValue last_seen;
  };
  // While a capture step dispatches batches of frames under the lock, a
  // frame that repeats its link's last class is only noted on the link;
  // the notes are added to the links' protocol trees and the protocol
  // counters together before the lock is let go (net_flush_counts), so
  // readers, who hold the lock, never see frames half counted. Frames
  // handed over one at a time are counted at once.
  bool defer_counts GUARDED_BY(lock) = false;
  std::vector<Link*> pending_links GUARDED_BY(lock);
  std::vector<Link*> busy_links GUARDED_BY(lock);
  std::vector<IdleLink> idle_links GUARDED_BY(lock);
  TimeValue latest_time GUARDED_BY(lock);
  // Grows whenever a tick changes what a view of the model shows (a rate
  // still moving, a host or link going quiet): with the frame count, it
  // tells a drawing cycle whether there is anything new to draw.
  std::uint64_t tick_changes GUARDED_BY(lock) = 0;
  std::uint64_t tick_link_ms GUARDED_BY(lock) = 0;
  std::shared_ptr<const FocusList> tick_focus GUARDED_BY(lock);
  // The links of recent (source, destination) pairs, by a hash of the two
  // addresses: a conversation's frames find their link, and through it both
  // hosts, without three table look-ups. Records are never removed, so an
  // entry can only be right or missing.
  // Both hosts are kept beside the link, so that all three records are
  // fetched at once instead of one after the other.
  struct alignas(32) RecentLink {
    std::uint64_t key = 0;
    Link* link = nullptr;
    Node* source = nullptr;
    Node* destination = nullptr;
  };
  // Two entries a set (one cache line), the newer first: two busy pairs
  // that hash alike do not keep pushing each other out.
  static constexpr std::size_t kRecentLinks = 1024;
  std::unique_ptr<std::array<RecentLink, kRecentLinks>> recent_links GUARDED_BY(lock) =
      std::make_unique<std::array<RecentLink, kRecentLinks>>();
  // Link speed in bits per second used for load_percent.
  std::uint64_t link_speed_bps GUARDED_BY(lock) = 0;

  // What only IPv6 frames use comes last, leaving the rest of the record
  // where the IPv4 frame path has always found it.
  // The adapter's global IPv6 address (:: when it has none) and the length
  // of its prefix: IPv6 hosts within it share the local group.
  NetAddress local_address6 GUARDED_BY(lock) = NetAddress::ipv6(kNoIpv6Address);
  int local_prefix6 GUARDED_BY(lock) = 64;
  // IPv6 hosts, links and groups, beside the IPv4 ones (see
  // ipv6_key). The host list runs through the IPv4 hosts first, then the
  // IPv6 hosts, each from the highest address down.
  const std::uint64_t key_seed = fresh_key_seed();
  RecordIndex<Node> host_index6 GUARDED_BY(lock);
  RecordIndex<Link> link_index6 GUARDED_BY(lock);
  std::map<Ipv6Order, Subnet*> subnet_index6 GUARDED_BY(lock);
  // recent_links for IPv6 pairs, whose keys are hashes: an entry counts only
  // when its hosts' addresses are the frame's.
  std::unique_ptr<std::array<RecentLink, kRecentLinks>> recent_links6 GUARDED_BY(lock) =
      std::make_unique<std::array<RecentLink, kRecentLinks>>();
  // What the bound took out of the model (see net_keep_bound): the records
  // and the frames and bytes they had counted, so that present plus evicted
  // makes the whole capture.
  EvictionCounts evicted GUARDED_BY(lock);
  // The next records to evict, longest inactive last, as the last tick
  // chose them; an entry whose record changed generation since is stale.
  template <class Record>
  struct Victim {
    Record* record;
    std::uint32_t generation;
    std::int64_t quiet_since;  // microseconds; a record seen later is spared
  };
  std::vector<Victim<Node>> host_victims GUARDED_BY(lock);
  // Hosts whose look-up the namer turned away, oldest first (see
  // node_create); the generation tells a record since reused.
  struct TurnedAway {
    Node* host;
    std::uint32_t generation;
  };
  std::deque<TurnedAway> turned_away GUARDED_BY(lock);
  std::vector<Victim<Link>> link_victims GUARDED_BY(lock);
  // Evicted records that a window slot, a tick list or a name request may
  // still name; the tick moves them to the spares once nothing does.
  std::vector<std::unique_ptr<Node>> dead_hosts GUARDED_BY(lock);
  std::vector<std::unique_ptr<Link>> dead_links GUARDED_BY(lock);
  std::vector<std::unique_ptr<Node>> spare_hosts GUARDED_BY(lock);
  std::vector<std::unique_ptr<Link>> spare_links GUARDED_BY(lock);
  // Evicted hosts `hosts` still owns (see net_purge_host_table).
  std::size_t hosts_evicted_in_table GUARDED_BY(lock) = 0;
};

// A host's key in its network's host indexes: host_index for an IPv4
// address, host_index6 for an IPv6 one.
inline std::uint64_t host_key(const Net& net, const NetAddress& a) {
  return a.is_ipv6() ? ipv6_key(a.bytes, net.key_seed) : ipv4_key(a.bytes);
}
// The host that a key taken from `expected` leads to while it is still that
// record, else null; `expected` itself is never read.
inline Node* host_by_key(const Net& net, std::uint64_t key, const Node* expected) REQUIRES(net.lock) {
  Node* h = net.host_index.find(key);
  if (h == expected) return h;
  return net.host_index6.find_if(key, [&](const Node& n) { return &n == expected; });
}

struct ModelSettings {
  int node_timeout_s = 10;
  int link_timeout_s = 5;
};

// Bounds of a network's records; 0 leaves them unbounded. Far above any
// LAN's own hosts, low enough that a scan or a flood of forged addresses
// cannot take the memory.
inline constexpr std::size_t kDefaultMaxHosts = 100000;
inline constexpr std::size_t kDefaultMaxLinks = 200000;

// The services the model calls and its global state (the capture time "now",
// the local address and mask, the networks).
class TrafficModel {
 public:
  TrafficModel(Classifier* classifier, HostNamer* namer, FocusSource* focus, CaptureHooks hooks = {});
  TrafficModel(const TrafficModel&) = delete;
  TrafficModel& operator=(const TrafficModel&) = delete;
  ~TrafficModel();

  Classifier* classifier;
  // The classifier's key layout, or null when it does not key frames.
  const ClassKeyLayout* key_layout;
  HostNamer* namer;  // may be null: hosts then stay unnamed
  FocusSource* focus;  // may be null: no dominant protocol
  CaptureHooks hooks;

  NetAddress local_address = NetAddress::ipv4(0, 0, 0, 0);
  NetAddress local_mask = NetAddress::ipv4(255, 255, 255, 0);
  std::atomic<int> node_timeout_s{10};
  std::atomic<int> link_timeout_s{5};
  std::atomic<std::size_t> max_hosts{kDefaultMaxHosts};
  std::atomic<std::size_t> max_links{kDefaultMaxLinks};

  // Capture time of the newest frame; written under the current network's
  // lock.
  TimeValue now;
  // The same moment in whole seconds, for threads that stamp records with
  // the frame's time (the alarms); 0 before the first frame.
  std::atomic<std::int64_t> capture_second{0};

  // Networks, newest first. Creation happens at start-up, but a reader may
  // list them at any time.
  mutable Mutex nets_mutex;
  std::vector<Net*> nets GUARDED_BY(nets_mutex);
  std::vector<Net*> networks() const EXCLUDES(nets_mutex) {
    MutexLock held(nets_mutex);
    return nets;
  }

  // Owned networks and the current one: use the net_* functions.
  std::vector<std::unique_ptr<Net>> net_storage;
  std::atomic<Net*> current{nullptr};

  // Name completions run on the resolver thread and may come after the model
  // is gone; they store into a host only while this says the model lives.
  struct Lifetime {
    Mutex mutex;
    bool alive GUARDED_BY(mutex) = true;
  };
  std::shared_ptr<Lifetime> lifetime = std::make_shared<Lifetime>();

  // The IPv6 counterparts of local_address and local_mask (see Net).
  NetAddress local_address6 = NetAddress::ipv6(kNoIpv6Address);
  int local_prefix6 = 64;
};

// The two entries of the recent pairs a pair key may sit in: those of
// IPv4 pairs, or (ipv6) those of IPv6 pairs.
inline Net::RecentLink* recent_link_set(Net& net, std::uint64_t pair, bool ipv6 = false) REQUIRES(net.lock) {
  auto& table = ipv6 ? *net.recent_links6 : *net.recent_links;
  return &table[(static_cast<std::size_t>((pair * 0x9E3779B97F4A7C15ull) >> 54) * 2) & (Net::kRecentLinks - 1)];
}
// The key a link is known by in its link index (link_index, or
// link_index6 for an IPv6 link) and the recent pairs.
inline std::uint64_t link_key(const Net& net, const Link& link) {
  const std::uint8_t* from = link.source->address.bytes;
  const std::uint8_t* to = link.destination->address.bytes;
  return link.source->address.is_ipv6() ? ipv6_pair_key(from, to, net.key_seed) : ipv4_pair_key(from, to);
}

// Networks.
Net* net_create(TrafficModel& model, const std::string& name);
Net* net_find(const TrafficModel& model, const std::string& name);
Net* net_current(const TrafficModel& model);
void net_set_current(TrafficModel& model, Net* net);

// Hosts and links.
Node* node_find(const Net& net, const NetAddress& address) REQUIRES(net.lock);
Node* node_create(Net& net, const NetAddress& address) REQUIRES(net.lock);
// Asks again for the names of hosts the namer turned away, oldest first, as
// long as it takes them.
void net_ask_turned_away(Net& net) REQUIRES(net.lock);
// An IPv4 address as a number that sorts as the address does.
inline std::uint32_t address_order(const NetAddress& a) {
  return std::uint32_t(a.bytes[0]) << 24 | std::uint32_t(a.bytes[1]) << 16 | std::uint32_t(a.bytes[2]) << 8 |
         a.bytes[3];
}
// Whether an IPv6 link runs from the one address to the other, each 16
// bytes.
inline bool link_joins6(const Link& link, const std::uint8_t* source16, const std::uint8_t* destination16) {
  return std::memcmp(link.source->address.bytes, source16, 16) == 0 &&
         std::memcmp(link.destination->address.bytes, destination16, 16) == 0 &&
         link.source->address.is_ipv6();
}
Link* link_find(Node& source, const NetAddress& destination);
// Both hosts belong to `net`.
Link* link_create(Net& net, Node& source, Node& destination) REQUIRES(net.lock);
void net_tick(Net& net) REQUIRES(net.lock);

// The bound. Once a network holds more hosts or links than the model
// allows, the ones inactive longest go: a host with every link from or to
// it. Records an alarm holds stay. The tick chooses the victims (and evicts
// down to the bound); between ticks a new record past the bound evicts the
// next victim chosen, never `keep` or its hosts. Evicted records leave
// every index, ranking and list at once; their memory is reused once no
// window slot or tick list names them.
void net_keep_bound(Net& net, Link& keep) REQUIRES(net.lock);
void net_choose_victims(Net& net) REQUIRES(net.lock);
void node_evict(Net& net, Node& host) REQUIRES(net.lock);
void link_evict(Net& net, Link& link) REQUIRES(net.lock);
// Moves the evicted hosts out of `hosts`, which keeps them (marked dead) for
// a while after they leave every other index; whoever walks `hosts` passes
// over dead ones.
void net_purge_host_table(Net& net) REQUIRES(net.lock);
// Lets go of evicted records nothing names any more; from the tick.
void net_release_dead(Net& net) REQUIRES(net.lock);
inline bool net_over_bound(const Net& net) REQUIRES(net.lock) {
  const std::size_t mh = net.model->max_hosts.load(std::memory_order_relaxed);
  const std::size_t ml = net.model->max_links.load(std::memory_order_relaxed);
  return (mh != 0 && net.all_hosts.size() > mh) || (ml != 0 && net.all_links.size() > ml);
}
inline bool net_needs_victims(const Net& net) REQUIRES(net.lock) {
  const std::size_t mh = net.model->max_hosts.load(std::memory_order_relaxed);
  const std::size_t ml = net.model->max_links.load(std::memory_order_relaxed);
  return (mh != 0 && net.all_hosts.size() > mh && net.host_victims.empty()) ||
         (ml != 0 && net.all_links.size() > ml && net.link_victims.empty());
}

// The name a host shows: from its name-cache entry's host record, else empty.
std::string node_name(const Node& node);
// The name and where it came from ("ethers", "reverse", "dhcp", "mdns",
// "dns"; empty for none).
HostNamer::Label node_name_source(const Node& node);
// The maker of the host's Ethernet adapter (empty when unknown), and its
// Ethernet address as shown (see HostNamer::ether_label).
std::string node_maker(const Node& node);
std::string node_ether_label(const Node& node);
// The name up to its first ".", else empty.
std::string node_short_name(const Node& node);
// The name, or the dotted address when there is none.
std::string node_display_name(const Node& node);

// Subnet groups and protocol trees.
// The host belongs to `net`.
void ip_net_assign(Net& net, Node& host) REQUIRES(net.lock);
// Network address of a host's group for the given local address and mask.
NetAddress ip_net_address(const NetAddress& host, const NetAddress& local_address, const NetAddress& local_mask);
// The same for an IPv6 host: its /64 prefix; within the local address's
// prefix of local_prefix bits, that prefix; link-local hosts (fe80::/10)
// all in fe80::.
NetAddress ip_net_address6(const NetAddress& host, const NetAddress& local_address, int local_prefix);
void linkstat_add(Link& link, const protocol_node* const* path, std::uint32_t length);
// The node of the link's tree that the protocol last made (a protocol may
// sit at several places of a tree), or null.
const LinkProtoNode* link_tree_node(const Link& link, const protocol_node* protocol);
// Counts the frames noted on a link (see Net::defer_counts) on the nodes it
// counted last, and on their protocols.
void link_settle_noted(Link& link, Classifier& classifier);
// Settles every link with noted frames.
void net_flush_counts(Net& net) REQUIRES(net.lock);
// The focus entry whose protocol carries most of the link's bytes (the
// earlier of equals; none when no entry has a byte).
const FocusEntry* link_dominant_entry(const Link& link, const FocusList* focus);
std::int32_t link_dominant(const Link& link, const FocusList* focus);
void link_refresh_dominant_all(Net& net) EXCLUDES(net.lock);

// True when a is later than b.
inline bool later_than(const TimeValue& a, const TimeValue& b) {
  return a.sec > b.sec || (a.sec == b.sec && a.usec > b.usec);
}

// The frame path.
struct FrameHeader {
  TimeValue time;
  std::uint32_t caplen = 0;
  std::uint32_t len = 0;  // length on the wire
  // Each frame's own: a capture file may mix link types.
  LinkType link = LinkType::kEthernet;
};
void netif_callback(Net& net, const FrameHeader& header, const std::uint8_t* frame) REQUIRES(net.lock);
void frame_handle(Net& net, const std::uint8_t* frame, std::uint32_t caplen, std::uint32_t length)
    REQUIRES(net.lock);
// Without frames the one-second window ages by the clock alone: the frames
// older than a second before `now` leave it and its counts.
void net_age_window(Net& net, const TimeValue& now) REQUIRES(net.lock);

}  // namespace tarnix
