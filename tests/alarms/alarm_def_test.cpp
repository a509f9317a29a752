// The one-line alarm definitions of the headless program.
#include <gtest/gtest.h>

#include "alarm_fakes.h"
#include "alarms/alarm_builder.h"
#include "alarms/alarm_def.h"

namespace tarnix {
namespace {

using testing::ip;

AlarmDefinition parse_ok(const std::string& text) {
  AlarmDefinition d;
  std::string error;
  EXPECT_TRUE(alarm_parse_definition(text, d, error)) << text << ": " << error;
  return d;
}

std::string parse_error(const std::string& text) {
  AlarmDefinition d;
  std::string error;
  EXPECT_FALSE(alarm_parse_definition(text, d, error)) << text;
  return error;
}

TEST(AlarmDefinitionParse, EveryObjectAndCondition) {
  AlarmDefinition h = parse_ok("host:10.0.0.5:threshold-high:packets:100:notify text");
  EXPECT_EQ(h.object_type, kAlarmHost);
  EXPECT_EQ(h.kind, kAlarmThreshold);
  EXPECT_EQ(h.direction, kAlarmHigh);
  EXPECT_EQ(h.unit, kAlarmPackets);
  EXPECT_EQ(h.threshold, 100u);
  EXPECT_EQ(h.host1, ip("10.0.0.5"));
  EXPECT_EQ(h.notify, "notify text");

  AlarmDefinition l = parse_ok("link:10.0.0.1:10.0.0.2:threshold-low:kilobytes:4294967295:slow: backup");
  EXPECT_EQ(l.object_type, kAlarmLink);
  EXPECT_EQ(l.direction, kAlarmLow);
  EXPECT_EQ(l.unit, kAlarmKilobytes);
  EXPECT_EQ(l.threshold, 4294967295u);
  EXPECT_EQ(l.host2, ip("10.0.0.2"));
  EXPECT_EQ(l.notify, "slow: backup");  // the notify text keeps its colons

  AlarmDefinition n = parse_ok("net:threshold-high:percent:81:saturated");
  EXPECT_EQ(n.object_type, kAlarmNetwork);
  EXPECT_EQ(n.unit, kAlarmPercent);
  EXPECT_EQ(parse_ok("network:threshold-low:packets:0:quiet").object_type, kAlarmNetwork);

  AlarmDefinition o = parse_ok("host:192.168.1.20:occurrence:printer on");
  EXPECT_EQ(o.kind, kAlarmOccurrence);

  AlarmDefinition p = parse_ok("protocol:HTTP:occurrence:web");
  EXPECT_EQ(p.object_type, kAlarmProtocol);
  EXPECT_EQ(p.protocol, "HTTP");

  AlarmDefinition u = parse_ok("url:http://intranet.example:8080/pay?x=1:occurrence:payroll: opened");
  EXPECT_EQ(u.object_type, kAlarmUrl);
  EXPECT_EQ(u.url, "http://intranet.example:8080/pay?x=1");
  EXPECT_EQ(u.notify, "payroll: opened");
}

TEST(AlarmDefinitionParse, MalformedDefinitionsSayWhatIsWrong) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "empty definition"},
      {"router:1.2.3.4:occurrence:x", "unknown object 'router'"},
      {"host:10.0.0:occurrence:x", "'10.0.0' is not an IPv4 address"},
      {"host:10.0.0.256:occurrence:x", "'10.0.0.256' is not an IPv4 address"},
      {"host:10.0.0.1x:occurrence:x", "is not an IPv4 address"},
      {"host::occurrence:x", "an address is missing"},
      {"host:[fd00::5:occurrence:x", "'[fd00::5:occurrence:x' has no closing ']'"},
      {"host:[::1]x:occurrence:x", "'[::1]' is followed by 'x' instead of ':'"},
      {"host:fd00::5:occurrence:x", "'fd00' is not an IPv4 address; an IPv6 address goes in brackets"},
      {"host:::1:occurrence:x", "an IPv6 address goes in brackets"},
      {"host:[10.0.0.1]:occurrence:x", "'10.0.0.1' is not an IPv6 address"},
      {"host:[]:occurrence:x", "'' is not an IPv6 address"},
      {"host:[fd00::5%eth0]:occurrence:x", "is not an IPv6 address"},
      {"link:[fd00::1]:occurrence:x", "'occurrence' is not an IPv4 address"},
      {"link:[fd00::1]:[fd00::2]", "the condition is missing"},
      {"link:10.0.0.1:occurrence:x", "'occurrence' is not an IPv4 address"},
      {"host:10.0.0.5:threshold:packets:1:x", "unknown condition 'threshold'"},
      {"host:10.0.0.5", "the condition is missing"},
      {"host:10.0.0.5:threshold-high:bits:1:x", "unknown unit 'bits'"},
      {"host:10.0.0.5:threshold-high:packets:ten:x", "threshold 'ten' is not a whole number"},
      {"host:10.0.0.5:threshold-high:packets:-1:x", "is not a whole number"},
      {"host:10.0.0.5:threshold-high:packets:4294967296:x", "too large"},
      {"net:threshold-high:percent:101:x", "between 0 and 100"},
      {"host:10.0.0.5:threshold-high:packets:5", "the notify text is missing"},
      {"host:10.0.0.5:occurrence:", "the notify text is missing"},
      {"net:occurrence:x", "a network alarm needs threshold-high or threshold-low"},
      {"protocol:HTTP:threshold-high:packets:5:x", "a protocol alarm can only be 'occurrence'"},
      {"protocol::occurrence:x", "the protocol name is missing"},
      {"url:http://a.example/x:threshold-high:packets:1:x", "a URL alarm can only be 'occurrence'"},
      {"url:http://a.example/x", "expected url:URL:occurrence:NOTIFY"},
      {"url::occurrence:x", "the URL is missing"},
  };
  for (const Case& c : cases) {
    std::string error = parse_error(c.text);
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    EXPECT_EQ(error.rfind("alarm definition '" + std::string(c.text) + "': ", 0), 0u) << error;
  }
  EXPECT_NE(parse_error("host:10.0.0.5:occurrence:" + std::string(81, 'n')).find("longer than 80"),
            std::string::npos);
  parse_ok("host:10.0.0.5:occurrence:" + std::string(80, 'n'));
}

// Definitions written back read as they were written, IPv6 addresses in their
// compressed form between brackets, either kind at either end of a link.
TEST(AlarmDefinitionParse, AddressesOfBothKindsRoundTrip) {
  struct Case {
    const char* text;
    const char* written;  // as alarm_format_definition writes it back
    const char* host1;
    const char* host2;
  } cases[] = {
      {"host:10.0.0.5:occurrence:x", "host:10.0.0.5:occurrence:x", "10.0.0.5", ""},
      {"host:[fd00::5]:threshold-high:packets:9:six", "host:[fd00::5]:threshold-high:packets:9:six",
       "fd00::5", ""},
      {"host:[FD00:0:0:0::5]:occurrence:x", "host:[fd00::5]:occurrence:x", "fd00::5", ""},
      {"host:[::ffff:10.0.0.1]:occurrence:x", "host:[::ffff:10.0.0.1]:occurrence:x", "::ffff:10.0.0.1", ""},
      {"link:[fd00::1]:[fd00::2]:occurrence:a: b", "link:[fd00::1]:[fd00::2]:occurrence:a: b", "fd00::1",
       "fd00::2"},
      {"link:10.0.0.1:[fe80::1]:threshold-low:kilobytes:5:mixed",
       "link:10.0.0.1:[fe80::1]:threshold-low:kilobytes:5:mixed", "10.0.0.1", "fe80::1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const AlarmDefinition d = parse_ok(c.text);
    EXPECT_EQ(netaddr_text(d.host1), c.host1);
    EXPECT_EQ(netaddr_text(d.host2), c.host2);
    // An IPv4 address and the IPv6 address mapping it stay two hosts.
    EXPECT_EQ(d.host1.is_ipv6(), std::string_view(c.text).find('[') == 5);
    const std::string written = alarm_format_definition(d);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(alarm_format_definition(parse_ok(written)), written);
  }
}

// Deliveries follow the notify text; the stored form is what the table keeps
// and what alarm_parse_delivery reads back.
TEST(AlarmDefinitionParse, DeliveriesAfterTheNotifyText) {
  struct Case {
    const char* text;
    const char* notify;
    const char* stored;  // null: refused
    const char* message;
  } cases[] = {
      {"host:10.0.0.5:occurrence:up|to=syslog", "up", "syslog", ""},
      {"net:threshold-high:percent:80:full: now|to=webhook:https://chat.example/h?a=1:2|to=syslog", "full: now",
       "webhook:https://chat.example/h?a=1:2 syslog", ""},
      {"host:10.0.0.5:occurrence:a|b", "a|b", "", ""},  // a bar alone is notify text
      {"host:10.0.0.5:occurrence:up|to=pager", nullptr, nullptr, "unknown delivery 'pager'"},
      {"host:10.0.0.5:occurrence:up|to=", nullptr, nullptr, "unknown delivery ''"},
      {"host:10.0.0.5:occurrence:up|to=webhook:ftp://h/x", nullptr, nullptr, "no usable webhook URL"},
      {"host:10.0.0.5:occurrence:up|to=webhook:http://h/a b", nullptr, nullptr, "no usable webhook URL"},
      {"host:10.0.0.5:occurrence:up|to=webhook:http:///x", nullptr, nullptr, "no usable webhook URL"},
      {"host:10.0.0.5:occurrence:|to=syslog", nullptr, nullptr, "the notify text is missing"},
  };
  for (const Case& c : cases) {
    if (c.stored == nullptr) {
      EXPECT_NE(parse_error(c.text).find(c.message), std::string::npos) << c.text;
      continue;
    }
    const AlarmDefinition d = parse_ok(c.text);
    EXPECT_EQ(d.notify, c.notify) << c.text;
    EXPECT_EQ(d.delivery, c.stored) << c.text;
    std::vector<AlarmTarget> targets;
    std::string error;
    EXPECT_TRUE(alarm_parse_delivery(d.delivery, targets, error)) << error;
  }
  std::vector<AlarmTarget> targets;
  std::string error;
  ASSERT_TRUE(alarm_parse_delivery("syslog  webhook:http://r:8080/x", targets, error));
  EXPECT_EQ(targets, (std::vector<AlarmTarget>{{true, ""}, {false, "http://r:8080/x"}}));
  EXPECT_FALSE(alarm_parse_delivery("syslog mail:root", targets, error)) << "a stored row no one can deliver";
  EXPECT_NE(alarm_parse_delivery("", targets, error) && targets.empty(), false) << "old rows: no delivery";
}

TEST(AlarmDefinitionParse, FailureLeavesTheOutputAlone) {
  AlarmDefinition d;
  d.notify = "kept";
  std::string error;
  EXPECT_FALSE(alarm_parse_definition("host:10.0.0.5:threshold-high:packets:x:y", d, error));
  EXPECT_EQ(d.notify, "kept");
}

TEST(AlarmDefinitionBuild, MakesEnabledAlarmsThatBindAndFire) {
  testing::FakeModel model;
  model.add_protocol("HTTP");
  auto host = model.add_host("10.0.0.5");
  host->window = {100, 1000};
  std::string error;

  AlarmPtr h = alarm_from_definition(parse_ok("host:10.0.0.5:threshold-high:packets:100:busy"), &model,
                                     nullptr, error);
  ASSERT_TRUE(h) << error;
  EXPECT_EQ(h->disabled, 0);
  ASSERT_NE(h->host(1), nullptr);
  EXPECT_EQ(h->host(1)->address, ip("10.0.0.5"));

  AlarmPtr p = alarm_from_definition(parse_ok("protocol:HTTP:occurrence:web"), &model, nullptr, error);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->protocol);
  EXPECT_EQ(p->protocol_name, "HTTP");

  EXPECT_FALSE(alarm_from_definition(parse_ok("protocol:GOPHER:occurrence:g"), &model, nullptr, error));
  EXPECT_EQ(error, "alarm definition: unknown protocol 'GOPHER'");

  std::string asked;
  auto lookup = [&](const std::string& url) {
    asked = url;
    return url == "http://a.example/x" ? 31 : 0;
  };
  AlarmPtr u = alarm_from_definition(parse_ok("url:http://a.example/x:occurrence:u"), &model, lookup, error);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->url_id, 31);
  EXPECT_FALSE(alarm_from_definition(parse_ok("url:http://b.example/:occurrence:u"), &model, lookup, error));
  EXPECT_EQ(asked, "http://b.example/");
  EXPECT_NE(error.find("cannot be found"), std::string::npos);

  auto st = alarm_init();
  st->model = &model;
  st->loaded.append(h);
  st->loaded.append(p);
  alarm_queue_all(*st);
  alarm_bind_step(*st);
  alarm_eval_step(*st);
  MutexLock lock(st->alarm_mutex);
  ASSERT_EQ(static_cast<int>(st->events.size()), 1);
  AlarmEvent e;
  take_front(st->events, e);
  EXPECT_EQ(e.alarm, h);
}

}  // namespace
}  // namespace tarnix
