// The model's bound: choosing the longest inactive records, taking them out
// of everything that finds them, and reusing their memory once nothing that
// may still name them (window slots, the tick's lists, a name request) does.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "capture/net.h"

namespace tarnix {

namespace {

// Saturating at the ends, for a damaged file's time stamps ages away.
std::int64_t usec_of(const TimeValue& t) {
  constexpr std::int64_t kSecondsMax = INT64_MAX / 1000000 - 1;
  return std::clamp<std::int64_t>(t.sec, -kSecondsMax, kSecondsMax) * 1000000 + t.usec;
}

// Past this many records the tick prepares victims, so that the frames
// between two ticks find them ready.
std::size_t headroom(std::size_t bound) {
  return std::max<std::size_t>(16, bound / 16);
}

template <class Record>
void swap_remove(std::vector<Record*>& all, Record& record) {
  const std::uint32_t i = record.all_index;
  Record* last = all.back();
  all[i] = last;
  last->all_index = i;
  all.pop_back();
}

// Memory of a record nothing names any more, made a fresh record whose
// generation tells a kept pointer that it names another one now.
template <class Record>
void recycle(std::unique_ptr<Record>& owned, std::vector<std::unique_ptr<Record>>& spares) {
  Record* r = owned.get();
  const std::uint32_t generation = r->generation + 1;
  std::destroy_at(r);
  std::construct_at(r);
  r->generation = generation;
  spares.push_back(std::move(owned));
}

// Drawing and the summary walk the groups under the lock, as this runs, and
// keep no pointer to one past it.
void subnet_remove(Net& net, Subnet& group) REQUIRES(net.lock) {
  if (group.address.is_ipv6())
    net.subnet_index6.erase(ipv6_order(group.address));
  else
    net.subnet_index.erase(address_order(group.address));
  if (Subnet** moved = net.subnets.erase_node(group.list_at)) (*moved)->list_at = group.list_at;
  const std::size_t at = group.storage_at;
  if (at + 1 != net.subnet_storage.size()) {
    std::swap(net.subnet_storage[at], net.subnet_storage.back());
    net.subnet_storage[at]->storage_at = at;
  }
  net.subnet_storage.pop_back();  // group is gone from here on
}

}  // namespace

void link_evict(Net& net, Link& link) {
  if (link.dead) return;
  link.dead = true;
  if (link.counted_active) {
    link.counted_active = false;
    --link.source->active_links;
    --link.destination->active_links;
  }
  ++net.evicted.links;
  net.evicted.link_frames += link.frames;
  net.evicted.link_bytes += link.bytes;
  net.top_links.remove(&link);

  const std::uint64_t key = link_key(net, link);
  const bool ipv6 = link.source->address.is_ipv6();
  if (ipv6)
    net.link_index6.remove(key, &link);
  else
    net.link_index.remove(key);
  Net::RecentLink* set = recent_link_set(net, key, ipv6);
  for (int i = 0; i < 2; ++i)
    if (set[i].link == &link) set[i] = {};

  swap_remove(net.all_links, link);
  Node& to = *link.destination;
  if (link.prev_in != nullptr)
    link.prev_in->next_in = link.next_in;
  else
    to.links_in = link.next_in;
  if (link.next_in != nullptr) link.next_in->prev_in = link.prev_in;
  link.prev_in = link.next_in = nullptr;

  std::unique_ptr<Link> owned = link.source->links.take(to.address);
  if (owned) net.dead_links.push_back(std::move(owned));
}

void node_evict(Net& net, Node& host) {
  if (host.dead) return;
  std::vector<Link*> out;
  out.reserve(static_cast<std::size_t>(host.links.count()));
  host.links.foreach_link([&](Link& l) { out.push_back(&l); });
  for (Link* l : out) link_evict(net, *l);
  while (host.links_in != nullptr) link_evict(net, *host.links_in);

  host.dead = true;
  // Its name-cache entry may go with it: readers that loaded the reference
  // keep theirs. A completion still out stores one later, which lets go of
  // it when the record is reused.
  host.name_entry.store(nullptr);
  ++net.evicted.hosts;
  net.evicted.host_frames += host.frames_sent;
  net.evicted.host_bytes += host.bytes_sent;
  net.top_hosts.remove(&host);
  if (host.address.is_ipv6())
    net.host_index6.remove(host_key(net, host.address), &host);
  else
    net.host_index.remove(ipv4_key(host.address.bytes));
  swap_remove(net.all_hosts, host);
  net.host_list.remove(host);
  // The group the host joined, not the one its address would fall in now:
  // the local network may have changed since.
  if (Subnet* group = host.group; group != nullptr) {
    --group->host_count;
    group->hosts.remove(&host);
    host.group = nullptr;
    if (group->host_count == 0) subnet_remove(net, *group);
  }

  // The host table gives up its evicted hosts in batches (a search of its
  // chains per host would cost more than the rest of the eviction).
  ++net.hosts_evicted_in_table;
}

void net_purge_host_table(Net& net) {
  if (net.hosts_evicted_in_table == 0) return;
  net.hosts.remove_if([](const std::unique_ptr<Node>& h) { return h->dead; },
                      [&](std::unique_ptr<Node>&& h) {
                        net.lock.assert_held();  // run within remove_if
                        net.dead_hosts.push_back(std::move(h));
                      });
  net.hosts_evicted_in_table = 0;
}

namespace {

// Evicts prepared victims while the network is past its bound. A victim
// that was evicted with a host, made into another record, is held, is one
// of the frame's own records (keep) or has sent or carried a frame since
// it was chosen is passed over.
void evict_past_bound(Net& net, const Link* keep) REQUIRES(net.lock) {
  const TrafficModel& model = *net.model;
  const std::size_t max_hosts = model.max_hosts.load(std::memory_order_relaxed);
  const std::size_t max_links = model.max_links.load(std::memory_order_relaxed);
  while (max_hosts != 0 && net.all_hosts.size() > max_hosts && !net.host_victims.empty()) {
    const Net::Victim<Node> v = net.host_victims.back();
    net.host_victims.pop_back();
    Node* h = v.record;
    if (h->generation != v.generation || h->dead || h->held || usec_of(h->last_seen) > v.quiet_since)
      continue;
    if (keep != nullptr && (h == keep->source || h == keep->destination)) continue;
    node_evict(net, *h);
  }
  if (net.hosts_evicted_in_table > std::max<std::size_t>(256, net.all_hosts.size() / 8))
    net_purge_host_table(net);
  while (max_links != 0 && net.all_links.size() > max_links && !net.link_victims.empty()) {
    const Net::Victim<Link> v = net.link_victims.back();
    net.link_victims.pop_back();
    Link* l = v.record;
    if (l->generation != v.generation || l->dead || l->held || l == keep ||
        usec_of(l->last_seen) > v.quiet_since)
      continue;
    link_evict(net, *l);
  }
}

}  // namespace

void net_keep_bound(Net& net, Link& keep) {
  evict_past_bound(net, &keep);
}

void net_choose_victims(Net& net) {
  const TrafficModel& model = *net.model;
  const std::size_t max_hosts = model.max_hosts.load(std::memory_order_relaxed);
  const std::size_t max_links = model.max_links.load(std::memory_order_relaxed);

  struct Candidate {
    std::int64_t quiet_since;
    std::uint32_t index;
  };
  // The k longest quiet of the candidates, longest quiet last.
  auto longest_quiet = [](std::vector<Candidate>& c, std::size_t k) {
    k = std::min(k, c.size());
    auto by_time = [](const Candidate& a, const Candidate& b) { return a.quiet_since < b.quiet_since; };
    std::nth_element(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(k), c.end(), by_time);
    c.resize(k);
    std::sort(c.begin(), c.end(), [&](const Candidate& a, const Candidate& b) { return by_time(b, a); });
  };
  // A sweep reads every record: it runs near the bound once the victims it
  // chose last are half taken, so at most once per half a headroom of new
  // records, and prepares what is past the bound plus a headroom.
  const auto sweep_due = [](std::size_t count, std::size_t bound, std::size_t prepared) {
    return bound != 0 && count + headroom(bound) > bound &&
           prepared < headroom(bound) / 2 + (count > bound ? count - bound : 0);
  };
  const auto wanted = [](std::size_t count, std::size_t bound) {
    return (count > bound ? count - bound : 0) + headroom(bound);
  };

  if (sweep_due(net.all_hosts.size(), max_hosts, net.host_victims.size())) {
    // A host is as recent as the last frame it sent or any of its links
    // carried; one held, or with a held link, is no candidate.
    constexpr std::int64_t kHeld = INT64_MAX;
    std::vector<std::int64_t> recent(net.all_hosts.size());
    for (std::size_t i = 0; i < net.all_hosts.size(); ++i) {
      const Node* h = net.all_hosts[i];
      recent[i] = h->held ? kHeld : usec_of(h->last_seen);
    }
    for (const Link* l : net.all_links) {
      const std::int64_t t = l->held ? kHeld : usec_of(l->last_seen);
      std::int64_t& s = recent[l->source->all_index];
      std::int64_t& d = recent[l->destination->all_index];
      s = std::max(s, t);
      d = std::max(d, t);
    }
    std::vector<Candidate> c;
    c.reserve(recent.size());
    for (std::size_t i = 0; i < recent.size(); ++i)
      if (recent[i] != kHeld) c.push_back({recent[i], static_cast<std::uint32_t>(i)});
    longest_quiet(c, wanted(net.all_hosts.size(), max_hosts));
    net.host_victims.clear();
    net.host_victims.reserve(c.size());
    for (const Candidate& k : c) {
      Node* h = net.all_hosts[k.index];
      net.host_victims.push_back({h, h->generation, k.quiet_since});
    }
  }

  if (sweep_due(net.all_links.size(), max_links, net.link_victims.size())) {
    std::vector<Candidate> c;
    c.reserve(net.all_links.size());
    for (std::size_t i = 0; i < net.all_links.size(); ++i) {
      const Link* l = net.all_links[i];
      if (!l->held) c.push_back({usec_of(l->last_seen), static_cast<std::uint32_t>(i)});
    }
    longest_quiet(c, wanted(net.all_links.size(), max_links));
    net.link_victims.clear();
    net.link_victims.reserve(c.size());
    for (const Candidate& k : c) {
      Link* l = net.all_links[k.index];
      net.link_victims.push_back({l, l->generation, k.quiet_since});
    }
  }
  // Down to the bound now; the rest wait for the frames to come.
  evict_past_bound(net, nullptr);
}

void net_release_dead(Net& net) {
  net_purge_host_table(net);
  // The tick has taken dead links off its lists; what still names a dead
  // record is a window slot (its counts say so) or, for a host, a dead link
  // or a name request.
  auto& links = net.dead_links;
  for (std::size_t i = 0; i < links.size();) {
    Link& l = *links[i];
    if (l.window_frames != 0 || l.pending_frames != 0) {
      ++i;
      continue;
    }
    --l.source->link_refs;
    --l.destination->link_refs;
    recycle(links[i], net.spare_links);
    links[i] = std::move(links.back());
    links.pop_back();
  }
  auto& hosts = net.dead_hosts;
  for (std::size_t i = 0; i < hosts.size();) {
    Node& h = *hosts[i];
    if (h.window_frames != 0 || h.link_refs != 0 || h.name_pending.load(std::memory_order_acquire)) {
      ++i;
      continue;
    }
    recycle(hosts[i], net.spare_hosts);
    hosts[i] = std::move(hosts.back());
    hosts.pop_back();
  }
}

}  // namespace tarnix
