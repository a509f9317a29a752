// The focus file: the 33 palette colours and the dictionary of protocol foci,
// read when the map is created and written at shut-down.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture/focus.h"

namespace tarnix {

inline constexpr int kPaletteColours = 33;
inline constexpr int kFocusColours = 32;  // an entry's colour: 0..31
inline constexpr int kOtherColour = 32;
inline constexpr int kFocusNameMax = 31;
// The longest lines the reader takes, line feed not counted.
inline constexpr std::size_t kFocusNameLine = 79;
inline constexpr std::size_t kProtocolNameLine = 18;

// Red in the low byte, then green, then blue.
using Palette = std::array<std::uint32_t, kPaletteColours>;

struct FocusRecord {
  std::string name;  // at most 31 characters
  struct Entry {
    const protocol_node* protocol = nullptr;
    std::string protocol_name;  // as the file names it
    int colour = 0;             // palette index 0..31
  };
  std::vector<Entry> entries;
};

struct FocusStore {
  Palette palette{};
  std::vector<FocusRecord> dictionary;
  int active = -1;  // index into dictionary, -1 for none

  const FocusRecord* active_focus() const {
    return active >= 0 && active < int(dictionary.size()) ? &dictionary[std::size_t(active)] : nullptr;
  }
  // The last focus with exactly that name, or -1.
  int focus_find(std::string_view name) const;
  void focus_set_active(std::string_view name) { active = focus_find(name); }
  // The active focus as the traffic model takes it (null for none).
  std::shared_ptr<const FocusList> active_list() const;
};

using ProtocolLookup = std::function<const protocol_node*(std::string_view name)>;

// Colours read (0..33), 0 when the header is refused, -1 without a file.
int palette_read(std::FILE* f, Palette& palette);
// False without a file or when a write fails.
bool palette_write(std::FILE* f, const Palette& palette);

// Reads the palette and the foci from an open file into `store`; the active
// focus is cleared. Entries whose protocol the lookup does not know are
// dropped; a file cut short keeps every focus and entry read whole before
// the cut.
void cfocus_read(std::FILE* f, const ProtocolLookup& lookup, FocusStore& store);

enum class LoadStatus { Ok, CannotOpen };
LoadStatus cfocus_load(const std::string& path, const ProtocolLookup& lookup, FocusStore& store);
// True once the whole file is written; false when it cannot be.
bool cfocus_dump(const std::string& path, const FocusStore& store);

}  // namespace tarnix
