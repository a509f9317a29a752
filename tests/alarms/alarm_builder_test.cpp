// The builder's working copy and its confirmation: the editing rules, the
// URL references moved at OK, the headless add and list.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <tuple>

#include "alarm_fakes.h"
#include "alarms/alarm_builder.h"
#include "pdl/protocol_tree.h"

namespace tarnix {
namespace {

using testing::FakeBuilderServices;
using testing::FakeModel;
using testing::FakeTable;
using testing::ip;

TEST(AlarmValueText, ReadsLeadingDigitsAndKeepsPercentagesInRange) {
  struct Case {
    const char* text;
    bool percent;
    std::uint32_t want;
  } cases[] = {
      {"150", true, 0},    {"100", true, 100},
      {"150", false, 150}, {"12abc", false, 12},
      {"abc", false, 0},   {" +7", false, 7},
      {"-5", false, 0},    {"99999999999", false, std::uint32_t(std::numeric_limits<std::int32_t>::max())},
  };
  for (const Case& c : cases)
    EXPECT_EQ(alarm_value_from_text(c.text, c.percent), c.want) << c.text << " percent=" << c.percent;
}

TEST(AlarmProtocolChoices, ListsSiblingLeavesFirstThenParentsWithTheirChildrenIndented) {
  // Ethernet { IP { TCP { HTTP, Other }, UDP, Other }, ARP, Other }
  protocol_node eth, ip_node, arp, other1, tcp, udp, other2, http, other3;
  auto parent = [](protocol_node& p, const char* name,
                   std::vector<std::pair<protocol_node*, const char*>> kids) {
    p.description = name;
    protocol_node** link = &p.first_child;
    for (auto& [k, n] : kids) {
      k->description = n;
      *link = k;
      link = &k->next_sibling;
    }
  };
  parent(tcp, "TCP", {{&http, "HTTP"}, {&other3, "Other"}});
  parent(ip_node, "IP", {{&tcp, "TCP"}, {&udp, "UDP"}, {&other2, "Other"}});
  parent(eth, "Ethernet", {{&ip_node, "IP"}, {&arp, "ARP"}, {&other1, "Other"}});

  std::vector<std::string> texts;
  for (const ProtocolChoice& c : alarm_protocol_choices(&eth)) texts.push_back(c.text);
  EXPECT_EQ(texts,
            (std::vector<std::string>{"Ethernet", "  ARP", "  IP", "    UDP", "    TCP", "      HTTP"}));
  EXPECT_EQ(alarm_protocol_choices(&eth)[2].node, &ip_node);
}

class AlarmBuilderSet : public ::testing::Test {
 protected:
  void SetUp() override {
    st = alarm_init();
    st->model = &model;
    model.add_protocol("HTTP");
    services.urls = {{"http://web/a", 7}, {"http://web/b", 9}};
  }
  AlarmPtr url_alarm(std::int32_t url_id) {
    auto a = std::make_shared<Alarm>();
    a->object_type = kAlarmUrl;
    a->url_id = url_id;
    a->notify = "url " + std::to_string(url_id);
    return a;
  }

  FakeModel model;
  FakeTable table;
  FakeBuilderServices services;
  std::unique_ptr<AlarmState> st;
};

TEST_F(AlarmBuilderSet, NewAlarmAndTheObjectRulesOnTheCopyLeaveTheLiveSetAlone) {
  st->loaded.append(url_alarm(7));
  AlarmBuilder b = AlarmBuilder::open(*st);
  ASSERT_EQ(b.count(), 1);
  const int i = b.add_new();
  Alarm& n = *b.at(i);
  EXPECT_EQ(n.notify, "New Alarm");
  EXPECT_TRUE(n.object_type == kAlarmNetwork && n.kind == kAlarmThreshold && n.direction == kAlarmLow &&
              n.unit == kAlarmKilobytes && n.disabled == 1);
  AlarmBuilder::set_object_type(n, kAlarmUrl);
  EXPECT_EQ(n.kind, kAlarmOccurrence);
  AlarmBuilder::set_threshold(n, kAlarmHigh);
  AlarmBuilder::set_object_type(n, kAlarmHost);
  EXPECT_EQ(n.kind, kAlarmThreshold);  // a host keeps the kind it had
  EXPECT_EQ(AlarmBuilder::toggle_disabled(n), 0);
  // The copy is edited, not the record it was made from.
  b.at(0)->notify = "edited";
  EXPECT_EQ(st->loaded.head()->data->notify, "url 7");
  EXPECT_TRUE(b.remove(0) && !b.remove(5));
  EXPECT_EQ(table.saves, 0);
  EXPECT_TRUE(services.refs.empty());
}

TEST_F(AlarmBuilderSet, CommitReplacesRankingAndTableAndMovesUrlReferences) {
  st->loaded.append(url_alarm(7));
  st->loaded.append(url_alarm(9));
  AlarmBuilder b = AlarmBuilder::open(*st);
  b.remove(1);                           // URL 9 deleted
  b.at(b.add_new())->notify = "second";  // network alarm: no reference
  auto extra = url_alarm(7);             // a second alarm on URL 7
  AlarmList edited = b.take();
  edited.append(extra);
  alarm_builder_commit(*st, std::move(edited), &table, &services);

  EXPECT_EQ(st->loaded.count(), 3);
  EXPECT_EQ(table.saves, 1);
  ASSERT_EQ(table.rows.size(), 3u);
  EXPECT_EQ(table.rows[1].notify, "second");
  EXPECT_EQ(model.current->ranking.count(), 3);
  EXPECT_EQ(st->waiting.count(), 3);
  EXPECT_EQ(services.refs, (std::map<std::int32_t, int>{{7, 1}, {9, -1}}));
}

TEST_F(AlarmBuilderSet, HeadlessAddResolvesHostsAndAppendsToTheStoredSet) {
  st->loaded.append(url_alarm(9));
  services.resolvable["10.0.0.5"] = AlarmHost{42, ip("10.0.0.5"), "printer"};
  std::string error;
  ASSERT_TRUE(
      alarm_builder_add_definition(*st, table, services, "host:10.0.0.5:occurrence:printer on", error))
      << error;
  ASSERT_EQ(table.rows.size(), 2u);
  EXPECT_EQ(table.rows[1].host1_id, 42);
  EXPECT_EQ(table.rows[1].disabled, 0);
  ASSERT_TRUE(alarm_builder_add_definition(*st, table, services, "url:http://web/a:occurrence:page", error))
      << error;
  EXPECT_EQ(table.rows.size(), 3u);
  EXPECT_EQ(services.refs, (std::map<std::int32_t, int>{{7, 1}, {9, 0}}));

  const std::pair<const char*, const char*> refused[] = {
      {"host:10.0.0.6:occurrence:x", "10.0.0.6"},
      {"protocol:NOPE:occurrence:x", "NOPE"},
      {"url:http://elsewhere/:occurrence:x", "elsewhere"},
      {"net:occurrence:x", "threshold"},
  };
  for (const auto& [text, named] : refused) {
    EXPECT_FALSE(alarm_builder_add_definition(*st, table, services, text, error)) << text;
    EXPECT_NE(error.find(named), std::string::npos) << error;
  }
  EXPECT_EQ(table.rows.size(), 3u);
}

TEST_F(AlarmBuilderSet, StoredRowsListAsDefinitionsThatParseBack) {
  table.host_addresses = {{11, "10.0.0.1"}, {12, "10.0.0.2"}};
  auto row = [](std::int32_t type, std::int32_t kind, std::int32_t dir, std::int32_t unit, double value) {
    AlarmTableRow r;
    std::tie(r.object_type, r.kind, r.direction, r.unit, r.threshold) =
        std::tie(type, kind, dir, unit, value);
    r.host1_id = 11;
    r.host2_id = 12;
    r.protocol = "HTTP";
    r.url_id = 9;
    r.notify = "n: with colon";
    return r;
  };
  auto delivered = [](AlarmTableRow r, const char* delivery) {
    r.delivery = delivery;
    return r;
  };
  struct Case {
    AlarmTableRow row;
    bool ok;
    const char* want;
  } cases[] = {
      {row(kAlarmHost, kAlarmThreshold, kAlarmHigh, kAlarmPackets, 100), true,
       "host:10.0.0.1:threshold-high:packets:100:n: with colon"},
      {row(kAlarmLink, kAlarmOccurrence, 0, 0, 0), true, "link:10.0.0.1:10.0.0.2:occurrence:n: with colon"},
      {row(kAlarmNetwork, kAlarmThreshold, kAlarmLow, kAlarmPercent, 80), true,
       "net:threshold-low:percent:80:n: with colon"},
      {row(kAlarmProtocol, kAlarmOccurrence, 0, 0, 0), true, "protocol:HTTP:occurrence:n: with colon"},
      {row(kAlarmUrl, kAlarmOccurrence, 0, 0, 0), true, "url:http://web/b:occurrence:n: with colon"},
      {delivered(row(kAlarmNetwork, kAlarmThreshold, kAlarmLow, kAlarmPercent, 80), "syslog webhook:http://r/h"),
       true, "net:threshold-low:percent:80:n: with colon|to=syslog|to=webhook:http://r/h"},
      {delivered(row(kAlarmHost, kAlarmOccurrence, 0, 0, 0), "pager"), false, "unknown delivery 'pager'"},
      {row(kAlarmNetwork, kAlarmOccurrence, 0, 0, 0), false, "threshold"},
      {row(kAlarmNetwork, kAlarmThreshold, kAlarmLow, kAlarmPercent, 150), false, "percentage"},
  };
  for (const Case& c : cases) {
    std::string line;
    EXPECT_EQ(alarm_row_definition(c.row, table, services, line), c.ok) << line;
    if (c.ok)
      EXPECT_EQ(line, c.want);
    else
      EXPECT_NE(line.find(c.want), std::string::npos) << line;
  }
  table.host_addresses.erase(11);  // a host no longer known
  std::string line;
  EXPECT_FALSE(alarm_row_definition(row(kAlarmHost, kAlarmOccurrence, 0, 0, 0), table, services, line));
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

// What OK refuses, one defect at a time on an otherwise sound alarm.
TEST(AlarmBuilderProblem, RefusesAlarmsThatCouldNeverBindOrRunWhatTheyAsk) {
  int protocol_node_stand_in = 0;
  const struct {
    const char* name;
    std::function<void(Alarm&)> change;
    const char* problem;  // a part of the reason; empty: accepted
  } cases[] = {
      {"a host alarm with its host", [](Alarm&) {}, ""},
      {"a stored host not resolved yet", [](Alarm& a) { a.clear_host(1), a.pending_host_id[0] = 4; }, ""},
      {"an empty host", [](Alarm& a) { a.clear_host(1); }, "no host"},
      {"a link with one end", [](Alarm& a) { a.object_type = kAlarmLink; }, "both"},
      {"a network threshold", [](Alarm& a) { a.object_type = kAlarmNetwork; }, ""},
      {"a network occurrence", [](Alarm& a) { a.object_type = kAlarmNetwork, a.kind = kAlarmOccurrence; },
       "needs a threshold"},
      {"a protocol chosen",
       [&](Alarm& a) { a.object_type = kAlarmProtocol, a.protocol = ModelProtocol{&protocol_node_stand_in}; },
       ""},
      {"no protocol", [](Alarm& a) { a.object_type = kAlarmProtocol, a.protocol_name = "GONE"; },
       "no protocol"},
      {"no URL", [](Alarm& a) { a.object_type = kAlarmUrl; }, "no URL"},
      {"a URL", [](Alarm& a) { a.object_type = kAlarmUrl, a.url_id = 3; }, ""},
      {"an unknown object type", [](Alarm& a) { a.object_type = 0; }, "watches nothing"},
      {"150 percent", [](Alarm& a) { a.unit = kAlarmPercent, a.threshold = 150; }, "0 to 100"},
      {"100 percent", [](Alarm& a) { a.unit = kAlarmPercent, a.threshold = 100; }, ""},
      {"execute without a command", [](Alarm& a) { a.run_command = 1; }, "no command"},
      {"play without a file", [](Alarm& a) { a.play_sound = 1; }, "no file"},
      {"an 80-character command", [](Alarm& a) { a.run_command = 1, a.command = std::string(80, 'x'); }, ""},
      {"an 81-character command", [](Alarm& a) { a.run_command = 1, a.command = std::string(81, 'x'); },
       "longer than 80"},
      {"an 81-character sound path", [](Alarm& a) { a.sound_file = std::string(81, 'x'); }, "longer than 80"},
      {"deliveries", [](Alarm& a) { a.delivery = "syslog webhook:https://chat.example/h"; }, ""},
      {"a delivery nobody makes", [](Alarm& a) { a.delivery = "syslog mail:root"; }, "unknown delivery 'mail:root'"},
  };
  for (const auto& c : cases) {
    Alarm a;
    a.object_type = kAlarmHost;
    a.kind = kAlarmThreshold;
    a.unit = kAlarmPackets;
    a.threshold = 500;
    a.set_host(1, AlarmHost{7, ip("10.99.1.1"), "10.99.1.1"});
    c.change(a);
    const std::string why = alarm_builder_problem(a);
    if (*c.problem == '\0')
      EXPECT_EQ(why, "") << c.name;
    else
      EXPECT_NE(why.find(c.problem), std::string::npos) << c.name << ": " << why;
  }
}

}  // namespace
}  // namespace tarnix
