// The network map: draws the current network into an off-screen image on the
// capture thread (MapRenderer) and shows it in the "Network" window, whose
// paints pace the capture thread (MapWindow).
#pragma once

#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "capture/net.h"
#include "ui/map_layout.h"
#include "ui/vector/vdraw.h"

namespace tarnix {
struct Net;
struct Node;
struct Link;
struct Subnet;
}  // namespace tarnix

namespace tarnix::ui {

inline constexpr int kMapPaletteSize = 33;

// What lies under a point of the map: a host, a link or nothing. The records
// are named by pointer and by address; neither is read until the network's
// lock is held and the address still leads to that record.
struct MapSpot {
  enum Kind { kNone, kHost, kLink } kind = kNone;
  const Node* host = nullptr;  // a host, or a link's source
  const Link* link = nullptr;
  std::uint64_t key = 0;       // the host's (the source's) key (host_key)
  std::uint64_t peer_key = 0;  // a link's destination's key
};

// Where a frame put its hosts and links, in the frame's own pixels; handed
// over with the frame, so the window asks about what it shows.
struct FrameSpots {
  struct Host {
    const Node* node;
    std::uint64_t key;
    float x, y, r;
  };
  struct Line {
    const Node* from;
    const Link* link;
    std::uint64_t from_key, to_key;
    float x1, y1, x2, y2, half_width;
  };
  std::vector<Host> hosts;
  std::vector<Line> lines;
  void clear() {
    hosts.clear();
    lines.clear();
  }
  // The host under the point (the one drawn last wins, as it is on top),
  // else the link, else nothing. A disc or line a few pixels wide is hit
  // from `slack` pixels around it.
  MapSpot at(double x, double y, double slack = 3.0) const;
};

class MapRenderer {
 public:
  MapRenderer(const app::Settings& settings, std::shared_ptr<const StrokeFont> font);

  // User-interface thread: a new window size (0 in either suspends drawing)
  // or a new view. Both take effect at the start of the next frame, never in
  // the middle of one.
  // `ratio` is the screen's device pixels per logical one: the frame is drawn
  // at the screen's own resolution, so a scaled desktop shows it sharp.
  void request_size(int w, int h, double ratio = 1.0);
  void request_view(const ViewRect& view);
  // The 33 palette colours (colour-map entries 8..40), from the next frame on.
  void set_palette(const std::array<QRgb, kMapPaletteSize>& palette);

  // Capture thread: draws a frame of `net` when its turn has come (the
  // "sample interval" thinning); true when it drew one. Holds the network's
  // lock while it reads the model, not while it fills the pixels.
  bool draw_frame(Net& net) EXCLUDES(net.lock);

  // Any thread: a copy of the last finished frame.
  QImage snapshot() const;
  // User-interface thread: what the last finished frame shows at a pixel.
  MapSpot spot_at(QPointF pixel) const;
  // User-interface thread: paints the last finished frame at the origin.
  void paint(QPainter& p, const QRect& area) const;
  std::uint64_t frames_drawn() const { return frames_drawn_.load(); }

  // The Zoom Box's marks, called on the capture thread.
  std::function<void(double x, double y, double r, double extent)> zoom_mark_group;
  std::function<void()> zoom_refresh;

  // A group's domain label once derived (empty text included), else null.
  const std::string* domain_label(const Subnet* group) const;

  // Sum of the stroke widths of the text at the current text size.
  float text_width(const QString& s) const;
  VectorDevice& device() { return device_; }

 private:
  void apply_pending();
  void draw_groups(Net& net, int dynamic) REQUIRES(net.lock);
  void draw_host(const Node& h);
  struct DrawnLink {
    const Node* from;
    const Link* link;
    std::uint64_t from_key;
  };
  void draw_links(Net& net) REQUIRES(net.lock);
  void draw_link(const Net& net, const DrawnLink& d);
  void draw_centred_label(const QString& label, double ts, double limit);
  // World coordinates of the current frame to its pixels.
  QPointF to_pixel(double x, double y) const;

  const app::Settings& settings_;
  VectorDevice device_;
  FrameThinner thinner_;
  // Domain labels, derived once per group (an empty label is a derived one),
  // by the group's address text: a group emptied by the bound goes, and a
  // later one may take its memory.
  std::unordered_map<std::string, std::string> domain_labels_;
  std::vector<DrawnLink> link_order_;  // this frame's links, in drawing order

  mutable std::mutex pending_mutex_;
  bool size_pending_ = false;
  int pending_w_ = 0, pending_h_ = 0;
  double pending_ratio_ = 1.0;
  double ratio_ = 1.0;  // capture thread's copy
  bool view_pending_ = false;
  ViewRect pending_view_;
  bool palette_pending_ = false;
  std::array<QRgb, kMapPaletteSize> pending_palette_{};
  bool suspended_ = true;  // capture thread's copy, taken from the pending size
  int frame_w_ = 0, frame_h_ = 0;
  ViewRect frame_view_;
  double pixel_x_ = 1.0, pixel_y_ = 1.0;
  FrameSpots spots_;  // being drawn

  mutable std::mutex front_mutex_;
  QImage front_;
  FrameSpots front_spots_;
  double front_ratio_ = 1.0;
  std::atomic<std::uint64_t> frames_drawn_{0};
};

// The "Network" window.
class MapWindow : public QWidget {
  Q_OBJECT
 public:
  MapWindow(MapRenderer& renderer, QWidget* parent = nullptr);

  // Called after every paint: the go signal for the capture thread.
  void set_go(std::function<void()> go) { go_ = std::move(go); }
  // Asks for a frame although the traffic did not change (size, zoom).
  void set_redraw(std::function<void()> redraw) { redraw_ = std::move(redraw); }
  // Told the aspect after every size change (the Zoom Box's message 1035).
  void set_aspect_listener(std::function<void(int)> fn) { aspect_ = std::move(fn); }

  bool suspended() const { return suspended_; }

  // Told the zoom rectangle (percent of the thumbnail; 0,0,100,100 for the
  // full view) whenever the wheel or a drag changes it, so the Zoom Box
  // shows the same view.
  void set_zoom_follower(std::function<void(double, double, double, double)> fn) {
    follower_ = std::move(fn);
  }
  // What the map answers about a spot: its tooltip text, what a double
  // click does, and its context menu (null: none).
  void set_spot_text(std::function<QString(const MapSpot&)> fn) { spot_text_ = std::move(fn); }
  void set_spot_open(std::function<void(const MapSpot&)> fn) { spot_open_ = std::move(fn); }
  void set_spot_menu(std::function<QMenu*(const MapSpot&, QWidget*)> fn) { spot_menu_ = std::move(fn); }

  // The view shown, and the spot under a pixel of it.
  ViewRect view() const;
  MapSpot spot_at(QPointF pixel) const { return renderer_.spot_at(pixel); }
  // The mouse wheel's step: `steps` notches (positive zooms in) about a pixel.
  void zoom_about(QPointF pixel, double steps);
  // A drag: the view follows the pointer by `delta` pixels.
  void pan_by(QPointF delta);

 public Q_SLOTS:
  // Message 1034: a zoom rectangle in percent of the thumbnail, applied at the
  // next paint.
  void set_zoom(int left, int top, int right, int bottom);
  // From the capture thread (queued): a new frame is ready.
  void frame_ready() { update(); }

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void showEvent(QShowEvent* e) override;
  bool event(QEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  void show_view(const ViewRect& v);

  MapRenderer& renderer_;
  std::function<void()> go_;
  std::function<void()> redraw_;
  std::function<void(int)> aspect_;
  bool suspended_ = true;
  bool zoom_pending_ = false;
  double zoom_[4] = {0, 0, 100, 100};
  std::function<void(double, double, double, double)> follower_;
  std::function<QString(const MapSpot&)> spot_text_;
  std::function<void(const MapSpot&)> spot_open_;
  std::function<QMenu*(const MapSpot&, QWidget*)> spot_menu_;
  bool pressed_ = false;
  bool panning_ = false;
  QPointF press_at_;
};

}  // namespace tarnix::ui
