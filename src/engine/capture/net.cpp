#include "capture/net.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "core/alloc.h"

namespace tarnix {

namespace {

// Milliseconds from earlier to later without the 32-bit wrap of
// timer_elapsed_ms: a host that last sent 49.7 days ago, or never (time 0),
// must not look recent again.
std::uint64_t elapsed_ms_wide(const TimeValue& earlier, const TimeValue& later) {
  // Saturating: a damaged file's time stamps may lie ages apart.
  return timer_elapsed_us64(earlier, later) / 1000u;
}

// How many records ahead the tick fetches them.
constexpr std::size_t kTickLookahead = 8;

// Records ticked a cycle ago are out of the cache by now: the tick asks for
// the lines it will read of the one kTickLookahead places ahead (its first
// line and the line of its rates pointer) before it gets there, and for the
// rates themselves half as far ahead, once that pointer is at hand.
template <class Record>
void fetch_ahead(const std::vector<Record*>& records, std::size_t i) {
  if (i + kTickLookahead < records.size()) {
    const Record* soon = records[i + kTickLookahead];
    __builtin_prefetch(soon, 1);
    __builtin_prefetch(&soon->rates, 0);
  }
  if (i + kTickLookahead / 2 < records.size()) {
    if (const Rates* r = records[i + kTickLookahead / 2]->rates.get()) {
      const char* rates = reinterpret_cast<const char*>(r);
      for (std::size_t at = 0; at < sizeof(Rates); at += 64) __builtin_prefetch(rates + at, 1);
    }
  }
}

}  // namespace

TrafficModel::TrafficModel(Classifier* c, HostNamer* n, FocusSource* f, CaptureHooks h)
    : classifier(c), key_layout(c != nullptr ? c->key_layout() : nullptr), namer(n), focus(f), hooks(h) {}

TrafficModel::~TrafficModel() {
  MutexLock g(lifetime->mutex);
  lifetime->alive = false;
}

Net* net_create(TrafficModel& model, const std::string& name) {
  auto net = std::make_unique<Net>(&model);
  net->name = name.substr(0, 254);
  {
    // No other thread knows the network yet; the lock is for the analysis.
    MutexLock g(net->lock);
    net->local_address = model.local_address;
    net->local_mask = model.local_mask;
    net->local_address6 = model.local_address6;
    net->local_prefix6 = model.local_prefix6;
  }
  Net* raw = net.get();
  MutexLock g(model.nets_mutex);
  model.net_storage.push_back(std::move(net));
  model.nets.insert(model.nets.begin(), raw);
  return raw;
}

Net* net_find(const TrafficModel& model, const std::string& name) {
  MutexLock g(model.nets_mutex);
  for (Net* n : model.nets)
    if (n->name == name) return n;
  return nullptr;
}

Net* net_current(const TrafficModel& model) { return model.current.load(std::memory_order_acquire); }

void net_set_current(TrafficModel& model, Net* net) {
  if (net != nullptr) model.current.store(net, std::memory_order_release);
}

std::uint64_t fresh_key_seed() {
  std::random_device source;
  return (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

Node* node_find(const Net& net, const NetAddress& address) {
  if (address.is_ipv6()) {
    return net.host_index6.find_if(ipv6_key(address.bytes, net.key_seed), [&](const Node& n) {
      return std::memcmp(n.address.bytes, address.bytes, 16) == 0;
    });
  }
  return net.host_index.find(ipv4_key(address.bytes));
}

void HostList::add(Node* host) {
  if (host->address.is_ipv6())
    ipv6_.emplace(ipv6_order(host->address), host);
  else
    ipv4_.emplace(address_order(host->address), host);
}

void HostList::remove(const Node& host) {
  if (host.address.is_ipv6())
    ipv6_.erase(ipv6_order(host.address));
  else
    ipv4_.erase(address_order(host.address));
}

namespace {

// Queues the host's look-up, whose completion stores the entry into the
// record; false when the namer turned it away.
bool ask_name(Net& net, Node& host, bool again) REQUIRES(net.lock) {
  HostNamer& namer = *net.model->namer;
  std::shared_ptr<TrafficModel::Lifetime> life = net.model->lifetime;
  // Until the completion has run, the record's memory is not reused even
  // if the host is evicted (see net_release_dead).
  host.name_pending.store(true, std::memory_order_relaxed);
  Node* record = &host;
  auto done = [life, record](const HostCacheRef& e) {
    MutexLock g(life->mutex);
    if (!life->alive) return;
    if (e != nullptr) record->name_entry.store(e);
    record->name_pending.store(false, std::memory_order_release);
  };
  const bool queued = again ? namer.request_again(host.address, std::move(done))
                            : namer.request(host.address, std::move(done));
  if (!queued) host.name_pending.store(false, std::memory_order_relaxed);
  return queued;
}

}  // namespace

Node* node_create(Net& net, const NetAddress& address) {
  std::unique_ptr<Node> owned;
  if (!net.spare_hosts.empty()) {
    owned = std::move(net.spare_hosts.back());
    net.spare_hosts.pop_back();
  } else {
    owned = std::make_unique<Node>();
  }
  Node* host = owned.get();
  host->net = &net;
  host->ether_address = netaddr_new(kAddrEther);
  netaddr_copy(address, host->address);
  host->top_slot = -1;

  HostNamer* namer = net.model->namer;
  HostCacheRef entry = namer ? namer->find(address) : nullptr;
  const bool named = entry != nullptr;
  host->name_entry.store(std::move(entry));

  // The caller found no host of this address: nothing to look for first.
  net.hosts.add_new(HostTableKey{&host->address}, std::move(owned));
  host->all_index = static_cast<std::uint32_t>(net.all_hosts.size());
  net.all_hosts.push_back(host);
  if (host->address.is_ipv6())
    net.host_index6.add(ipv6_key(host->address.bytes, net.key_seed), host);
  else
    net.host_index.set(ipv4_key(host->address.bytes), host);
  net.host_list.add(host);

  // Turned away (a flood of new addresses): until it is asked again as room
  // comes (net_tick), the host is shown by its address, or by a name heard
  // or looked up for it by others. Only the latest of as many as the host
  // bound (at least 4,096) wait: a flood past it would otherwise grow them
  // without end.
  if (namer != nullptr && !named && namer->resolves() && !ask_name(net, *host, false)) {
    const std::size_t most =
        std::max<std::size_t>(4096, net.model->max_hosts.load(std::memory_order_relaxed));
    if (net.turned_away.size() >= most) net.turned_away.pop_front();
    net.turned_away.push_back({host, host->generation});
  }
  return host;
}

void net_ask_turned_away(Net& net) {
  std::deque<Net::TurnedAway>& waiting = net.turned_away;
  while (!waiting.empty()) {
    Node& host = *waiting.front().host;
    // Records are reused, never freed, while the network lives: an entry
    // whose record was evicted, or has since been named, is let go.
    const bool gone = host.generation != waiting.front().generation || host.dead;
    if (!gone && host.name_entry.load() == nullptr && !ask_name(net, host, true)) return;
    waiting.pop_front();
  }
}

Link* link_find(Node& source, const NetAddress& destination) {
  std::unique_ptr<Link>* l = source.links.find(destination);
  return l ? l->get() : nullptr;
}

Link* link_create(Net& net, Node& source, Node& destination) {
  std::unique_ptr<Link> owned;
  if (!net.spare_links.empty()) {
    owned = std::move(net.spare_links.back());
    net.spare_links.pop_back();
  } else {
    owned = std::make_unique<Link>();
  }
  Link* link = owned.get();
  link->source = &source;
  link->destination = &destination;
  link->next_in = destination.links_in;
  if (link->next_in != nullptr) link->next_in->prev_in = link;
  destination.links_in = link;
  ++source.link_refs;
  ++destination.link_refs;
  source.links.set(destination.address, std::move(owned));
  link->all_index = static_cast<std::uint32_t>(net.all_links.size());
  net.all_links.push_back(link);
  if (source.address.is_ipv6())
    net.link_index6.add(ipv6_pair_key(source.address.bytes, destination.address.bytes, net.key_seed), link);
  else
    net.link_index.set(ipv4_pair_key(source.address.bytes, destination.address.bytes), link);
  return link;
}

std::string node_name(const Node& node) { return node_name_source(node).name; }

HostNamer::Label node_name_source(const Node& node) {
  HostNamer* namer = node.net ? node.net->model->namer : nullptr;
  if (namer == nullptr) return {};
  const HostCacheRef e = node.name_entry.load();
  return namer->label_of(e.get(), node.address, node.ether_address);
}

std::string node_maker(const Node& node) {
  HostNamer* namer = node.net ? node.net->model->namer : nullptr;
  return namer != nullptr ? namer->maker_of(node.ether_address) : std::string();
}

std::string node_ether_label(const Node& node) {
  HostNamer* namer = node.net ? node.net->model->namer : nullptr;
  return namer != nullptr ? namer->ether_label(node.ether_address) : netaddr_text(node.ether_address);
}

std::string node_short_name(const Node& node) { return strdup_until(node_name(node), '.'); }

std::string node_display_name(const Node& node) {
  std::string n = node_name(node);
  return n.empty() ? std::string(node.address_text().c_str()) : n;
}

std::string HostRankTraits::name(const Node* n) { return node_display_name(*n); }

std::string LinkRankTraits::name(const Link* l) {
  std::string s = node_display_name(*l->source);
  s += ", ";
  s += node_display_name(*l->destination);
  if (s.size() > 240) s.resize(240);
  return s;
}

namespace {

// Whether the link counts towards its hosts' activity, kept in step with
// their active_links.
void set_counted_active(Link& link, bool active) {
  if (link.counted_active == active) return;
  link.counted_active = active;
  const int d = active ? 1 : -1;
  link.source->active_links += d;
  link.destination->active_links += d;
}

}  // namespace

void net_tick(Net& net) {
  const TrafficModel& model = *net.model;
  const TimeValue now = model.now;
  const std::uint64_t node_ms = static_cast<std::uint64_t>(model.node_timeout_s.load()) * 1000u;
  const std::uint64_t link_ms = static_cast<std::uint64_t>(model.link_timeout_s.load()) * 1000u;
  std::shared_ptr<const FocusList> focus = model.focus ? model.focus->active_focus() : nullptr;

  // One link's share of the tick; tells which list the link belongs in now.
  auto tick_link = [&](Link* link) {
    if (link->window_frames == 0 && link->window_bytes == 0) {
      if (link->quiet_ticks <= 10) ++link->quiet_ticks;
    } else {
      link->quiet_ticks = 0;
    }
    if (link->quiet_ticks <= 10) sample_rates(*link);
    const bool active = elapsed_ms_wide(link->last_seen, now) < link_ms;
    if (active) link->dominant_protocol.store(link_dominant(*link, focus.get()), std::memory_order_relaxed);
    link->active = active ? 1 : 0;
    set_counted_active(*link, active);
    // Still busy until the tenth quiet tick has been sampled.
    if (link->quiet_ticks < 10) return LinkTickState::kBusy;
    return active ? LinkTickState::kIdle : LinkTickState::kAsleep;
  };
  auto file = [&](Link* link, LinkTickState state) REQUIRES(net.lock) {
    link->tick_state = state;
    if (state == LinkTickState::kBusy) net.busy_links.push_back(link);
    if (state == LinkTickState::kIdle) net.idle_links.push_back({link, link->last_seen});
  };

  // A link whose window has been empty for ten ticks samples nothing more,
  // and while it stays active its dominant protocol cannot change: no frame
  // grows its tree and the focus is the same. Such a link is only looked at
  // again when its time-out ends, or when capture time runs backwards (a
  // merged file), the time-out is changed or the focus replaced: then every
  // link is, as if each were ticked in turn.
  // The bound first: the links it evicts leave the tick's lists with those
  // evicted since the last tick, before anything is read of them; their
  // memory is reused only after this (net_release_dead).
  net_choose_victims(net);
  net_ask_turned_away(net);
  if (!net.dead_links.empty()) {
    std::erase_if(net.busy_links, [](const Link* l) { return l->dead; });
    std::erase_if(net.idle_links, [](const Net::IdleLink& e) { return e.link->dead; });
  }

  const bool time_went_back = later_than(net.latest_time, now);
  const bool wake_all = time_went_back || link_ms != net.tick_link_ms || focus != net.tick_focus;
  net.tick_link_ms = link_ms;
  net.tick_focus = focus;
  if (wake_all) {
    net.busy_links.clear();
    net.idle_links.clear();
    for (Link* link : net.all_links) file(link, tick_link(link));
  } else {
    std::vector<Link*>& busy = net.busy_links;
    for (std::size_t i = 0; i < busy.size();) {
      // (A link's hosts are most often busy ones, still at hand.)
      fetch_ahead(busy, i);
      Link* link = busy[i];
      const LinkTickState state = tick_link(link);
      if (state == LinkTickState::kBusy) {
        ++i;
        continue;
      }
      busy[i] = busy.back();
      busy.pop_back();
      file(link, state);
    }
    // Idle links whose time-out has ended become inactive. An entry whose
    // link carried frames since it was filed is out of date: the link is
    // busy again, or idle under a newer entry.
    std::vector<Net::IdleLink>& idle = net.idle_links;
    for (std::size_t i = 0; i < idle.size();) {
      const Net::IdleLink e = idle[i];
      if (elapsed_ms_wide(e.last_seen, now) < link_ms) {
        ++i;
        continue;
      }
      idle[i] = idle.back();
      idle.pop_back();
      Link* link = e.link;
      if (link->tick_state != LinkTickState::kIdle || later_than(link->last_seen, e.last_seen)) continue;
      link->active = 0;
      set_counted_active(*link, false);
      link->tick_state = LinkTickState::kAsleep;
      ++net.tick_changes;
    }
  }
  // Busy links still move their rates: what a map shows changes.
  if (!net.busy_links.empty()) ++net.tick_changes;

  // A host is active while it has sent within the node time-out, or while
  // any link from it or to it is active.
  // Not a const reference: through one, clang 14 loses whose lock guards it.
  std::vector<Node*>& hosts = net.all_hosts;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    fetch_ahead(hosts, i);
    Node* host = hosts[i];
    sample_rates(*host);
    const bool sent = host->frames_sent > 0 && elapsed_ms_wide(host->last_seen, now) < node_ms;
    const int active = (sent || host->active_links > 0) ? 1 : 0;
    if (active != host->active) ++net.tick_changes;
    host->active = active;
  }

  net_release_dead(net);
}

void link_refresh_dominant_all(Net& net) {
  std::shared_ptr<const FocusList> focus = net.model->focus ? net.model->focus->active_focus() : nullptr;
  MutexLock g(net.lock);
  for (Link* l : net.all_links) l->dominant_protocol.store(link_dominant(*l, focus.get()), std::memory_order_relaxed);
}

}  // namespace tarnix
