#include "ui/map_view.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "capture/net.h"

namespace tarnix::ui {
namespace {

constexpr int kBackground = 0;
constexpr int kForeground = 7;
constexpr int kOtherColour = 40;

QString qs(const std::string& s) {
  return QString::fromStdString(s);
}

double distance_to_segment(double px, double py, double x1, double y1, double x2, double y2) {
  const double dx = x2 - x1, dy = y2 - y1;
  const double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((px - x1) * dx + (py - y1) * dy) / len2 : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(px - (x1 + t * dx), py - (y1 + t * dy));
}

}  // namespace

MapSpot FrameSpots::at(double x, double y, double slack) const {
  MapSpot spot;
  for (auto it = hosts.rbegin(); it != hosts.rend(); ++it) {
    if (std::hypot(x - it->x, y - it->y) <= it->r + slack) {
      spot.kind = MapSpot::kHost;
      spot.host = it->node;
      spot.key = it->key;
      return spot;
    }
  }
  double best = 0;
  for (const Line& l : lines) {
    const double d = distance_to_segment(x, y, l.x1, l.y1, l.x2, l.y2);
    if (d > l.half_width + slack || (spot.kind == MapSpot::kLink && d >= best)) continue;
    best = d;
    spot.kind = MapSpot::kLink;
    spot.host = l.from;
    spot.link = l.link;
    spot.key = l.from_key;
    spot.peer_key = l.to_key;
  }
  return spot;
}

MapRenderer::MapRenderer(const app::Settings& settings, std::shared_ptr<const StrokeFont> font)
    : settings_(settings) {
  device_.set_font(std::move(font));
}

void MapRenderer::request_size(int w, int h, double ratio) {
  std::lock_guard<std::mutex> g(pending_mutex_);
  size_pending_ = true;
  if (!(ratio >= 1.0 && ratio <= 8.0)) ratio = 1.0;
  pending_ratio_ = ratio;
  pending_w_ = int(std::lround(w * ratio));
  pending_h_ = int(std::lround(h * ratio));
  if (w > 0 && h > 0) {
    view_pending_ = true;
    pending_view_ = full_view(w, h);
  }
}

void MapRenderer::request_view(const ViewRect& view) {
  std::lock_guard<std::mutex> g(pending_mutex_);
  view_pending_ = true;
  pending_view_ = view;
}

void MapRenderer::set_palette(const std::array<QRgb, kMapPaletteSize>& palette) {
  std::lock_guard<std::mutex> g(pending_mutex_);
  palette_pending_ = true;
  pending_palette_ = palette;
}

void MapRenderer::apply_pending() {
  std::lock_guard<std::mutex> g(pending_mutex_);
  if (size_pending_) {
    size_pending_ = false;
    suspended_ = pending_w_ <= 0 || pending_h_ <= 0;
    if (!suspended_) {
      device_.set_device_size(pending_w_, pending_h_);
      frame_w_ = pending_w_;
      frame_h_ = pending_h_;
      ratio_ = pending_ratio_;
    }
  }
  if (view_pending_) {
    view_pending_ = false;
    frame_view_ = pending_view_;
    device_.ortho2(pending_view_.left, pending_view_.right, pending_view_.bottom, pending_view_.top);
  }
  // Pixels per map unit, worked out once a frame rather than per host.
  pixel_x_ = frame_w_ / (frame_view_.right - frame_view_.left);
  pixel_y_ = frame_h_ / (frame_view_.top - frame_view_.bottom);
  if (palette_pending_) {
    palette_pending_ = false;
    for (int k = 0; k < kMapPaletteSize; ++k) {
      const QRgb c = pending_palette_[std::size_t(k)];
      device_.mapcolor(k + 8, qRed(c), qGreen(c), qBlue(c));
    }
  }
}

// The finished frame is copied, never shared: an implicitly shared image
// whose last reference may drop on either thread would race.
QImage MapRenderer::snapshot() const {
  std::lock_guard<std::mutex> g(front_mutex_);
  return front_.copy();
}

MapSpot MapRenderer::spot_at(QPointF pixel) const {
  std::lock_guard<std::mutex> g(front_mutex_);
  return front_spots_.at(pixel.x() * front_ratio_, pixel.y() * front_ratio_, 3.0 * front_ratio_);
}

QPointF MapRenderer::to_pixel(double x, double y) const {
  return {(x - frame_view_.left) * pixel_x_, (frame_view_.top - y) * pixel_y_};
}

void MapRenderer::paint(QPainter& p, const QRect& area) const {
  std::lock_guard<std::mutex> g(front_mutex_);
  if (front_.isNull())
    p.fillRect(area, Qt::black);
  else if (front_ratio_ == 1.0)
    p.drawImage(area.topLeft(), front_, area);
  else
    p.drawImage(QRectF(area), front_,
                QRectF(area.x() * front_ratio_, area.y() * front_ratio_, area.width() * front_ratio_,
                       area.height() * front_ratio_));
}

float MapRenderer::text_width(const QString& s) const {
  float total = 0;
  const QByteArray bytes = s.toLatin1();
  for (char c : bytes) {
    float w = 0, h = 0;
    device_.hgetcharsize(c, w, h);
    total += w;
  }
  return total;
}

bool MapRenderer::draw_frame(Net& net) {
  apply_pending();
  if (suspended_) return false;
  if (!thinner_.next(settings_.sample_interval)) return false;
  device_.color(kBackground);
  device_.clear();
  spots_.clear();
  {
    // Read like any reader of the model, under its lock (which the checked
    // build verifies); the pixels are filled once it is let go.
    MutexLock held(net.lock);
    draw_groups(net, settings_.dynamic);
    draw_links(net);
  }
  {
    // The finished frame is made straight into the shown image: one pass
    // over the pixels instead of making it and then copying it. Its spots
    // change hands with it; the old ones' storage is drawn into next.
    std::lock_guard<std::mutex> g(front_mutex_);
    device_.render_into(front_);
    std::swap(front_spots_, spots_);
    front_ratio_ = ratio_;
  }
  frames_drawn_.fetch_add(1);
  if (zoom_refresh) zoom_refresh();
  return true;
}

void MapRenderer::draw_centred_label(const QString& label, double ts, double limit) {
  const float tw = text_width(label);
  if (!(tw < limit)) return;
  device_.pushmatrix();
  device_.move(0, 0, 0);
  device_.translate(-tw / 2.0, -ts / 2, 0);
  device_.move2(0, 0);
  device_.hcharstr(label);
  device_.popmatrix();
}

const std::string* MapRenderer::domain_label(const Subnet* group) const {
  auto it = domain_labels_.find(group->address_text);
  return it == domain_labels_.end() ? nullptr : &it->second;
}

void MapRenderer::draw_groups(Net& net, int dynamic) {
  std::vector<Subnet*> groups;
  std::vector<int> counts;
  net.subnets.foreach ([&](Subnet* g) {
    int n = 0;
    g->hosts.foreach ([&](Node* h) {
      if (dynamic != 1 || h->active) ++n;
    });
    g->layout_flag = n;
    groups.push_back(g);
    counts.push_back(n);
  });
  // Labels of groups that have gone are forgotten once they outnumber the
  // groups present, so subnet churn does not grow them.
  if (domain_labels_.size() > 2 * groups.size() + 64) {
    std::unordered_map<std::string, std::string> kept;
    for (const Subnet* g : groups)
      if (auto it = domain_labels_.find(g->address_text); it != domain_labels_.end()) kept.insert(*it);
    domain_labels_.swap(kept);
  }
  const HostTotals totals = count_weight(counts);
  if (totals.total == 0) return;
  const std::vector<double> angles = group_angles(counts);
  device_.color(kForeground);
  const int show_name = settings_.show_name;
  const double net_size = settings_.net_size;
  const double ts = label_text_size(totals.total, settings_.font_size);

  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    Subnet* group = groups[gi];
    const int n = counts[gi];
    if (n <= 0) continue;
    const double theta = angles[gi];
    const double cx = kGroupCircle * std::cos(theta), cy = kGroupCircle * std::sin(theta);
    group->layout[0] = cx;
    group->layout[1] = cy;
    device_.htextsize(ts, ts);
    device_.pushmatrix();
    device_.translate(cx, cy, 0);
    const double r = ring_radius(net_size, n);
    if (zoom_mark_group) zoom_mark_group(cx, cy, r, kMapExtent);
    device_.move(0, 0, 0);

    auto label_it = domain_labels_.find(group->address_text);
    if (show_name == 1 && label_it == domain_labels_.end()) {
      group->hosts.foreach ([&](Node* h) {
        if (label_it != domain_labels_.end()) return;
        const std::string name = node_name(*h);
        if (!name.empty())
          label_it = domain_labels_.emplace(group->address_text, domain_label_of(name)).first;
      });
    }
    const QString group_label = (label_it != domain_labels_.end() && show_name != 0)
                                    ? qs(label_it->second)
                                    : QString::fromLatin1(group->address_text);

    bool placed = false;
    int i = 0;
    group->hosts.foreach ([&](Node* h) {
      if (dynamic == 1 && !h->active) return;
      device_.pushmatrix();
      const double phi = host_angle(i, n, theta);
      h->map_x = r * std::cos(phi) + cx;
      h->map_y = r * std::sin(phi) + cy;
      if (!placed) {
        device_.circ(0, 0, r);
        device_.move(0, 0, 0);
        if (text_width(group_label) < 2 * r) {
          draw_centred_label(group_label, ts, 2 * r);
          placed = true;
        }
        device_.move(0, 0, 0);
      }
      QString label;
      const std::string name = show_name != 0 ? node_name(*h) : std::string();
      if (name.empty())
        label = QString::fromLatin1(h->address_text().c_str());
      else
        label = qs(placed ? name.substr(0, name.find('.')) : name);

      device_.rot(phi * 180.0 / M_PI, 'z');
      device_.translate(r, 0, 0);
      device_.pushmatrix();
      draw_host(*h);
      device_.popmatrix();
      device_.move(0, 0, 0);
      if (h->map_x < cx) {
        device_.rot(180, 'z');
        device_.translate(-(text_width(label) + 0.003), -ts / 2, 0);
      } else {
        device_.translate(0.003, -ts / 2, 0);
      }
      device_.pushmatrix();
      device_.move2(0, 0);
      device_.hcharstr(label);
      device_.popmatrix();
      device_.move(0, 0, 0);
      placed = true;
      ++i;
      device_.popmatrix();
    });
    device_.popmatrix();
  }
}

void MapRenderer::draw_host(const Node& h) {
  const double radius = host_radius(h.byte_rate(), h.frame_rate(), settings_.bytes, settings_.node_scale,
                                    settings_.max_node_radius);
  device_.circf(0, 0, radius);
  const QPointF at = to_pixel(h.map_x, h.map_y);
  spots_.hosts.push_back(
      {&h, host_key(*h.net, h.address), float(at.x()), float(at.y()), float(radius * pixel_x_)});
}

void MapRenderer::draw_links(Net& net) {
  const int dynamic_links = settings_.dynamic_links;
  // The links are records of their own all over the heap: listed first and
  // read a few ahead, their cache misses overlap instead of queueing. A
  // source's key (for the hit-test) is taken once for all its links.
  link_order_.clear();
  net.host_list.foreach ([&](Node* h) {
    if (h->links.count() == 0) return;
    const std::uint64_t key = host_key(net, h->address);
    h->links.foreach_link([&](Link& l) { link_order_.push_back({h, &l, key}); });
  });
  constexpr std::size_t kAhead = 8;
  const std::size_t n = link_order_.size();
  for (std::size_t i = 0; i < n; ++i) {
    // The record's first line, which names the destination, comes first;
    // then every other line the drawing reads: the colour's, the rate's,
    // and the destination's activity, address and position.
    if (i + 2 * kAhead < n) {
      __builtin_prefetch(link_order_[i + 2 * kAhead].link);
      __builtin_prefetch(&link_order_[i + 2 * kAhead].link->rates);
    }
    if (i + kAhead < n) {
      const Link* ahead = link_order_[i + kAhead].link;
      const Node* to = ahead->destination;
      __builtin_prefetch(&ahead->dominant_protocol);
      if (ahead->rates) __builtin_prefetch(&ahead->rates->bytes.average);
      __builtin_prefetch(to);
      __builtin_prefetch(&to->address);
      __builtin_prefetch(&to->map_x);
    }
    const DrawnLink& d = link_order_[i];
    if (!d.link->active && dynamic_links != 0) continue;
    const int dominant = d.link->dominant_protocol.load(std::memory_order_relaxed);
    device_.color(dominant < 0 || dominant > 32 ? kOtherColour : dominant + 8);
    draw_link(net, d);
  }
}

void MapRenderer::draw_link(const Net& net, const DrawnLink& d) {
  const Node& h = *d.from;
  const Link& l = *d.link;
  int width = link_width(l.byte_rate(), settings_.link_scale, settings_.max_link_width);
  if (ratio_ != 1.0) width = int(std::lround(width * ratio_));
  device_.linewidth(width);
  if (settings_.dynamic == 0 || (h.active && l.destination->active)) {
    device_.move2(h.map_x, h.map_y);
    device_.draw2(l.destination->map_x, l.destination->map_y);
    const QPointF a = to_pixel(h.map_x, h.map_y), b = to_pixel(l.destination->map_x, l.destination->map_y);
    spots_.lines.push_back({&h, &l, d.from_key, host_key(net, l.destination->address), float(a.x()),
                            float(a.y()), float(b.x()), float(b.y()), float(std::max(width, 1)) / 2.0f});
  }
  device_.linewidth(1);
}

MapWindow::MapWindow(MapRenderer& renderer, QWidget* parent) : QWidget(parent), renderer_(renderer) {
  setObjectName(QStringLiteral("Network"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

ViewRect MapWindow::view() const {
  return zoom_view(zoom_[0], zoom_[1], zoom_[2], zoom_[3], width(), height());
}

void MapWindow::show_view(const ViewRect& v) {
  const ViewRect full = full_view(width(), height());
  double p[4] = {0, 0, 100, 100};
  // Out past the whole map is the whole map, as the Zoom Box's click gives.
  if (v.right - v.left < full.right - full.left && v.top - v.bottom < full.top - full.bottom)
    view_percent(v, p);
  std::copy(p, p + 4, zoom_);
  zoom_pending_ = true;
  update();
  if (follower_) follower_(p[0], p[1], p[2], p[3]);
}

void MapWindow::zoom_about(QPointF pixel, double steps) {
  if (width() <= 0 || height() <= 0 || steps == 0) return;
  const ViewRect v = view();
  const double px = v.left + pixel.x() / width() * (v.right - v.left);
  const double py = v.top - pixel.y() / height() * (v.top - v.bottom);
  double s = std::pow(0.8, steps);
  // No closer than a hundredth of the map across.
  const double min_span = 2 * kMapExtent / 100;
  if ((v.right - v.left) * s < min_span) s = min_span / (v.right - v.left);
  show_view(
      {px + (v.left - px) * s, px + (v.right - px) * s, py + (v.bottom - py) * s, py + (v.top - py) * s});
}

void MapWindow::pan_by(QPointF delta) {
  if (width() <= 0 || height() <= 0) return;
  const ViewRect v = view();
  const double dx = delta.x() / width() * (v.right - v.left);
  const double dy = delta.y() / height() * (v.top - v.bottom);
  const ViewRect moved{v.left - dx, v.right - dx, v.bottom + dy, v.top + dy};
  // The whole map has nowhere to move.
  if (zoom_[2] == 100 && zoom_[3] == 100) return;
  show_view(moved);
}

bool MapWindow::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(e);
    const MapSpot spot = spot_at(help->pos());
    const QString text = spot.kind != MapSpot::kNone && spot_text_ ? spot_text_(spot) : QString();
    if (text.isEmpty()) {
      QToolTip::hideText();
      e->ignore();
    } else {
      QToolTip::showText(help->globalPos(), text, this);
    }
    return true;
  }
  return QWidget::event(e);
}

void MapWindow::wheelEvent(QWheelEvent* e) {
  zoom_about(e->position(), e->angleDelta().y() / 120.0);
  e->accept();
}

void MapWindow::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  pressed_ = true;
  panning_ = false;
  press_at_ = e->position();
}

void MapWindow::mouseMoveEvent(QMouseEvent* e) {
  if (!pressed_) return;
  const QPointF d = e->position() - press_at_;
  // A click that wobbles a pixel or two is no drag.
  if (!panning_ && std::abs(d.x()) + std::abs(d.y()) < 4) return;
  if (!panning_) setCursor(Qt::ClosedHandCursor);
  panning_ = true;
  pan_by(d);
  press_at_ = e->position();
}

void MapWindow::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(e);
  if (panning_) unsetCursor();
  pressed_ = panning_ = false;
}

void MapWindow::mouseDoubleClickEvent(QMouseEvent* e) {
  const MapSpot spot = spot_at(e->position());
  if (spot.kind == MapSpot::kHost && spot_open_) spot_open_(spot);
}

void MapWindow::contextMenuEvent(QContextMenuEvent* e) {
  const MapSpot spot = spot_at(e->pos());
  if (spot.kind == MapSpot::kNone || !spot_menu_) return;
  QMenu* menu = spot_menu_(spot, this);
  if (menu == nullptr) return;
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(e->globalPos());
}

void MapWindow::set_zoom(int left, int top, int right, int bottom) {
  // From the Zoom Box, which shows this rectangle already.
  zoom_[0] = left;
  zoom_[1] = top;
  zoom_[2] = right;
  zoom_[3] = bottom;
  zoom_pending_ = true;
  update();
}

void MapWindow::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  // The map is watched more than used: its tooltips answer while a list
  // window has the focus. Qt asks the top-level window for this.
  window()->setAttribute(Qt::WA_AlwaysShowToolTips);
}

void MapWindow::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  const int w = width(), h = height();
  // A new size shows the whole map again (the Zoom Box drops its rectangle).
  zoom_[0] = zoom_[1] = 0;
  zoom_[2] = zoom_[3] = 100;
  renderer_.request_size(w, h, devicePixelRatioF());
  if (redraw_) redraw_();
  suspended_ = w == 0 || h == 0;
  if (suspended_) return;
  if (aspect_) aspect_(aspect_percent(w, h));
}

void MapWindow::paintEvent(QPaintEvent*) {
  {
    QPainter p(this);
    renderer_.paint(p, rect());
  }
  if (zoom_pending_) {
    zoom_pending_ = false;
    renderer_.request_view(zoom_view(zoom_[0], zoom_[1], zoom_[2], zoom_[3], width(), height()));
    if (redraw_) redraw_();
  }
  if (go_) go_();
}

}  // namespace tarnix::ui
