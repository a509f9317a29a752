// The sensor's own log output in a file: standard output and standard error
// are pointed at it, so every line the program or a library prints lands
// there. Log rotation moves the file away and asks for a reopen (SIGHUP);
// the file is then opened again by name and put in place of the old one in
// a single step, so each line goes whole to one file or the other.
#pragma once

#include <string>
#include <vector>

namespace tarnix::cli {

class LogFile {
 public:
  // `targets`: the descriptors to point at the file (standard output and
  // error unless a test says otherwise).
  explicit LogFile(std::string path, std::vector<int> targets = {1, 2});

  // Opens (creating, appending) the file and points the targets at it;
  // false with the reason, the targets untouched.
  bool open(std::string& error);
  // Opens the file again by name. When that fails the targets keep the old
  // file, so nothing written is lost; false with the reason.
  bool reopen(std::string& error);

  const std::string& path() const { return path_; }

 private:
  bool point_targets(std::string& error);

  std::string path_;
  std::vector<int> targets_;
};

}  // namespace tarnix::cli
