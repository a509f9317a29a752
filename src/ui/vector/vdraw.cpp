#include "ui/vector/vdraw.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarnix::ui {
namespace {

constexpr double kGreekBelow = 3;  // pixels of capital height

}  // namespace

VectorDevice::VectorDevice() {
  colours_.fill(qRgb(0, 0, 0));
  const QRgb basic[8] = {qRgb(0, 0, 0),   qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
                         qRgb(0, 0, 255), qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
  for (int i = 0; i < 8; ++i) colours_[std::size_t(i)] = basic[i];
  image_ = QImage(1, 1, QImage::Format_RGB32);
  image_.fill(Qt::black);
  plane_.assign(1, 0);
}

raster::Surface VectorDevice::surface() {
  return {plane_.data(), image_.width(), image_.height(), std::ptrdiff_t(image_.width())};
}

void VectorDevice::flush() {
  render_into(image_);
}

void VectorDevice::render_into(QImage& out) const {
  const int w = image_.width(), h = image_.height();
  if (out.size() != image_.size() || out.format() != QImage::Format_RGB32)
    out = QImage(w, h, QImage::Format_RGB32);
  const std::uint8_t* from = plane_.data();
  for (int y = 0; y < h; ++y, from += w) {
    auto* to = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < w; ++x) to[x] = colours_[from[x]];
  }
}

void VectorDevice::set_device_size(int w, int h) {
  if (w < 1) w = 1;
  if (h < 1) h = 1;
  if (w == image_.width() && h == image_.height()) return;
  image_ = QImage(w, h, QImage::Format_RGB32);
  image_.fill(colours_[0]);
  plane_.assign(std::size_t(w) * std::size_t(h), 0);
}

bool VectorDevice::ortho2(double left, double right, double bottom, double top) {
  if (left == right || bottom == top || !std::isfinite(left + right + bottom + top)) {
    std::fprintf(stderr, "ortho2: Warning - empty view %g..%g x %g..%g refused\n", left, right, bottom, top);
    return false;
  }
  view_l_ = left;
  view_r_ = right;
  view_b_ = bottom;
  view_t_ = top;
  return true;
}

void VectorDevice::mapcolor(int index, int r, int g, int b) {
  if (index < 0 || index > 255) return;
  colours_[std::size_t(index)] = qRgb(r & 0xff, g & 0xff, b & 0xff);
}

void VectorDevice::color(int index) {
  current_ = index & 0xff;
}

void VectorDevice::clear() {
  raster::fill(surface(), std::uint8_t(current_));
}

void VectorDevice::linewidth(int pixels) {
  line_width_ = pixels < 0 ? 0 : pixels;
}

QPointF VectorDevice::view_map(double wx, double wy) const {
  const double px = (wx - view_l_) / (view_r_ - view_l_) * image_.width();
  const double py = (view_t_ - wy) / (view_t_ - view_b_) * image_.height();
  return {px, py};
}

QPointF VectorDevice::to_device(double x, double y) const {
  double wx, wy;
  m_.map(x, y, wx, wy);
  return view_map(wx, wy);
}

void VectorDevice::move(double x, double y, double) {
  move2(x, y);
}

void VectorDevice::move2(double x, double y) {
  cur_x_ = x;
  cur_y_ = y;
}

void VectorDevice::draw2(double x, double y) {
  const QPointF a = to_device(cur_x_, cur_y_), b = to_device(x, y);
  raster::line(surface(), a.x(), a.y(), b.x(), b.y(), line_width_, std::uint8_t(current_));
  cur_x_ = x;
  cur_y_ = y;
}

void VectorDevice::circle(double x, double y, double r, bool filled) {
  const QPointF centre = to_device(x, y);
  // Radius through the transformation (rotations and translations keep it)
  // and then the view, which may scale x and y differently.
  const double world_r = std::fabs(r) * std::hypot(m_.a, m_.b);
  const double rx = world_r * image_.width() / std::fabs(view_r_ - view_l_);
  const double ry = world_r * image_.height() / std::fabs(view_t_ - view_b_);
  const auto c = std::uint8_t(current_);
  if (filled)
    raster::disc(surface(), centre.x(), centre.y(), rx, ry, c);
  else
    raster::ring(surface(), centre.x(), centre.y(), rx, ry, c);
}

void VectorDevice::circ(double x, double y, double r) {
  circle(x, y, r, false);
}
void VectorDevice::circf(double x, double y, double r) {
  circle(x, y, r, true);
}

void VectorDevice::translate(double x, double y, double) {
  m_.tx += m_.a * x + m_.c * y;
  m_.ty += m_.b * x + m_.d * y;
}

void VectorDevice::rot(double degrees, char axis) {
  // Only rotation about z is meaningful on a flat map.
  if (axis != 'z' && axis != 'Z') return;
  const double t = degrees * M_PI / 180.0;
  const double cs = std::cos(t), sn = std::sin(t);
  Affine n = m_;
  n.a = m_.a * cs + m_.c * sn;
  n.b = m_.b * cs + m_.d * sn;
  n.c = -m_.a * sn + m_.c * cs;
  n.d = -m_.b * sn + m_.d * cs;
  m_ = n;
}

void VectorDevice::pushmatrix() {
  stack_.push_back(m_);
}

void VectorDevice::popmatrix() {
  if (stack_.empty()) {
    std::fprintf(stderr, "popmatrix: Warning - matrix stack is empty\n");
    return;
  }
  m_ = stack_.back();
  stack_.pop_back();
}

void VectorDevice::htextsize(double w, double h) {
  char_w_ = w;
  char_h_ = h;
}

void VectorDevice::hgetcharsize(char c, float& w, float& h) const {
  if (!font_) {
    w = h = 0;
    return;
  }
  const double sx = char_w_ / font_->cap_height();
  w = float(font_->glyph(static_cast<unsigned char>(c)).advance() * sx);
  h = float(char_h_);
}

void VectorDevice::hcharstr(const QString& s) {
  if (!font_) return;
  const double sx = char_w_ / font_->cap_height();
  const double sy = char_h_ / font_->cap_height();
  const int baseline = font_->baseline();
  const QByteArray bytes = s.toLatin1();
  double advance = 0;
  for (char ch : bytes) advance += font_->glyph(static_cast<unsigned char>(ch)).advance() * sx;
  const double x0 = cur_x_;
  cur_x_ += advance;

  // Model to device in one step: a label has a hundred strokes or more.
  const double kx = image_.width() / (view_r_ - view_l_), ky = image_.height() / (view_t_ - view_b_);
  const Affine d{
      m_.a * kx, -m_.b * ky, m_.c * kx, -m_.d * ky, (m_.tx - view_l_) * kx, (view_t_ - m_.ty) * ky};
  // Labels wholly off the surface (most of them, zoomed in) cost nothing more.
  const double top = cur_y_ + (baseline - font_->ink_top()) * sy;
  const double bottom = cur_y_ + (baseline - font_->ink_bottom()) * sy;
  double lo_x = INFINITY, hi_x = -INFINITY, lo_y = INFINITY, hi_y = -INFINITY;
  for (const double cx : {x0, x0 + advance})
    for (const double cy : {top, bottom}) {
      double px, py;
      d.map(cx, cy, px, py);
      lo_x = std::min(lo_x, px), hi_x = std::max(hi_x, px);
      lo_y = std::min(lo_y, py), hi_y = std::max(hi_y, py);
    }
  if (!(hi_x >= 0 && hi_y >= 0 && lo_x <= image_.width() && lo_y <= image_.height())) return;

  const raster::Surface out = surface();
  const auto c = std::uint8_t(current_);
  // Capitals under three pixels high cannot be read; they are drawn as a bar
  // where the text would be (greeking), which looks the same at that size
  // and costs one segment instead of a hundred.
  const double cap_px = std::hypot(d.c, d.d) * char_h_;
  if (cap_px < kGreekBelow) {
    double ax, ay, bx, by;
    d.map(x0, cur_y_ + char_h_ / 2, ax, ay);
    d.map(x0 + advance, cur_y_ + char_h_ / 2, bx, by);
    raster::line(out, ax, ay, bx, by, std::max(1.0, std::round(cap_px / 2)), c);
    return;
  }
  double x = x0;
  for (char ch : bytes) {
    const StrokeGlyph& g = font_->glyph(static_cast<unsigned char>(ch));
    for (const auto& run : g.strokes) {
      double px = 0, py = 0;
      bool first = true;
      for (const auto& [gx, gy] : run) {
        double qx, qy;
        d.map(x + (gx - g.left) * sx, cur_y_ + (baseline - gy) * sy, qx, qy);
        if (!first) raster::line(out, px, py, qx, qy, 1, c);
        px = qx, py = qy;
        first = false;
      }
    }
    x += g.advance() * sx;
  }
}

}  // namespace tarnix::ui
