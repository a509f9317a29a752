// The network map: draws the current network into an off-screen image on the
// capture thread (MapRenderer) and shows it in the "Network" window, whose
// paints pace the capture thread (MapWindow).
#pragma once

#include <QImage>
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

class MapRenderer {
 public:
  MapRenderer(const app::Settings& settings, std::shared_ptr<const StrokeFont> font);

  // User-interface thread: a new window size (0 in either suspends drawing)
  // or a new view. Both take effect at the start of the next frame, never in
  // the middle of one.
  void request_size(int w, int h);
  void request_view(const ViewRect& view);
  // The 33 palette colours (colour-map entries 8..40), from the next frame on.
  void set_palette(const std::array<QRgb, kMapPaletteSize>& palette);

  // Capture thread: draws a frame of `net` when its turn has come (the
  // "sample interval" thinning); true when it drew one.
  bool draw_frame(Net& net);

  // Any thread: a copy of the last finished frame.
  QImage snapshot() const;
  // User-interface thread: paints the last finished frame at the origin.
  void paint(QPainter& p, const QRect& area) const;
  std::uint64_t frames_drawn() const { return frames_drawn_.load(); }

  // The Zoom Box's marks, called on the capture thread.
  std::function<void(double x, double y, double r, double extent)> zoom_mark_group;
  std::function<void()> zoom_refresh;

  // A group's domain label once derived (empty text included), else null.
  const std::string* domain_label(const Subnet* group) const {
    auto it = domain_labels_.find(group);
    return it == domain_labels_.end() ? nullptr : &it->second;
  }

  // Sum of the stroke widths of the text at the current text size.
  float text_width(const QString& s) const;
  VectorDevice& device() { return device_; }

 private:
  void apply_pending();
  void draw_groups(Net& net, int dynamic);
  void draw_host(const Node& h);
  void draw_links(Net& net);
  void draw_link(const Node& h, const Link& l);
  void draw_centred_label(const QString& label, double ts, double limit);

  const app::Settings& settings_;
  VectorDevice device_;
  FrameThinner thinner_;
  // Domain labels, derived once per group (an empty label is a derived one).
  std::unordered_map<const Subnet*, std::string> domain_labels_;
  std::vector<std::pair<const Node*, const Link*>> link_order_;  // this frame's links, in drawing order

  mutable std::mutex pending_mutex_;
  bool size_pending_ = false;
  int pending_w_ = 0, pending_h_ = 0;
  bool view_pending_ = false;
  ViewRect pending_view_;
  bool palette_pending_ = false;
  std::array<QRgb, kMapPaletteSize> pending_palette_{};
  bool suspended_ = true;  // capture thread's copy, taken from the pending size

  mutable std::mutex front_mutex_;
  QImage front_;
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

 public Q_SLOTS:
  // Message 1034: a zoom rectangle in percent of the thumbnail, applied at the
  // next paint.
  void set_zoom(int left, int top, int right, int bottom);
  // From the capture thread (queued): a new frame is ready.
  void frame_ready() { update(); }

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;

 private:
  MapRenderer& renderer_;
  std::function<void()> go_;
  std::function<void()> redraw_;
  std::function<void(int)> aspect_;
  bool suspended_ = true;
  bool zoom_pending_ = false;
  int zoom_[4] = {0, 0, 100, 100};
};

}  // namespace tarnix::ui
