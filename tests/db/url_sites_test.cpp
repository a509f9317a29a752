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

TEST_P(UrlSitesTest, EachSiteIsItsOwnUrlAndAlarmsHearTheirSiteOrTheWholeAddress) {
  // Which alarms each request must fire: the site's own, the one on its
  // address (every site there), and none of the others.
  struct Case {
    const char* tls_name;  // an HTTPS visit by its server name, else an HTTP request
    NetAddress server;
    const char* host;
    std::uint16_t port;
    const char* text;  // the URL as the lists show it
    std::vector<std::string> fires;
  };
  const std::string on_secure = "https://secure.example/", on_shared = "https://10.77.2.2/",
                    on_plain = "http://10.77.0.2/index.html", on_port = "http://10.77.0.2:8000/index.html",
                    on_lives = "https://9lives.example/";
  const Case cases[] = {
      {"secure.example", kShared, nullptr, 0, "https://secure.example/", {on_secure, on_shared}},
      {"9lives.example", kShared, nullptr, 0, "https://9lives.example/", {on_shared, on_lives}},
      {"split.example", kShared, nullptr, 0, "https://split.example/", {on_shared}},
      {nullptr, kPlain, "10.77.0.2", 0, "http://10.77.0.2/index.html", {on_plain}},
      {nullptr, kPlain, "10.77.0.2", 80, "http://10.77.0.2/index.html", {on_plain}},
      {nullptr, kPlain, "10.77.0.2", 8000, "http://10.77.0.2:8000/index.html", {on_port}},
  };
  for (const std::string& url : {on_secure, on_shared, on_plain, on_port, on_lives})
    ASSERT_GT(watch(url)->url_id, 0) << url;

  record_all([&] {
    for (const Case& c : cases) {
      const int sent = c.tls_name != nullptr
                           ? recorder->record_server_name(counters, kClient, c.server, c.tls_name, 1700000000)
                           : recorder->record_request_at_port(counters, kClient, c.server, c.host, c.port,
                                                              "/index.html", 1700000000);
      EXPECT_EQ(sent, 1) << c.text;
    }
  });

  EXPECT_EQ(url_texts(),
            (std::vector<std::string>{"http://10.77.0.2/index.html", "http://10.77.0.2:8000/index.html",
                                      "https://9lives.example/", "https://secure.example/",
                                      "https://split.example/"}));
  std::map<std::string, int> expected;
  for (const Case& c : cases)
    for (const std::string& alarm : c.fires) ++expected[alarm];
  EXPECT_EQ(firings(), expected);
  EXPECT_EQ(sql_int(*reader, "SELECT count(DISTINCT host) FROM urls WHERE proto = 6"), 1)
      << "the three sites share their server host";
}

// A request that names no site reaches a server that picks one itself: an
// alarm on a site of that address hears it, as does one on the address.
TEST_P(UrlSitesTest, ARequestThatNamesNoSiteIsHeardByTheSitesOfItsAddress) {
  const std::string on_secure = "https://secure.example/", on_shared = "https://10.77.2.2/";
  watch(on_secure);
  watch(on_shared);
  // The name first, so that the address's host is the one it stands for.
  record_all([&] {
    recorder->record_server_name(counters, kClient, kShared, "secure.example", 1700000000);
    recorder->record_server_name(counters, kClient, kShared, "10.77.2.2", 1700000001);
  });
  EXPECT_EQ(firings(), (std::map<std::string, int>{{on_secure, 2}, {on_shared, 2}}));
  EXPECT_EQ(sql_int(*reader, "SELECT count(*) FROM urls WHERE proto = 6 AND vhost = ''"), 1);
}

// Stores from before sites were told apart hold their URLs without a name:
// those rows read as before, stay their own URL beside the named ones later
// requests make, and an alarm stored on one still hears every site there.
TEST_P(UrlSitesTest, UrlsStoredWithoutTheirSiteStayReadableAndTheirAlarmsHearEverySite) {
  record_all([&] { recorder->record_server_name(counters, kClient, kShared, "secure.example", 1700000000); });
  const std::int32_t host = static_cast<std::int32_t>(sql_int(*reader, "SELECT host FROM urls"));
  const std::int32_t old_url = db_urls_add(*reader, host, "/", kSchemeHttps, 0);  // as kept before
  ASSERT_GT(old_url, 0);
  ASSERT_TRUE(reader->connection().exec("UPDATE urls SET ref_count = 7 WHERE vhost = ''").ok());
  reader = db_open_session(where, cache.get());
  ASSERT_TRUE(reader);
  std::string text;
  db_url_text(*reader, old_url, text);
  EXPECT_EQ(text.rfind("https://", 0), 0u) << text;
  EXPECT_EQ(sql_int(*reader, "SELECT count(*) FROM urls"), 2);

  std::vector<AlarmRow> rows(1);
  rows[0].object_type = kAlarmUrl;
  rows[0].notify = "stored";
  rows[0].url_id = old_url;
  ASSERT_TRUE(db_alarms_save(*reader, rows).ok());
  DbAlarmTable table(*reader);
  alarm_load(*state, table, state->loaded);
  ASSERT_EQ(state->loaded.count(), 1);
  const AlarmPtr stored = state->loaded.head()->data;
  ASSERT_EQ(stored->url_id, old_url);
  stored->disabled = 0;
  state->active.append(stored);

  record_all([&] {
    recorder->record_server_name(counters, kClient, kShared, "9lives.example", 1700000001);
    recorder->record_server_name(counters, kClient, kShared, "split.example", 1700000002);
  });
  EXPECT_EQ(firings(), (std::map<std::string, int>{{"stored", 2}}));
  EXPECT_EQ(
      sql_int(*reader, ("SELECT ref_count FROM urls WHERE url_id = " + std::to_string(old_url)).c_str()), 7);
}

}  // namespace
}  // namespace tarnix
