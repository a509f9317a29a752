#include "ui/vector/raster.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tarnix::ui::raster {
namespace {

// The widest segment drawn; wider asks (a corrupt setting, a huge rate) would
// only cost time.
constexpr double kMaxWidth = 4096;
// Where a clipped end lies just inside the last column or row.
constexpr double kInside = 1e-7;

// Clamps first, so that converting anything finite to int is defined.
int floor_to_int(double v, int lo, int hi) {
  if (!(v > lo)) return lo;
  if (v >= hi) return hi;
  const int i = int(v);  // truncates; floor without a library call
  return i > v ? i - 1 : i;
}

// Liang-Barsky: cuts the segment to the rectangle; false when none of it is
// inside.
bool clip(double& x0, double& y0, double& x1, double& y1, double xmin, double xmax, double ymin,
          double ymax) {
  const double dx = x1 - x0, dy = y1 - y0;
  double t0 = 0, t1 = 1;
  auto edge = [&](double p, double q) {  // the part with p * t <= q
    if (p == 0) return q >= 0;
    const double r = q / p;
    if (p < 0) {
      if (r > t1) return false;
      t0 = std::max(t0, r);
    } else {
      if (r < t0) return false;
      t1 = std::min(t1, r);
    }
    return true;
  };
  if (!edge(-dx, x0 - xmin) || !edge(dx, xmax - x0) || !edge(-dy, y0 - ymin) || !edge(dy, ymax - y0))
    return false;
  const double ox = x0, oy = y0;
  x0 = ox + t0 * dx;
  y0 = oy + t0 * dy;
  x1 = ox + t1 * dx;
  y1 = oy + t1 * dy;
  return true;
}

// Walks the major axis u one pixel at a time; v is the minor axis. Steep
// segments walk rows (u = y), the others columns (u = x).
template <bool Steep>
void walk(const Surface& s, double u0, double v0, double u1, double v1, double half, std::uint8_t c) {
  const int umax = Steep ? s.height : s.width;
  const int vmax = Steep ? s.width : s.height;
  // A one-pixel segment is clipped to the surface; a wide one's centre may
  // run outside while its width still reaches in.
  const double reach = half > 0 ? half + 1 : 0;
  // Most segments (glyph strokes) lie wholly inside and need no clipping.
  const bool inside =
      u0 >= 0 && u1 >= 0 && v0 >= 0 && v1 >= 0 && u0 < umax && u1 < umax && v0 < vmax && v1 < vmax;
  if (!inside && !clip(u0, v0, u1, v1, 0, umax - kInside, -reach, vmax - kInside + reach)) return;
  if (u0 > u1) {
    std::swap(u0, u1);
    std::swap(v0, v1);
  }
  const int first = floor_to_int(u0, 0, umax - 1), last = floor_to_int(u1, 0, umax - 1);
  const double slope = u1 > u0 ? (v1 - v0) / (u1 - u0) : 0;
  const double v_first = v0 + (first + 0.5 - u0) * slope;  // at the first pixel's centre
  std::uint8_t* const bits = s.bits;
  const std::ptrdiff_t stride = s.stride;

  if (half <= 0) {
    // 32.32 fixed point: one add and one shift a pixel. |v| stays far below
    // 2^31 here because the clip kept it within the surface.
    constexpr double kOne = 4294967296.0;
    std::int64_t v = std::int64_t(v_first * kOne);
    const std::int64_t step = std::int64_t(slope * kOne);
    std::uint8_t* p = Steep ? bits + first * stride : bits + first;
    const std::ptrdiff_t along = Steep ? stride : 1, across = Steep ? 1 : stride;
    for (int u = first; u <= last; ++u, v += step, p += along) {
      // An end column's centre may lie past the clipped end, off the
      // surface: never clamped onto the edge.
      const auto m = static_cast<std::uint32_t>(v >> 32);
      if (m >= static_cast<std::uint32_t>(vmax)) continue;
      p[std::ptrdiff_t(m) * across] = c;
    }
    return;
  }
  if constexpr (Steep) {
    // Each row a run of pixels: those whose centres lie within the width.
    for (int u = first; u <= last; ++u) {
      const double v = v_first + (u - first) * slope;
      const double lo = std::ceil(v - half - 0.5), hi = std::ceil(v + half - 0.5) - 1;
      if (hi < 0 || lo > vmax - 1 || hi < lo) continue;
      const int a = int(std::max(lo, 0.0)), b = int(std::min(hi, double(vmax - 1)));
      std::fill(bits + u * stride + a, bits + u * stride + b + 1, c);
    }
  } else {
    // The same pixels (column centre within the width of the centre line),
    // found a row at a time so that each row is one run, not a pixel in
    // every row the width spans.
    const double top = std::min(v_first, v_first + (last - first) * slope) - half;
    const double bottom = std::max(v_first, v_first + (last - first) * slope) + half;
    const int row_first = floor_to_int(top, 0, vmax - 1), row_last = floor_to_int(bottom, -1, vmax - 1);
    for (int row = row_first; row <= row_last; ++row) {
      // Column i is in when v(i) = v_first + (i - first) * slope lies in
      // (centre - half, centre + half].
      const double centre = row + 0.5;
      double a = first, b = last;
      if (slope > 0) {
        a = std::max(a, std::floor(first + (centre - half - v_first) / slope) + 1);
        b = std::min(b, std::floor(first + (centre + half - v_first) / slope));
      } else if (slope < 0) {
        a = std::max(a, std::ceil(first + (centre + half - v_first) / slope));
        b = std::min(b, std::ceil(first + (centre - half - v_first) / slope) - 1);
      } else if (!(v_first > centre - half && v_first <= centre + half)) {
        continue;
      }
      if (b < a) continue;
      std::fill(bits + row * stride + int(a), bits + row * stride + int(b) + 1, c);
    }
  }
}

void span(const Surface& s, int row, double x_lo, double x_hi, std::uint8_t c) {
  double a = std::ceil(x_lo - 0.5), b = std::floor(x_hi - 0.5);
  if (b < a) a = b = std::floor((x_lo + x_hi) / 2);  // narrower than a pixel: still one
  if (b < 0 || a > s.width - 1) return;
  const int from = int(std::max(a, 0.0)), to = int(std::min(b, double(s.width - 1)));
  std::uint8_t* p = s.bits + row * s.stride;
  std::fill(p + from, p + to + 1, c);
}

// The pixels between two concentric ellipses (outer radii xo, yo; inner xi,
// yi, none when yi <= 0), row by row.
void rows_between(const Surface& s, double cx, double cy, double xo, double yo, double xi, double yi,
                  std::uint8_t c) {
  if (s.width <= 0 || s.height <= 0) return;
  if (!std::isfinite(cx + cy + xo + yo + xi + yi) || xo <= 0 || yo <= 0) return;
  const int first = floor_to_int(std::ceil(cy - yo - 0.5), 0, s.height - 1);
  const int last = floor_to_int(std::floor(cy + yo - 0.5), -1, s.height - 1);
  bool drawn = false;
  for (int row = first; row <= last; ++row) {
    const double dy = row + 0.5 - cy;
    const double t = 1 - (dy / yo) * (dy / yo);
    if (t < 0) continue;
    const double ho = xo * std::sqrt(t);
    if (yi > 0 && std::fabs(dy) < yi) {
      const double hi = xi * std::sqrt(1 - (dy / yi) * (dy / yi));
      span(s, row, cx - ho, cx - hi, c);
      span(s, row, cx + hi, cx + ho, c);
    } else {
      span(s, row, cx - ho, cx + ho, c);
    }
    drawn = true;
  }
  // Too small to reach any pixel's centre: the pixel under it.
  if (!drawn && cx >= 0 && cy >= 0 && cx < s.width && cy < s.height) s.bits[int(cy) * s.stride + int(cx)] = c;
}

}  // namespace

void fill(const Surface& s, std::uint8_t colour) {
  for (int row = 0; row < s.height; ++row)
    std::fill(s.bits + row * s.stride, s.bits + row * s.stride + s.width, colour);
}

void line(const Surface& s, double x0, double y0, double x1, double y1, double width, std::uint8_t colour) {
  if (s.width <= 0 || s.height <= 0) return;
  const double dx = x1 - x0, dy = y1 - y0;
  // A glyph stroke of small text: at most three pixels, all on the surface.
  // Most of a busy map's segments are these; they skip the general set-up.
  if (width <= 1 && dx < 2 && dx > -2 && dy < 2 && dy > -2 && x0 >= 0 && y0 >= 0 && x1 >= 0 && y1 >= 0 &&
      x0 < s.width && x1 < s.width && y0 < s.height && y1 < s.height) {
    std::uint8_t* const bits = s.bits;
    bits[int(y0) * s.stride + int(x0)] = colour;
    bits[int((y0 + y1) / 2) * s.stride + int((x0 + x1) / 2)] = colour;
    bits[int(y1) * s.stride + int(x1)] = colour;
    return;
  }
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return;
  const bool steep = std::fabs(dy) > std::fabs(dx);
  double half = 0;
  if (width > 1) {
    // The width measured along the minor axis: a slanting segment's pixel
    // runs are longer than its width across.
    const double major = steep ? std::fabs(dy) : std::fabs(dx);
    const double w = std::min(width, kMaxWidth) / 2;
    half = major > 0 ? w * std::hypot(dx, dy) / major : w;
  }
  if (steep)
    walk<true>(s, y0, x0, y1, x1, half, colour);
  else
    walk<false>(s, x0, y0, x1, y1, half, colour);
}

void disc(const Surface& s, double cx, double cy, double rx, double ry, std::uint8_t colour) {
  rows_between(s, cx, cy, std::fabs(rx) + 0.5, std::fabs(ry) + 0.5, 0, 0, colour);
}

void ring(const Surface& s, double cx, double cy, double rx, double ry, std::uint8_t colour) {
  rx = std::fabs(rx);
  ry = std::fabs(ry);
  rows_between(s, cx, cy, rx + 0.5, ry + 0.5, rx - 0.5, ry - 0.5, colour);
}

}  // namespace tarnix::ui::raster
