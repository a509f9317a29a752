// The alarm engine's interfaces met by the real program: the traffic model of
// the capture side with the protocol tree, the host-name cache, and the
// capture step hook through which binding and evaluation run.
//
// Start-up, in this order: alarm_init; set st.model (a CaptureAlarmModel),
// st.resolver (a HostCacheAlarmResolver) and st.actions; alarm_load (see
// alarm_db.h); alarm_queue_all; install an AlarmStepSink as the traffic
// model's `hooks.step`; alarm_thread_start.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <unordered_map>

#include "alarms/alarm.h"
#include "capture/hooks.h"
#include "capture/net.h"
#include "naming/host_cache.h"
#include "pdl/protocol_tree.h"

namespace tarnix {

// Reads hosts, links, networks and protocol counters on the capture thread,
// from the alarm passes, which AlarmStepSink runs under the captured
// network's lock. Keeps one alarms ranking per network (the network record
// has none of its own).
class CaptureAlarmModel final : public AlarmModel {
 public:
  // tree may be null: no protocol is then known.
  CaptureAlarmModel(TrafficModel& model, const ProtocolTree* tree) : model_(model), tree_(tree) {}

  ModelNet current_net() override { return ModelNet{net_current(model_)}; }
  ModelHost find_host(ModelNet net, const NetAddress& address) override;
  ModelLink find_link(ModelHost source, const NetAddress& destination) override;
  void hold(ModelHost host) override;
  void hold(ModelLink link) override;
  WindowCounts host_window(ModelHost host) override;
  bool host_active(ModelHost host) override;
  WindowCounts link_window(ModelLink link) override;
  bool link_active(ModelLink link) override;
  WindowCounts net_window(ModelNet net) override;
  ModelProtocol protocol_lookup(std::string_view name) override;
  std::string protocol_name(ModelProtocol protocol) override;
  std::uint64_t protocol_take_frames(ModelProtocol protocol) override;
  AlarmRanking* alarm_ranking() override;
  void reset_alarm_rankings() override;

 private:
  TrafficModel& model_;
  const ProtocolTree* tree_;
  std::unordered_map<const Net*, std::unique_ptr<AlarmRanking>> rankings_;  // under the Alarm mutex
};

// The capture step hook: binding after every dispatch; the evaluation pass
// once a second (AlarmCadence), and in between only the recorded accesses
// that URL alarms wait for. A step that reads many seconds at once (a file
// read flat out) still gets a pass for each: the frame path calls in as each
// second begins, and the end of the source closes the last one.
class AlarmStepSink final : public CaptureStepSink {
 public:
  using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
  // `steady` stands in for the steady clock (tests).
  explicit AlarmStepSink(AlarmState& st, SteadyClock steady = {}) : st_(st), steady_(std::move(steady)) {}
  // Every pass runs under the network's lock, as the frame path's own call
  // (on_new_second) does: the model reads the hosts and windows it binds.
  void after_capture_step(Net& net) override {
    MutexLock held(net.lock);
    alarm_bind_step(st_);
    if (pass_due(net))
      alarm_eval_step(st_);
    else
      alarm_url_step(st_);
  }
  void on_new_second(Net& net) override {
    if (!pass_due(net)) return;
    alarm_bind_step(st_);
    alarm_eval_step(st_);
  }
  // The capture's last second gets its pass too: no later frame will open
  // one (a short file may hold a single second).
  void on_source_end(Net& net) override {
    MutexLock held(net.lock);
    alarm_bind_step(st_);
    alarm_eval_step(st_);
  }

 private:
  bool pass_due(const Net& net) {
    const std::int64_t second =
        net.model != nullptr ? net.model->capture_second.load(std::memory_order_relaxed) : 0;
    return cadence_.due(second, steady_ ? steady_() : std::chrono::steady_clock::now());
  }

  AlarmState& st_;
  SteadyClock steady_;
  AlarmCadence cadence_;  // capture thread only
};

// Resolves the hosts of loaded alarms through the name cache; the completion
// runs on the resolver thread.
class HostCacheAlarmResolver final : public AlarmResolver {
 public:
  explicit HostCacheAlarmResolver(HostCache& cache);
  void request_ipv4(const NetAddress& address, std::function<void(const AlarmHost*)> completion) override;

  // True when every request made so far has had its answer (or was
  // dropped); otherwise false, and `later` runs once on the resolver thread
  // when the last one has.
  bool answered(std::function<void()> later);

 private:
  struct Outstanding;
  HostCache& cache_;
  std::shared_ptr<Outstanding> outstanding_;  // shared with the queued requests
};

}  // namespace tarnix
