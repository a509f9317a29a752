#include "capture/focus_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "os/files.h"

namespace tarnix {
namespace {

bool read_u32(std::FILE* f, std::uint32_t& v) {
  unsigned char b[4];
  if (std::fread(b, 1, 4, f) != 4) return false;
  v = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
  return true;
}

bool write_u32(std::FILE* f, std::uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  return std::fwrite(b, 1, 4, f) == 4;
}

// One line up to its line feed (dropped). A line longer than `keep` is read
// to its end and cut, so it cannot shift the reader into the middle of the
// record, and keeps no more than `keep` characters whatever its length.
// False at the end of the file.
bool read_line(std::FILE* f, std::size_t keep, std::string& out) {
  out.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (out.size() < keep) out.push_back(char(c));
  }
  return any;
}

// Byte for byte, so a name the reader took is written back whole.
bool write_line(std::FILE* f, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fputc('\n', f) != EOF;
}

}  // namespace

int FocusStore::focus_find(std::string_view name) const {
  for (int i = int(dictionary.size()) - 1; i >= 0; --i)
    if (dictionary[std::size_t(i)].name == name) return i;
  return -1;
}

std::shared_ptr<const FocusList> FocusStore::active_list() const {
  const FocusRecord* f = active_focus();
  if (!f) return nullptr;
  auto list = std::make_shared<FocusList>();
  for (const FocusRecord::Entry& e : f->entries) list->push_back({e.protocol, e.colour});
  return list;
}

int palette_read(std::FILE* f, Palette& palette) {
  if (!f) return -1;
  std::uint32_t count = 0;
  if (!read_u32(f, count)) return 0;
  if (count >= 34) {
    std::fprintf(stderr, "palette_read: Header greater than %d\n", kPaletteColours);
    return 0;
  }
  int read = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t c = 0;
    if (!read_u32(f, c)) break;
    palette[i] = c & 0x00ffffffu;
    ++read;
  }
  return read;
}

bool palette_write(std::FILE* f, const Palette& palette) {
  if (!f) return false;
  if (!write_u32(f, kPaletteColours)) return false;
  for (std::uint32_t c : palette)
    if (!write_u32(f, c)) return false;
  return true;
}

void cfocus_read(std::FILE* f, const ProtocolLookup& lookup, FocusStore& store) {
  palette_read(f, store.palette);
  std::vector<FocusRecord> dictionary;
  std::string name;
  while (read_line(f, kFocusNameLine, name)) {
    FocusRecord focus;
    focus.name = name.substr(0, kFocusNameMax);
    std::uint32_t raw_count = 0;
    // A name without its count is no record (a stray line feed at the end).
    if (!read_u32(f, raw_count)) break;
    // The count only bounds the loop; entries come from bytes actually read,
    // so a hostile count costs no memory.
    const std::int32_t count = std::int32_t(raw_count);
    bool cut = false;
    for (std::int32_t i = 0; i < count; ++i) {
      std::string proto;
      std::uint32_t colour = 0;
      if (!read_line(f, kProtocolNameLine, proto) || !read_u32(f, colour)) {
        cut = true;
        break;
      }
      const protocol_node* node = lookup ? lookup(proto) : nullptr;
      if (!node) continue;  // a protocol the tree does not know
      const int index = int(colour);
      focus.entries.push_back({node, proto, (index >= 0 && index < kFocusColours) ? index : 0});
    }
    dictionary.push_back(std::move(focus));
    if (cut) break;
  }
  store.dictionary = std::move(dictionary);
  store.active = -1;
}

LoadStatus cfocus_load(const std::string& path, const ProtocolLookup& lookup, FocusStore& store) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return LoadStatus::CannotOpen;
  cfocus_read(f, lookup, store);
  std::fclose(f);
  return LoadStatus::Ok;
}

bool cfocus_dump(const std::string& path, const FocusStore& store) {
  const int fd = os::open_private_file(path, O_WRONLY | O_TRUNC);
  std::FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!f) {
    if (fd >= 0) ::close(fd);
    std::fprintf(stderr, "cfocus_dump: Warning - cannot overwrite %s\n", path.c_str());
    return false;
  }
  bool ok = palette_write(f, store.palette);
  for (std::size_t i = 0; ok && i < store.dictionary.size(); ++i) {
    const FocusRecord& focus = store.dictionary[i];
    ok = write_line(f, focus.name) && write_u32(f, std::uint32_t(focus.entries.size()));
    for (std::size_t k = 0; ok && k < focus.entries.size(); ++k)
      ok = write_line(f, focus.entries[k].protocol_name) &&
           write_u32(f, std::uint32_t(focus.entries[k].colour));
  }
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

}  // namespace tarnix
