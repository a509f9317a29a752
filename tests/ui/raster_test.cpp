#include "ui/vector/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tarnix::ui::raster {
namespace {

// A surface inside a larger buffer: whatever is written outside the surface
// lands in the margin, where it is seen.
struct Guarded {
  static constexpr int kMargin = 8;
  static constexpr std::uint8_t kGuard = 0xEE;
  int w, h;
  std::vector<std::uint8_t> buf;
  Guarded(int width, int height)
      : w(width),
        h(height),
        buf(std::size_t(width + 2 * kMargin) * std::size_t(height + 2 * kMargin), kGuard) {
    fill(surface(), 0);
  }
  Surface surface() {
    const std::ptrdiff_t stride = w + 2 * kMargin;
    return {buf.data() + kMargin * stride + kMargin, w, h, stride};
  }
  std::uint8_t at(int x, int y) const {
    return buf[std::size_t((y + kMargin) * (w + 2 * kMargin) + x + kMargin)];
  }
  bool margin_untouched() const {
    for (int y = -kMargin; y < h + kMargin; ++y)
      for (int x = -kMargin; x < w + kMargin; ++x)
        if ((x < 0 || y < 0 || x >= w || y >= h) && at(x, y) != kGuard) return false;
    return true;
  }
};

// Distance from a pixel's centre to the segment, and where along it the
// centre falls (0 at the start, 1 at the end).
void measure(double px, double py, double x0, double y0, double x1, double y1, double& dist, double& t) {
  const double dx = x1 - x0, dy = y1 - y0, len2 = dx * dx + dy * dy;
  t = len2 > 0 ? ((px - x0) * dx + (py - y0) * dy) / len2 : 0;
  const double cx = x0 + t * dx, cy = y0 + t * dy;
  dist = std::hypot(px - cx, py - cy);
}

TEST(Raster, LinesCoverTheirWidthAndNothingBeyond) {
  struct Case {
    double x0, y0, x1, y1, width;
  } cases[] = {
      {10, 50, 190, 50, 1}, {10, 10, 190, 90, 1},  {190, 10, 10, 90, 1}, {100, 5, 104, 95, 1},
      {10, 50, 190, 50, 6}, {10, 10, 190, 60, 7},  {190, 10, 10, 60, 7}, {20, 90, 180, 15, 9},
      {100, 5, 110, 95, 5}, {110, 5, 100, 95, 12}, {30, 20, 31, 80, 3},  {20, 30, 170, 31, 4},
  };
  for (const Case& c : cases) {
    Guarded g(200, 100);
    line(g.surface(), c.x0, c.y0, c.x1, c.y1, c.width, 9);
    const double half = std::max(c.width, 1.0) / 2;
    const double len = std::hypot(c.x1 - c.x0, c.y1 - c.y0);
    int lit = 0;
    for (int y = 0; y < g.h; ++y)
      for (int x = 0; x < g.w; ++x) {
        double dist, t;
        measure(x + 0.5, y + 0.5, c.x0, c.y0, c.x1, c.y1, dist, t);
        const bool on = g.at(x, y) == 9;
        lit += on;
        // Well inside: drawn. Well outside (across or past an end): not.
        const double end_slack = (half + 1) / len;
        if (dist < half - 0.75 && t > end_slack && t < 1 - end_slack) {
          ASSERT_TRUE(on) << c.x0 << "," << c.y0 << " w" << c.width << " missing " << x << "," << y;
        }
        if (dist > half * M_SQRT2 + 0.75 || t < -end_slack || t > 1 + end_slack) {
          ASSERT_FALSE(on) << c.x0 << "," << c.y0 << " w" << c.width << " stray " << x << "," << y;
        }
      }
    // A one-pixel line has one pixel per step of its longer axis.
    if (c.width <= 1) {
      EXPECT_NEAR(lit, std::max(std::fabs(c.x1 - c.x0), std::fabs(c.y1 - c.y0)) + 1, 1.5);
    }
    EXPECT_TRUE(g.margin_untouched());
  }
}

TEST(Raster, NothingIsWrittenOffTheSurface) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  struct Case {
    double x0, y0, x1, y1, width;
  } cases[] = {
      {-50, -50, 250, 150, 1},       {-1e12, 40, 1e12, 41, 1},      {-1e300, -1e300, 1e300, 1e300, 3},
      {0, 0, 200, 100, 40},          {-30, 50, 230, 50, 25},        {50, -1e9, 51, 1e9, 1e9},
      {199.999, 0, 199.999, 100, 1}, {0, 99.9999, 200, 99.9999, 1}, {-0.5, -0.5, -0.5, -0.5, 1},
      {0, 90.06, 200, 110.06, 1},    {90.06, 0, 110.06, 200, 1},  // end pixel's centre past the edge
      {inf, 10, 20, 30, 1},          {nan, 10, 20, 30, 5},          {10, 10, 20, 20, nan},
  };
  for (const Case& c : cases) {
    Guarded g(200, 100);
    line(g.surface(), c.x0, c.y0, c.x1, c.y1, c.width, 7);
    EXPECT_TRUE(g.margin_untouched()) << c.x0 << "," << c.y0 << " " << c.x1 << "," << c.y1;
  }
  for (const double r : {0.0, 0.3, 5.0, 80.0, 1e7, inf, nan}) {
    Guarded g(200, 100);
    for (const double cx : {-20.0, 0.0, 100.0, 199.9, 230.0}) {
      disc(g.surface(), cx, 50, r, r * 0.5, 3);
      ring(g.surface(), cx, 99.5, r, r, 4);
    }
    EXPECT_TRUE(g.margin_untouched()) << r;
  }
}

TEST(Raster, DiscsFillAndRingsOutline) {
  Guarded g(100, 100);
  disc(g.surface(), 50, 50, 20, 10, 5);  // wider than high
  EXPECT_EQ(g.at(50, 50), 5);
  EXPECT_EQ(g.at(30, 50), 5);
  EXPECT_EQ(g.at(50, 40), 5);
  EXPECT_EQ(g.at(50, 37), 0);
  EXPECT_EQ(g.at(72, 50), 0);

  Guarded r(100, 100);
  ring(r.surface(), 50, 50, 20, 20, 6);
  EXPECT_EQ(r.at(50, 50), 0);
  EXPECT_EQ(r.at(35, 50), 0);
  // Closed all round: every row and column it spans has pixels on both sides.
  for (int k = 31; k < 69; ++k) {
    int row = 0, col = 0;
    for (int m = 0; m < 100; ++m) row += r.at(m, k) == 6, col += r.at(k, m) == 6;
    EXPECT_GE(row, 2) << k;
    EXPECT_GE(col, 2) << k;
  }
  // The smallest disc is still a dot.
  Guarded d(10, 10);
  disc(d.surface(), 4.9, 5.2, 0, 0, 8);
  EXPECT_EQ(d.at(4, 5), 8);
}

}  // namespace
}  // namespace tarnix::ui::raster
