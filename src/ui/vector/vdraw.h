// A small vector drawing layer: a transformation stack, a view (ortho2) onto
// a device of w x h pixels, a 256-entry colour map, lines, circles and stroke
// text. Drawing is aliased, into a plane of colour-map indexes; flush() turns
// the plane into the image through the colour map as it is then. Any single
// thread may drive it; it is not shared between threads.
#pragma once

#include <QImage>
#include <QString>
#include <array>
#include <memory>
#include <vector>

#include "ui/vector/raster.h"
#include "ui/vector/stroke_font.h"

namespace tarnix::ui {

class VectorDevice {
 public:
  VectorDevice();
  VectorDevice(const VectorDevice&) = delete;
  VectorDevice& operator=(const VectorDevice&) = delete;

  // The device becomes w x h pixels, the viewport the whole device.
  void set_device_size(int w, int h);
  int width() const { return image_.width(); }
  int height() const { return image_.height(); }

  // Maps that rectangle of model space onto the viewport; pairs that do not
  // differ are refused and leave the view as it was.
  bool ortho2(double left, double right, double bottom, double top);

  void mapcolor(int index, int r, int g, int b);
  QRgb colour_of(int index) const { return colours_[std::size_t(index & 0xff)]; }
  void color(int index);
  void clear();
  void linewidth(int pixels);

  void move(double x, double y, double z);
  void move2(double x, double y);
  void draw2(double x, double y);
  void circ(double x, double y, double r);
  void circf(double x, double y, double r);

  void translate(double x, double y, double z);
  void rot(double degrees, char axis);
  void pushmatrix();
  void popmatrix();

  void set_font(std::shared_ptr<const StrokeFont> font) { font_ = std::move(font); }
  bool has_font() const { return font_ != nullptr; }
  void htextsize(double w, double h);
  void hcharstr(const QString& s);
  void hgetcharsize(char c, float& w, float& h) const;

  // Makes the image from the drawing so far; image() shows what was drawn up
  // to the last flush.
  void flush();
  const QImage& image() const { return image_; }
  // The same into a caller's image (made the device's size when it is not).
  void render_into(QImage& out) const;

  // Model point to device pixel under the current transformation and view.
  QPointF to_device(double x, double y) const;

 private:
  struct Affine {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    void map(double x, double y, double& ox, double& oy) const {
      ox = a * x + c * y + tx;
      oy = b * x + d * y + ty;
    }
  };

  raster::Surface surface();
  QPointF view_map(double wx, double wy) const;
  void circle(double x, double y, double r, bool filled);

  QImage image_;                     // Format_RGB32, the plane's size
  std::vector<std::uint8_t> plane_;  // colour-map indexes, row by row
  std::array<QRgb, 256> colours_{};
  int current_ = 0;
  int line_width_ = 1;
  double view_l_ = -1, view_r_ = 1, view_b_ = -1, view_t_ = 1;
  Affine m_;
  std::vector<Affine> stack_;
  double cur_x_ = 0, cur_y_ = 0;
  std::shared_ptr<const StrokeFont> font_;
  double char_w_ = 0.05, char_h_ = 0.05;
};

}  // namespace tarnix::ui
