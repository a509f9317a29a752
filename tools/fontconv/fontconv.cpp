#include "fontconv.h"

#include <algorithm>
#include <cstring>

namespace tarnix::fontconv {
namespace {

constexpr char kMagic[8] = {'T', 'X', 'F', 'O', 'N', 'T', '1', '\0'};
// A sane upper bound: no Hershey glyph has anywhere near this many vertices,
// and a corrupted count must not make the reader allocate gigabytes.
constexpr std::uint32_t kMaxGlyphs = 65536;

bool trimmed_int(const std::string& s, int& out) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i == s.size()) return false;
  int v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 100000) return false;
  }
  out = v;
  return true;
}

template <typename T>
void put(std::ostream& out, T v) {
  unsigned char b[sizeof(T)];
  auto u = static_cast<std::make_unsigned_t<T>>(v);
  for (std::size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<unsigned char>((u >> (8 * i)) & 0xff);
  out.write(reinterpret_cast<const char*>(b), sizeof(T));
}

template <typename T>
bool get(std::istream& in, T& v) {
  unsigned char b[sizeof(T)];
  if (!in.read(reinterpret_cast<char*>(b), sizeof(T))) return false;
  std::make_unsigned_t<T> u = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) u |= static_cast<std::make_unsigned_t<T>>(b[i]) << (8 * i);
  v = static_cast<T>(u);
  return true;
}

}  // namespace

std::optional<Font> parse_jhf(std::istream& in, std::uint32_t first_code, std::string& error) {
  Font font;
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    if (line.size() < 10) {
      error = "line " + std::to_string(line_no) + ": too short for a glyph header";
      return std::nullopt;
    }
    int count = 0;
    if (!trimmed_int(line.substr(5, 3), count) || count < 1) {
      error = "line " + std::to_string(line_no) + ": bad vertex count";
      return std::nullopt;
    }
    std::string data = line.substr(8);
    // Long glyphs continue on the following lines.
    while (data.size() < std::size_t(count) * 2) {
      std::string more;
      if (!std::getline(in, more)) {
        error = "line " + std::to_string(line_no) + ": glyph data ends early";
        return std::nullopt;
      }
      ++line_no;
      if (!more.empty() && more.back() == '\r') more.pop_back();
      data += more;
    }
    Glyph g;
    g.code = first_code + std::uint32_t(font.glyphs.size());
    g.left = static_cast<std::int8_t>(data[0] - 'R');
    g.right = static_cast<std::int8_t>(data[1] - 'R');
    for (int v = 1; v < count; ++v) {
      char cx = data[2 * v], cy = data[2 * v + 1];
      if (cx == ' ' && cy == 'R') {
        g.vertices.push_back({-128, -128});
        continue;
      }
      if (cx < ' ' || cx > '~' || cy < ' ' || cy > '~') {
        error = "line " + std::to_string(line_no) + ": bad coordinate character";
        return std::nullopt;
      }
      g.vertices.push_back({static_cast<std::int8_t>(cx - 'R'), static_cast<std::int8_t>(cy - 'R')});
    }
    font.glyphs.push_back(std::move(g));
  }
  if (font.glyphs.empty()) {
    error = "no glyphs";
    return std::nullopt;
  }
  // Baseline and cap height from 'H' when the font has it, else from the
  // vertical extent of all glyphs.
  auto h = std::find_if(font.glyphs.begin(), font.glyphs.end(), [](const Glyph& g) { return g.code == 'H'; });
  int top = 127, bottom = -127;
  auto extent = [&](const Glyph& g) {
    for (const Vertex& v : g.vertices)
      if (!v.pen_up()) {
        top = std::min<int>(top, v.y);
        bottom = std::max<int>(bottom, v.y);
      }
  };
  if (h != font.glyphs.end() && !h->vertices.empty())
    extent(*h);
  else
    for (const Glyph& g : font.glyphs) extent(g);
  if (bottom <= top) {
    top = -12;
    bottom = 9;
  }
  font.baseline = static_cast<std::int16_t>(bottom);
  font.cap_height = static_cast<std::int16_t>(bottom - top);
  return font;
}

void write_font(std::ostream& out, const Font& font) {
  out.write(kMagic, sizeof kMagic);
  put<std::int16_t>(out, font.baseline);
  put<std::int16_t>(out, font.cap_height);
  put<std::uint32_t>(out, std::uint32_t(font.glyphs.size()));
  for (const Glyph& g : font.glyphs) {
    put<std::uint32_t>(out, g.code);
    put<std::int8_t>(out, g.left);
    put<std::int8_t>(out, g.right);
    put<std::uint16_t>(out, std::uint16_t(g.vertices.size()));
    for (const Vertex& v : g.vertices) {
      put<std::int8_t>(out, v.x);
      put<std::int8_t>(out, v.y);
    }
  }
}

std::optional<Font> read_font(std::istream& in, std::string& error) {
  char magic[sizeof kMagic];
  if (!in.read(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
    error = "not a Tarnix stroke font";
    return std::nullopt;
  }
  Font font;
  std::uint32_t count = 0;
  if (!get(in, font.baseline) || !get(in, font.cap_height) || !get(in, count)) {
    error = "truncated header";
    return std::nullopt;
  }
  if (count == 0 || count > kMaxGlyphs || font.cap_height <= 0) {
    error = "implausible header";
    return std::nullopt;
  }
  font.glyphs.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    Glyph g;
    std::uint16_t n = 0;
    if (!get(in, g.code) || !get(in, g.left) || !get(in, g.right) || !get(in, n)) {
      error = "truncated glyph " + std::to_string(i);
      return std::nullopt;
    }
    g.vertices.resize(n);
    for (Vertex& v : g.vertices)
      if (!get(in, v.x) || !get(in, v.y)) {
        error = "truncated glyph " + std::to_string(i);
        return std::nullopt;
      }
    font.glyphs.push_back(std::move(g));
  }
  return font;
}

}  // namespace tarnix::fontconv
