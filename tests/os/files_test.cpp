// Modes of what Tarnix makes on disk, under a permissive and the usual umask.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "db/db_util.h"
#include "db/sql.h"
#include "os/files.h"

namespace fs = std::filesystem;
using namespace tarnix;

namespace {

unsigned mode_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 01000;  // "missing", never a mode
  return st.st_mode & 07777;
}

class PrivateFiles : public ::testing::TestWithParam<mode_t> {
 protected:
  void SetUp() override {
    old_umask_ = ::umask(GetParam());
    char templ[] = "/tmp/tarnix-os-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    ::umask(old_umask_);
    fs::remove_all(dir_);
  }
  std::string dir_;
  mode_t old_umask_ = 022;
};

TEST_P(PrivateFiles, FoldersMadeHereAreOwnerOnlyAndExistingOnesKeepTheirMode) {
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  std::vector<std::string> created;
  ASSERT_TRUE(os::make_private_dirs(dir_ + "/a/b/c", nullptr, &created));
  EXPECT_EQ(created, (std::vector<std::string>{dir_ + "/a", dir_ + "/a/b", dir_ + "/a/b/c"}));
  for (const char* d : {"/a", "/a/b", "/a/b/c"}) EXPECT_EQ(mode_of(dir_ + d), 0700u) << d;
  EXPECT_EQ(mode_of(dir_), 0755u);

  // A file in the way is one clear failure, not a folder.
  { std::ofstream(dir_ + "/file") << "x"; }
  std::string error;
  EXPECT_FALSE(os::make_private_dirs(dir_ + "/file/sub", &error));
  EXPECT_NE(error.find("file"), std::string::npos) << error;
}

TEST_P(PrivateFiles, NewFilesAreOwnerOnlyExistingOnesAreNotWidenedAndLinksNotFollowed) {
  const std::string made = dir_ + "/made";
  ASSERT_TRUE(os::ensure_private_file(made));
  EXPECT_EQ(mode_of(made), 0600u);

  const std::string shared = dir_ + "/shared";
  { std::ofstream(shared) << "keep"; }
  ASSERT_EQ(::chmod(shared.c_str(), 0640), 0);
  ASSERT_TRUE(os::ensure_private_file(shared));
  EXPECT_EQ(mode_of(shared), 0640u);

  const std::string victim = dir_ + "/victim";
  { std::ofstream(victim) << "keep"; }
  ASSERT_EQ(::symlink(victim.c_str(), (dir_ + "/link").c_str()), 0);
  EXPECT_LT(os::open_private_file(dir_ + "/link", O_WRONLY | O_TRUNC), 0);
  std::string text;
  std::ifstream(victim) >> text;
  EXPECT_EQ(text, "keep");
}

TEST_P(PrivateFiles, DatabaseFolderFileJournalAndWalAreOwnerOnly) {
  DbConfig config;
  config.dbpath = dir_ + "/data/db";
  StderrDbStartupUi ui;
  ASSERT_TRUE(db_start_server(config, ui));
  EXPECT_EQ(mode_of(config.dbpath), 0700u);
  EXPECT_EQ(mode_of(dir_ + "/data"), 0700u);

  const std::string path = db_file_path(config);
  Status status;
  auto db = sqlite_open(path, SqliteOptions{}, &status);
  ASSERT_TRUE(db) << status.message();
  ASSERT_TRUE(db->exec("CREATE TABLE t(x); INSERT INTO t VALUES (1);").ok());
  // A rollback journal as well, from a second file in the old mode.
  auto old = sqlite_open(dir_ + "/data/db/rollback.db", SqliteOptions{}, &status);
  ASSERT_TRUE(old) << status.message();
  ASSERT_TRUE(old->exec("PRAGMA journal_mode=DELETE; PRAGMA locking_mode=EXCLUSIVE; BEGIN; CREATE TABLE t(x);").ok());
  for (const std::string& f : {path, path + "-wal", path + "-shm", dir_ + "/data/db/rollback.db-journal"})
    EXPECT_EQ(mode_of(f), 0600u) << f;
  ASSERT_TRUE(old->exec("COMMIT;").ok());
}

INSTANTIATE_TEST_SUITE_P(Umask, PrivateFiles, ::testing::Values(mode_t{0}, mode_t{022}),
                         [](const auto& p) { return p.param == 0 ? "000" : "022"; });

}  // namespace
