// Aliased drawing straight into a buffer of colour-map indexes, one byte a
// pixel. The map of a busy segment has tens of thousands of links and hundreds
// of thousands of glyph strokes a frame; a general painter spends microseconds
// on each one's set-up, these spend nanoseconds on each pixel, and a byte a
// pixel keeps a whole window's frame close to the cache. Coordinates are device pixels (pixel
// (i, j) covers [i, i+1) x [j, j+1)); anything outside the surface, infinite
// or not a number is clipped, never written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix::ui::raster {

struct Surface {
  std::uint8_t* bits = nullptr;
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;  // pixels from one row to the next
};

void fill(const Surface& s, std::uint8_t colour);

// A segment of `width` pixels across (under 1 counts as 1) with flat ends;
// a one-pixel segment includes both end pixels, so a zero-length one is a dot.
void line(const Surface& s, double x0, double y0, double x1, double y1, double width, std::uint8_t colour);

// An ellipse with radii rx and ry about (cx, cy), filled or as a one-pixel
// outline; the outline lies on the radius, the filled one reaches half a
// pixel past it (the outline included), and even the smallest draws a dot.
void disc(const Surface& s, double cx, double cy, double rx, double ry, std::uint8_t colour);
void ring(const Surface& s, double cx, double cy, double rx, double ry, std::uint8_t colour);

}  // namespace tarnix::ui::raster
