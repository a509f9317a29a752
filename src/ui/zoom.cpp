#include "ui/zoom.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tarnix::ui {
namespace {

QRect corners(int x1, int y1, int x2, int y2) {
  QRect r;
  r.setCoords(x1, y1, x2, y2);
  return r;
}

// An outline that a second drawing would remove: the inverse of what is under it.
void draw_inverted(QPainter& p, const QRect& r) {
  p.save();
  p.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRect(r.topLeft(), r.bottomRight()).normalized());
  p.restore();
}

}  // namespace

ZoomImage::ZoomImage(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("ZoomImage"));
  setCursor(Qt::CrossCursor);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ZoomImage::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (width() == 0) return;
  make_surfaces();
  update();
}

void ZoomImage::make_surfaces() {
  // The surfaces hold the screen's own pixels: on a scaled desktop the rings
  // are drawn at its resolution rather than drawn small and blown up. The
  // marks are still placed in the widget's units.
  const qreal ratio = std::clamp(devicePixelRatioF(), 1.0, 8.0);
  const QSize pixels(int(std::lround(width() * ratio)), int(std::lround(height() * ratio)));
  {
    std::lock_guard<std::mutex> g(marks_mutex_);
    marking_ = QImage(pixels, QImage::Format_RGB32);
    marking_.setDevicePixelRatio(ratio);
    marking_.fill(Qt::black);
    w_ = width();
    h_ = height();
  }
  display_ = QImage(pixels, QImage::Format_RGB32);
  display_.setDevicePixelRatio(ratio);
  display_.fill(Qt::black);
}

void ZoomImage::mark_group(double x, double y, double r, double e) {
  std::lock_guard<std::mutex> g(marks_mutex_);
  if (marking_.isNull() || e <= 0) return;
  const int cx = int((e + x) / (2 * e) * w_);
  const int cy = h_ - int((e + y) / (2 * e) * h_);
  int d = int(r / e * w_);
  if (d < 2) d = 2;
  QPainter p(&marking_);
  p.setPen(Qt::white);
  p.setBrush(Qt::black);
  p.drawEllipse(QRect(QPoint(cx - d / 2, cy - d / 2), QPoint(cx + d / 2, cy + d / 2)));
}

void ZoomImage::refresh() {
  dirty_ = true;
  QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void ZoomImage::paintEvent(QPaintEvent* e) {
  // Moved to a screen of another scale: the next frame's marks are drawn
  // at the new one.
  if (!display_.isNull() && display_.devicePixelRatio() != std::clamp(devicePixelRatioF(), 1.0, 8.0))
    make_surfaces();
  if (dirty_.exchange(false)) {
    std::lock_guard<std::mutex> g(marks_mutex_);
    display_ = marking_.copy();
    marking_.fill(Qt::black);
  }
  QPainter p(this);
  if (display_.isNull())
    p.fillRect(e->rect(), Qt::black);
  else
    p.drawImage(QPointF(0, 0), display_);  // clipped to the painted area
  if (dragging_)
    draw_inverted(p, band_);
  else if (zoomed_)
    draw_inverted(p, zoom_);
}

void ZoomImage::mousePressEvent(QMouseEvent* e) {
  const QPoint pt = e->position().toPoint();
  if (e->button() == Qt::LeftButton) {
    dragging_ = true;
    band_ = corners(pt.x(), pt.y(), pt.x(), pt.y());
    update();
  } else if (e->button() == Qt::RightButton && zoomed_) {
    if (pt.x() >= zoom_.left() && pt.x() <= zoom_.right() && pt.y() >= zoom_.top() &&
        pt.y() <= zoom_.bottom()) {
      last_ = pt;
      moving_ = true;
    }
  }
}

void ZoomImage::mouseMoveEvent(QMouseEvent* e) {
  const QPoint pt = e->position().toPoint();
  if (dragging_) {
    band_.setBottomRight(pt);
    update();
  } else if (moving_) {
    QRect r = zoom_.translated(pt - last_);
    // Kept inside the thumbnail at its size.
    if (r.left() < 0) r.moveLeft(0);
    if (r.right() > w_) r.moveRight(w_);
    if (r.top() < 0) r.moveTop(0);
    if (r.bottom() > h_) r.moveBottom(h_);
    zoom_ = r;
    band_ = r;
    last_ = pt;
    post();
    update();
  }
}

void ZoomImage::mouseReleaseEvent(QMouseEvent* e) {
  const QPoint pt = e->position().toPoint();
  if (e->button() == Qt::LeftButton && dragging_) {
    dragging_ = false;
    if (std::abs(band_.left() - pt.x()) < 4) {
      // A click: back to the remembered zoom, or out to the full view.
      if (!zoomed_ && zoom_.right() != zoom_.left() && zoom_.bottom() != zoom_.top()) {
        zoomed_ = true;
        band_ = zoom_;
        post();
      } else {
        zoomed_ = false;
        if (post_) post_(0, 0, 100, 100);
      }
    } else {
      int x1 = band_.left(), y1 = band_.top(), x2 = band_.right(), y2 = band_.bottom();
      if (x1 > x2) std::swap(x1, x2);
      if (y1 > y2) std::swap(y1, y2);
      // The band takes the map's shape.
      if (aspect_ <= 100)
        x2 = x1 + int(std::trunc((y2 - y1) * aspect_ / 100.0));
      else
        y2 = y1 + int(std::trunc(double(x2 - x1) / aspect_ * 100));
      band_ = corners(x1, y1, x2, y2);
      zoom_ = band_;
      zoomed_ = true;
      post();
    }
    update();
  } else if (e->button() == Qt::RightButton && zoomed_) {
    moving_ = false;
    post();
  }
}

void ZoomImage::post() {
  if (!post_ || w_ == 0 || h_ == 0) return;
  post_(zoom_.left() * 100 / w_, zoom_.top() * 100 / h_, zoom_.right() * 100 / w_, zoom_.bottom() * 100 / h_);
}

void ZoomImage::show_zoom(double left, double top, double right, double bottom) {
  moving_ = dragging_ = false;
  if (left <= 0 && top <= 0 && right >= 100 && bottom >= 100) {
    zoomed_ = false;
  } else {
    zoom_ = corners(int(std::lround(left * w_ / 100)), int(std::lround(top * h_ / 100)),
                    int(std::lround(right * w_ / 100)), int(std::lround(bottom * h_ / 100)));
    band_ = zoom_;
    zoomed_ = true;
  }
  update();
}

void ZoomImage::set_aspect(int aspect_percent) {
  moving_ = zoomed_ = dragging_ = false;
  aspect_ = aspect_percent;
  update();
}

ZoomBox::ZoomBox(QWidget* parent) : QGroupBox(QStringLiteral("Zoom Control"), parent) {
  setObjectName(QStringLiteral("ZoomBox"));
  image_ = new ZoomImage(this);
}

void ZoomBox::resizeEvent(QResizeEvent* e) {
  QGroupBox::resizeEvent(e);
  image_->setGeometry(15, 25, width() - 30, height() - 40);
}

}  // namespace tarnix::ui
