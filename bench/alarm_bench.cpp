// Cost of the alarm work on the capture thread: one bind and evaluation pass
// over a set of bound alarms, quiet and with every alarm firing.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "alarms/alarm.h"

namespace tarnix {
namespace {

struct BenchHost {
  WindowCounts window;
};

// A traffic model of plain records, found by index.
class BenchModel : public AlarmModel {
 public:
  explicit BenchModel(int hosts) : hosts_(static_cast<std::size_t>(hosts)), protocol_frames_(0) {}
  ModelNet current_net() override { return ModelNet{this}; }
  ModelHost find_host(ModelNet, const NetAddress& address) override {
    std::size_t i = static_cast<std::size_t>(address.bytes[2]) * 256 + address.bytes[3];
    return i < hosts_.size() ? ModelHost{&hosts_[i]} : ModelHost{};
  }
  ModelLink find_link(ModelHost, const NetAddress&) override { return {}; }
  WindowCounts host_window(ModelHost h) override { return static_cast<BenchHost*>(h.ptr)->window; }
  bool host_active(ModelHost) override { return true; }
  WindowCounts link_window(ModelLink) override { return {}; }
  bool link_active(ModelLink) override { return false; }
  WindowCounts net_window(ModelNet) override { return {20000, 12000000}; }
  ModelProtocol protocol_lookup(std::string_view) override { return ModelProtocol{this}; }
  std::string protocol_name(ModelProtocol) override { return "P"; }
  std::uint64_t protocol_take_frames(ModelProtocol) override {
    std::uint64_t f = protocol_frames_;
    protocol_frames_ = 0;
    return f;
  }
  AlarmRanking* alarm_ranking() override { return &ranking_; }

  void set_all(WindowCounts w) {
    for (BenchHost& h : hosts_) h.window = w;
  }
  void count_protocol(std::uint64_t frames) { protocol_frames_ += frames; }

 private:
  std::vector<BenchHost> hosts_;
  std::uint64_t protocol_frames_;
  AlarmRanking ranking_;
};

std::unique_ptr<AlarmState> make_state(BenchModel& model, int alarms) {
  auto st = alarm_init();
  st->model = &model;
  for (int i = 0; i < alarms; ++i) {
    auto a = std::make_shared<Alarm>();
    a->disabled = 0;
    a->direction = kAlarmHigh;
    switch (i % 4) {
      case 0:
      case 1:
        a->object_type = kAlarmHost;
        a->kind = kAlarmThreshold;
        a->unit = i % 8 < 4 ? kAlarmPackets : kAlarmPercent;
        a->threshold = 100;
        a->set_host(1, AlarmHost{i,
                                 NetAddress::ipv4(10, 0, static_cast<std::uint8_t>(i / 256),
                                                  static_cast<std::uint8_t>(i % 256)),
                                 ""});
        break;
      case 2:
        a->object_type = kAlarmNetwork;
        a->kind = kAlarmThreshold;
        a->unit = kAlarmKilobytes;
        a->threshold = 1000000;
        break;
      default:
        a->object_type = kAlarmProtocol;
        a->kind = kAlarmOccurrence;
        a->protocol = model.protocol_lookup("P");
        break;
    }
    st->loaded.append(a);
  }
  alarm_queue_all(*st);
  alarm_bind_step(*st);
  return st;
}

// The usual case: alarms bound, nothing to fire.
void BM_AlarmPassQuiet(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  BenchModel model(n);
  model.set_all({10, 6000});
  auto st = make_state(model, n);
  for (auto _ : state) {
    alarm_bind_step(*st);
    alarm_eval_step(*st);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AlarmPassQuiet)->Arg(10)->Arg(100)->Arg(1000);

// Every alarm fires on every pass: each firing queues an event under the
// Alarm mutex (the queue is emptied as the alarm thread would).
void BM_AlarmPassAllFiring(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  BenchModel model(n);
  model.set_all({5000, 6000000});
  auto st = make_state(model, n);
  for (auto _ : state) {
    model.count_protocol(1);
    alarm_bind_step(*st);
    alarm_eval_step(*st);
    MutexLock lock(st->alarm_mutex);
    AlarmEvent e;
    while (take_front(st->events, e)) {
    }
    st->alarm_wake.reset();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AlarmPassAllFiring)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace tarnix
