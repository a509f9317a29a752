// Binding and evaluation, pass by pass, against a fake traffic model.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "alarm_fakes.h"
#include "alarms/alarm.h"

namespace tarnix {
namespace {

using testing::FakeHost;
using testing::FakeModel;
using testing::FakeProtocol;
using testing::ip;

class AlarmEval : public ::testing::Test {
 protected:
  void SetUp() override {
    st = alarm_init();
    st->model = &model;
    st->clock = [] { return 1000u; };
  }

  AlarmPtr add(std::int32_t type, std::int32_t kind, std::uint32_t threshold = 0,
               std::int32_t direction = kAlarmHigh, std::int32_t unit = kAlarmPackets) {
    auto a = std::make_shared<Alarm>();
    a->object_type = type;
    a->kind = kind;
    a->threshold = threshold;
    a->direction = direction;
    a->unit = unit;
    a->disabled = 0;
    a->notify = "alarm " + std::to_string(st->loaded.count() + 1);
    st->loaded.append(a);
    return a;
  }
  AlarmPtr add_host_alarm(const char* address, std::int32_t kind, std::uint32_t threshold = 0,
                          std::int32_t direction = kAlarmHigh, std::int32_t unit = kAlarmPackets) {
    AlarmPtr a = add(kAlarmHost, kind, threshold, direction, unit);
    a->set_host(1, AlarmHost{7, ip(address), address});
    return a;
  }

  // One capture step's alarm work; returns the events it queued.
  std::vector<AlarmEvent> pass() {
    alarm_bind_step(*st);
    alarm_eval_step(*st);
    std::vector<AlarmEvent> out;
    MutexLock lock(st->alarm_mutex);
    AlarmEvent e;
    while (take_front(st->events, e)) out.push_back(e);
    return out;
  }
  int fired(const AlarmPtr& a, const std::vector<AlarmEvent>& events) {
    return static_cast<int>(
        std::count_if(events.begin(), events.end(), [&](const AlarmEvent& e) { return e.alarm == a; }));
  }

  FakeModel model;
  std::unique_ptr<AlarmState> st;
};

TEST_F(AlarmEval, HostThresholdHighFiresEveryPassAtOrAboveAndStopsBelow) {
  FakeHost* h = model.add_host("10.0.0.5");
  AlarmPtr a = add_host_alarm("10.0.0.5", kAlarmThreshold, 10);
  alarm_queue_all(*st);

  h->window.frames = 10;
  for (int i = 0; i < 3; ++i) {
    auto ev = pass();
    ASSERT_EQ(fired(a, ev), 1) << "pass " << i;
    EXPECT_EQ(ev[0].value, 10u);
    EXPECT_EQ(ev[0].time, 1000u);
  }
  h->window.frames = 250;
  EXPECT_EQ(fired(a, pass()), 1);
  h->window.frames = 9;
  EXPECT_EQ(fired(a, pass()), 0);
  EXPECT_EQ(fired(a, pass()), 0);
  h->window.frames = 10;
  EXPECT_EQ(fired(a, pass()), 1);
}

TEST_F(AlarmEval, ThresholdLowZeroNeverFiresInAnyUnit) {
  FakeHost* h = model.add_host("10.0.0.1");
  model.add_host("10.0.0.2");
  model.add_link(h, "10.0.0.2");
  std::vector<AlarmPtr> alarms;
  for (std::int32_t unit : {kAlarmPackets, kAlarmKilobytes, kAlarmPercent}) {
    alarms.push_back(add_host_alarm("10.0.0.1", kAlarmThreshold, 0, kAlarmLow, unit));
    alarms.push_back(add(kAlarmNetwork, kAlarmThreshold, 0, kAlarmLow, unit));
    AlarmPtr l = add(kAlarmLink, kAlarmThreshold, 0, kAlarmLow, unit);
    l->set_host(1, AlarmHost{1, ip("10.0.0.1"), ""});
    l->set_host(2, AlarmHost{2, ip("10.0.0.2"), ""});
    alarms.push_back(l);
  }
  alarm_queue_all(*st);
  for (WindowCounts w : {WindowCounts{0, 0}, WindowCounts{1, 60}, WindowCounts{100000, 150000000}}) {
    h->window = w;
    h->links[0]->window = w;
    model.current->window = w;
    EXPECT_TRUE(pass().empty());
  }
  EXPECT_EQ(st->active.count(), 9);
}

TEST_F(AlarmEval, BandwidthPercentOfTenMegabitWithFraming) {
  // 1,000 frames of 1,000 bytes: (1,000,000 x 800 + 1,000 x 19,200) / 10,000,000 = 81.
  AlarmPtr at81 = add(kAlarmNetwork, kAlarmThreshold, 81, kAlarmHigh, kAlarmPercent);
  AlarmPtr at82 = add(kAlarmNetwork, kAlarmThreshold, 82, kAlarmHigh, kAlarmPercent);
  AlarmPtr below82 = add(kAlarmNetwork, kAlarmThreshold, 82, kAlarmLow, kAlarmPercent);
  alarm_queue_all(*st);
  model.current->window = {1000, 1000000};
  auto ev = pass();
  EXPECT_EQ(fired(at81, ev), 1);
  EXPECT_EQ(fired(at82, ev), 0);
  EXPECT_EQ(fired(below82, ev), 1);
  for (auto& e : ev) EXPECT_EQ(e.value, 81u);

  // Large byte counts must not wrap: 6,000,000 bytes a second is 480 percent.
  std::uint32_t measured = 0;
  EXPECT_TRUE(alarm_threshold_test(*at82, {4000, 6000000}, &measured));
  EXPECT_EQ(measured, 487u);  // (4.8e9 + 7.68e7) / 1e7
}

TEST_F(AlarmEval, KilobytesCompareBytesWithThresholdTimes1024) {
  FakeHost* h = model.add_host("10.0.0.5");
  AlarmPtr high = add_host_alarm("10.0.0.5", kAlarmThreshold, 5, kAlarmHigh, kAlarmKilobytes);
  AlarmPtr low = add_host_alarm("10.0.0.5", kAlarmThreshold, 5, kAlarmLow, kAlarmKilobytes);
  alarm_queue_all(*st);
  h->window = {3, 5120};
  auto ev = pass();
  EXPECT_EQ(fired(high, ev), 1);
  EXPECT_EQ(fired(low, ev), 0);
  EXPECT_EQ(ev[0].value, 5u);
  h->window = {3, 5119};
  ev = pass();
  EXPECT_EQ(fired(high, ev), 0);
  EXPECT_EQ(fired(low, ev), 1);

  // A threshold whose byte value exceeds 32 bits still compares right.
  Alarm big;
  big.unit = kAlarmKilobytes;
  big.direction = kAlarmHigh;
  big.threshold = 5000000;  // 5,120,000,000 bytes
  EXPECT_FALSE(alarm_threshold_test(big, {1, 0xFFFFFFFFu}));
  big.direction = kAlarmLow;
  EXPECT_TRUE(alarm_threshold_test(big, {1, 0xFFFFFFFFu}));
}

TEST_F(AlarmEval, UnknownUnitOrDirectionNeverFires) {
  Alarm a;
  a.threshold = 0;
  a.unit = 3;
  a.direction = kAlarmHigh;
  EXPECT_FALSE(alarm_threshold_test(a, {10, 10}));
  a.unit = kAlarmPackets;
  a.direction = 2;
  EXPECT_FALSE(alarm_threshold_test(a, {10, 10}));
  a.direction = kAlarmHigh;
  EXPECT_TRUE(alarm_threshold_test(a, {10, 10}));
}

TEST_F(AlarmEval, ConditionsThatCanNeverFire) {
  FakeProtocol* http = model.add_protocol("HTTP");
  AlarmPtr net_occ = add(kAlarmNetwork, kAlarmOccurrence);
  AlarmPtr proto_thr = add(kAlarmProtocol, kAlarmThreshold, 0, kAlarmHigh, kAlarmPackets);
  proto_thr->protocol = model.protocol_lookup("HTTP");
  AlarmPtr url_thr = add(kAlarmUrl, kAlarmThreshold, 0, kAlarmHigh, kAlarmPackets);
  url_thr->url_id = 4;
  alarm_queue_all(*st);
  model.current->window = {500, 500000};
  FakeModel::count(http, 20, 100);
  alarm_url_notify(*st, 4, 9);
  EXPECT_TRUE(pass().empty());
  EXPECT_EQ(st->active.count(), 3);
  // A threshold test on a protocol leaves its counters alone.
  EXPECT_EQ(http->frames, 20u);
}

TEST_F(AlarmEval, HostAndLinkOccurrenceFollowTheActiveFlag) {
  FakeHost* a = model.add_host("10.0.0.1");
  model.add_host("10.0.0.2");
  auto* link = model.add_link(a, "10.0.0.2");
  AlarmPtr host_alarm = add_host_alarm("10.0.0.1", kAlarmOccurrence);
  AlarmPtr link_alarm = add(kAlarmLink, kAlarmOccurrence);
  link_alarm->set_host(1, AlarmHost{1, ip("10.0.0.1"), ""});
  link_alarm->set_host(2, AlarmHost{2, ip("10.0.0.2"), ""});
  alarm_queue_all(*st);
  auto ev = pass();
  EXPECT_EQ(fired(host_alarm, ev), 1);
  EXPECT_EQ(fired(link_alarm, ev), 1);
  a->active = false;
  link->active = false;
  EXPECT_TRUE(pass().empty());
}

TEST_F(AlarmEval, SecondAlarmOnTheSameProtocolSeesClearedCounters) {
  FakeProtocol* http = model.add_protocol("HTTP");
  AlarmPtr first = add(kAlarmProtocol, kAlarmOccurrence);
  AlarmPtr second = add(kAlarmProtocol, kAlarmOccurrence);
  first->protocol = second->protocol = model.protocol_lookup("HTTP");
  alarm_queue_all(*st);

  FakeModel::count(http, 3, 60);
  auto ev = pass();
  EXPECT_EQ(fired(first, ev), 1);
  EXPECT_EQ(fired(second, ev), 0);
  EXPECT_EQ(ev[0].value, 3u);
  EXPECT_EQ(http->frames, 0u);
  EXPECT_EQ(http->bytes, 0u);

  // Nothing counted since the previous pass: nothing fires.
  EXPECT_TRUE(pass().empty());
  FakeModel::count(http, 1, 60);
  ev = pass();
  EXPECT_EQ(fired(first, ev), 1);
  EXPECT_EQ(fired(second, ev), 0);
}

TEST_F(AlarmEval, UrlOccurrenceFiresOncePerAccessAndKeepsTheLastAccess) {
  AlarmPtr watched = add(kAlarmUrl, kAlarmOccurrence);
  watched->url_id = 17;
  AlarmPtr other = add(kAlarmUrl, kAlarmOccurrence);
  other->url_id = 18;
  AlarmPtr off = add(kAlarmUrl, kAlarmOccurrence);
  off->url_id = 17;
  off->disabled = 1;
  alarm_queue_all(*st);
  EXPECT_TRUE(pass().empty());

  alarm_url_notify(*st, 17, 100, 1000000000);  // a request read from an old capture
  alarm_url_notify(*st, 17, 101);
  alarm_url_notify(*st, 99, 102);
  auto ev = pass();
  ASSERT_EQ(fired(watched, ev), 2);
  EXPECT_EQ(fired(other, ev), 0);
  EXPECT_EQ(fired(off, ev), 0);
  EXPECT_EQ(ev[0].value, 100u);
  EXPECT_EQ(ev[1].value, 101u);
  // The event is logged at the request's time; without one, the clock's.
  EXPECT_EQ(ev[0].time, 1000000000u);
  EXPECT_EQ(ev[1].time, 1000u);
  EXPECT_EQ(watched->last_access.load(), 101);
  EXPECT_EQ(other->last_access.load(), 0);
  // Each access fires once: the queue is drained.
  EXPECT_TRUE(pass().empty());
}

TEST_F(AlarmEval, BindingWaitsForResolvedHostsAndModelRecords) {
  AlarmPtr host_alarm = add(kAlarmHost, kAlarmOccurrence);
  AlarmPtr link_alarm = add(kAlarmLink, kAlarmOccurrence);
  alarm_queue_all(*st);
  pass();
  EXPECT_EQ(st->waiting.count(), 2);  // hosts not resolved yet

  host_alarm->set_host(1, AlarmHost{3, ip("10.0.0.1"), ""});
  link_alarm->set_host(1, AlarmHost{3, ip("10.0.0.1"), ""});
  link_alarm->set_host(2, AlarmHost{4, ip("10.0.0.2"), ""});
  pass();
  EXPECT_EQ(st->waiting.count(), 2);  // no such hosts in the model yet

  FakeHost* h1 = model.add_host("10.0.0.1");
  model.add_host("10.0.0.2");
  auto ev = pass();
  EXPECT_EQ(st->active.count(), 1);
  EXPECT_EQ(fired(host_alarm, ev), 1);
  EXPECT_EQ(link_alarm->bound_link, ModelLink{});  // both hosts, but no link from 1 to 2

  model.add_link(h1, "10.0.0.2");
  ev = pass();
  EXPECT_EQ(st->waiting.count(), 0);
  EXPECT_EQ(fired(link_alarm, ev), 1);
  EXPECT_TRUE(link_alarm->bound_host1 && link_alarm->bound_host2 && link_alarm->bound_link);
}

TEST_F(AlarmEval, DisabledAndUnbindableAlarmsStayWaiting) {
  model.add_host("10.0.0.1");
  AlarmPtr disabled = add_host_alarm("10.0.0.1", kAlarmOccurrence);
  disabled->disabled = 1;
  AlarmPtr no_protocol = add(kAlarmProtocol, kAlarmOccurrence);
  AlarmPtr no_url = add(kAlarmUrl, kAlarmOccurrence);
  AlarmPtr odd_type = add(9, kAlarmOccurrence);
  AlarmPtr net = add(kAlarmNetwork, kAlarmThreshold, 1, kAlarmHigh, kAlarmPackets);
  alarm_queue_all(*st);
  EXPECT_EQ(st->waiting.count(), 4);  // type 9 is never queued
  model.current->window = {5, 500};
  auto ev = pass();
  EXPECT_EQ(fired(net, ev), 1);
  EXPECT_EQ(ev.size(), 1u);
  EXPECT_EQ(st->waiting.count(), 3);
  EXPECT_EQ(st->active.count(), 1);
}

TEST_F(AlarmEval, UrlBindingClearsLastAccess) {
  AlarmPtr a = add(kAlarmUrl, kAlarmOccurrence);
  a->url_id = 5;
  a->last_access = 77;
  alarm_queue_all(*st);
  pass();
  EXPECT_EQ(a->last_access.load(), 0);
  EXPECT_EQ(st->active.count(), 1);
}

TEST_F(AlarmEval, QueueAllTwiceListsEachAlarmOnce) {
  add(kAlarmNetwork, kAlarmThreshold);
  add(kAlarmUrl, kAlarmOccurrence);
  alarm_queue_all(*st);
  alarm_queue_all(*st);
  EXPECT_EQ(st->waiting.count(), 2);
}

TEST_F(AlarmEval, PausedEvaluationDoesNothingAndResumes) {
  AlarmPtr net = add(kAlarmNetwork, kAlarmThreshold, 0, kAlarmHigh, kAlarmPackets);
  alarm_queue_all(*st);
  alarm_pause_evaluation(*st);  // no step has ever run: must not wait
  EXPECT_TRUE(pass().empty());
  EXPECT_EQ(st->waiting.count(), 1);
  // Pauses nest: two pausers, both must resume.
  alarm_pause_evaluation(*st);
  alarm_resume_evaluation(*st);
  EXPECT_TRUE(pass().empty());
  alarm_resume_evaluation(*st);
  EXPECT_EQ(fired(net, pass()), 1);
  EXPECT_TRUE(st->alarm_idle.is_set());
}

TEST_F(AlarmEval, PauseWaitsForARunningPass) {
  add(kAlarmNetwork, kAlarmThreshold, 0, kAlarmHigh, kAlarmPackets);
  alarm_queue_all(*st);
  alarm_bind_step(*st);
  ManualEvent inside, release;
  model.on_net_window = [&] {
    inside.set();
    release.wait();
  };
  std::thread capture([&] { alarm_eval_step(*st); });
  inside.wait();
  std::atomic<bool> paused{false};
  std::thread builder([&] {
    alarm_pause_evaluation(*st);
    paused = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(paused.load());
  release.set();
  capture.join();
  builder.join();
  EXPECT_TRUE(paused.load());
  alarm_resume_evaluation(*st);
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

// Steps of the capture loop as (capture second, steady milliseconds) and
// whether each is an evaluation pass.
TEST(AlarmCadence, OnePassPerSecondOfCaptureOrOfSilence) {
  struct Step {
    std::int64_t second;
    int steady_ms;
    bool due;
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"a busy loop within one second passes once",
       {{100, 0, true}, {100, 1, false}, {100, 400, false}, {100, 999, false}, {101, 1000, true}}},
      {"a file read flat out passes once per second of its traffic",
       {{100, 0, true}, {101, 1, true}, {105, 2, true}, {105, 3, false}, {106, 4, true}}},
      {"silence carries the second on by the steady clock",
       {{100, 0, true}, {100, 999, false}, {100, 1000, true}, {100, 1500, false}, {100, 2000, true}}},
      {"a late frame after a silent pass is not a second pass",
       {{100, 0, true}, {100, 1000, true}, {101, 1050, false}, {101, 2040, false}, {102, 2050, true}}},
      {"time going back is another capture, counted afresh",
       {{500, 0, true}, {500, 10, false}, {100, 20, true}, {100, 30, false}, {101, 40, true}}},
  };
  for (const auto& c : cases) {
    AlarmCadence cadence;
    const std::chrono::steady_clock::time_point zero{};
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      EXPECT_EQ(cadence.due(s.second, zero + std::chrono::milliseconds(s.steady_ms)), s.due)
          << c.name << ", step " << i;
    }
  }
}

// The storm: a condition held pass after pass logs every pass but starts its
// command once on entering, then once per interval; leaving and entering
// again starts it at once.
TEST_F(AlarmEval, CostlyActionsRunOnEnteringThenOncePerInterval) {
  testing::RecordingActions rec;
  rec.install(*st);
  std::uint32_t now = 1000;
  st->clock = [&now] { return now; };
  FakeHost* h = model.add_host("10.0.0.5");
  AlarmPtr a = add_host_alarm("10.0.0.5", kAlarmThreshold, 500);
  a->command = "touch x";
  a->run_command = 1;
  a->sound_file = "ding.wav";
  a->play_sound = 1;
  alarm_queue_all(*st);

  auto run = [&](std::uint32_t frames, int passes) {
    int logged = 0, commands = 0, sounds = 0;
    h->window.frames = frames;
    for (int i = 0; i < passes; ++i, ++now)
      for (const AlarmEvent& e : pass()) alarm_perform_actions(*st, e);
    for (const std::string& e : rec.take()) {
      logged += e.rfind("log ", 0) == 0;
      commands += e.rfind("command ", 0) == 0;
      sounds += e.rfind("sound ", 0) == 0;
    }
    return std::tuple(logged, commands, sounds);
  };
  EXPECT_EQ(run(700, 59), std::tuple(59, 1, 1));  // entered at 1000; held to 1058
  EXPECT_EQ(run(700, 2), std::tuple(2, 1, 1));    // 1060: a minute after 1000
  EXPECT_EQ(run(10, 3), std::tuple(0, 0, 0));     // left
  EXPECT_EQ(run(700, 2), std::tuple(2, 1, 1));    // entered again
  EXPECT_EQ(a->activations->times.size(), 63u);   // every firing counted
}

// URL alarms fire per access, never "entering": a flood of accesses starts
// the command once per interval.
TEST_F(AlarmEval, UrlFloodRunsItsCommandOncePerInterval) {
  testing::RecordingActions rec;
  rec.install(*st);
  AlarmPtr a = add(kAlarmUrl, kAlarmOccurrence);
  a->url_id = 9;
  a->command = "touch x";
  a->run_command = 1;
  alarm_queue_all(*st);
  pass();
  for (std::uint32_t t : {1000u, 1001u, 1030u, 1059u, 1060u, 1061u}) alarm_url_notify(*st, 9, 1, t);
  for (const AlarmEvent& e : pass()) alarm_perform_actions(*st, e);
  auto events = rec.take();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e.rfind("command", 0) == 0; }),
            2);
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e.rfind("log", 0) == 0; }),
            6);
}

}  // namespace
}  // namespace tarnix
