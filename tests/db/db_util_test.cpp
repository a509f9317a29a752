// Opening and closing the database as start-up and shut-down do.
#include "db/db_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "db/pg_server.h"
#include "db_test_support.h"

namespace tarnix {
namespace {

using testing_support::TempDir;

class RecordingUi : public DbStartupUi {
 public:
  void beep() override { ++beeps; }
  void error(const char* title, const char* message) override {
    errors.push_back(std::string(title) + "|" + message);
  }
  void wait_ms(int ms) override { waits.push_back(ms); }
  int beeps = 0;
  std::vector<std::string> errors;
  std::vector<int> waits;
};

TEST(DbStartup, CreatesTheFolderAndTheDatabase) {
  TempDir dir;
  DbConfig config;
  config.dbpath = (dir.path() / "nested" / "db").string();
  RecordingUi ui;
  ASSERT_TRUE(db_start_server(config, ui));
  auto s = db_connect(config, ui);
  ASSERT_TRUE(s);
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(ui.beeps, 0);
  EXPECT_TRUE(std::filesystem::exists(db_file_path(config)));
  EXPECT_EQ(db_schema_version(s->connection()), kSchemaVersion);
}

TEST(DbStartup, AFolderThatCannotBeMadeCannotStart) {
  TempDir dir;
  const std::string blocker = dir.file("plain-file");
  std::ofstream(blocker) << "x";
  DbConfig config;
  config.dbpath = blocker + "/db";
  RecordingUi ui;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(db_start_server(config, ui));
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0], "Tarnix Error|Couldn't start database");
  EXPECT_EQ(kDbFatalExitStatus, -1);
}

TEST(DbStartup, AFileThatIsNoDatabaseIsRetriedTenTimesThenRefused) {
  TempDir dir;
  DbConfig config;
  config.dbpath = dir.path().string();
  config.retry_wait_ms = 3000;
  {
    std::ofstream junk(db_file_path(config), std::ios::binary);
    junk << std::string(4096, 'J');
  }
  RecordingUi ui;
  ::testing::internal::CaptureStderr();
  auto s = db_connect(config, ui);
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(s);
  EXPECT_EQ(ui.beeps, 10);
  EXPECT_EQ(ui.waits, std::vector<int>(10, 3000));
  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0], "Tarnix Error|Failed to connect to DB server");
}

TEST(DbStartup, DefaultFolderIsThePerUserDataFolder) {
  const char* old_xdg = std::getenv("XDG_DATA_HOME");
  const std::string saved = old_xdg != nullptr ? old_xdg : "";
  ::setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(db_default_dir(), "/srv/data/tarnix");
  ::unsetenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    EXPECT_EQ(db_default_dir(), std::string(home) + "/.local/share/tarnix");
  }
  if (old_xdg != nullptr) ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
}

TEST(DbStartup, ShutdownPrunesOnlyWhenAskedTo) {
  TempDir dir;
  DbConfig config;
  config.dbpath = dir.path().string();
  RecordingUi ui;
  auto seed = [&](std::int64_t age_days) {
    auto s = db_connect(config, ui);
    const auto when = TimestampRecord::from_time(std::time(nullptr) - age_days * 86400);
    s->set_clock([when] { return when; });
    HostCacheEntry h;
    h.address = NetAddress::ipv4(10, 0, 0, 1);
    h.name = "10.0.0.1";
    h.host_id = db_host_cache_store(*s, h);
    const std::int32_t u = db_urls_add(*s, h.host_id, "/", 3, 0);
    db_url_hist_add(*s, u, "h", &h, &h, 0, 1, nullptr);
    return s;
  };
  EXPECT_EQ(db_shutdown(seed(40), 0), 0) << "0 keeps everything";
  EXPECT_EQ(db_shutdown(seed(40), 28), 2);
  auto s = db_connect(config, ui);
  EXPECT_EQ(testing_support::sql_int(*s, "SELECT count(*) FROM url_hist"), 0);
  EXPECT_EQ(db_shutdown(std::move(s), 28), 0);
  EXPECT_EQ(db_shutdown(nullptr, 28), 0);
}

// A server of our own: made on first use, reached through its folder,
// stopped at the end; a missing server program is a start failure.
TEST(DbOwnServer, MissingProgramsCannotStart) {
  TempDir dir;
  DbConfig config;
  config.server_dir = dir.file("pg");
  config.server_bin = dir.path().string();  // holds no initdb or pg_ctl
  RecordingUi ui;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(db_start_server(config, ui));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("not found"), std::string::npos);
  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0], "Tarnix Error|Couldn't start database");
}

// Brings the server up when the third retry's wait is over: the fourth
// attempt logs in.
class LateServerUi : public RecordingUi {
 public:
  LateServerUi(std::string dir, std::string bin) : dir_(std::move(dir)), bin_(std::move(bin)) {}
  void wait_ms(int ms) override {
    RecordingUi::wait_ms(ms);
    if (waits.size() != 3) return;
    std::string why;
    ASSERT_TRUE(pg_server_start(dir_, bin_, kPgPrivatePort, &why)) << why;
    for (int i = 0; i < 300 && !pg_server_ready(pg_private_conninfo(dir_, kPgPrivatePort)); ++i)
      ::usleep(100000);
  }

 private:
  std::string dir_, bin_;
};

TEST(DbOwnServer, MadeOnFirstUseStoppedAtTheEndAndWaitedForWithBeeps) {
  const std::string bin = pg_find_bin("");
  if (bin.empty()) GTEST_SKIP() << "PostgreSQL programs not installed; scripts/setup.sh installs them";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);  // run as root, the server's account must reach its folder
  DbConfig config;
  config.server_dir = dir.file("pg");
  RecordingUi ui;
  ASSERT_TRUE(db_start_server(config, ui));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "pg" / "PG_VERSION"));
  auto s = db_connect(config, ui);
  ASSERT_TRUE(s) << (ui.errors.empty() ? "" : ui.errors[0]);
  EXPECT_EQ(s->connection().dialect(), SqlDialect::kPostgres);
  EXPECT_EQ(ui.beeps, 0);
  EXPECT_EQ(db_describe(config), "PostgreSQL server of its own in " + config.server_dir);
  db_shutdown(std::move(s), 0);
  db_stop_server(config);
  const std::string conninfo = pg_private_conninfo(config.server_dir, config.server_port);
  EXPECT_FALSE(pg_server_ready(conninfo)) << "stopped at shut-down";

  // The same server, now down, as a server given by its connection string:
  // three failed logins beep three times, 3 s apart; the fourth gets in.
  DbConfig shared;
  shared.connect = conninfo;
  LateServerUi late(config.server_dir, bin);
  ::testing::internal::CaptureStderr();
  s = db_connect(shared, late);
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s);
  EXPECT_EQ(late.beeps, 3);
  EXPECT_EQ(late.waits, std::vector<int>(3, 3000));
  EXPECT_TRUE(late.errors.empty());
  s.reset();
  db_stop_server(config);
}

}  // namespace
}  // namespace tarnix
