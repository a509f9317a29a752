// The map's stroke font, loaded from font.bin.
#pragma once

#include <QString>
#include <array>
#include <optional>
#include <vector>

namespace tarnix::ui {

struct StrokeGlyph {
  int left = 0;
  int right = 0;
  // Strokes in glyph units, y downwards; each inner vector is one pen-down run.
  std::vector<std::vector<std::pair<int, int>>> strokes;
  int advance() const { return right - left; }
};

class StrokeFont {
 public:
  enum class Check { Ok, Missing, Unreadable };

  // The start-up check: the file must open for reading and writing.
  static Check check_file(const QString& path);

  // Nothing (and a reason) when the file is not a readable stroke font.
  static std::optional<StrokeFont> load(const QString& path, QString& error);

  int baseline() const { return baseline_; }
  int cap_height() const { return cap_height_; }
  // The highest and lowest glyph y any stroke reaches (y downwards).
  int ink_top() const { return ink_top_; }
  int ink_bottom() const { return ink_bottom_; }
  // The glyph for a character; characters the font lacks draw as '?' or, when
  // that is missing too, as an empty cell.
  const StrokeGlyph& glyph(unsigned char c) const;

 private:
  int baseline_ = 9;
  int cap_height_ = 21;
  int ink_top_ = 0, ink_bottom_ = 0;
  std::array<std::optional<StrokeGlyph>, 256> glyphs_;
  StrokeGlyph empty_{-5, 5, {}};
};

}  // namespace tarnix::ui
