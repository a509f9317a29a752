#include "core/paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tarnix {

namespace fs = std::filesystem;

std::string user_data_dir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return (fs::path(xdg) / "tarnix").string();
  const char* home = std::getenv("HOME");
  return (fs::path(home != nullptr && home[0] != '\0' ? home : ".") / ".local" / "share" / "tarnix").string();
}

namespace {

// Whether `path` lies inside the folder `dir`, comparing whole components so
// that /b/build-old is not taken for a file of /b/build.
bool inside(const fs::path& path, const fs::path& dir) {
  auto p = path.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++p) {
    if (d->empty()) continue;  // the trailing "" of a folder written with '/'
    if (p == path.end() || *p != *d) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> shipped_data_dirs(const ShippedLayout& l) {
  std::vector<std::string> dirs;
  auto add = [&](const fs::path& d) {
    if (d.empty() || !d.is_absolute()) return;
    const std::string s = d.lexically_normal().string();
    for (const std::string& have : dirs)
      if (have == s) return;
    dirs.push_back(s);
  };
  add(l.env_dir);
  const fs::path exe(l.exe);
  if (exe.is_absolute()) {
    add(exe.parent_path().parent_path() / "share" / "tarnix");
    // A program built but not installed: its data is in the trees it was
    // built from. An installed copy never looks there, so a package never
    // reads files from wherever it happened to be built.
    if (!l.binary_dir.empty() && inside(exe.lexically_normal(), fs::path(l.binary_dir).lexically_normal())) {
      add(fs::path(l.binary_dir) / "data");
      if (!l.source_dir.empty()) add(fs::path(l.source_dir) / "data");
    }
  }
  add(l.install_dir);
  return dirs;
}

ShippedLayout running_layout() {
  ShippedLayout l;
  if (const char* env = std::getenv("TARNIX_DATA_DIR")) l.env_dir = env;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) l.exe = exe.string();
#ifdef TARNIX_BUILD_TREE_DIR
  l.binary_dir = TARNIX_BUILD_TREE_DIR;
#endif
#ifdef TARNIX_SOURCE_TREE_DIR
  l.source_dir = TARNIX_SOURCE_TREE_DIR;
#endif
#ifdef TARNIX_INSTALL_DATA_DIR
  l.install_dir = TARNIX_INSTALL_DATA_DIR;
#endif
  return l;
}

std::string find_shipped_file(const std::vector<std::string>& dirs, const std::string& relative) {
  for (const std::string& d : dirs) {
    const fs::path p = fs::path(d) / relative;
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
  }
  return {};
}

std::string find_shipped_file(const std::string& relative) {
  return find_shipped_file(shipped_data_dirs(running_layout()), relative);
}

}  // namespace tarnix
