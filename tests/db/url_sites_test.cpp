// Several sites on one address, through the recorder into each engine: every
// site is a URL of its own, shown by its name, and URL alarms hear the site
// or the address they were made on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alarms/alarm.h"
#include "alarms/alarm_db.h"
#include "alarms/alarm_runtime.h"
#include "db/recorder.h"
#include "db_test_support.h"
#include "naming/fake_name_service.h"
#include "pg_test_server.h"

namespace tarnix {
namespace {

using testing_support::ip;
using testing_support::reply;
using testing_support::sql_int;
using testing_support::TempDir;

const NetAddress kClient = NetAddress::ipv4(10, 77, 1, 5);
const NetAddress kShared = NetAddress::ipv4(10, 77, 2, 2);  // three HTTPS sites
const NetAddress kPlain = NetAddress::ipv4(10, 77, 0, 2);   // one site, by address

class UrlSitesTest : public ::testing::TestWithParam<SqlDialect> {
 protected:
  void SetUp() override {
    if (GetParam() == SqlDialect::kPostgres) {
      auto& server = testing_support::PgTestServer::get();
      if (!server.available()) GTEST_SKIP() << server.why();
      where = server.fresh_database();
    } else {
      where = dir.file("tarnix.db");
    }
    for (const char* name : {"secure.example", "9lives.example", "split.example"})
      ns.answer_name(name, reply(name, {}, {ip(10, 77, 2, 2)}));
    Status st;
    auto id_session = db_open_session(where, nullptr, &st);
    ASSERT_TRUE(id_session) << st.message();
    ids = std::make_unique<DbHostIdStore>(std::move(id_session));
    cache = std::make_unique<HostCache>(ns, *ids);
    ids->set_names(cache.get());
    cache->start();
    reader = db_open_session(where, cache.get());
    ASSERT_TRUE(reader);
    state = alarm_init();
    listener = std::make_unique<AlarmRequestListener>(*state);
  }
  void TearDown() override {
    if (recorder) recorder->stop();
    if (cache) cache->stop();
  }

  // A live URL occurrence alarm on a URL typed as text, as --alarm makes it.
  AlarmPtr watch(const std::string& url) {
    auto a = std::make_shared<Alarm>();
    a->object_type = kAlarmUrl;
    a->disabled = 0;
    a->notify = url;
    a->url_id = alarm_url_lookup(*reader, *cache, url);
    DbAlarmTable table(*reader);
    alarm_fill_url_site(*a, table);
    state->active.append(a);
    return a;
  }
  void record_all(const std::function<void()>& send) {
    recorder = std::make_unique<UrlRecorder>(db_open_session(where, cache.get()), *cache);
    recorder->add_listener(listener.get());
    recorder->start();
    send();
    ASSERT_EQ(recorder->finish(std::chrono::seconds(20)), 0);
    alarm_url_step(*state);
  }
  // Firings queued per alarm, by its notify text.
  std::map<std::string, int> firings() {
    std::map<std::string, int> out;
    MutexLock lock(state->alarm_mutex);
    for (const AlarmEvent& e : state->events) ++out[e.alarm->notify];
    return out;
  }
  // The texts of the URLs with accesses, sorted.
  std::vector<std::string> url_texts() {
    std::vector<std::string> out;
    db_urls_by_refs(*reader, [&](const UrlRow& r) {
      if (r.ref_count > 0) out.push_back(db_url_text_of(*reader, r));
    });
    std::sort(out.begin(), out.end());
    return out;
  }

  TempDir dir;
  std::string where;
  testing_support::FakeNameService ns;
  std::unique_ptr<DbHostIdStore> ids;
  std::unique_ptr<HostCache> cache;
  std::unique_ptr<DbSession> reader;
  std::unique_ptr<AlarmState> state;
  std::unique_ptr<AlarmRequestListener> listener;
  std::unique_ptr<UrlRecorder> recorder;
  UrlCounters counters;
};

INSTANTIATE_TEST_SUITE_P(Engines, UrlSitesTest, ::testing::Values(SqlDialect::kSqlite, SqlDialect::kPostgres),
                         [](const auto& engine) {
                           return std::string(engine.param == SqlDialect::kSqlite ? "Sqlite" : "Postgres");
                         });

// The order matters only for the request that names no site: the name is
// resolved first, so the address's host is the one it stands for.
TEST_P(UrlSitesTest, EachSiteIsItsOwnUrlAndAlarmsHearTheirSiteOrTheWholeAddress) {
  struct Case {
    bool tls;  // an HTTPS visit by its server name, else an HTTP request
    NetAddress server;
    const char* host;
    std::uint16_t port;
    std::vector<std::string> fires;  // every alarm that must hear it, and no other
  };
  const std::string secure = "https://secure.example/", lives = "https://9lives.example/",
                    shared = "https://10.77.2.2/", plain = "http://10.77.0.2/index.html",
                    port = "http://10.77.0.2:8000/index.html";
  const Case cases[] = {
      {true, kShared, "secure.example", 0, {secure, shared}},
      {true, kShared, "9lives.example", 0, {lives, shared}},
      {true, kShared, "split.example", 0, {shared}},
      {true, kShared, "10.77.2.2", 0, {secure, lives, shared}},  // the address: no site
      {false, kPlain, "10.77.0.2", 0, {plain}},
      {false, kPlain, "10.77.0.2", 80, {plain}},
      {false, kPlain, "10.77.0.2", 8000, {port}},
  };
  for (const std::string& url : {secure, lives, shared, plain, port}) ASSERT_GT(watch(url)->url_id, 0) << url;
  record_all([&] {
    for (const Case& c : cases) {
      EXPECT_EQ(c.tls ? recorder->record_server_name(counters, kClient, c.server, c.host, 1700000000)
                      : recorder->record_request_at_port(counters, kClient, c.server, c.host, c.port,
                                                         "/index.html", 1700000000),
                1)
          << c.host;
    }
  });

  std::map<std::string, int> expected;
  for (const Case& c : cases)
    for (const std::string& alarm : c.fires) ++expected[alarm];
  EXPECT_EQ(firings(), expected);
  EXPECT_EQ(url_texts(),
            (std::vector<std::string>{plain, port, shared, lives, secure, "https://split.example/"}));
  EXPECT_EQ(sql_int(*reader, "SELECT count(DISTINCT host) FROM urls WHERE proto = 6"), 1);
}

// A store from before sites were told apart holds its URLs without a name:
// they read as before and stay URLs of their own beside the named ones, and
// an alarm stored on one still hears every site on its host.
TEST_P(UrlSitesTest, UrlsStoredWithoutTheirSiteStayTheirOwnAndTheirAlarmsHearEverySite) {
  record_all([&] { recorder->record_server_name(counters, kClient, kShared, "secure.example", 1700000000); });
  const auto host = static_cast<std::int32_t>(sql_int(*reader, "SELECT host FROM urls"));
  const std::int32_t old_url = db_urls_add(*reader, host, "/", kSchemeHttps, 0);  // as kept before
  ASSERT_TRUE(reader->connection().exec("UPDATE urls SET ref_count = 7 WHERE vhost = ''").ok());
  std::vector<AlarmRow> rows(1);
  rows[0].object_type = kAlarmUrl;
  rows[0].notify = "stored";
  rows[0].url_id = old_url;
  ASSERT_TRUE(db_alarms_save(*reader, rows).ok());
  reader = db_open_session(where, cache.get());
  DbAlarmTable table(*reader);
  alarm_load(*state, table, state->loaded);
  ASSERT_EQ(state->loaded.count(), 1);
  const AlarmPtr stored = state->loaded.head()->data;
  EXPECT_EQ(alarm_object_text(*stored), "url https://secure.example/");
  stored->disabled = 0;
  state->active.append(stored);

  record_all([&] {
    recorder->record_server_name(counters, kClient, kShared, "9lives.example", 1700000001);
    recorder->record_server_name(counters, kClient, kShared, "split.example", 1700000002);
  });
  EXPECT_EQ(firings(), (std::map<std::string, int>{{"stored", 2}}));
  EXPECT_EQ(sql_int(*reader, "SELECT count(*) FROM urls"), 4);
  EXPECT_EQ(sql_int(*reader, "SELECT sum(ref_count) FROM urls WHERE vhost = ''"), 7);
}

}  // namespace
}  // namespace tarnix
