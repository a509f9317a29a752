#include "capture/gzip_file.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnix {

namespace {

// zlib's own buffer for the compressed side: large reads, few system calls.
constexpr unsigned kGzipBuffer = 256 * 1024;

gzFile handle(GzipState* s) {
  return static_cast<gzFile>(s->gz);
}

// Notes zlib's error, if any; true when there was one. zlib reports input
// that stops inside the stream as Z_BUF_ERROR and otherwise answers as at a
// clean end, so it is asked every time a read comes back short.
bool note_error(GzipState* s) {
  int code = Z_OK;
  const char* msg = gzerror(handle(s), &code);
  if (code == Z_OK) return false;
  if (s->error.empty()) {
    s->error = "compressed data ";
    s->error += code == Z_BUF_ERROR ? "ends early (the file is cut)" : (msg != nullptr ? msg : "unreadable");
    if (code == Z_ERRNO) s->error += std::string(": ") + std::strerror(errno);
  }
  return true;
}

ssize_t gz_read(void* cookie, char* buf, std::size_t size) {
  auto* s = static_cast<GzipState*>(cookie);
  if (!s->error.empty()) {
    errno = EIO;
    return -1;
  }
  std::size_t done = 0;
  while (done < size) {
    const unsigned want = static_cast<unsigned>(std::min<std::size_t>(size - done, 1u << 30));
    const int n = gzread(handle(s), buf + done, want);
    if (n > 0) done += static_cast<std::size_t>(n);
    if (n < 0 || static_cast<unsigned>(n) < want) {
      if (note_error(s) && done == 0) {
        errno = EIO;
        return -1;
      }
      break;
    }
  }
  s->consumed += static_cast<long long>(done);
  return static_cast<ssize_t>(done);
}

// Only the position is ever asked for (where a damaged file stopped): the
// offset in the decompressed data.
int gz_seek(void* cookie, off64_t* offset, int whence) {
  auto* s = static_cast<GzipState*>(cookie);
  if (whence == SEEK_CUR && *offset == 0) {
    *offset = s->consumed;
    return 0;
  }
  errno = ESPIPE;
  return -1;
}

int gz_close(void* cookie) {
  auto* s = static_cast<GzipState*>(cookie);
  const int r = s->gz != nullptr ? gzclose(handle(s)) : Z_OK;
  s->gz = nullptr;
  return r == Z_OK ? 0 : -1;
}

}  // namespace

bool looks_gzip(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  unsigned char magic[2] = {};
  const bool gz = std::fread(magic, 1, 2, f) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  std::fclose(f);
  return gz;
}

OpenedCaptureFile open_capture_file(const std::string& path) {
  OpenedCaptureFile r;
  if (!looks_gzip(path)) {
    r.file = std::fopen(path.c_str(), "rb");
    if (r.file == nullptr) r.error = std::strerror(errno);
    return r;
  }
  auto state = std::make_unique<GzipState>();
  gzFile gz = gzopen(path.c_str(), "rb");
  if (gz == nullptr) {
    r.error = errno != 0 ? std::strerror(errno) : "cannot start decompressing";
    return r;
  }
  gzbuffer(gz, kGzipBuffer);
  state->gz = gz;
  cookie_io_functions_t io{gz_read, nullptr, gz_seek, gz_close};
  r.file = fopencookie(state.get(), "rb", io);
  if (r.file == nullptr) {
    r.error = std::strerror(errno);
    gz_close(state.get());
    return r;
  }
  r.gzip = std::move(state);
  return r;
}

}  // namespace tarnix
