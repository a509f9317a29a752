// Opening and closing the database as start-up and shut-down do.
#include "db/db_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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
    HostcEntry h;
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

}  // namespace
}  // namespace tarnix
