#include "ui/vector/stroke_font.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <sstream>

#include "fontconv.h"

namespace tarnix::ui {

StrokeFont::Check StrokeFont::check_file(const QString& path) {
  QFile f(path);
  if (!f.exists()) return Check::Missing;
  if (!f.open(QIODevice::ReadWrite)) return Check::Unreadable;
  return Check::Ok;
}

std::optional<StrokeFont> StrokeFont::load(const QString& path, QString& error) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    error = f.errorString();
    return std::nullopt;
  }
  std::istringstream in(f.readAll().toStdString());
  std::string why;
  auto font = fontconv::read_font(in, why);
  if (!font) {
    error = QString::fromStdString(why);
    return std::nullopt;
  }
  StrokeFont out;
  out.baseline_ = font->baseline;
  out.cap_height_ = font->cap_height;
  for (const fontconv::Glyph& g : font->glyphs) {
    if (g.code > 255) continue;
    StrokeGlyph sg;
    sg.left = g.left;
    sg.right = g.right;
    std::vector<std::pair<int, int>> run;
    for (const fontconv::Vertex& v : g.vertices) {
      if (v.pen_up()) {
        if (run.size() > 1) sg.strokes.push_back(std::move(run));
        run.clear();
        continue;
      }
      run.emplace_back(v.x, v.y);
      out.ink_top_ = std::min(out.ink_top_, int(v.y));
      out.ink_bottom_ = std::max(out.ink_bottom_, int(v.y));
    }
    if (run.size() > 1) sg.strokes.push_back(std::move(run));
    out.glyphs_[g.code] = std::move(sg);
  }
  return out;
}

const StrokeGlyph& StrokeFont::glyph(unsigned char c) const {
  if (glyphs_[c]) return *glyphs_[c];
  if (glyphs_['?']) return *glyphs_['?'];
  return empty_;
}

}  // namespace tarnix::ui
