#include "core/paths.h"

#include <cstdlib>
#include <filesystem>

namespace tarnix {

std::string user_data_dir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return (std::filesystem::path(xdg) / "tarnix").string();
  const char* home = std::getenv("HOME");
  return (std::filesystem::path(home != nullptr && home[0] != '\0' ? home : ".") / ".local" / "share" /
          "tarnix")
      .string();
}

}  // namespace tarnix
