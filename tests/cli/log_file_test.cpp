// The sensor's log file across a rotation, on a descriptor of the test's own
// rather than the test program's standard output.
#include "cli/log_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarnix {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(int fd, const std::string& line) {
  ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

TEST(LogFile, RotationSendsLaterLinesToTheNewFileAndAFailedReopenKeepsTheOld) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("log_file_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::string error;

  cli::LogFile missing((dir / "no/such/folder.log").string(), {fd});
  EXPECT_FALSE(missing.open(error));
  EXPECT_NE(error.find("no/such/folder.log"), std::string::npos) << error;

  cli::LogFile log((dir / "sensor.log").string(), {fd});
  ASSERT_TRUE(log.open(error)) << error;
  put(fd, "before\n");
  fs::rename(dir / "sensor.log", dir / "sensor.log.1");
  put(fd, "moved\n");  // still the old file until the reopen
  ASSERT_TRUE(log.reopen(error)) << error;
  put(fd, "after\n");
  EXPECT_EQ(read_all(dir / "sensor.log.1"), "before\nmoved\n");
  EXPECT_EQ(read_all(dir / "sensor.log"), "after\n");

  // The folder gone: the reopen fails and the lines go on into the file
  // already open, wherever it now is.
  const fs::path moved = dir.string() + ".gone";
  fs::remove_all(moved);
  fs::rename(dir, moved);
  EXPECT_FALSE(log.reopen(error));
  EXPECT_NE(error.find("cannot open the log file"), std::string::npos) << error;
  put(fd, "kept\n");
  EXPECT_EQ(read_all(moved / "sensor.log"), "after\nkept\n");

  ::close(fd);
  fs::remove_all(moved);
}

}  // namespace
}  // namespace tarnix
