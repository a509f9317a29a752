// What the store counts and numbers: accesses per host once, access ids that
// only grow, and an older database brought up to date with its rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/db_store.h"
#include "db/http.h"
#include "db/sql.h"
#include "db_test_support.h"

namespace tarnix {
namespace {

using testing_support::named_entry;
using testing_support::sql_int;
using testing_support::TempDir;
using testing_support::unnamed_entry;

class StoreCounts : public ::testing::Test {
 protected:
  void SetUp() override { open(); }
  void open() {
    Status st;
    s = db_open_session(dir.file("tarnix.db"), nullptr, &st);
    ASSERT_TRUE(s) << st.message();
  }
  HostcEntry stored(HostcEntry e) {
    e.host_id = db_host_cache_store(*s, e);
    return e;
  }
  TempDir dir;
  std::unique_ptr<DbSession> s;
};

TEST_F(StoreCounts, TopClientsAndServersCountEachAccessOncePerHost) {
  // Three addresses and two aliases: five host_cache rows for one host.
  HostcEntry server =
      stored(named_entry("www.example", {{10, 0, 0, 1}, {10, 0, 0, 11}, {10, 0, 0, 12}}, {"w1", "w2"}));
  HostcEntry multi = stored(named_entry("desk.example", {{10, 0, 0, 2}, {10, 0, 0, 22}}, {"desk"}));
  HostcEntry plain = stored(unnamed_entry(10, 0, 0, 3));
  ASSERT_GT(sql_int(*s, "SELECT count(*) FROM host_cache"), 5);
  const std::int32_t url = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  db_url_hist_add(*s, url, "h", &multi, &server, 0, 1, nullptr);
  db_url_hist_add(*s, url, "h", &plain, &server, 0, 1, nullptr);
  db_url_hist_add(*s, url, "h", &plain, &server, 0, 1, nullptr);

  std::vector<HostAccessCount> clients, servers;
  ASSERT_TRUE(db_top_clients(*s, [&](const HostAccessCount& h) { clients.push_back(h); }).ok());
  ASSERT_TRUE(db_top_servers(*s, [&](const HostAccessCount& h) { servers.push_back(h); }).ok());
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0].name, "10.0.0.3");
  EXPECT_EQ(clients[0].count, 2);
  EXPECT_EQ(clients[0].host_id, plain.host_id);
  EXPECT_EQ(clients[1].name, "desk.example");
  EXPECT_EQ(clients[1].count, 1);
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers[0].name, "www.example");
  EXPECT_EQ(servers[0].count, 3);
  EXPECT_EQ(servers[0].host_id, server.host_id);
}

TEST_F(StoreCounts, AccessIdsOnlyGrowAfterAPruneEmptiesTheTable) {
  HostcEntry server = stored(unnamed_entry(10, 0, 0, 1));
  HostcEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t url = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  const std::int32_t first = db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr, 1000000000);
  const std::int32_t second = db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr, 1000000001);
  ASSERT_GT(second, first);
  ASSERT_EQ(db_prune(*s, TimestampRecord::from_time(1000000100)), 2);
  ASSERT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 0);
  const std::int32_t url2 = db_urls_add(*s, server.host_id, "/b", kSchemeHttp, 0);
  EXPECT_GT(db_url_hist_add(*s, url2, "h", &client, &server, 0, 1, nullptr), second);
}

TEST_F(StoreCounts, AVersionOneDatabaseIsMigratedInPlaceKeepingItsRows) {
  // Rebuild the file as version 1 made it: url_hist with plain row ids.
  Connection& c = s->connection();
  ASSERT_TRUE(c.exec("DROP TABLE url_hist").ok());
  ASSERT_TRUE(c.exec("CREATE TABLE url_hist (url_hist_id INTEGER PRIMARY KEY, url_id INTEGER NOT NULL, "
                     "hostname_used TEXT NOT NULL, client INTEGER NOT NULL, server INTEGER NOT NULL, "
                     "ts TIMESTAMP NOT NULL, cached INTEGER NOT NULL, method INTEGER NOT NULL, "
                     "referer INTEGER NOT NULL DEFAULT 0)")
                  .ok());
  ASSERT_TRUE(c.exec("INSERT INTO url_hist VALUES (7, 1, 'a', 2, 3, '2001-09-09 01:46:40.000000', 0, 1, 0), "
                     "(9, 1, 'b', 2, 3, '2001-09-09 01:46:41.000000', 0, 1, 0)")
                  .ok());
  ASSERT_TRUE(c.exec("DELETE FROM tarnix_schema").ok());
  ASSERT_TRUE(c.exec("INSERT INTO tarnix_schema (version) VALUES (1)").ok());
  s.reset();
  open();

  EXPECT_EQ(db_schema_version(s->connection()), kSchemaVersion);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 2);
  EXPECT_EQ(sql_int(*s, "SELECT url_hist_id FROM url_hist WHERE hostname_used = 'b'"), 9);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'url_hist'"),
            3);
  // Emptied and written again, the ids carry on past the kept ones.
  ASSERT_TRUE(s->connection().exec("DELETE FROM url_hist").ok());
  HostcEntry server = stored(unnamed_entry(10, 0, 0, 1));
  HostcEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t url = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  EXPECT_GT(db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr), 9);
}

}  // namespace
}  // namespace tarnix
