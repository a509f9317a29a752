#include "os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tarnix::os {

namespace {

bool set_error(std::string* error, const std::string& path) {
  if (error) *error = path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool make_private_dirs(const std::string& path, std::string* error, std::vector<std::string>* created) {
  if (path.empty()) {
    errno = ENOENT;
    return set_error(error, path);
  }
  // The missing part of the path, innermost last.
  std::vector<std::filesystem::path> missing;
  std::filesystem::path p = std::filesystem::path(path).lexically_normal();
  if (p.has_filename() == false && p.has_parent_path()) p = p.parent_path();
  for (; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return set_error(error, p.string());
      }
      break;
    }
    if (errno != ENOENT) return set_error(error, p.string());
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), kPrivateDirMode) != 0) {
      if (errno == EEXIST) continue;  // made meanwhile by someone else: theirs
      return set_error(error, it->string());
    }
    // mkdir's mode passes through the umask; a strict one (0277) would
    // leave the folder unwritable to its owner.
    if (::chmod(it->c_str(), kPrivateDirMode) != 0) return set_error(error, it->string());
    if (created) created->push_back(it->string());
  }
  return true;
}

int open_private_file(const std::string& path, int flags) {
  flags |= O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, kPrivateFileMode);
  if (fd >= 0) {
    // A umask of 000 leaves 0600 alone; a strict one could take the
    // owner's own rights away.
    if (::fchmod(fd, kPrivateFileMode) != 0) {
      const int saved = errno;
      ::close(fd);
      ::unlink(path.c_str());
      errno = saved;
      return -1;
    }
    return fd;
  }
  if (errno != EEXIST) return -1;
  return ::open(path.c_str(), flags);
}

bool ensure_private_file(const std::string& path, std::string* error) {
  const int fd = open_private_file(path, O_WRONLY);
  if (fd < 0) {
    // An existing file the caller may only read is still there to use.
    struct stat st {};
    if (errno == EACCES && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
    return set_error(error, path);
  }
  ::close(fd);
  return true;
}

}  // namespace tarnix::os
