// The store under the faults a deployment meets: a database server that goes
// away and comes back, a damaged file, a file that cannot be written, and a
// reader that holds the WAL back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "db/db_util.h"
#include "db_test_support.h"

namespace tarnix {
namespace {

using testing_support::sql_int;
using testing_support::TempDir;
using testing_support::unnamed_entry;

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    if (::pclose(p) != 0) return {};
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The test script's throwaway server, stopped as by a power cut under an open
// session and started again: the session reconnects by itself and writes go
// on, with the server's rows from before kept.
TEST(StoreFaults, ASessionReconnectsWhenItsServerComesBack) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);  // the server's own account reaches its folder
  const std::string script = std::string(TARNIX_SOURCE_DIR) + "/scripts/pg_test_server.sh";
  const std::string data = dir.file("pg");
  const std::string conninfo = run(script + " start " + data + " 2>/dev/null");
  if (conninfo.empty()) GTEST_SKIP() << "PostgreSQL programs not installed; scripts/setup.sh installs them";
  struct Stop {
    std::string cmd;
    ~Stop() { run(cmd); }
  } stop{script + " stop " + data};

  Status st;
  auto s = db_open_session(db_pg_locator(conninfo + " dbname=postgres"), nullptr, &st);
  ASSERT_TRUE(s) << st.message();
  s->set_relink_wait(std::chrono::milliseconds(50), std::chrono::milliseconds(200));
  HostCacheEntry server = unnamed_entry(10, 0, 0, 1), client = unnamed_entry(10, 0, 0, 2);
  server.host_id = db_host_cache_store(*s, server);
  client.host_id = db_host_cache_store(*s, client);
  auto write = [&] {
    Connection& c = s->connection();
    Status b = c.begin();
    if (!b.ok()) return b;
    const std::int32_t url = db_urls_add(*s, server.host_id, "/up", kSchemeHttp, 0);
    if (db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr) == 0) {
      c.rollback();
      return Status::error(1, "not written");
    }
    return c.commit();
  };
  ASSERT_TRUE(write().ok());

  // A transaction open when the server goes: its commit fails, and nothing
  // of it is written on the connection that replaces it.
  ASSERT_TRUE(s->connection().begin().ok());
  const std::int32_t url = db_urls_add(*s, server.host_id, "/up", kSchemeHttp, 0);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(run(script + " crash " + data + " && echo crashed"), "crashed");
  db_url_hist_add(*s, url, "lost", &client, &server, 0, 1, nullptr);
  EXPECT_FALSE(s->connection().commit().ok());
  // The server's parting warning is said as ours, not as a bare line.
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("db: the database server says: WARNING:"), std::string::npos) << said;
  EXPECT_EQ(said.find("\nWARNING:"), std::string::npos) << said;
  EXPECT_NE(said.rfind("WARNING:", 0), 0u) << said;
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(write().ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GT(s->failed_while_down(), 0u);
  ASSERT_EQ(run(script + " restart " + data + " && echo started"), "started");
  bool written = false;
  for (int i = 0; i < 100 && !written; ++i) {
    written = write().ok();
    if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(written);
  EXPECT_EQ(s->relinks(), 1u);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 2);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist WHERE hostname_used = 'lost'"), 0);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls"), 2);
}

// One page of an existing file overwritten: start-up refuses the file, says
// how to recover it, and leaves it exactly as it was.
TEST(StoreFaults, ADamagedFileIsRefusedAndLeftAsItWas) {
  TempDir dir;
  const std::string path = dir.file(kDbFileName);
  {
    auto s = db_open_session(path);
    ASSERT_TRUE(s);
    HostCacheEntry server = unnamed_entry(10, 0, 0, 1);
    server.host_id = db_host_cache_store(*s, server);
    for (int i = 0; i < 400; ++i)
      ASSERT_GT(db_urls_add(*s, server.host_id, "/page/" + std::to_string(i) + std::string(100, 'x'),
                            kSchemeHttp, 0),
                0);
  }
  EXPECT_TRUE(sqlite_check(path).ok());
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096 * 3);
    const std::string junk(4096, '\x5a');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  const std::string before = file_bytes(path);
  const Status st = sqlite_check(path);
  EXPECT_EQ(st.code(), kDbDamaged);
  EXPECT_NE(st.message().find(".recover"), std::string::npos) << st.message();

  struct Ui : DbStartupUi {
    int errors = 0, beeps = 0;
    void beep() override { ++beeps; }
    void error(const char*, const char*) override { ++errors; }
    void wait_ms(int) override {}
  } ui;
  DbConfig config;
  config.dbpath = dir.path().string();
  EXPECT_FALSE(db_connect(config, ui));
  EXPECT_EQ(ui.errors, 1);
  EXPECT_EQ(ui.beeps, 0);
  EXPECT_TRUE(file_bytes(path) == before);
}

// A file Tarnix may not write is refused at its opening with a reason,
// rather than opened read-only and failing every write later. As root (who
// may write anything) the opening is tried as "nobody".
TEST(StoreFaults, AFileThatCannotBeWrittenIsRefusedAtOpening) {
  for (const mode_t mode : {mode_t{0444}, mode_t{0400}}) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string path = dir.file(kDbFileName);
    { ASSERT_TRUE(db_open_session(path)); }
    ::chmod(path.c_str(), mode);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
      Status st;
      auto c = sqlite_open(path, SqliteOptions{}, &st);
      ::_exit(c ? 1 : st.code() == kDbReadOnly && st.message().find(path) != std::string::npos ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "mode " << std::oct << mode;
  }
}

// A reader that held a snapshot while the writer went on made the WAL grow;
// once the reader is done, the writer's next commits cut it back to its mark
// rather than leaving it at the size it reached.
TEST(StoreFaults, TheWalIsCutBackOnceAReaderLetsGo) {
  TempDir dir;
  const std::string path = dir.file("wal.db");
  SqliteOptions small;
  small.wal_pages = 64;
  auto writer = sqlite_open(path, small);
  auto reader = sqlite_open(path, SqliteOptions{});
  ASSERT_TRUE(writer && reader);
  ASSERT_TRUE(
      writer->exec("CREATE TABLE t (x BLOB); INSERT INTO t VALUES (zeroblob(10)), (zeroblob(10))").ok());
  auto held = reader->prepare("SELECT x FROM t");
  ASSERT_EQ(held->step(), StepResult::kRow);  // a read transaction left open
  auto insert = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(writer->exec("INSERT INTO t VALUES (zeroblob(4000))").ok());
  };
  insert(400);
  const auto wal_size = [&] {
    struct stat st {};
    return ::stat((path + "-wal").c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0LL;
  };
  EXPECT_GT(wal_size(), 300LL * 4096);
  held.reset();
  insert(10);
  EXPECT_LE(wal_size(), 3LL * 64 * 4096);
}

}  // namespace
}  // namespace tarnix
