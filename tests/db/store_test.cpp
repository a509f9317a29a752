// The store's operations on a real database of each engine: a SQLite file in
// a fresh folder, and a fresh database on a PostgreSQL server.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "db/db_store.h"
#include "db_test_support.h"
#include "pg_test_server.h"
#include "sniff/http.h"

namespace tarnix {
namespace {

using testing_support::named_entry;
using testing_support::sql_int;
using testing_support::sql_text;
using testing_support::TempDir;
using testing_support::unnamed_entry;

class StoreTest : public ::testing::TestWithParam<SqlDialect> {
 protected:
  void SetUp() override {
    if (pg()) {
      auto& server = testing_support::PgTestServer::get();
      if (!server.available()) GTEST_SKIP() << server.why();
      where = server.fresh_database();
    } else {
      where = dir.file("tarnix.db");
    }
    Status st;
    s = db_open_session(where, nullptr, &st);
    ASSERT_TRUE(s) << st.message();
  }
  bool pg() const { return GetParam() == SqlDialect::kPostgres; }
  // Stores the entry and keeps its id in it, as the resolver does.
  HostCacheEntry stored(HostCacheEntry e) {
    e.host_id = db_host_cache_store(*s, e);
    return e;
  }

  TempDir dir;
  std::string where;
  std::unique_ptr<DbSession> s;
};

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values(SqlDialect::kSqlite, SqlDialect::kPostgres),
                         [](const auto& engine) {
                           return std::string(engine.param == SqlDialect::kSqlite ? "Sqlite" : "Postgres");
                         });

TEST_P(StoreTest, SchemaHasItsVersionAndReopensCleanly) {
  EXPECT_EQ(db_schema_version(s->connection()), kSchemaVersion);
  s.reset();
  Status st;
  s = db_open_session(where, nullptr, &st);
  ASSERT_TRUE(s) << st.message();
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM tarnix_schema"), 1);
}

TEST_P(StoreTest, NewerSchemaIsRefused) {
  ASSERT_TRUE(s->connection().exec("INSERT INTO tarnix_schema VALUES (99)").ok());
  s.reset();
  Status st;
  EXPECT_FALSE(db_open_session(where, nullptr, &st));
  EXPECT_NE(st.message().find("newer"), std::string::npos);
}

TEST_P(StoreTest, HostRowsGetIdsFromOneUpAndKeepThemWhenReplaced) {
  HostCacheEntry a = stored(unnamed_entry(10, 0, 0, 1));
  HostCacheEntry b = stored(named_entry("www.example", {{10, 0, 0, 2}}, {"web"}));
  EXPECT_EQ(a.host_id, 1);
  EXPECT_EQ(b.host_id, 2);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM host_cache WHERE host_id = 2"), 2);  // name + alias

  std::string name;
  ASSERT_TRUE(db_host_cache_name(*s, 1, name));
  EXPECT_EQ(name, "10.0.0.1");
  NetAddress addr;
  ASSERT_TRUE(db_host_cache_addr(*s, 2, addr));
  EXPECT_EQ(netaddr_text(addr), "10.0.0.2");
  name = "untouched";
  EXPECT_FALSE(db_host_cache_name(*s, 77, name));
  EXPECT_EQ(name, "untouched");

  const std::string www = "www.example";
  const NetAddress a2 = NetAddress::ipv4(10, 0, 0, 2);
  EXPECT_EQ(db_host_cache_find_id(*s, &www, &a2), 2);
  EXPECT_EQ(db_host_cache_find_id(*s, &www, nullptr), 2);
  const std::string alias = "web";
  EXPECT_EQ(db_host_cache_find_id(*s, &alias, nullptr), 2);
  const NetAddress a1 = NetAddress::ipv4(10, 0, 0, 1);
  EXPECT_EQ(db_host_cache_find_id(*s, nullptr, &a1), 1);
  EXPECT_EQ(db_host_cache_find_id(*s, nullptr, &a2), 0) << "a named host is not found by address alone";

  // The unnamed host later resolves: it keeps id 1 and its ref_count.
  ASSERT_TRUE(s->connection().exec("UPDATE host_cache SET ref_count = 3 WHERE host_id = 1").ok());
  HostCacheEntry later = stored(named_entry("one.example", {{10, 0, 0, 1}}));
  EXPECT_EQ(later.host_id, 1);
  EXPECT_EQ(sql_text(*s, "SELECT name FROM host_cache WHERE host_id = 1"), "one.example");
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM host_cache WHERE host_id = 1"), 3);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM host_cache WHERE host_id = 1"), 1);
}

TEST_P(StoreTest, NameOnlyHostIsStoredOnceAndTakenOverWhenItResolves) {
  const std::int32_t id = db_host_cache_store_name(*s, "intranet");
  EXPECT_GT(id, 0);
  EXPECT_EQ(db_host_cache_store_name(*s, "intranet"), id);
  EXPECT_EQ(sql_text(*s, "SELECT addr FROM host_cache WHERE name = 'intranet'"), "");
  NetAddress addr;
  EXPECT_FALSE(db_host_cache_addr(*s, id, addr));
  HostCacheEntry resolved = stored(named_entry("intranet", {{192, 168, 1, 9}}));
  EXPECT_EQ(resolved.host_id, id);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM host_cache WHERE name = 'intranet'"), 1);
  EXPECT_EQ(sql_text(*s, "SELECT addr FROM host_cache WHERE name = 'intranet'"), "192.168.1.9");
}

TEST_P(StoreTest, TwoRequestsForOneUrlGiveOneRowWithTwoReferences) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t u1 = db_urls_add(*s, server.host_id, "/index.html", kSchemeHttp, 0);
  const std::int32_t u2 = db_urls_add(*s, server.host_id, "/index.html", kSchemeHttp, 0);
  ASSERT_GT(u1, 0);
  EXPECT_EQ(u1, u2);
  EXPECT_GT(db_url_hist_add(*s, u1, "www.example", &client, &server, 0, 1, nullptr), 0);
  EXPECT_GT(db_url_hist_add(*s, u2, "www.example", &client, &server, 0, 1, nullptr), 0);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM urls"), 1);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 2);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 2);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM host_cache WHERE host_id = 1"), 1)
      << "the server's count rises once per URL, not per access";
}

TEST_P(StoreTest, UrlLookupsAndEdgeCases) {
  EXPECT_EQ(db_urls_add(*s, 0, "/x", kSchemeHttp, 0), 0);
  EXPECT_EQ(db_urls_find(*s, 0, "/x", kSchemeHttp), 0);
  const std::int32_t root = db_urls_add(*s, 5, "", kSchemeHttp, 0);
  EXPECT_EQ(db_urls_find(*s, 5, "/", kSchemeHttp), root) << "an empty path is stored as /";
  EXPECT_EQ(db_urls_find(*s, 5, "/", kSchemeFtp), 0);
  EXPECT_EQ(db_urls_find(*s, 6, "/", kSchemeHttp), 0);
  EXPECT_TRUE(db_urls_exists(*s, root));
  EXPECT_FALSE(db_urls_exists(*s, root + 100));
  EXPECT_TRUE(db_urls_adjust_refs(*s, root, 5).ok());
  EXPECT_TRUE(db_urls_adjust_refs(*s, root, -2).ok());
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 3);

  HostCacheRequestDescriptor d;
  d.kind = kHostcByName;
  d.name = "www.example";
  EXPECT_EQ(db_urls_find_for_host(*s, d, "/", kSchemeHttp), 0);
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  const std::int32_t u = db_urls_add(*s, server.host_id, "/q", kSchemeHttp, 0);
  d.address = NetAddress::ipv4(10, 0, 0, 1);
  EXPECT_EQ(db_urls_find_for_host(*s, d, "/q", kSchemeHttp), u);
}

TEST_P(StoreTest, UrlTextForms) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  std::string text;
  const std::int32_t u8080 = db_urls_add(*s, server.host_id, "/p", kSchemeHttp, 8080);
  const std::int32_t u80 = db_urls_add(*s, server.host_id, "/q", kSchemeHttp, 80);
  const std::int32_t u0 = db_urls_add(*s, server.host_id, "/r", kSchemeFtp, 0);
  const std::int32_t nameless = db_urls_add(*s, 42, "/s", kSchemeHttp, 0);
  ASSERT_EQ(db_url_text(*s, u8080, text), 1);
  EXPECT_EQ(text, "http://www.example:8080/p");
  db_url_text(*s, u80, text);
  EXPECT_EQ(text, "http://www.example/q");
  db_url_text(*s, u0, text);
  EXPECT_EQ(text, "ftp://www.example/r");
  db_url_text(*s, nameless, text);
  EXPECT_EQ(text, "http:///s");
  EXPECT_EQ(db_url_text(*s, 9999, text), 1);
  EXPECT_EQ(text, "");
}

// IPv6 hosts in the same tables as IPv4 ones: the address text kept whole
// (the longest forms too), read back as an IPv6 address, found by it, and
// their URLs written with the address in brackets.
TEST_P(StoreTest, Ipv6HostsAreStoredWholeAndReadBackAsIpv6) {
  auto six = [](const char* text) { return NetAddress::parse(kAddrIpv6, text); };
  HostCacheEntry longest;
  longest.address = six("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
  longest.name = netaddr_text(longest.address);
  HostCacheEntry server;
  server.address = six("2001:db8:85a3:1234:5678:8a2e:370:7334");
  server.name = "six.example";
  server.host = HostRecord{};
  server.host->name = "six.example";
  HostCacheEntry v4 = stored(unnamed_entry(32, 1, 13, 184));  // the first bytes of server's address
  longest = stored(longest);
  server = stored(server);
  ASSERT_NE(longest.host_id, 0);
  ASSERT_NE(server.host_id, 0);
  EXPECT_NE(server.host_id, v4.host_id);

  struct Case {
    const HostCacheEntry* entry;
    const char* addr;  // as the table holds it
  } cases[] = {
      {&longest, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {&server, "2001:db8:85a3:1234:5678:8a2e:370:7334"},
      {&v4, "32.1.13.184"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.addr);
    auto st = s->connection().prepare("SELECT addr FROM host_cache WHERE host_id = ?");
    st->bind_int(1, c.entry->host_id);
    ASSERT_EQ(st->step(), StepResult::kRow);
    EXPECT_EQ(st->column_text(1), c.addr);
    NetAddress back;
    ASSERT_TRUE(db_host_cache_addr(*s, c.entry->host_id, back));
    EXPECT_EQ(back, c.entry->address);
    // An unnamed host is found by its address alone.
    if (!c.entry->has_name()) {
      EXPECT_EQ(db_host_cache_find_id(*s, nullptr, &c.entry->address), c.entry->host_id);
    }
  }

  const std::int32_t u = db_urls_add(*s, longest.host_id, "/x", kSchemeHttp, 8080);
  std::string text;
  db_url_text(*s, u, text);
  EXPECT_EQ(text, "http://[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:8080/x");
  ASSERT_GT(db_url_hist_add(*s, u, nullptr, &server, &longest, 0, 1, nullptr), 0);
  EXPECT_EQ(sql_int(*s, "SELECT client FROM url_hist"), server.host_id);
  std::vector<std::string> servers;
  ASSERT_TRUE(db_top_servers(*s, [&](const HostAccessCount& h) { servers.push_back(h.name); }).ok());
  EXPECT_EQ(servers, std::vector<std::string>{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"});
}

// A dual-stack host: its IPv4 and IPv6 replies carry one name, and each
// reply lists only addresses of its own kind. Storing either, in any order
// and again, keeps one id and the rows of both.
TEST_P(StoreTest, ADualStackHostKeepsTheRowsOfBothKinds) {
  HostCacheEntry six;
  six.address = NetAddress::parse(kAddrIpv6, "fd00::7");
  six.name = "dual.example";
  six.host = HostRecord{};
  six.host->name = "dual.example";
  six.host->aliases = {"dual"};
  const HostCacheEntry four = named_entry("dual.example", {{10, 0, 0, 7}});
  const std::int32_t id = stored(four).host_id;
  for (const HostCacheEntry* e : std::initializer_list<const HostCacheEntry*>{&six, &four, &six}) {
    EXPECT_EQ(stored(*e).host_id, id);
  }
  std::vector<std::string> rows;
  auto st = s->connection().prepare("SELECT name || '=' || addr FROM host_cache ORDER BY name, addr");
  while (st->step() == StepResult::kRow) rows.emplace_back(st->column_text(1));
  EXPECT_EQ(rows,
            (std::vector<std::string>{"dual=fd00::7", "dual.example=10.0.0.7", "dual.example=fd00::7"}));
}

TEST_P(StoreTest, AccessWithoutHostHeaderStoresNullTextAndNeedsBothHosts) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t u = db_urls_add(*s, server.host_id, "/", kSchemeHttp, 0);
  EXPECT_GT(db_url_hist_add(*s, u, nullptr, &client, &server, 0, 1, nullptr), 0);
  EXPECT_EQ(sql_text(*s, "SELECT hostname_used FROM url_hist"), "(null)");

  HostCacheEntry stranger = unnamed_entry(172, 16, 0, 9);  // never stored: no id
  EXPECT_EQ(db_url_hist_add(*s, u, nullptr, &stranger, &server, 0, 1, nullptr), 0);
  EXPECT_EQ(db_url_hist_add(*s, 0, nullptr, &client, &server, 0, 1, nullptr), 0);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 1);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 1);

  // An entry whose id was never set is found through its rows.
  HostCacheEntry client_copy = client;
  client_copy.host_id = 0;
  EXPECT_GT(db_url_hist_add(*s, u, "x", &client_copy, &server, 1, 1, nullptr), 0);
  EXPECT_EQ(sql_int(*s, "SELECT client FROM url_hist WHERE cached = 1"), client.host_id);
}

TEST_P(StoreTest, AccessQueriesReturnRowsStrictlyLaterThanSince) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t u = db_urls_add(*s, server.host_id, "/", kSchemeHttp, 0);
  TimestampRecord t1 = TimestampRecord::from_time(1'700'000'000);
  TimestampRecord t2 = TimestampRecord::from_time(1'700'000'100);
  s->set_clock([&] { return t1; });
  db_url_hist_add(*s, u, "a", &client, &server, 0, 1, nullptr);
  s->set_clock([&] { return t2; });
  db_url_hist_add(*s, u, "b", &client, &server, 1, 1, nullptr);

  AccessQuery q;
  AccessRow row;
  std::vector<std::string> seen;
  while (db_url_accesses(q, *s, u, t1, row)) seen.push_back(row.hostname_used);
  ASSERT_EQ(seen, std::vector<std::string>{"b"}) << "since is exclusive";
  EXPECT_EQ(row.ts, t2);
  EXPECT_EQ(row.cached, 1);
  EXPECT_EQ(row.client, client.host_id);
  EXPECT_EQ(row.server, server.host_id);
  EXPECT_EQ(db_url_accesses(q, *s, u, t1, row), 0) << "a finished series stays finished until reset";

  q.reset();
  int n = 0;
  while (db_client_accesses(q, *s, client.host_id, TimestampRecord::from_time(0), row)) {
    ++n;
    EXPECT_EQ(row.url_id, u);
    EXPECT_EQ(row.server, server.host_id);
  }
  EXPECT_EQ(n, 2);
  q.reset();
  n = 0;
  while (db_server_accesses(q, *s, server.host_id, TimestampRecord::from_time(0), row)) ++n;
  EXPECT_EQ(n, 2);
  q.reset();
  EXPECT_EQ(db_server_accesses(q, *s, 999, TimestampRecord::from_time(0), row), 0)
      << "no matching rows: 0 on the first call";
}

TEST_P(StoreTest, ListsForTopNAndReports) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  HostCacheEntry c1 = stored(unnamed_entry(10, 0, 0, 2));
  HostCacheEntry c2 = stored(unnamed_entry(10, 0, 0, 3));
  const std::int32_t a = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  const std::int32_t b = db_urls_add(*s, server.host_id, "/b", kSchemeHttp, 0);
  db_url_hist_add(*s, a, "h", &c1, &server, 0, 1, nullptr);
  db_url_hist_add(*s, b, "h", &c1, &server, 0, 1, nullptr);
  db_url_hist_add(*s, b, "h", &c2, &server, 0, 1, nullptr);

  std::vector<std::int32_t> order;
  ASSERT_TRUE(db_urls_by_refs(*s, [&](const UrlRow& r) { order.push_back(r.url_id); }).ok());
  EXPECT_EQ(order, (std::vector<std::int32_t>{b, a}));
  int all = 0;
  ASSERT_TRUE(db_urls_all(*s, [&](const UrlRow&) { ++all; }).ok());
  EXPECT_EQ(all, 2);
  std::vector<std::pair<std::string, std::int64_t>> clients;
  ASSERT_TRUE(
      db_top_clients(*s, [&](const HostAccessCount& h) { clients.emplace_back(h.name, h.count); }).ok());
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0], std::make_pair(std::string("10.0.0.2"), std::int64_t{2}));
  std::vector<std::int64_t> servers;
  ASSERT_TRUE(db_top_servers(*s, [&](const HostAccessCount& h) { servers.push_back(h.count); }).ok());
  EXPECT_EQ(servers, std::vector<std::int64_t>{3});
  int hist = 0;
  ASSERT_TRUE(db_url_hist_all(*s, [&](std::int32_t, std::int32_t) { ++hist; }).ok());
  EXPECT_EQ(hist, 3);

  UrlAccessIndex index;
  std::int64_t last_step = 0;
  EXPECT_EQ(db_urls_cache_build(*s, index, nullptr, [&](std::int64_t d, std::int64_t) { last_step = d; }), 3);
  EXPECT_EQ(last_step, 3);
  ASSERT_NE(index.find(b), nullptr);
  EXPECT_EQ((*index.find(b))->count(), 2);
  EXPECT_EQ((*index.find(a))->count(), 1);
  AccessFilter only_c2;
  only_c2.client = c2.host_id;
  EXPECT_EQ(db_urls_cache_build(*s, index, &only_c2), 1);
  EXPECT_EQ(index.find(a), nullptr);
}

TEST_P(StoreTest, PruningAcrossTheCutoff) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t old_only = db_urls_add(*s, server.host_id, "/old", kSchemeHttp, 0);
  const std::int32_t mixed = db_urls_add(*s, server.host_id, "/mixed", kSchemeHttp, 0);
  const TimestampRecord long_ago = TimestampRecord::from_time(std::time(nullptr) - 40 * 86400);
  s->set_clock([&] { return long_ago; });
  db_url_hist_add(*s, old_only, "h", &client, &server, 0, 1, nullptr);
  db_url_hist_add(*s, mixed, "h", &client, &server, 0, 1, nullptr);
  db_url_hist_add(*s, mixed, "h", &client, &server, 0, 1, nullptr);
  s->set_clock({});
  db_url_hist_add(*s, mixed, "h", &client, &server, 0, 1, nullptr);

  TimestampRecord cutoff;
  ASSERT_EQ(db_cutoff(28, &cutoff), 1);
  EXPECT_EQ(db_cutoff(28, nullptr), 0);
  EXPECT_GT(cutoff.year, 2000) << "full year";
  EXPECT_EQ(db_prune(*s, cutoff), 3);
  EXPECT_FALSE(db_urls_exists(*s, old_only));
  ASSERT_TRUE(db_urls_exists(*s, mixed));
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 1);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 1);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM host_cache"), 2) << "host rows are never pruned";
  EXPECT_EQ(db_prune(*s, cutoff), 0);
}

TEST_P(StoreTest, PruningInStepsTakesWhatOnePruneTakesOldestDayFirst) {
  HostCacheEntry server = stored(named_entry("www.example", {{10, 0, 0, 1}}));
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t url = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  const std::time_t now = std::time(nullptr);
  for (int days : {40, 35, 35, 30, 1}) {
    const TimestampRecord at = TimestampRecord::from_time(now - days * 86400);
    s->set_clock([at] { return at; });
    db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr);
  }
  s->set_clock({});
  TimestampRecord cutoff;
  db_cutoff(28, &cutoff);
  std::vector<std::pair<int, int>> steps;
  EXPECT_EQ(db_prune_in_steps(*s, cutoff, [&](int d, int t) { steps.emplace_back(d, t); }), 4);
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.back().first, steps.back().second);
  EXPECT_GE(steps.back().second, 12) << "one step a day from the oldest access";
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 1);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 1);

  steps.clear();
  EXPECT_EQ(db_prune_in_steps(*s, cutoff, [&](int d, int t) { steps.emplace_back(d, t); }), 0);
  EXPECT_EQ(steps, (std::vector<std::pair<int, int>>{{0, 0}})) << "nothing older: no step";
}

TEST(Cutoff, IsLocalTimeDaysBack) {
  TimestampRecord now_rec = TimestampRecord::from_time(std::time(nullptr));
  TimestampRecord zero;
  db_cutoff(0, &zero);
  EXPECT_EQ(zero.year, now_rec.year);
  EXPECT_EQ(zero.fraction, 0u);
  TimestampRecord far;
  db_cutoff(365 * 30, &far);
  EXPECT_LE(far.year, now_rec.year - 29);
  EXPECT_GE(far.year, 1990);
}

TEST_P(StoreTest, AlarmRowsRoundTripInOrderWithNewIds) {
  std::vector<AlarmRow> rows(2);
  rows[0].object_type = 5;
  rows[0].url_id = 17;
  rows[0].notify = "URL \"watched\"; DROP TABLE alarms; --";
  rows[0].command = "C:\\tools\\run.exe --flag";
  rows[0].threshold = 12.5;
  rows[1].object_type = 1;
  rows[1].protocol = std::string(50, 'p');
  rows[1].sound_file = "/usr/share/sounds/bell.wav";
  rows[1].delivery = "syslog webhook:https://chat.example/hook?k='x'";
  ASSERT_TRUE(db_alarms_save(*s, rows).ok());
  EXPECT_GT(rows[0].alarm_id, 0);
  EXPECT_GT(rows[1].alarm_id, rows[0].alarm_id);
  std::vector<AlarmRow> back;
  ASSERT_TRUE(db_alarms_load(*s, back).ok());
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].notify, rows[0].notify);
  EXPECT_EQ(back[0].command, rows[0].command) << "backslashes need no doubling";
  EXPECT_EQ(back[0].threshold, 12.5);
  EXPECT_EQ(back[0].url_id, 17);
  EXPECT_EQ(back[1].protocol, std::string(20, 'p'));
  EXPECT_EQ(back[1].sound_file, rows[1].sound_file);
  EXPECT_EQ(back[0].delivery, "");
  EXPECT_EQ(back[1].delivery, rows[1].delivery);

  std::vector<AlarmRow> one(1);
  ASSERT_TRUE(db_alarms_save(*s, one).ok());
  back.clear();
  ASSERT_TRUE(db_alarms_load(*s, back).ok());
  EXPECT_EQ(back.size(), 1u) << "saving replaces the whole table";
}

// Values from the wire go in and come back out exactly (or cut to their
// column), and the tables stay sound.
TEST_P(StoreTest, HostileValuesAreStoredAsSeen) {
  const std::vector<std::string> hostile = {
      "a'b",
      "x\"y",
      "'; DROP TABLE urls; --",
      "/p?q=1;2 -- comment",
      std::string("nul\0inside", 10),
      "caf\xc3\xa9/\xff\xfe",
      "/" + std::string(10 * 1024, 'k'),
  };
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  for (const std::string& v : hostile) {
    HostCacheEntry server = stored(named_entry(v.substr(0, 60) + ".example", {{10, 9, 8, 7}}));
    const std::int32_t u = db_urls_add(*s, server.host_id, v, kSchemeHttp, 0);
    ASSERT_GT(u, 0) << v.substr(0, 40);
    EXPECT_EQ(db_urls_find(*s, server.host_id, v, kSchemeHttp), u);
    const std::string used(v.substr(0, 200));
    const std::int32_t h = db_url_hist_add(*s, u, used.c_str(), &client, &server, 0, 1, nullptr);
    ASSERT_GT(h, 0);
    auto st = s->connection().prepare("SELECT urlpath FROM urls WHERE url_id = ?");
    st->bind_int(1, u);
    ASSERT_EQ(st->step(), StepResult::kRow);
    // A server's text ends at a NUL byte, as hostname_used does everywhere.
    auto as_stored = [&](const std::string& x) { return pg() ? x.substr(0, x.find('\0')) : x; };
    EXPECT_EQ(std::string(st->column_text(1)), as_stored(v).substr(0, kUrlPathColumn));
    std::string name;
    ASSERT_TRUE(db_host_cache_name(*s, server.host_id, name));
    EXPECT_EQ(name, as_stored(v.substr(0, 60) + ".example").substr(0, kHostNameColumn));
  }
  // hostname_used is handed over as C text: it ends at a NUL like on the wire.
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist WHERE hostname_used = 'nul'"), 1);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM urls"), static_cast<std::int64_t>(hostile.size()));
  if (!pg()) {
    EXPECT_EQ(sql_text(*s, "PRAGMA integrity_check"), "ok");
  }
}

// Each access names its sensor; lists and the URL index show one sensor's
// accesses or everyone's. Hosts with several addresses and aliases (several
// host_cache rows) count each access once, under their own name.
TEST_P(StoreTest, AccessesKeepTheirSensorAndListsShowOneOrAll) {
  HostCacheEntry a = stored(named_entry("desk.example", {{10, 0, 0, 1}, {10, 0, 0, 11}}, {"desk"}));
  HostCacheEntry b = stored(unnamed_entry(10, 0, 0, 2));
  HostCacheEntry server =
      stored(named_entry("www.example", {{10, 0, 0, 9}, {10, 0, 0, 19}, {10, 0, 0, 29}}, {"w1", "w2"}));
  ASSERT_GT(sql_int(*s, "SELECT count(*) FROM host_cache"), 5);
  const std::int32_t one = db_urls_add(*s, server.host_id, "/one", kSchemeHttp, 0);
  const std::int32_t two = db_urls_add(*s, server.host_id, "/two", kSchemeHttp, 0);
  auto record = [&](const char* sensor, std::int32_t url, const HostCacheEntry& client, int times) {
    s->set_sensor(sensor);
    for (int i = 0; i < times; ++i)
      ASSERT_GT(db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr), 0);
  };
  record("north", one, a, 3);
  record("south", two, b, 2);
  record("south", one, b, 1);

  using Top = std::vector<std::tuple<std::int32_t, std::string, std::int64_t>>;  // host_id, name, accesses
  auto top = [&](Status (*list)(DbSession&, const std::function<void(const HostAccessCount&)>&)) {
    Top out;
    EXPECT_TRUE(
        list(*s, [&](const HostAccessCount& h) { out.emplace_back(h.host_id, h.name, h.count); }).ok());
    return out;
  };
  const Top www = {{server.host_id, "www.example", 6}};
  struct View {
    std::optional<std::string> sensor;
    std::vector<std::pair<std::int32_t, std::int32_t>> urls;  // url_id, accesses
    Top clients, servers;
    std::int64_t indexed;
  } views[] = {
      {std::nullopt,
       {{one, 4}, {two, 2}},
       {{a.host_id, "desk.example", 3}, {b.host_id, "10.0.0.2", 3}},
       www,
       6},
      {"north", {{one, 3}}, {{a.host_id, "desk.example", 3}}, {{server.host_id, "www.example", 3}}, 3},
      {"south", {{two, 2}, {one, 1}}, {{b.host_id, "10.0.0.2", 3}}, {{server.host_id, "www.example", 3}}, 3},
      {"nobody", {}, {}, {}, 0},
  };
  for (const View& v : views) {
    s->set_view_sensor(v.sensor);
    std::vector<std::pair<std::int32_t, std::int32_t>> urls;
    ASSERT_TRUE(db_urls_by_refs(*s, [&](const UrlRow& r) { urls.emplace_back(r.url_id, r.ref_count); }).ok());
    EXPECT_EQ(urls, v.urls) << v.sensor.value_or("all");
    EXPECT_EQ(top(&db_top_clients), v.clients) << v.sensor.value_or("all");
    EXPECT_EQ(top(&db_top_servers), v.servers) << v.sensor.value_or("all");
    UrlAccessIndex index;
    EXPECT_EQ(db_urls_cache_build(*s, index, nullptr), v.indexed) << v.sensor.value_or("all");
  }
}

// Sensors sharing a server store the same hosts and URLs at the same moment:
// each host keeps one id, each URL one row, and every access is counted.
TEST(SharedServer, SensorsStoringTheSameThingsAtOnceGetOneIdEach) {
  auto& server = testing_support::PgTestServer::get();
  if (!server.available()) GTEST_SKIP() << server.why();
  const std::string where = server.fresh_database();
  constexpr int kSensors = 4, kHosts = 25;
  std::vector<std::unique_ptr<DbSession>> sessions;
  for (int i = 0; i < kSensors; ++i) {
    sessions.push_back(db_open_session(where));
    ASSERT_TRUE(sessions.back());
    sessions.back()->set_sensor("sensor" + std::to_string(i));
  }
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kSensors; ++i) {
    threads.emplace_back([&, i] {
      DbSession& s = *sessions[static_cast<std::size_t>(i)];
      ready.fetch_add(1);
      while (ready.load() < kSensors) std::this_thread::yield();
      for (int h = 1; h <= kHosts; ++h) {
        HostCacheEntry e = unnamed_entry(10, 1, 0, static_cast<std::uint8_t>(h));
        e.host_id = db_host_cache_store(s, e);
        const std::int32_t u = db_urls_add(s, e.host_id, "/page" + std::to_string(h), kSchemeHttp, 0);
        db_url_hist_add(s, u, "x", &e, &e, 0, 1, nullptr);
      }
    });
  }
  for (auto& t : threads) t.join();
  DbSession& s = *sessions[0];
  EXPECT_EQ(sql_int(s, "SELECT count(DISTINCT host_id) FROM host_cache"), kHosts);
  EXPECT_EQ(sql_int(s, "SELECT count(*) FROM host_cache"), kHosts);
  EXPECT_EQ(sql_int(s, "SELECT count(*) FROM urls"), kHosts);
  EXPECT_EQ(sql_int(s, "SELECT sum(ref_count) FROM urls"), kSensors * kHosts);
  EXPECT_EQ(sql_int(s, "SELECT sum(ref_count) FROM host_cache"), kHosts)
      << "each URL counted once at its host";
  EXPECT_EQ(sql_int(s, "SELECT count(DISTINCT sensor) FROM url_hist"), kSensors);
  EXPECT_EQ(sql_int(s, "SELECT count(*) FROM url_hist"), kSensors * kHosts);
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

// A URL is told apart by the port and the name the client asked for: sites
// sharing an address, and one site on two ports, are URLs of their own, each
// shown under its own name.
TEST_P(StoreTest, PortsAndNamesAskedForAreUrlsOfTheirOwn) {
  const HostCacheEntry web = stored(unnamed_entry(10, 77, 0, 2));
  const HostCacheEntry shared = stored(unnamed_entry(10, 77, 2, 2));
  struct Case {
    const HostCacheEntry* server;
    const char* host_header;
    int scheme;
    const char* text;
    int same_as;  // index of the case naming the same URL, or -1
  };
  const Case cases[] = {
      {&web, "10.77.0.2:8000", kSchemeHttp, "http://10.77.0.2:8000/index.html", -1},
      {&web, "10.77.0.2", kSchemeHttp, "http://10.77.0.2/index.html", -1},
      {&web, "10.77.0.2:80", kSchemeHttp, "http://10.77.0.2/index.html", 1},
      {&web, nullptr, kSchemeHttp, "http://10.77.0.2/index.html", -1},
      {&shared, "secure.example", kSchemeHttps, "https://secure.example/index.html", -1},
      {&shared, "9lives.example", kSchemeHttps, "https://9lives.example/index.html", -1},
      {&shared, "split.example", kSchemeHttps, "https://split.example/index.html", -1},
      {&shared, "Secure.Example.:443", kSchemeHttps, "https://secure.example/index.html", 4},
  };
  std::vector<std::int32_t> ids;
  for (const Case& c : cases) {
    UrlParts parts;
    ASSERT_TRUE(db_urls_parse("/index.html", parts));
    parts.scheme = c.scheme;
    const UrlKey key = db_url_key(c.server->host_id, parts, c.host_header);
    ids.push_back(db_urls_add(*s, key));
    ASSERT_GT(ids.back(), 0) << c.text;
    EXPECT_EQ(db_urls_find(*s, key), ids.back()) << c.text;
    std::string text;
    db_url_text(*s, ids.back(), text);
    EXPECT_EQ(text, c.text);
    if (c.same_as >= 0) {
      EXPECT_EQ(ids.back(), ids[static_cast<std::size_t>(c.same_as)]) << c.text;
    }
  }
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM urls"), 6);
  EXPECT_EQ(sql_int(*s, "SELECT count(DISTINCT host) FROM urls WHERE proto = 6"), 1);
}

TEST(UrlKey, TheNameAndPortAskedForAreTakenFromTheRequest) {
  struct Case {
    const char* target;
    const char* host_header;
    const char* vhost;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"/", "www.example:8080", "www.example", 8080},
      {"/", "[fe80::1]:8443", "[fe80::1]", 8443},
      {"/", "[fe80::1]", "[fe80::1]", 0},
      {"/", "odd:port", "odd:port", 0},
      {"/", "big:99999", "big:99999", 0},
      {"/", " Spaced.Example ", "spaced.example", 0},
      {"http://Proxied.Example:3128/x", "ignored.example", "proxied.example", 3128},
      {"http://proxied.example/x", nullptr, "proxied.example", 0},
  };
  for (const Case& c : cases) {
    UrlParts parts;
    db_urls_parse(c.target, parts);
    const UrlKey k = db_url_key(7, parts, c.host_header);
    EXPECT_EQ(k.vhost, c.vhost) << c.target << " " << (c.host_header ? c.host_header : "-");
    EXPECT_EQ(k.port, c.port) << c.target << " " << (c.host_header ? c.host_header : "-");
  }
}

// A capture played today from a file of long ago is kept as long as today's
// traffic: retention ages accesses by when they were recorded; the frame's
// time stays what the windows show.
TEST_P(StoreTest, PruningAgesAccessesByWhenTheyWereRecorded) {
  const HostCacheEntry server = stored(unnamed_entry(10, 0, 0, 1));
  const HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t url = db_urls_add(*s, server.host_id, "/old", kSchemeHttp, 0);
  const std::int64_t now = std::time(nullptr);
  const std::int64_t year_ago = now - 400 * 86400;
  const std::int32_t played = db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr, year_ago);
  s->set_clock([&] { return TimestampRecord::from_time(now - 40 * 86400); });
  const std::int32_t recorded_long_ago = db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr, now);
  s->set_clock(nullptr);
  ASSERT_GT(played, 0);
  ASSERT_GT(recorded_long_ago, 0);
  TimestampRecord cutoff;
  db_cutoff(28, &cutoff);
  EXPECT_EQ(db_prune(*s, cutoff), 1);
  AccessRow row;
  ASSERT_TRUE(db_url_hist_read(*s, played, row));
  EXPECT_EQ(row.ts, TimestampRecord::from_time(year_ago));
  EXPECT_FALSE(db_url_hist_read(*s, recorded_long_ago, row));
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 1);
}

// A version-2 store (URLs by host, scheme and path; accesses without their
// recording time) is brought up to date in place on either engine.
TEST_P(StoreTest, AVersionTwoStoreIsMigratedInPlace) {
  const HostCacheEntry server = stored(unnamed_entry(10, 0, 0, 1));
  const HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t url = db_urls_add(*s, server.host_id, "/kept", kSchemeHttp, 0);
  const std::int32_t hist = db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr, 1000000000);
  ASSERT_GT(hist, 0);
  const char* downgrade =
      pg() ? "DROP INDEX urls_identity; ALTER TABLE urls ADD UNIQUE (host, proto, urlpath);"
             "ALTER TABLE urls DROP COLUMN vhost; ALTER TABLE url_hist DROP COLUMN recorded_at;"
             "DROP TABLE url_prunes; UPDATE tarnix_schema SET version = 2"
           : "DROP INDEX urls_identity; CREATE UNIQUE INDEX urls_once ON urls (host, proto, urlpath);"
             "CREATE INDEX urls_by_path ON urls (host, proto, urlpath);"
             "ALTER TABLE urls DROP COLUMN vhost; ALTER TABLE url_hist DROP COLUMN recorded_at;"
             "DROP TABLE url_prunes; UPDATE tarnix_schema SET version = 2";
  ASSERT_TRUE(s->connection().exec(downgrade).ok());
  s.reset();
  Status st;
  s = db_open_session(where, nullptr, &st);
  ASSERT_TRUE(s) << st.message();
  EXPECT_EQ(db_schema_version(s->connection()), kSchemaVersion);
  EXPECT_EQ(db_urls_find(*s, server.host_id, "/kept", kSchemeHttp), url);
  AccessRow row;
  ASSERT_TRUE(db_url_hist_read(*s, hist, row));
  EXPECT_EQ(row.ts, TimestampRecord::from_time(1000000000));
  // Rows from before count as recorded at the upgrade: not pruned yet.
  TimestampRecord cutoff;
  db_cutoff(1, &cutoff);
  EXPECT_EQ(db_prune(*s, cutoff), 0);
  // The same path on another port is now a URL of its own.
  const std::int32_t other = db_urls_add(*s, server.host_id, "/kept", kSchemeHttp, 8080);
  EXPECT_GT(other, url);
}

// An alarms table from before deliveries gains the column when opened; its
// rows read back as they were, with no delivery.
TEST_P(StoreTest, AnAlarmsTableFromBeforeDeliveriesReadsAsBefore) {
  std::vector<AlarmRow> rows(1);
  rows[0].object_type = 4;
  rows[0].notify = "old";
  rows[0].command = "logger x";
  rows[0].run_command = 1;
  ASSERT_TRUE(db_alarms_save(*s, rows).ok());
  ASSERT_TRUE(s->connection().exec("ALTER TABLE alarms DROP COLUMN delivery").ok());
  s.reset();
  Status st;
  s = db_open_session(where, nullptr, &st);
  ASSERT_TRUE(s) << st.message();
  std::vector<AlarmRow> back;
  ASSERT_TRUE(db_alarms_load(*s, back).ok());
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].notify, "old");
  EXPECT_EQ(back[0].command, "logger x");
  EXPECT_EQ(back[0].run_command, 1);
  EXPECT_EQ(back[0].delivery, "");
  back[0].delivery = "syslog";
  ASSERT_TRUE(db_alarms_save(*s, back).ok()) << "and takes deliveries from then on";
}

// Inside a transaction the accesses are written at its commit; a commit
// that fails says so and keeps nothing, and the URLs it added are not taken
// for stored by the next one.
TEST_P(StoreTest, AFailedBatchCommitIsAnErrorAndKeepsNothing) {
  const HostCacheEntry server = stored(unnamed_entry(10, 0, 0, 1));
  const HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const char* refuse =
      pg() ? "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused'; END "
             "$$ LANGUAGE plpgsql; CREATE TRIGGER refuse BEFORE INSERT ON url_hist FOR EACH ROW "
             "EXECUTE FUNCTION refuse()"
           : "CREATE TRIGGER refuse BEFORE INSERT ON url_hist BEGIN SELECT RAISE(ABORT, 'refused'); END";
  ASSERT_TRUE(s->connection().exec(refuse).ok());
  // Values that COPY's text form must escape come back as they were.
  const std::vector<std::string> used = {"tab\there", "line\nend", "back\\slash", "\\N", "cr\rx"};
  auto batch = [&] {
    Connection& c = s->connection();
    EXPECT_TRUE(c.begin().ok());
    const std::int32_t url = db_urls_add(*s, server.host_id, "/batch", kSchemeHttp, 0);
    for (const std::string& u : used)
      EXPECT_GT(db_url_hist_add(*s, url, u.c_str(), &client, &server, 0, 1, nullptr), 0);
    return c.commit();
  };
  Status failed = batch();
  EXPECT_FALSE(failed.ok());
  EXPECT_NE(failed.message().find("refused"), std::string::npos) << failed.message();
  EXPECT_FALSE(s->connection().in_transaction());
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM urls"), 0);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 0);

  ASSERT_TRUE(s->connection().exec("DROP TRIGGER refuse" + std::string(pg() ? " ON url_hist" : "")).ok());
  ASSERT_TRUE(batch().ok());
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist JOIN urls ON urls.url_id = url_hist.url_id"), 5);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 5);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM host_cache WHERE host_id = (SELECT host FROM urls)"), 1);
  for (const std::string& u : used) {
    auto st = s->connection().prepare("SELECT count(*) FROM url_hist WHERE hostname_used = ?");
    st->bind_text(1, u);
    ASSERT_EQ(st->step(), StepResult::kRow);
    EXPECT_EQ(st->column_int(1), 1) << u;
  }
}

}  // namespace
}  // namespace tarnix
