// Access ids that only grow, and an older database brought up to date with
// its rows.
#include <gtest/gtest.h>

#include <ctime>

#include <string>
#include <vector>

#include "db/db_store.h"
#include "db/sql.h"
#include "db_test_support.h"
#include "sniff/http.h"

namespace tarnix {
namespace {

using testing_support::sql_int;
using testing_support::TempDir;
using testing_support::unnamed_entry;

class StoreCounts : public ::testing::Test {
 protected:
  void SetUp() override { open(); }
  void open(const char* file = "tarnix.db") {
    Status st;
    s = db_open_session(dir.file(file), nullptr, &st);
    ASSERT_TRUE(s) << st.message();
  }
  HostCacheEntry stored(HostCacheEntry e) {
    e.host_id = db_host_cache_store(*s, e);
    return e;
  }
  TempDir dir;
  std::unique_ptr<DbSession> s;
};

// A version-1 file (url_hist with plain row ids, urls without the unique
// rule or sensors) is brought up to date in place, keeping its rows.
TEST_F(StoreCounts, AVersionOneDatabaseIsMigratedInPlaceKeepingItsRows) {
  {
    auto c = sqlite_open(dir.file("old.db"), SqliteOptions{});
    ASSERT_TRUE(c);
    ASSERT_TRUE(
        c->exec("CREATE TABLE tarnix_schema (version INTEGER NOT NULL); INSERT INTO tarnix_schema VALUES (1);"
                "CREATE TABLE urls (url_id INTEGER PRIMARY KEY AUTOINCREMENT, host INTEGER NOT NULL, "
                "port INTEGER NOT NULL DEFAULT 0, proto INTEGER NOT NULL, urlpath TEXT NOT NULL, "
                "ref_count INTEGER NOT NULL DEFAULT 0);"
                "CREATE TABLE url_hist (url_hist_id INTEGER PRIMARY KEY, url_id INTEGER NOT NULL, "
                "hostname_used TEXT NOT NULL, client INTEGER NOT NULL, server INTEGER NOT NULL, "
                "ts TIMESTAMP NOT NULL, cached INTEGER NOT NULL, method INTEGER NOT NULL, "
                "referer INTEGER NOT NULL DEFAULT 0);"
                "INSERT INTO urls VALUES (1, 1, 0, 3, '/', 2);"
                "INSERT INTO url_hist VALUES (7, 1, 'a', 2, 3, '2001-09-09 01:46:40.000000', 0, 1, 0), "
                "(9, 1, 'b', 2, 3, '2001-09-09 01:46:41.000000', 0, 1, 0);")
            .ok());
  }
  s.reset();
  open("old.db");
  EXPECT_EQ(db_schema_version(s->connection()), kSchemaVersion);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist WHERE sensor = ''"), 2);
  EXPECT_EQ(sql_int(*s, "SELECT url_hist_id FROM url_hist WHERE hostname_used = 'b'"), 9);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'url_hist'"),
            3);
  // The unique rule came with it: the same URL cannot be inserted twice.
  EXPECT_FALSE(s->connection().exec("INSERT INTO urls (host, proto, urlpath) VALUES (1, 3, '/')").ok());
  s.reset();
  open("old.db");  // opens again as it is
  // Pruned empty and written again, the ids carry on past the kept ones.
  // The rows kept count as recorded at the upgrade.
  ASSERT_EQ(db_prune(*s, TimestampRecord::from_time(1100000000)), 0);
  ASSERT_EQ(db_prune(*s, TimestampRecord::from_time(std::time(nullptr) + 60)), 2);
  ASSERT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 0);
  HostCacheEntry server = stored(unnamed_entry(10, 0, 0, 1));
  HostCacheEntry client = stored(unnamed_entry(10, 0, 0, 2));
  const std::int32_t url = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  EXPECT_GT(db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr), 9);
}

}  // namespace
}  // namespace tarnix
