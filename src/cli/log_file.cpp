#include "cli/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarnix::cli {

LogFile::LogFile(std::string path, std::vector<int> targets)
    : path_(std::move(path)), targets_(std::move(targets)) {}

bool LogFile::open(std::string& error) {
  if (!point_targets(error)) return false;
  // A file gets full buffering by default: a line could then reach the disk
  // in two writes, one on each side of a reopen. (Standard error has no
  // buffer to begin with.)
  for (const int fd : targets_)
    if (fd == STDOUT_FILENO) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  return true;
}

bool LogFile::reopen(std::string& error) {
  // What stdio holds belongs to the old file.
  std::fflush(stdout);
  std::fflush(stderr);
  return point_targets(error);
}

bool LogFile::point_targets(std::string& error) {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = "cannot open the log file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  // dup2 swaps a descriptor at once: a write in flight finishes in the old
  // file, the next starts in the new one.
  // (With a target closed before, the file may have opened on it; it then
  // stays open, and is passed on to commands the program starts, as the
  // others are.)
  const bool fd_is_target = std::find(targets_.begin(), targets_.end(), fd) != targets_.end();
  if (fd_is_target) ::fcntl(fd, F_SETFD, 0);
  for (const int target : targets_) {
    if (target == fd) continue;
    while (::dup2(fd, target) < 0) {
      if (errno == EINTR) continue;
      error = "cannot write to the log file " + path_ + ": " + std::strerror(errno);
      if (!fd_is_target) ::close(fd);
      return false;
    }
  }
  if (!fd_is_target) ::close(fd);
  return true;
}

}  // namespace tarnix::cli
