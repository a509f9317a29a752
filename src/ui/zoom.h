// The Zoom Box: a thumbnail of the map's subnet rings on which the user drags
// out, toggles and moves a zoom rectangle that the map then shows.
#pragma once

#include <QGroupBox>
#include <QImage>
#include <QRect>
#include <QWidget>
#include <atomic>
#include <functional>
#include <mutex>

namespace tarnix::ui {

class ZoomImage : public QWidget {
  Q_OBJECT
 public:
  explicit ZoomImage(QWidget* parent = nullptr);

  // Message 1034: the zoom rectangle in percent of the thumbnail.
  void set_zoom_listener(std::function<void(int left, int top, int right, int bottom)> fn) {
    post_ = std::move(fn);
  }
  // The map zoomed by the wheel or a drag: the rectangle (percent of the
  // thumbnail; 0,0,100,100 for the full view) is shown without being posted
  // back.
  void show_zoom(double left, double top, double right, double bottom);
  // Message 1035: the map's width / height x 100 after a size change.
  void set_aspect(int aspect_percent);

  // Capture thread: a disc per subnet group, then one hand-over per frame.
  void mark_group(double x, double y, double r, double extent);
  void refresh();

  bool zoomed() const { return zoomed_; }
  bool dragging() const { return dragging_; }
  bool moving() const { return moving_; }
  QRect zoom_rect() const { return zoom_; }  // thumbnail pixels, corners (left, top) and (right, bottom)
  QRect band() const { return band_; }
  int aspect_percent() const { return aspect_; }
  // What the thumbnail shows now, in its own (device) pixels.
  QImage shown() const { return display_; }

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  void post();
  void make_surfaces();

  std::function<void(int, int, int, int)> post_;
  // Rectangles as corner pairs: left() = x1, top() = y1, right() = x2,
  // bottom() = y2 (QRect's own right and bottom, no width arithmetic).
  QRect band_;
  QRect zoom_;
  bool zoomed_ = false;
  bool dragging_ = false;
  bool moving_ = false;
  QPoint last_;
  int aspect_ = 0;
  int w_ = 0, h_ = 0;

  std::mutex marks_mutex_;  // the marking surface, written by the capture thread
  QImage marking_;
  QImage display_;
  std::atomic<bool> dirty_{false};
};

class ZoomBox : public QGroupBox {
  Q_OBJECT
 public:
  explicit ZoomBox(QWidget* parent = nullptr);
  ZoomImage* image() const { return image_; }

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  ZoomImage* image_;
};

}  // namespace tarnix::ui
