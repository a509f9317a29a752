// Any bytes as a focus file: the reader never reads past the end, keeps each
// name within its limit, gives every kept entry a known protocol and a focus
// colour, and writing what it read then reading it back gives the same.
#include <sys/stat.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "capture/focus_file.h"

namespace {

int known[4];
const char* const kNames[4] = {"TCP", "UDP", "HTTP", "DNS"};

const tarnix::protocol_node* lookup(std::string_view name) {
  for (int i = 0; i < 4; ++i)
    if (name == kNames[i]) return reinterpret_cast<const tarnix::protocol_node*>(&known[i]);
  return nullptr;
}

bool same(const tarnix::FocusStore& a, const tarnix::FocusStore& b) {
  if (a.palette != b.palette || a.dictionary.size() != b.dictionary.size()) return false;
  for (std::size_t i = 0; i < a.dictionary.size(); ++i) {
    const auto& fa = a.dictionary[i];
    const auto& fb = b.dictionary[i];
    if (fa.name != fb.name || fa.entries.size() != fb.entries.size()) return false;
    for (std::size_t k = 0; k < fa.entries.size(); ++k)
      if (fa.entries[k].protocol != fb.entries[k].protocol || fa.entries[k].colour != fb.entries[k].colour)
        return false;
  }
  return true;
}

// One file for the whole run, in memory where the system has a place for
// it: a file made and removed on disk for every input would cost more than
// the reading and writing it is there to check.
const std::string& scratch_file() {
  static const std::string path = [] {
    struct stat st {};
    std::string name = (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp");
    name += "/focus_file_fuzz_XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) std::abort();
    close(fd);
    return name;
  }();
  static const int removed = std::atexit([] { unlink(path.c_str()); });
  (void)removed;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (!f) return 0;
  tarnix::FocusStore store;
  tarnix::cfocus_read(f, lookup, store);
  std::fclose(f);
  for (const tarnix::FocusRecord& focus : store.dictionary) {
    if (focus.name.size() > std::size_t(tarnix::kFocusNameMax)) std::abort();
    for (const auto& e : focus.entries)
      if (e.protocol != lookup(e.protocol_name) || e.colour < 0 || e.colour >= tarnix::kFocusColours)
        std::abort();
  }
  for (std::uint32_t c : store.palette)
    if (c > 0xffffffu) std::abort();

  // A name holding a line feed cannot survive the file's line form; the
  // reader never makes one, so the round trip must be exact.
  const std::string& path = scratch_file();
  if (!tarnix::cfocus_dump(path, store)) std::abort();
  tarnix::FocusStore again;
  tarnix::cfocus_load(path, lookup, again);
  if (!same(store, again)) std::abort();
  return 0;
}
