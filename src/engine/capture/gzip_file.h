// Capture files as tcpdump and Wireshark write them compressed: a gzip
// stream is told by its first two bytes, whatever the file is called, and
// is decompressed as it is read, by whichever thread reads it.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace tarnix {

// What a gzip stream says about itself once it failed. Outlives the FILE
// it backs: the FILE's owner closes that first.
struct GzipState {
  void* gz = nullptr;  // gzFile, kept opaque so that callers need no zlib
  std::string error;   // empty while the stream is sound
  long long consumed = 0;
};

struct OpenedCaptureFile {
  std::FILE* file = nullptr;        // null on failure
  std::unique_ptr<GzipState> gzip;  // set when the file was gzip-compressed
  std::string error;                // why it could not be opened
};

// True when the first two bytes of `path` are the gzip magic 1f 8b.
bool looks_gzip(const std::string& path);

// Opens `path` for reading; a gzip file as a stream of its decompressed
// bytes. A read that meets damaged or cut compressed data fails (ferror),
// and `gzip->error` says why, so the damage is never taken for a clean end.
OpenedCaptureFile open_capture_file(const std::string& path);

}  // namespace tarnix
