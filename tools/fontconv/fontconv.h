// Converts a Hershey font in the ".jhf" text form into the "font.bin" stroke
// font that the map's drawing layer loads.
//
// font.bin, all integers little-endian:
//   8 bytes  magic "TXFONT1\0"
//   int16    baseline (glyph y of the baseline; glyph y grows downwards)
//   int16    cap height (glyph units from baseline to the top of capitals)
//   uint32   glyph count
//   per glyph: uint32 character code, int8 left, int8 right, uint16 n,
//              n vertices of int8 x, int8 y; (-128, -128) lifts the pen.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarnix::fontconv {

struct Vertex {
  std::int8_t x = 0;
  std::int8_t y = 0;
  bool pen_up() const { return x == -128 && y == -128; }
};

struct Glyph {
  std::uint32_t code = 0;
  std::int8_t left = 0;
  std::int8_t right = 0;
  std::vector<Vertex> vertices;
};

struct Font {
  std::int16_t baseline = 0;
  std::int16_t cap_height = 0;
  std::vector<Glyph> glyphs;
};

// Parses ".jhf" text; glyph i gets the code first_code + i. On malformed input
// returns nothing and says why in `error`.
std::optional<Font> parse_jhf(std::istream& in, std::uint32_t first_code, std::string& error);

void write_font(std::ostream& out, const Font& font);

// Reads font.bin; nothing (with a reason) for a short, truncated or foreign file.
std::optional<Font> read_font(std::istream& in, std::string& error);

}  // namespace tarnix::fontconv
