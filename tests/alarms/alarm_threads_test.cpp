// Every thread that touches alarms at once: the capture thread binding and
// evaluating, the resolver filling hosts, the recorder notifying URL
// accesses, the alarm thread acting and ranking, the builder replacing the
// set and a window reading the ranking. Run under ThreadSanitizer it must
// report nothing; without it, it checks that nothing is lost or doubled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "alarm_fakes.h"
#include "alarms/alarm.h"

namespace tarnix {
namespace {

using testing::FakeModel;
using testing::FakeTable;
using testing::ip;

class CountingLog : public AlarmLog, public Beeper, public CommandRunner {
 public:
  void add_alarm(const Alarm& alarm, std::uint32_t) override {
    // Reads what the action reads: the definition texts.
    if (!alarm.notify.empty()) logged.fetch_add(1);
  }
  void beep() override { beeps.fetch_add(1); }
  void run(const std::string& command, const AlarmCommandInfo& info) override {
    if (!command.empty() && !info.object.empty()) commands.fetch_add(1);
  }
  std::atomic<int> logged{0};
  std::atomic<int> beeps{0};
  std::atomic<int> commands{0};
};

AlarmList make_set(int generation) {
  AlarmList set;
  auto net = std::make_shared<Alarm>();
  net->object_type = kAlarmNetwork;
  net->kind = kAlarmThreshold;
  net->direction = kAlarmHigh;
  net->unit = kAlarmPackets;
  net->threshold = 1;
  net->disabled = 0;
  net->notify = "net " + std::to_string(generation);
  net->command = "true";
  net->run_command = 1;
  set.append(net);
  auto host = std::make_shared<Alarm>();
  host->object_type = kAlarmHost;
  host->kind = kAlarmOccurrence;
  host->disabled = 0;
  host->notify = "host " + std::to_string(generation);
  set.append(host);  // its host comes from the "resolver" below
  auto url = std::make_shared<Alarm>();
  url->object_type = kAlarmUrl;
  url->kind = kAlarmOccurrence;
  url->url_id = 3;
  url->disabled = 0;
  url->notify = "url " + std::to_string(generation);
  set.append(url);
  return set;
}

TEST(AlarmThreads, FiringEvaluatingAndReplacingAtOnce) {
  FakeModel model;
  model.current->window = {10, 1000};
  model.add_host("10.0.0.1");
  FakeTable table;
  CountingLog actions;
  auto st = alarm_init();
  st->model = &model;
  st->actions.log = &actions;
  st->actions.beeper = &actions;
  st->actions.command = &actions;
  st->loaded = make_set(0);
  alarm_queue_all(*st);
  alarm_thread_start(*st);

  std::atomic<bool> done{false};
  std::atomic<int> passes{0};
  std::atomic<int> notified{0};

  std::thread capture([&] {
    while (!done.load()) {
      alarm_bind_step(*st);
      alarm_eval_step(*st);
      passes.fetch_add(1);
      std::this_thread::yield();
    }
  });
  std::thread recorder([&] {
    for (int i = 1; !done.load(); ++i) {
      alarm_url_notify(*st, 3, i);
      notified.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread resolver([&] {
    // Fills the hosts of whatever records the set holds now, as completions
    // of load-time requests would.
    while (!done.load()) {
      for (AlarmPtr& a : [&] {
             std::vector<AlarmPtr> v;
             MutexLock lock(st->alarm_mutex);
             st->loaded.foreach ([&](const AlarmPtr& x) {
               if (x->object_type == kAlarmHost && x->host(1) == nullptr) v.push_back(x);
             });
             return v;
           }())
        a->set_host(1, AlarmHost{1, ip("10.0.0.1"), "one"});
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::thread window([&] {
    while (!done.load()) {
      auto top = alarm_top_snapshot(*st);
      auto summary = alarm_summaries(*st);
      EXPECT_LE(summary.size(), 3u);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });

  // The builder: copy, edit, replace, again and again.
  for (int generation = 1; generation <= 40; ++generation) {
    AlarmList copy = alarm_copy_set(*st);
    copy.foreach ([&](const AlarmPtr& a) { a->notify += "'"; });
    if (generation % 4 == 0) copy = make_set(generation);
    alarm_replace_set(*st, std::move(copy), &table);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  done = true;
  capture.join();
  recorder.join();
  resolver.join();
  window.join();

  // Let the alarm thread finish what is queued, then stop it.
  for (int i = 0; i < 1000; ++i) {
    {
      MutexLock lock(st->alarm_mutex);
      if (st->events.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  alarm_thread_stop(*st);

  EXPECT_GT(passes.load(), 0);
  EXPECT_GT(actions.logged.load(), 0);
  EXPECT_GT(actions.commands.load(), 0);
  EXPECT_GE(actions.beeps.load(), 1);
  EXPECT_EQ(table.saves, 40);
  // Every firing the thread logged was counted as an activation of a record
  // that is either live or retired, and the ranking holds only live records.
  auto top = alarm_top_snapshot(*st);
  auto summary = alarm_summaries(*st);
  ASSERT_EQ(summary.size(), 3u);
  for (const TopNEntry& e : top) {
    if (!e.has_name) continue;
    bool live = false;
    for (const AlarmSummary& s : summary) live = live || s.notify == e.name;
    EXPECT_TRUE(live) << e.name;
  }
}

}  // namespace
}  // namespace tarnix
