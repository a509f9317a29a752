#include "ui/vector/vdraw.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <optional>

namespace tarnix::ui {
namespace {

QString font_path() {
  return QStringLiteral(TARNIX_BINARY_DIR "/data/font.bin");
}

bool lit(const QImage& img, int x, int y) {
  return qRed(img.pixel(x, y)) > 100;
}

TEST(VectorDevice, ViewMapsModelRectangleOntoTheDevice) {
  VectorDevice d;
  d.set_device_size(200, 100);
  ASSERT_TRUE(d.ortho2(-2, 2, -1, 1));
  EXPECT_EQ(d.to_device(0, 0), QPointF(100, 50));
  EXPECT_EQ(d.to_device(2, 1), QPointF(200, 0));
  EXPECT_EQ(d.to_device(-2, -1), QPointF(0, 100));
  // An empty view is refused and the previous one stays.
  EXPECT_FALSE(d.ortho2(1, 1, -1, 1));
  EXPECT_FALSE(d.ortho2(-1, 1, 3, 3));
  EXPECT_EQ(d.to_device(2, 1), QPointF(200, 0));
}

TEST(VectorDevice, MatrixStackTranslatesRotatesAndRestores) {
  VectorDevice d;
  d.set_device_size(100, 100);
  d.ortho2(-1, 1, -1, 1);
  d.pushmatrix();
  d.translate(0.5, 0, 0);
  d.rot(90, 'z');
  d.translate(0.5, 0, 0);
  QPointF p = d.to_device(0, 0);  // model (0.5, 0.5)
  EXPECT_NEAR(p.x(), 75, 1e-9);
  EXPECT_NEAR(p.y(), 25, 1e-9);
  d.pushmatrix();
  d.rot(180, 'z');
  p = d.to_device(0.5, 0);  // back along the rotated axis to (0.5, 0)
  EXPECT_NEAR(p.x(), 75, 1e-9);
  EXPECT_NEAR(p.y(), 50, 1e-9);
  d.popmatrix();
  d.popmatrix();
  EXPECT_EQ(d.to_device(0, 0), QPointF(50, 50));
  d.popmatrix();  // an empty stack is harmless
  EXPECT_EQ(d.to_device(0, 0), QPointF(50, 50));
  d.rot(45, 'x');  // only z rotates a flat map
  EXPECT_EQ(d.to_device(1, 0), QPointF(100, 50));
}

TEST(VectorDevice, ClearCirclesAndLinesUseTheColourMap) {
  VectorDevice d;
  d.set_device_size(100, 100);
  d.ortho2(-1, 1, -1, 1);
  d.mapcolor(40, 10, 20, 30);
  d.color(40);
  d.clear();
  d.flush();
  EXPECT_EQ(d.image().pixel(3, 97), qRgb(10, 20, 30));
  EXPECT_EQ(d.colour_of(7), qRgb(255, 255, 255));
  EXPECT_EQ(d.colour_of(1), qRgb(255, 0, 0));

  d.color(0);
  d.clear();
  d.color(7);
  d.circf(0, 0, 0.5);  // 25 px radius about the centre
  d.flush();
  EXPECT_TRUE(lit(d.image(), 50, 50));
  EXPECT_TRUE(lit(d.image(), 50, 30));
  EXPECT_FALSE(lit(d.image(), 50, 20));

  d.color(0);
  d.clear();
  d.color(7);
  d.translate(0.5, 0.5, 0);
  d.circ(0, 0, 0.2);  // ring of 10 px about (75, 25)
  d.flush();
  EXPECT_FALSE(lit(d.image(), 75, 25));
  EXPECT_TRUE(lit(d.image(), 85, 25) || lit(d.image(), 84, 25));
  EXPECT_TRUE(lit(d.image(), 75, 15) || lit(d.image(), 75, 16));

  VectorDevice l;
  l.set_device_size(100, 100);
  l.ortho2(-1, 1, -1, 1);
  l.color(0);
  l.clear();
  l.color(2);
  l.linewidth(5);
  l.move2(-0.8, 0);
  l.draw2(0.8, 0);
  l.flush();
  EXPECT_EQ(qGreen(l.image().pixel(50, 50)), 255);
  EXPECT_GT(qGreen(l.image().pixel(50, 48)), 200);
  EXPECT_EQ(qGreen(l.image().pixel(50, 56)), 0);
  EXPECT_EQ(qGreen(l.image().pixel(5, 50)), 0);  // the line stops at -0.8
}

// A cleared device of w x h pixels showing the model rectangle given, with
// the shipped font, drawing in white.
void text_device(VectorDevice& d, std::optional<StrokeFont>& font, int w, int h, double r, double t) {
  QString err;
  font = StrokeFont::load(font_path(), err);
  ASSERT_TRUE(font) << err.toStdString();
  d.set_font(std::make_shared<StrokeFont>(*font));
  d.set_device_size(w, h);
  d.ortho2(0, r, 0, t);
  d.color(0);
  d.clear();
  d.color(7);
}

TEST(VectorDevice, StrokeTextDrawsGlyphsOnTheBaseline) {
  VectorDevice d;
  std::optional<StrokeFont> font;
  ASSERT_NO_FATAL_FAILURE(text_device(d, font, 400, 200, 2, 1));  // 200 px per model unit
  d.htextsize(1, 1);  // capitals one unit (200 px) high
  d.move2(0.1, 0);
  d.hcharstr(QStringLiteral("H"));
  d.flush();
  const QImage& img = d.image();
  // The two uprights of the 'H' (glyph x -7 and 7) and its crossbar (glyph y -2);
  // nothing between the uprights away from the bar.
  const double unit = 200.0 / font->cap_height();
  const int left_x = int(std::lround((0.1 * 200) + (-7 - font->glyph('H').left) * unit));
  const int right_x = int(std::lround((0.1 * 200) + (7 - font->glyph('H').left) * unit));
  EXPECT_TRUE(lit(img, left_x, 150));
  EXPECT_TRUE(lit(img, left_x, 20));
  EXPECT_TRUE(lit(img, right_x, 150));
  EXPECT_FALSE(lit(img, (left_x + right_x) / 2, 150));
  const int bar_y = int(std::lround(200 - (font->baseline() + 2) * unit));
  EXPECT_TRUE(lit(img, (left_x + right_x) / 2, bar_y));
  // Nothing to the right of the glyph's cell, and the pen moved past it.
  float w = 0, h = 0;
  d.hgetcharsize('H', w, h);
  EXPECT_NEAR(w, font->glyph('H').advance() / double(font->cap_height()), 1e-6);
  EXPECT_FLOAT_EQ(h, 1.0f);
  for (int x = int((0.1 + w) * 200) + 3; x < 400; x += 7) EXPECT_FALSE(lit(img, x, 100)) << x;
}

TEST(VectorDevice, UnreadablySmallTextIsABarAndCutLabelsKeepTheirVisiblePart) {
  VectorDevice d;
  std::optional<StrokeFont> font;
  ASSERT_NO_FATAL_FAILURE(text_device(d, font, 400, 100, 400, 100));  // a pixel per unit
  d.htextsize(2, 2);  // capitals two pixels high
  d.move2(10, 50);
  d.hcharstr(QStringLiteral("HHHH"));
  const double advance = 4 * font->glyph('H').advance() * 2.0 / font->cap_height();
  // Text well above the bar's size, half of it left of the device.
  d.htextsize(40, 40);
  d.move2(-2 * font->glyph('H').advance() * 40.0 / font->cap_height(), 0);
  d.hcharstr(QStringLiteral("HHHH"));
  d.flush();
  int bar = 0, elsewhere = 0, cut = 0;
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 400; ++x) {
      if (!lit(d.image(), x, y)) continue;
      if (y >= 50)
        ++cut;
      else if (y == 49)
        ++bar;  // half way up the small capitals
      else
        ++elsewhere;
    }
  EXPECT_NEAR(bar, advance, 2);
  EXPECT_EQ(elsewhere, 0);
  EXPECT_GT(cut, 40);
}

TEST(StrokeFontFile, MissingGarbageAndUnopenableFilesAreReported) {
  QTemporaryDir dir;
  EXPECT_EQ(StrokeFont::check_file(dir.filePath("font.bin")), StrokeFont::Check::Missing);
  EXPECT_EQ(StrokeFont::check_file(font_path()), StrokeFont::Check::Ok);
  QDir().mkpath(dir.filePath("adir"));
  EXPECT_EQ(StrokeFont::check_file(dir.filePath("adir")), StrokeFont::Check::Unreadable);

  QFile f(dir.filePath("junk.bin"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("this is not a stroke font at all");
  f.close();
  QString err;
  EXPECT_FALSE(StrokeFont::load(f.fileName(), err));
  EXPECT_FALSE(err.isEmpty());
  EXPECT_FALSE(StrokeFont::load(dir.filePath("font.bin"), err));
}

TEST(StrokeFontFile, ShippedFontCoversPrintableAscii) {
  QString err;
  auto font = StrokeFont::load(font_path(), err);
  ASSERT_TRUE(font) << err.toStdString();
  EXPECT_GT(font->cap_height(), 10);
  for (int c = 33; c < 127; ++c)
    EXPECT_FALSE(font->glyph(static_cast<unsigned char>(c)).strokes.empty()) << c;
  EXPECT_GT(font->glyph(' ').advance(), 0);
}

}  // namespace
}  // namespace tarnix::ui
