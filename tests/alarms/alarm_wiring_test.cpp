// Alarms against the real pieces: the frame path and traffic model with the
// shipped protocol file, the name cache, and a SQLite database.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "../db/pg_test_server.h"
#include "alarm_fakes.h"
#include "alarms/alarm.h"
#include "alarms/alarm_builder.h"
#include "alarms/alarm_db.h"
#include "alarms/alarm_def.h"
#include "alarms/alarm_runtime.h"
#include "alarms/alarm_wiring.h"
#include "capture/bindings.h"

namespace tarnix {
namespace {

using testing::ip;

// An Ethernet/IPv4/UDP frame of `length` bytes on the wire.
std::vector<std::uint8_t> udp_frame(const std::uint8_t src[4], const std::uint8_t dst[4],
                                    std::size_t length) {
  std::vector<std::uint8_t> f(length < 60 ? 60 : length, 0);
  f[12] = 0x08;
  f[14] = 0x45;
  f[23] = 17;
  for (int i = 0; i < 4; ++i) {
    f[26 + i] = src[i];
    f[30 + i] = dst[i];
  }
  f[34] = 0x30;  // source port 12345
  f[35] = 0x39;
  f[36] = 0x30;
  f[37] = 0x3a;
  return f;
}

class AlarmOnFramePath : public ::testing::Test {
 protected:
  AlarmOnFramePath()
      : parsed(pdl_parse(std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl")),
        classifier(parsed.tree.get()),
        model(&classifier, nullptr, nullptr, CaptureHooks{nullptr, nullptr, &sink}),
        alarm_model(model, parsed.tree.get()) {
    net = net_create(model, "eth0");
    net_set_current(model, net);
    st->model = &alarm_model;
    st->clock = [] { return 42u; };
  }

  void feed(double seconds, int frames, std::size_t length) {
    static const std::uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
    auto f = udp_frame(a, b, length);
    for (int i = 0; i < frames; ++i) {
      FrameHeader h;
      double t = seconds + i * 0.001;
      h.time.sec = static_cast<std::int32_t>(t);
      h.time.usec = static_cast<std::int32_t>((t - h.time.sec) * 1e6);
      h.len = static_cast<std::uint32_t>(length);
      h.caplen = static_cast<std::uint32_t>(f.size());
      MutexLock lock(net->lock);
      netif_callback(*net, h, f.data());
    }
  }

  AlarmPtr define(const std::string& text) {
    AlarmDefinition d;
    std::string error;
    EXPECT_TRUE(alarm_parse_definition(text, d, error)) << error;
    AlarmPtr a = alarm_from_definition(d, &alarm_model, nullptr, error);
    EXPECT_TRUE(a) << error;
    st->loaded.append(a);
    return a;
  }

  // The capture step's hook after `quiet` more of the steady clock, then the
  // events it queued.
  std::vector<AlarmPtr> step(std::chrono::seconds quiet = std::chrono::seconds(0)) {
    steady += quiet;
    sink.after_capture_step(*net);
    std::vector<AlarmPtr> out;
    MutexLock lock(st->alarm_mutex);
    AlarmEvent e;
    while (take_front(st->events, e)) out.push_back(e.alarm);
    return out;
  }

  std::unique_ptr<AlarmState> st = alarm_init();
  std::chrono::steady_clock::time_point steady{};
  AlarmStepSink sink{*st, [this] { return steady; }};
  PdlResult parsed;
  PdlClassifier classifier;
  TrafficModel model;
  CaptureAlarmModel alarm_model;
  Net* net = nullptr;
};

TEST_F(AlarmOnFramePath, HostLinkNetworkAndProtocolAlarmsFireFromCapturedFrames) {
  ASSERT_TRUE(parsed) << parsed.error;
  AlarmPtr host = define("host:10.0.0.1:threshold-high:packets:10:busy sender");
  AlarmPtr receiver = define("host:10.0.0.2:threshold-high:packets:1:receiver sends nothing");
  AlarmPtr link = define("link:10.0.0.1:10.0.0.2:threshold-high:kilobytes:5:link busy");
  AlarmPtr reverse = define("link:10.0.0.2:10.0.0.1:occurrence:no such link");
  AlarmPtr udp = define("protocol:UDP:occurrence:udp seen");
  AlarmPtr tcp = define("protocol:TCP:occurrence:tcp seen");
  AlarmPtr load = define("net:threshold-high:percent:1:network load");
  alarm_queue_all(*st);

  EXPECT_TRUE(step().empty());  // nothing captured: no host to bind, no traffic
  feed(100.0, 10, 600);         // 10 frames, 6,000 bytes within one second
  // The second's pass came as its first frame arrived, with nothing yet to
  // see; a step within that second is no pass.
  EXPECT_TRUE(step().empty());
  // A quiet second later the pass sees the second's frames.
  auto fired = step(std::chrono::seconds(1));
  auto has = [&](const AlarmPtr& a) { return std::count(fired.begin(), fired.end(), a); };
  EXPECT_EQ(has(host), 1);
  EXPECT_EQ(has(receiver), 0);
  EXPECT_EQ(has(link), 1);     // 6,000 bytes >= 5 x 1,024
  EXPECT_EQ(has(reverse), 0);  // never bound: there is no link back
  EXPECT_EQ(has(udp), 1);
  EXPECT_EQ(has(tcp), 0);
  EXPECT_EQ(has(load), 0);  // (6,000 x 800 + 10 x 19,200) / 10^7 = 0 percent
  EXPECT_EQ(st->waiting.count(), 1);
  EXPECT_TRUE(step().empty());

  // The protocol's counters were taken: the next pass, with no new frames,
  // does not fire it again, while the window still holds the host's frames.
  EXPECT_EQ(protocol_frames(protocol_lookup(parsed.tree.get(), "UDP")), 0u);
  EXPECT_GT(protocol_frames(protocol_lookup(parsed.tree.get(), "IP")), 0u);
  fired = step(std::chrono::seconds(1));
  EXPECT_EQ(has(host), 1);
  EXPECT_EQ(has(udp), 0);

  // The capture loop ages a quiet window as time passes; a frame of a later
  // second then opens that second's pass: the host has fallen below 10.
  net_age_window(*net, TimeValue{103, 0});
  feed(103.5, 1, 600);
  fired = step();
  EXPECT_EQ(has(host), 0);
  EXPECT_EQ(has(link), 0);
  EXPECT_EQ(has(udp), 0);  // counted after the pass
  fired = step(std::chrono::seconds(1));
  EXPECT_EQ(has(host), 0);
  EXPECT_EQ(has(udp), 1);

  // 1,000 frames of 1,000 bytes in a second: 81 percent of 10 Mbit/s.
  AlarmPtr at81 = define("net:threshold-high:percent:81:81 percent");
  AlarmPtr at82 = define("net:threshold-high:percent:82:82 percent");
  alarm_queue_all(*st);
  feed(104.0, 1000, 1000);
  ASSERT_EQ(net->window_frames, 1000u);
  fired = step(std::chrono::seconds(1));
  EXPECT_EQ(has(at81), 1);
  EXPECT_EQ(has(at82), 0);
  EXPECT_EQ(has(load), 1);

  // Firings are ranked for the current network.
  alarm_perform_actions(*st, AlarmEvent{at81, 42, 81});
  auto top = alarm_top_snapshot(*st);
  ASSERT_FALSE(top.empty());
  EXPECT_EQ(top[0].name, "81 percent");
}

// A capture that fits in one second, read in one step: its only pass after
// the frames is the one the end of the source gives.
TEST_F(AlarmOnFramePath, TheEndOfTheSourceGivesTheLastSecondItsPass) {
  ASSERT_TRUE(parsed) << parsed.error;
  AlarmPtr host = define("host:10.0.0.1:threshold-high:packets:10:busy sender");
  alarm_queue_all(*st);
  feed(100.0, 10, 600);
  EXPECT_TRUE(step().empty());
  sink.on_source_end(*net);
  MutexLock lock(st->alarm_mutex);
  AlarmEvent e;
  ASSERT_TRUE(take_front(st->events, e));
  EXPECT_EQ(e.alarm, host);
  EXPECT_FALSE(take_front(st->events, e));
}

// A host known only by a name heard on the wire is found by that name, and
// alarm hosts go by it.
TEST(AlarmNameCache, HostsGoByTheNameHeardForThem) {
  NullNameService names;
  MemoryHostIdStore ids;
  HostCache cache(names, ids);
  cache.start();
  cache.hear({"laptop-7", NameSource::kDhcp, ip("10.0.0.9"), {}});
  cache.wait_heard();
  CacheBuilderServices services(&cache, nullptr);
  EXPECT_FALSE(services.find_host("laptop-7")) << "no entry for its address yet";
  for (std::optional<AlarmHost> h : {services.resolve_host("laptop-7"), services.find_host("laptop-7")}) {
    ASSERT_TRUE(h);
    EXPECT_EQ(h->address, ip("10.0.0.9"));
    EXPECT_EQ(h->name, "laptop-7");
    EXPECT_NE(h->host_id, 0);
  }
  HostCacheAlarmResolver resolver(cache);
  std::string loaded;
  resolver.request_ipv4(ip("10.0.0.9"),
                        [&](const AlarmHost* h) { loaded = h != nullptr ? h->name : "none"; });
  cache.wait_idle();
  EXPECT_EQ(loaded, "laptop-7");
  cache.stop();
}

TEST(AlarmNameCache, LoadedHostsAreResolvedThroughTheCache) {
  NullNameService names;
  MemoryHostIdStore ids;
  HostCache cache(names, ids);
  HostCacheAlarmResolver resolver(cache);
  EXPECT_TRUE(resolver.answered([] { FAIL() << "nothing was asked"; }));
  testing::FakeTable table;
  table.host_addresses = {{5, "10.0.0.7"}};
  AlarmTableRow r;
  r.object_type = kAlarmHost;
  r.host1_id = 5;
  table.rows = {r};
  auto st = alarm_init();
  st->resolver = &resolver;
  alarm_load(*st, table, st->loaded);
  // Asked before the resolver runs: the notice comes with the answer.
  std::atomic<int> told{0};
  EXPECT_FALSE(resolver.answered([&] { ++told; }));
  cache.start();
  cache.wait_idle();
  EXPECT_EQ(told.load(), 1);
  EXPECT_TRUE(resolver.answered([&] { ++told; }));
  EXPECT_EQ(told.load(), 1);
  const AlarmHost* h = st->loaded.head()->data->host(1);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->address, ip("10.0.0.7"));
  EXPECT_EQ(h->name, "10.0.0.7");  // unnamed: the dotted address
  EXPECT_NE(h->host_id, 0);
  cache.stop();
}

// Against each engine: a SQLite file, and a database on a PostgreSQL server.
class AlarmDatabase : public ::testing::TestWithParam<SqlDialect> {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-alarm-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    path = dir + "/tarnix.db";
    if (GetParam() == SqlDialect::kPostgres) {
      auto& server = testing_support::PgTestServer::get();
      if (!server.available()) GTEST_SKIP() << server.why();
      path = server.fresh_database();
    }
    Status status;
    session = db_open_session(path, nullptr, &status);
    ASSERT_TRUE(session) << status.message();
    st->model = &model;
    st->resolver = &resolver;
    model.add_protocol("UDP");
  }
  void TearDown() override {
    session.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    auto s = session->connection().prepare(sql);
    while (s && s->step() == StepResult::kRow) out.emplace_back(s->column_text(1));
    return out;
  }

  std::string dir, path;
  std::unique_ptr<DbSession> session;
  testing::FakeModel model;
  testing::FakeResolver resolver;
  std::unique_ptr<AlarmState> st = alarm_init();
};

INSTANTIATE_TEST_SUITE_P(Engines, AlarmDatabase,
                         ::testing::Values(SqlDialect::kSqlite, SqlDialect::kPostgres),
                         [](const auto& engine) {
                           return std::string(engine.param == SqlDialect::kSqlite ? "Sqlite" : "Postgres");
                         });

TEST_P(AlarmDatabase, SaveAndLoadRoundTrip) {
  HostCacheEntry entry;
  entry.name = "10.0.0.7";
  entry.address = ip("10.0.0.7");
  std::int32_t host_id = db_host_cache_store(*session, entry);
  ASSERT_NE(host_id, 0);
  std::int32_t url_id = db_urls_add(*session, host_id, "/pay", 3, 0);
  ASSERT_NE(url_id, 0);
  resolver.ids = {{"10.0.0.7", host_id}};

  auto make = [&](std::int32_t type, std::int32_t kind) {
    auto a = std::make_shared<Alarm>();
    a->object_type = type;
    a->kind = kind;
    a->disabled = 0;
    st->loaded.append(a);
    return a;
  };
  AlarmPtr h = make(kAlarmHost, kAlarmThreshold);
  h->set_host(1, AlarmHost{host_id, ip("10.0.0.7"), "10.0.0.7"});
  h->threshold = 3000000000u;  // above the signed 32-bit range
  h->unit = kAlarmKilobytes;
  h->direction = kAlarmHigh;
  h->notify = R"(it's "quoted"; drop table alarms; -- \ and \\)";
  h->command = R"(printf '%s\n' "$TARNIX_ALARM_NOTIFY" > C:\temp\x)";
  h->run_command = 1;
  h->sound_file = R"(\\server\share\ding.wav)";
  h->play_sound = 1;
  h->reserved = 3;
  h->reserved2 = 4;
  AlarmPtr p = make(kAlarmProtocol, kAlarmOccurrence);
  p->protocol = model.protocol_lookup("UDP");
  p->protocol_name = "UDP";
  p->notify = "udp";
  AlarmPtr unknown = make(kAlarmProtocol, kAlarmOccurrence);
  unknown->protocol_name = "NOSUCHPROTO";
  unknown->notify = "unknown protocol";
  AlarmPtr u = make(kAlarmUrl, kAlarmOccurrence);
  u->url_id = url_id;
  u->notify = "payroll";
  AlarmPtr gone = make(kAlarmUrl, kAlarmOccurrence);
  gone->url_id = url_id + 100;
  gone->notify = "vanished url";

  DbAlarmTable table(*session);
  alarm_save(*st, table, st->loaded);
  alarm_save(*st, table, st->loaded);  // rewrites, does not append
  EXPECT_EQ(column("select count(*) from alarms"), std::vector<std::string>{"5"});
  EXPECT_NE(h->alarm_id, 0);
  EXPECT_NE(h->alarm_id, p->alarm_id);
  // The texts are stored exactly as they are.
  EXPECT_EQ(column("select notify from alarms order by alarm_id")[0], h->notify);
  EXPECT_EQ(column("select command from alarms order by alarm_id")[0], h->command);
  EXPECT_EQ(column("select sound_file from alarms order by alarm_id")[0], h->sound_file);

  // A fresh connection, as at the next start.
  auto again = db_open_session(path);
  ASSERT_TRUE(again);
  DbAlarmTable table2(*again);
  AlarmList loaded;
  alarm_load(*st, table2, loaded);
  ASSERT_EQ(loaded.count(), 5);
  resolver.answer_all();
  std::vector<AlarmPtr> back;
  loaded.foreach ([&](const AlarmPtr& a) { back.push_back(a); });

  std::size_t i = 0;
  st->loaded.foreach ([&](const AlarmPtr& a) {
    AlarmTableRow expected = alarm_to_row(*st, *a);
    if (a == gone) expected.url_id = 0;  // its URL no longer exists
    EXPECT_EQ(alarm_to_row(*st, *back[i]), expected) << "alarm " << i;
    EXPECT_EQ(back[i]->alarm_id, a->alarm_id);
    ++i;
  });
  ASSERT_NE(back[0]->host(1), nullptr);
  EXPECT_EQ(back[0]->host(1)->address, ip("10.0.0.7"));
  EXPECT_EQ(back[0]->threshold, 3000000000u);
  EXPECT_TRUE(back[1]->protocol);
  EXPECT_FALSE(back[2]->protocol);
  EXPECT_EQ(back[2]->protocol_name, "NOSUCHPROTO");

  // The unknown protocol and the vanished URL never bind.
  auto st2 = alarm_init();
  st2->model = &model;
  st2->loaded = std::move(loaded);
  alarm_queue_all(*st2);
  alarm_bind_step(*st2);
  EXPECT_EQ(st2->waiting.count(), 3);  // host (not in the model), unknown protocol, vanished URL
  EXPECT_EQ(st2->active.count(), 2);
}

TEST_P(AlarmDatabase, RecordedAccessesBecomeUrlNotifications) {
  AlarmRequestListener listener(*st);
  RecordedRequest r;
  r.url_id = 12;
  r.url_hist_id = 345;
  listener.on_request_recorded(r);
  MutexLock lock(st->url_mutex);
  UrlNotification n;
  ASSERT_TRUE(take_front(st->urls, n));
  EXPECT_EQ(n.url_id, 12);
  EXPECT_EQ(n.url_hist_id, 345);
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

TEST_P(AlarmDatabase, RuntimeRunsDefinitionsAndStoredAlarmsEndToEnd) {
  // A stored alarm, as the builder would have saved it.
  {
    auto stored = std::make_shared<Alarm>();
    stored->object_type = kAlarmNetwork;
    stored->kind = kAlarmThreshold;
    stored->direction = kAlarmHigh;
    stored->unit = kAlarmPackets;
    stored->threshold = 3;
    stored->disabled = 0;
    stored->notify = "stored net alarm";
    AlarmList list;
    list.append(stored);
    DbAlarmTable table(*session);
    alarm_save(*st, table, list);
  }

  NullNameService no_names;
  MemoryHostIdStore ids;
  HostCache names(no_names, ids);
  names.start();
  PdlResult parsed = pdl_parse(std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl");
  ASSERT_TRUE(parsed) << parsed.error;
  PdlClassifier classifier(parsed.tree.get());
  TrafficModel traffic(&classifier, nullptr, nullptr);
  Net* net = net_create(traffic, "eth0");
  net_set_current(traffic, net);

  char* log_buffer = nullptr;
  std::size_t log_size = 0;
  std::FILE* log = open_memstream(&log_buffer, &log_size);
  std::vector<std::string> diagnostics;
  std::mutex diag_mutex;
  AlarmRuntime::Options options;
  options.log = log;
  options.beep = false;
  options.diagnostics = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(diag_mutex);
    diagnostics.push_back(line);
  };
  {
    AlarmRuntime alarms(traffic, parsed.tree.get(), &names, options);
    alarms.load(*session);
    std::string error;
    ASSERT_TRUE(
        alarms.add_definition("host:10.0.0.1:threshold-high:packets:2:host busy", session.get(), error))
        << error;
    ASSERT_TRUE(
        alarms.add_definition("url:http://10.0.0.2/index.html:occurrence:index read", session.get(), error))
        << error;
    EXPECT_FALSE(alarms.add_definition("protocol:NOPE:occurrence:x", session.get(), error));
    EXPECT_EQ(error, "alarm definition: unknown protocol 'NOPE'");
    EXPECT_FALSE(alarms.add_definition("host:10.0.0:occurrence:x", session.get(), error));

    std::int32_t url_id = 0;
    alarms.state().loaded.foreach ([&](const AlarmPtr& a) {
      if (a->object_type == kAlarmUrl) url_id = a->url_id;
    });
    ASSERT_NE(url_id, 0);
    // The same URL, looked up again, is the same row.
    EXPECT_EQ(alarm_url_lookup(*session, names, "http://10.0.0.2/index.html"), url_id);
    EXPECT_EQ(alarm_url_lookup(*session, names, "not a url"), 0);

    traffic.hooks.step = &alarms.step_sink();
    alarms.start();
    static const std::uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
    auto f = udp_frame(a, b, 100);
    // Four frames in second 200; the fifth opens second 201, whose pass sees
    // them: host and network fire once.
    for (int i = 0; i < 5; ++i) {
      FrameHeader h;
      h.time.sec = i < 4 ? 200 : 201;
      h.time.usec = i < 4 ? i * 1000 : 0;
      h.len = 100;
      h.caplen = static_cast<std::uint32_t>(f.size());
      MutexLock lock(net->lock);
      netif_callback(*net, h, f.data());
    }
    alarms.step_sink().after_capture_step(*net);  // the same second: no pass
    alarms.step_sink().after_capture_step(*net);
    RecordedRequest r;
    r.url_id = url_id;
    r.url_hist_id = 7;
    alarms.request_listener().on_request_recorded(r);
    r.url_id = url_id + 1;
    alarms.request_listener().on_request_recorded(r);
    alarms.step_sink().after_capture_step(*net);  // the URL once; no pass yet
    // Announced after the last capture step: the runtime's stop still fires it.
    r.url_id = url_id;
    r.url_hist_id = 8;
    alarms.request_listener().on_request_recorded(r);
    alarms.stop();

    auto summary = alarms.summary();
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_EQ(summary[0].notify, "stored net alarm");
    EXPECT_EQ(summary[0].firings.size(), 1u);
    EXPECT_EQ(summary[1].object, "host 10.0.0.1");
    EXPECT_EQ(summary[1].firings.size(), 1u);
    EXPECT_EQ(summary[2].firings.size(), 2u);
    std::string text = alarm_summary_text(summary);
    EXPECT_NE(text.find("       1  host 10.0.0.1"), std::string::npos) << text;
    EXPECT_NE(text.find("index read"), std::string::npos);
    std::string json = alarm_summary_json(summary);
    EXPECT_NE(json.find("{\"notify\":\"host busy\",\"object\":\"host 10.0.0.1\",\"kind\":\"threshold\","
                        "\"disabled\":false,\"firings\":1}"),
              std::string::npos)
        << json;
  }
  names.stop();
  std::fclose(log);
  std::string lines(log_buffer, log_size);
  std::free(log_buffer);
  // One log line per firing: 1 + 1 + 2.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4);
  EXPECT_NE(lines.find("  index read\n"), std::string::npos);
  EXPECT_TRUE(diagnostics.empty());
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

// The whole URL path: the recorder writes each access and announces it, the
// runtime's listener queues it, the next capture step fires the alarm.
TEST_P(AlarmDatabase, UrlAlarmFiresOncePerAccessTheRecorderWrites) {
  NullNameService no_names;
  DbHostIdStore ids(db_open_session(path));
  HostCache names(no_names, ids);
  ids.set_names(&names);
  names.start();
  UrlRecorder recorder(db_open_session(path, &names), names);

  TrafficModel traffic(nullptr, nullptr, nullptr);
  Net* net = net_create(traffic, "eth0");
  net_set_current(traffic, net);
  AlarmRuntime::Options options;
  options.log = nullptr;
  options.beep = false;
  {
    AlarmRuntime alarms(traffic, nullptr, &names, options);
    std::string error;
    ASSERT_TRUE(
        alarms.add_definition("url:http://10.0.0.1/index.html:occurrence:index read", session.get(), error))
        << error;
    recorder.add_listener(&alarms.request_listener());
    recorder.start();
    alarms.start();

    UrlCounters counters;
    const std::uint8_t client[4] = {10, 0, 0, 2}, server[4] = {10, 0, 0, 1};
    for (int i = 0; i < 3; ++i) recorder.record_request(counters, client, server, "10.0.0.1", "/index.html");
    recorder.record_request(counters, client, server, "10.0.0.1", "/other.html");
    ASSERT_EQ(recorder.finish(std::chrono::seconds(10)), 0);
    alarms.step_sink().after_capture_step(*net);
    alarms.step_sink().after_capture_step(*net);  // each access fires once only
    recorder.stop();
    alarms.stop();

    auto summary = alarms.summary();
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].firings.size(), 3u);
    AlarmPtr url_alarm = alarms.state().loaded.head()->data;
    auto hist =
        column("select max(url_hist_id) from url_hist where url_id = " + std::to_string(url_alarm->url_id));
    ASSERT_EQ(hist.size(), 1u);
    EXPECT_EQ(std::to_string(url_alarm->last_access.load()), hist[0]);
    EXPECT_EQ(column("select count(*) from url_hist"), std::vector<std::string>{"4"});
  }
  names.stop();
}

}  // namespace
}  // namespace tarnix
