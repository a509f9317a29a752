#include "alarms/alarm_wiring.h"

#include <vector>

#include "core/mutex.h"

namespace tarnix {

namespace {
Net* as_net(ModelNet n) {
  return static_cast<Net*>(n.ptr);
}
Node* as_node(ModelHost h) {
  return static_cast<Node*>(h.ptr);
}
Link* as_link(ModelLink l) {
  return static_cast<Link*>(l.ptr);
}
const protocol_node* as_protocol(ModelProtocol p) {
  return static_cast<const protocol_node*>(p.ptr);
}
}  // namespace

// find_host and net_window: each call comes from an alarm pass on the
// capture thread, under the lock of the network being captured. An alarm
// made before the adapter was switched still names the network captured
// before, whose lock is not held; but the capture thread, every network's
// only writer, no longer writes that one, and readers on other threads
// only read it.

ModelHost CaptureAlarmModel::find_host(ModelNet net, const NetAddress& address) {
  Net* n = as_net(net);
  if (n == nullptr) return ModelHost{};
  n->lock.assert_held();
  return ModelHost{node_find(*n, address)};
}

ModelLink CaptureAlarmModel::find_link(ModelHost source, const NetAddress& destination) {
  Node* n = as_node(source);
  return ModelLink{n != nullptr ? link_find(*n, destination) : nullptr};
}

void CaptureAlarmModel::hold(ModelHost host) {
  if (Node* n = as_node(host)) n->held = true;
}

void CaptureAlarmModel::hold(ModelLink link) {
  if (Link* l = as_link(link)) l->held = true;
}

WindowCounts CaptureAlarmModel::host_window(ModelHost host) {
  const Node* n = as_node(host);
  return WindowCounts{n->window_frames, n->window_bytes};
}

bool CaptureAlarmModel::host_active(ModelHost host) {
  return as_node(host)->active == 1;
}

WindowCounts CaptureAlarmModel::link_window(ModelLink link) {
  const Link* l = as_link(link);
  return WindowCounts{l->window_frames, l->window_bytes};
}

bool CaptureAlarmModel::link_active(ModelLink link) {
  return as_link(link)->active == 1;
}

WindowCounts CaptureAlarmModel::net_window(ModelNet net) {
  const Net* n = as_net(net);
  if (n == nullptr) return WindowCounts{};
  n->lock.assert_held();
  return WindowCounts{n->window_frames, n->window_bytes};
}

ModelProtocol CaptureAlarmModel::protocol_lookup(std::string_view name) {
  return ModelProtocol{const_cast<protocol_node*>(tarnix::protocol_lookup(tree_, name))};
}

std::string CaptureAlarmModel::protocol_name(ModelProtocol protocol) {
  const protocol_node* p = as_protocol(protocol);
  return p != nullptr ? p->name : std::string();
}

std::uint64_t CaptureAlarmModel::protocol_take_frames(ModelProtocol protocol) {
  const protocol_node* p = as_protocol(protocol);
  return p != nullptr ? p->counters.take_frames() : 0;
}

AlarmRanking* CaptureAlarmModel::alarm_ranking() {
  const Net* net = net_current(model_);
  if (net == nullptr) return nullptr;
  std::unique_ptr<AlarmRanking>& r = rankings_[net];
  if (!r) r = std::make_unique<AlarmRanking>();
  return r.get();
}

void CaptureAlarmModel::reset_alarm_rankings() {
  for (auto& [net, ranking] : rankings_) ranking->reset();
}

struct HostCacheAlarmResolver::Outstanding {
  Mutex mutex;
  int count GUARDED_BY(mutex) = 0;
  std::vector<std::function<void()>> waiting GUARDED_BY(mutex);

  void settle() {
    std::vector<std::function<void()>> ready;
    {
      MutexLock lock(mutex);
      if (--count == 0) ready.swap(waiting);
    }
    for (auto& fn : ready) fn();
  }
};

HostCacheAlarmResolver::HostCacheAlarmResolver(HostCache& cache)
    : cache_(cache), outstanding_(std::make_shared<Outstanding>()) {}

bool HostCacheAlarmResolver::answered(std::function<void()> later) {
  MutexLock lock(outstanding_->mutex);
  if (outstanding_->count == 0) return true;
  outstanding_->waiting.push_back(std::move(later));
  return false;
}

void HostCacheAlarmResolver::request_ipv4(const NetAddress& address,
                                          std::function<void(const AlarmHost*)> completion) {
  {
    MutexLock lock(outstanding_->mutex);
    ++outstanding_->count;
  }
  // Settled when the request goes, answered or dropped unanswered.
  std::shared_ptr<Outstanding> outstanding = outstanding_;
  std::shared_ptr<void> token(nullptr, [outstanding](void*) { outstanding->settle(); });
  cache_.request_ipv4(
      address, [completion = std::move(completion), token, &cache = cache_](const HostCacheRef& entry) {
        if (entry == nullptr) {
          completion(nullptr);
          return;
        }
        AlarmHost host{entry->host_id, entry->address, cache.shown_name(entry.get()).name};
        completion(&host);
      });
}

}  // namespace tarnix
