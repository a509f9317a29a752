// Where a program looks for the files it ships, installed or in its build tree.
#include "core/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tarnix {
namespace {

using Dirs = std::vector<std::string>;

struct LayoutCase {
  const char* what;
  ShippedLayout layout;
  Dirs expected;
};

TEST(ShippedDataDirs, FollowTheProgramNeverTheCurrentFolder) {
  const LayoutCase cases[] = {
      {"installed under /usr: beside bin, then the prefix",
       {"", "/usr/bin/tarnix-cli", "/src/build", "/src", "/usr/share/tarnix"},
       {"/usr/share/tarnix"}},
      {"installed elsewhere: the copy beside the program first",
       {"", "/opt/tarnix/bin/tarnix", "/src/build", "/src", "/usr/local/share/tarnix"},
       {"/opt/tarnix/share/tarnix", "/usr/local/share/tarnix"}},
      {"run from the build tree: its data, generated files first",
       {"", "/src/build/src/cli/tarnix-cli", "/src/build", "/src", "/usr/local/share/tarnix"},
       {"/src/build/src/share/tarnix", "/src/build/data", "/src/data", "/usr/local/share/tarnix"}},
      {"a sibling folder that shares the build tree's prefix is not inside it",
       {"", "/src/build-old/bin/tarnix-cli", "/src/build", "/src", "/usr/share/tarnix"},
       {"/src/build-old/share/tarnix", "/usr/share/tarnix"}},
      {"$TARNIX_DATA_DIR comes first",
       {"/data/mine", "/usr/bin/tarnix", "", "", "/usr/share/tarnix"},
       {"/data/mine", "/usr/share/tarnix"}},
      {"relative folders and an unknown program path are never searched",
       {"data", "tarnix-cli", "build", "src", "share/tarnix"},
       {}},
      {"an unknown program still has the install prefix",
       {"", "", "/src/build", "/src", "/usr/share/tarnix"},
       {"/usr/share/tarnix"}},
  };
  for (const LayoutCase& c : cases) EXPECT_EQ(shipped_data_dirs(c.layout), c.expected) << c.what;
}

TEST(ShippedDataDirs, FirstFolderHoldingTheFileWins) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(testing::TempDir()) / "tarnix_shipped";
  fs::remove_all(root);
  fs::create_directories(root / "a" / "help");
  fs::create_directories(root / "b" / "help" / "index.html");  // a folder is no file
  fs::create_directories(root / "c" / "help");
  std::ofstream(root / "a" / "protocol.pdl") << "x";
  std::ofstream(root / "c" / "help" / "index.html") << "x";
  std::ofstream(root / "c" / "protocol.pdl") << "x";
  const Dirs dirs = {(root / "a").string(), (root / "b").string(), (root / "c").string()};

  EXPECT_EQ(find_shipped_file(dirs, "protocol.pdl"), (root / "a" / "protocol.pdl").string());
  EXPECT_EQ(find_shipped_file(dirs, "help/index.html"), (root / "c" / "help" / "index.html").string());
  EXPECT_EQ(find_shipped_file(dirs, "font.bin"), "");
  EXPECT_EQ(find_shipped_file(Dirs{}, "protocol.pdl"), "");
  fs::remove_all(root);
}

}  // namespace
}  // namespace tarnix
