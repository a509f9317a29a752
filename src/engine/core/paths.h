// Where Tarnix keeps its per-user files, and where it finds the files it ships.
#pragma once

#include <string>
#include <vector>

namespace tarnix {

// $XDG_DATA_HOME/tarnix, or ~/.local/share/tarnix. A relative XDG_DATA_HOME
// is ignored, as the XDG rules ask. Nothing is created here.
std::string user_data_dir();

// Where a program's shipped files may be, as the build describes itself.
struct ShippedLayout {
  std::string env_dir;      // $TARNIX_DATA_DIR: an explicit choice, first
  std::string exe;          // the running program's absolute path
  std::string binary_dir;   // the build tree (holds generated data such as font.bin)
  std::string source_dir;   // the source tree
  std::string install_dir;  // the configured install prefix's share/tarnix
};

// The folders searched for shipped files, first match wins: $TARNIX_DATA_DIR,
// share/tarnix beside the program's bin folder, then, only for a program that
// runs from inside the build tree, that tree's data folders, and last the
// install prefix. A relative folder never enters: the current folder is the
// user's, not ours.
std::vector<std::string> shipped_data_dirs(const ShippedLayout& layout);

// The layout of the running program (/proc/self/exe, the environment and
// the folders this build was configured with).
ShippedLayout running_layout();

// The first of `dirs` that holds the regular file `relative` (such as
// "help/index.html"), as a full path; empty when none does.
std::string find_shipped_file(const std::vector<std::string>& dirs, const std::string& relative);

// The same over the running program's folders.
std::string find_shipped_file(const std::string& relative);

}  // namespace tarnix
