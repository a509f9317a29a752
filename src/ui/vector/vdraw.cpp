#include "ui/vector/vdraw.h"

#include <cmath>
#include <cstdio>

namespace tarnix::ui {

VectorDevice::VectorDevice() {
  colours_.fill(qRgb(0, 0, 0));
  const QRgb basic[8] = {qRgb(0, 0, 0),   qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
                         qRgb(0, 0, 255), qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
  for (int i = 0; i < 8; ++i) colours_[std::size_t(i)] = basic[i];
  image_ = QImage(1, 1, QImage::Format_RGB32);
  image_.fill(Qt::black);
}

VectorDevice::~VectorDevice() {
  flush();
}

void VectorDevice::flush() {
  if (painter_) {
    painter_->end();
    painter_.reset();
  }
  pen_state_ = {};
}

void VectorDevice::use_pen(QRgb colour, double width, Qt::PenCapStyle cap) {
  PenState& s = pen_state_;
  if (s.set && s.colour == colour && s.width == width && s.cap == cap) return;
  QPen pen{QColor(colour)};
  pen.setWidthF(width);
  pen.setCapStyle(cap);
  painter().setPen(pen);
  s.set = true;
  s.colour = colour;
  s.width = width;
  s.cap = cap;
}

void VectorDevice::use_brush(bool filled, QRgb colour) {
  PenState& s = pen_state_;
  if (s.filled == filled && (!filled || s.brush == colour)) return;
  if (filled)
    painter().setBrush(QColor(colour));
  else
    painter().setBrush(Qt::NoBrush);
  s.filled = filled;
  s.brush = colour;
}

QPainter& VectorDevice::painter() {
  if (!painter_) {
    painter_ = std::make_unique<QPainter>(&image_);
    painter_->setRenderHint(QPainter::Antialiasing, true);
  }
  return *painter_;
}

void VectorDevice::set_device_size(int w, int h) {
  if (w < 1) w = 1;
  if (h < 1) h = 1;
  if (w == image_.width() && h == image_.height()) return;
  flush();
  image_ = QImage(w, h, QImage::Format_RGB32);
  image_.fill(colours_[0]);
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
  painter().fillRect(image_.rect(), QColor(colours_[std::size_t(current_)]));
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
  QPainter& p = painter();
  use_pen(colours_[std::size_t(current_)], line_width_, Qt::FlatCap);
  p.drawLine(to_device(cur_x_, cur_y_), to_device(x, y));
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
  QPainter& p = painter();
  const QRgb c = colours_[std::size_t(current_)];
  use_pen(c, 1, Qt::FlatCap);
  use_brush(filled, c);
  p.drawEllipse(centre, rx, ry);
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
  QPainter& p = painter();
  // A one-pixel stroke's round cap is its square one: the whole string's
  // strokes go to the painter in one call.
  use_pen(colours_[std::size_t(current_)], 1.0, Qt::SquareCap);
  use_brush(false, 0);
  const QByteArray bytes = s.toLatin1();
  double x = cur_x_;
  strokes_.clear();
  for (char ch : bytes) {
    const StrokeGlyph& g = font_->glyph(static_cast<unsigned char>(ch));
    for (const auto& run : g.strokes) {
      QPointF prev;
      bool first = true;
      for (const auto& [gx, gy] : run) {
        const QPointF pt = to_device(x + (gx - g.left) * sx, cur_y_ + (baseline - gy) * sy);
        if (!first) strokes_.emplace_back(prev, pt);
        prev = pt;
        first = false;
      }
    }
    x += g.advance() * sx;
  }
  if (!strokes_.empty()) p.drawLines(strokes_.data(), int(strokes_.size()));
  cur_x_ = x;
}

}  // namespace tarnix::ui
