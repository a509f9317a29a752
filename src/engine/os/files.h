// Files and folders only their owner can read. What Tarnix keeps (every URL
// a machine on the segment visited, with who asked) is nobody else's
// business, whatever umask the user runs with.
#pragma once

#include <string>
#include <vector>

namespace tarnix::os {

constexpr unsigned kPrivateDirMode = 0700;
constexpr unsigned kPrivateFileMode = 0600;

// Creates the folder and any missing parents, each one made here 0700 (and
// listed in `created`, outermost first). Folders that already exist keep
// their mode. False with a reason when the path cannot be made a folder.
bool make_private_dirs(const std::string& path, std::string* error = nullptr,
                       std::vector<std::string>* created = nullptr);

// Opens path for writing (flags as for open(2), without O_CREAT); a file
// made by this call is 0600 whatever the umask, an existing one keeps its
// mode. Never follows a symbolic link at the last component. Returns the
// descriptor, or -1 with errno set.
int open_private_file(const std::string& path, int flags);

// Makes an empty 0600 file at path unless one exists; an existing file is
// left as it is. False with a reason when neither holds afterwards.
bool ensure_private_file(const std::string& path, std::string* error = nullptr);

}  // namespace tarnix::os
