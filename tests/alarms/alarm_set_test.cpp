// Loading, saving, copying and replacing the alarm set; the alarm thread and
// the order of its actions.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "alarm_fakes.h"
#include "alarms/alarm.h"

namespace tarnix {
namespace {

using testing::FakeModel;
using testing::FakeResolver;
using testing::FakeTable;
using testing::ip;
using testing::RecordingActions;

AlarmTableRow row(std::int32_t type, std::int32_t kind) {
  AlarmTableRow r;
  r.object_type = type;
  r.kind = kind;
  r.direction = kAlarmHigh;
  r.unit = kAlarmPackets;
  r.notify = "row";
  return r;
}

class AlarmSet : public ::testing::Test {
 protected:
  void SetUp() override {
    st = alarm_init();
    st->model = &model;
    st->resolver = &resolver;
    st->clock = [this] { return clock_value.load(); };
    model.add_protocol("HTTP");
    table.host_addresses = {{11, "10.0.0.1"}, {12, "10.0.0.2"}};
    resolver.ids = {{"10.0.0.1", 11}, {"10.0.0.2", 12}};
    table.urls = {40};
  }

  template <class Pred>
  static bool eventually(Pred pred) {
    for (int i = 0; i < 500; ++i) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
  }

  FakeModel model;
  FakeResolver resolver;
  FakeTable table;
  std::atomic<std::uint32_t> clock_value{5000};
  std::unique_ptr<AlarmState> st;
};

TEST_F(AlarmSet, LoadFillsEveryFieldAndResolvesHostsLater) {
  AlarmTableRow link = row(kAlarmLink, kAlarmThreshold);
  link.alarm_id = 3;
  link.host1_id = 11;
  link.host2_id = 12;
  link.reserved = 6;
  link.threshold = 41.9;
  link.direction = kAlarmLow;
  link.unit = kAlarmPercent;
  link.notify = "backup";
  link.disabled = 0;
  link.sound_file = R"(C:\sounds\ding.wav)";
  link.play_sound = 1;
  link.command = R"(echo "a\b")";
  link.run_command = 1;
  link.reserved2 = 9;
  table.rows = {link};

  AlarmList loaded;
  alarm_load(*st, table, loaded);
  ASSERT_EQ(loaded.count(), 1);
  const Alarm& a = *loaded.head()->data;
  EXPECT_EQ(a.alarm_id, 3);
  EXPECT_EQ(a.object_type, kAlarmLink);
  EXPECT_EQ(a.threshold, 41u);  // truncated
  EXPECT_EQ(a.direction, kAlarmLow);
  EXPECT_EQ(a.unit, kAlarmPercent);
  EXPECT_EQ(a.reserved, 6);
  EXPECT_EQ(a.reserved2, 9);
  EXPECT_EQ(a.sound_file, R"(C:\sounds\ding.wav)");
  EXPECT_EQ(a.command, R"(echo "a\b")");
  EXPECT_EQ(a.owner, model.current_net());
  EXPECT_EQ(a.top_position, -1);

  // Hosts arrive only when the resolver answers.
  EXPECT_EQ(a.host(1), nullptr);
  EXPECT_EQ(resolver.pending_count(), 2u);
  resolver.answer_all();
  ASSERT_NE(a.host(1), nullptr);
  ASSERT_NE(a.host(2), nullptr);
  EXPECT_EQ(a.host(1)->address, ip("10.0.0.1"));
  EXPECT_EQ(a.host(2)->host_id, 12);
}

TEST_F(AlarmSet, UnknownProtocolAndVanishedUrlLoadUnbound) {
  AlarmTableRow proto = row(kAlarmProtocol, kAlarmOccurrence);
  proto.protocol = "GOPHERISH";
  proto.disabled = 0;
  AlarmTableRow gone = row(kAlarmUrl, kAlarmOccurrence);
  gone.url_id = 41;  // not in urls
  gone.disabled = 0;
  AlarmTableRow kept = row(kAlarmUrl, kAlarmOccurrence);
  kept.url_id = 40;
  kept.disabled = 0;
  AlarmTableRow unknown_host = row(kAlarmHost, kAlarmOccurrence);
  unknown_host.host1_id = 99;  // no host_cache row
  unknown_host.disabled = 0;
  table.rows = {proto, gone, kept, unknown_host};

  alarm_load(*st, table, st->loaded);
  alarm_queue_all(*st);
  resolver.answer_all();
  alarm_bind_step(*st);
  ASSERT_EQ(st->active.count(), 1);
  EXPECT_EQ(st->active.head()->data->url_id, 40);
  const Alarm& p = *st->loaded.head()->data;
  EXPECT_FALSE(p.protocol);
  EXPECT_EQ(p.protocol_name, "GOPHERISH");
  EXPECT_EQ(st->loaded.head()->next->data->url_id, 0);
  EXPECT_EQ(st->waiting.count(), 3);

  // Saving keeps the protocol name that nothing could be found for, and the
  // host id that could not be resolved.
  alarm_save(*st, table, st->loaded);
  EXPECT_EQ(table.rows[0].protocol, "GOPHERISH");
  EXPECT_EQ(table.rows[3].host1_id, 99);
}

TEST_F(AlarmSet, OddThresholdValuesLoadWithinRange) {
  AlarmTableRow neg = row(kAlarmNetwork, kAlarmThreshold);
  neg.threshold = -5;
  AlarmTableRow huge = row(kAlarmNetwork, kAlarmThreshold);
  huge.threshold = 1e12;
  AlarmTableRow nan = row(kAlarmNetwork, kAlarmThreshold);
  nan.threshold = std::nan("");
  table.rows = {neg, huge, nan};
  AlarmList loaded;
  alarm_load(*st, table, loaded);
  auto* n = loaded.head();
  EXPECT_EQ(n->data->threshold, 0u);
  EXPECT_EQ(n->next->data->threshold, 0xFFFFFFFFu);
  EXPECT_EQ(n->next->next->data->threshold, 0u);
}

TEST_F(AlarmSet, SaveAndLoadRoundTripKeepsTextsAsTheyAre) {
  AlarmTableRow a = row(kAlarmHost, kAlarmThreshold);
  a.host1_id = 11;
  a.threshold = 100;
  a.notify = R"(it's "quoted" \ back\slashed)";
  a.sound_file = R"(/usr/share/sounds/a b.wav)";
  a.command = R"(printf '%s\n' "$TARNIX_ALARM_NOTIFY" >> /tmp/x)";
  a.play_sound = 1;
  a.run_command = 1;
  a.reserved = 2;
  a.reserved2 = 3;
  AlarmTableRow b = row(kAlarmProtocol, kAlarmOccurrence);
  b.protocol = "HTTP";
  AlarmTableRow c = row(kAlarmUrl, kAlarmOccurrence);
  c.url_id = 40;
  table.rows = {a, b, c};

  AlarmList loaded;
  alarm_load(*st, table, loaded);
  resolver.answer_all();
  std::vector<AlarmTableRow> before = table.rows;
  alarm_save(*st, table, loaded);
  ASSERT_EQ(table.rows.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    AlarmTableRow expected = before[i];
    expected.alarm_id = table.rows[i].alarm_id;
    EXPECT_EQ(table.rows[i], expected) << "row " << i;
  }
  // The records learn the ids their rows were given.
  EXPECT_EQ(loaded.head()->data->alarm_id, table.rows[0].alarm_id);
}

TEST_F(AlarmSet, CopyIsUnboundUnrankedAndSharesActivations) {
  auto a = std::make_shared<Alarm>();
  a->alarm_id = 8;
  a->object_type = kAlarmLink;
  a->kind = kAlarmThreshold;
  a->set_host(1, AlarmHost{1, ip("10.0.0.1"), "one"});
  a->set_host(2, AlarmHost{2, ip("10.0.0.2"), "two"});
  a->bound_host1 = ModelHost{&model};
  a->bound_link = ModelLink{&model};
  a->protocol_name = "HTTP";
  a->threshold = 12;
  a->notify = "n";
  a->sound_file = "s";
  a->command = "c";
  a->play_sound = a->run_command = 1;
  a->reserved = 4;
  a->reserved2 = 5;
  a->disabled = 0;
  a->top_position = 3;
  a->activations->times = {1, 2};

  AlarmPtr c = alarm_copy(*a);
  EXPECT_EQ(c->alarm_id, 0);
  EXPECT_EQ(c->reserved2, 0);
  EXPECT_EQ(c->reserved, 4);
  EXPECT_EQ(c->top_position, -1);
  EXPECT_FALSE(c->bound_host1);
  EXPECT_FALSE(c->bound_link);
  ASSERT_NE(c->host(2), nullptr);
  EXPECT_EQ(c->host(2)->name, "two");
  EXPECT_NE(c->host(2), a->host(2));  // its own copy of the host
  EXPECT_EQ(c->threshold, 12u);
  EXPECT_EQ(c->notify, "n");
  EXPECT_EQ(c->command, "c");
  EXPECT_EQ(c->sound_file, "s");
  EXPECT_EQ(c->disabled, 0);
  EXPECT_EQ(c->activations, a->activations);
  a->notify = "changed";
  EXPECT_EQ(c->notify, "n");
}

TEST_F(AlarmSet, ActionsRunInOrderAndRankTheAlarm) {
  RecordingActions rec;
  rec.install(*st);
  auto a = std::make_shared<Alarm>();
  a->object_type = kAlarmNetwork;
  a->notify = "busy";
  a->sound_file = "/s.wav";
  a->play_sound = 1;
  a->command = "notify-me";
  a->run_command = 1;
  st->loaded.append(a);
  alarm_perform_actions(*st, AlarmEvent{a, 77, 5});
  EXPECT_EQ(rec.take(), (std::vector<std::string>{"log busy 77", "sound /s.wav",
                                                  "command notify-me [busy|network|5|77]"}));
  EXPECT_EQ(a->activations->times, std::vector<std::uint32_t>{77});
  EXPECT_EQ(a->top_position, 0);
  auto top = alarm_top_snapshot(*st);
  ASSERT_GE(top.size(), 1u);
  EXPECT_EQ(top[0].name, "busy");
  EXPECT_EQ(top[0].value, 1u);

  // Flags other than 1, or empty texts, skip the sound and the command.
  a->play_sound = 2;
  a->command.clear();
  alarm_perform_actions(*st, AlarmEvent{a, 78, 0});
  EXPECT_EQ(rec.take(), std::vector<std::string>{"log busy 78"});
}

TEST_F(AlarmSet, RankingOrdersByFirings) {
  auto a = std::make_shared<Alarm>();
  a->notify = "a";
  auto b = std::make_shared<Alarm>();
  b->notify = "b";
  for (auto t : {1u, 2u}) alarm_perform_actions(*st, AlarmEvent{a, t, 0});
  for (auto t : {1u, 2u, 3u}) alarm_perform_actions(*st, AlarmEvent{b, t, 0});
  auto top = alarm_top_snapshot(*st);
  ASSERT_EQ(top.size(), 3u);  // two entries and the end marker
  EXPECT_EQ(top[0].name, "b");
  EXPECT_EQ(top[0].value, 3u);
  EXPECT_EQ(top[1].name, "a");
  EXPECT_FALSE(top[2].has_name);
}

TEST_F(AlarmSet, AlarmThreadBeepsOncePerWakeAndActsOnEveryEvent) {
  RecordingActions rec;
  rec.install(*st);
  auto a = std::make_shared<Alarm>();
  a->notify = "x";
  {
    // Queued before the thread runs: one wake, one beep, three actions.
    alarm_fire(*st, a, 0);
    alarm_fire(*st, a, 0);
    alarm_fire(*st, a, 0);
  }
  alarm_thread_start(*st);
  ASSERT_TRUE(eventually([&] { return rec.size() >= 4; }));
  ASSERT_TRUE(eventually([&] { return !st->alarm_wake.is_set(); }));
  auto events = rec.take();
  EXPECT_EQ(events.front(), "beep");
  EXPECT_EQ(std::count(events.begin(), events.end(), "beep"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "log x 5000"), 3);

  // A later firing wakes it again.
  clock_value = 6000;
  alarm_fire(*st, a, 0);
  ASSERT_TRUE(eventually([&] { return rec.size() >= 2; }));
  EXPECT_EQ(rec.take(), (std::vector<std::string>{"beep", "log x 6000"}));
  alarm_thread_stop(*st);
  MutexLock lock(st->alarm_mutex);
  EXPECT_EQ(a->activations->times.size(), 4u);
}

TEST_F(AlarmSet, ReplacingTheSetRestartsBindingRefillsRankingAndSaves) {
  model.add_host("10.0.0.1");
  auto old_alarm = std::make_shared<Alarm>();
  old_alarm->object_type = kAlarmNetwork;
  old_alarm->kind = kAlarmThreshold;
  old_alarm->direction = kAlarmHigh;
  old_alarm->unit = kAlarmPackets;
  old_alarm->disabled = 0;
  old_alarm->notify = "old";
  st->loaded.append(old_alarm);
  alarm_queue_all(*st);
  alarm_bind_step(*st);
  ASSERT_EQ(st->active.count(), 1);
  alarm_perform_actions(*st, AlarmEvent{old_alarm, 1, 0});
  // An event of the old set is still queued when the set is replaced.
  alarm_fire(*st, old_alarm, 0);

  AlarmList edited = alarm_copy_set(*st);
  ASSERT_EQ(edited.count(), 1);
  edited.head()->data->notify = "renamed";
  auto added = std::make_shared<Alarm>();
  added->object_type = kAlarmHost;
  added->kind = kAlarmOccurrence;
  added->disabled = 0;
  added->notify = "new";
  added->set_host(1, AlarmHost{11, ip("10.0.0.1"), ""});
  edited.append(added);

  alarm_replace_set(*st, std::move(edited), &table);
  EXPECT_TRUE(old_alarm->retired);
  EXPECT_EQ(st->loaded.count(), 2);
  EXPECT_EQ(st->active.count(), 0);
  EXPECT_EQ(st->waiting.count(), 2);
  EXPECT_EQ(table.saves, 1);
  ASSERT_EQ(table.rows.size(), 2u);
  EXPECT_EQ(table.rows[0].notify, "renamed");
  EXPECT_EQ(table.rows[1].host1_id, 11);
  EXPECT_FALSE(st->alarm_suspend.is_set());

  auto top = alarm_top_snapshot(*st);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].name, "renamed");  // its firing was counted before the edit
  EXPECT_EQ(top[0].value, 1u);

  // The queued event of the old record is acted on but ranks nothing.
  AlarmEvent leftover;
  {
    MutexLock lock(st->alarm_mutex);
    ASSERT_TRUE(take_front(st->events, leftover));
  }
  alarm_perform_actions(*st, leftover);
  EXPECT_EQ(old_alarm->top_position, -1);
  top = alarm_top_snapshot(*st);
  EXPECT_EQ(top[0].value, 2u);  // the shared activations now hold two firings
  EXPECT_EQ(top[0].name, "renamed");

  alarm_bind_step(*st);
  EXPECT_EQ(st->active.count(), 2);
}

TEST_F(AlarmSet, ResolverCompletionAfterReplacementTouchesNothing) {
  AlarmTableRow h = row(kAlarmHost, kAlarmOccurrence);
  h.host1_id = 11;
  table.rows = {h};
  alarm_load(*st, table, st->loaded);
  alarm_replace_set(*st, AlarmList(), nullptr);
  EXPECT_EQ(st->loaded.count(), 0);
  // Without a request still outstanding there would be nothing to test.
  ASSERT_EQ(resolver.pending_count(), 1u);
  resolver.answer_all();  // the record is gone; must not crash or leak
  EXPECT_EQ(resolver.pending_count(), 0u);
}

TEST_F(AlarmSet, SummariesListEveryAlarmWithItsFirings) {
  auto a = std::make_shared<Alarm>();
  a->object_type = kAlarmHost;
  a->kind = kAlarmThreshold;
  a->notify = "h";
  a->set_host(1, AlarmHost{1, ip("10.1.2.3"), ""});
  auto b = std::make_shared<Alarm>();
  b->object_type = kAlarmProtocol;
  b->protocol_name = "DNS";
  b->notify = "p";
  st->loaded.append(a);
  st->loaded.append(b);
  alarm_perform_actions(*st, AlarmEvent{b, 10, 0});
  alarm_perform_actions(*st, AlarmEvent{b, 11, 0});
  auto s = alarm_summaries(*st);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].object, "host 10.1.2.3");
  EXPECT_TRUE(s[0].firings.empty());
  EXPECT_EQ(s[1].object, "protocol DNS");
  EXPECT_EQ(s[1].firings, (std::vector<std::uint32_t>{10, 11}));
}

TEST(AlarmText, LogLineIsTimeTwoBlanksAndNotify) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  ASSERT_NE(out, nullptr);
  StreamAlarmLog log(out);
  Alarm a;
  a.notify = "disk server busy";
  log.add_alarm(a, 86400 * 365);
  std::fclose(out);
  std::string line(buffer, size);
  std::free(buffer);
  std::string expected = alarm_time_text(86400 * 365) + "  disk server busy\n";
  EXPECT_EQ(line, expected);
  EXPECT_EQ(alarm_time_text(0).size(), 24u);  // "Thu Jan  1 00:00:00 1970" in any zone
}

}  // namespace
}  // namespace tarnix
