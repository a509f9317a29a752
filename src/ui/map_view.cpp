#include "ui/map_view.h"

#include <QPainter>
#include <QResizeEvent>
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

}  // namespace

MapRenderer::MapRenderer(const app::Settings& settings, std::shared_ptr<const StrokeFont> font)
    : settings_(settings) {
  device_.set_font(std::move(font));
}

void MapRenderer::request_size(int w, int h) {
  std::lock_guard<std::mutex> g(pending_mutex_);
  size_pending_ = true;
  pending_w_ = w;
  pending_h_ = h;
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
    if (!suspended_) device_.set_device_size(pending_w_, pending_h_);
  }
  if (view_pending_) {
    view_pending_ = false;
    device_.ortho2(pending_view_.left, pending_view_.right, pending_view_.bottom, pending_view_.top);
  }
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

void MapRenderer::paint(QPainter& p, const QRect& area) const {
  std::lock_guard<std::mutex> g(front_mutex_);
  if (front_.isNull())
    p.fillRect(area, Qt::black);
  else
    p.drawImage(area.topLeft(), front_, area);
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
  draw_groups(net, settings_.dynamic);
  draw_links(net);
  {
    // The finished frame is made straight into the shown image: one pass
    // over the pixels instead of making it and then copying it.
    std::lock_guard<std::mutex> g(front_mutex_);
    device_.render_into(front_);
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

    auto label_it = domain_labels_.find(group);
    if (show_name == 1 && label_it == domain_labels_.end()) {
      group->hosts.foreach ([&](Node* h) {
        if (label_it != domain_labels_.end()) return;
        const std::string name = node_name(*h);
        if (!name.empty()) label_it = domain_labels_.emplace(group, domain_label_of(name)).first;
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
        label = QString::fromLatin1(h->address_text);
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
  const double radius = host_radius(h.byte_rate.average, h.frame_rate.average, settings_.bytes,
                                    settings_.node_scale, settings_.max_node_radius);
  device_.circf(0, 0, radius);
}

void MapRenderer::draw_links(Net& net) {
  const int dynamic_links = settings_.dynamic_links;
  // The links are records of their own all over the heap: listed first and
  // read a few ahead, their cache misses overlap instead of queueing.
  link_order_.clear();
  net.host_list.foreach (
      [&](Node* h) { h->links.foreach_link([&](Link& l) { link_order_.emplace_back(h, &l); }); });
  constexpr std::size_t kAhead = 8;
  const std::size_t n = link_order_.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) __builtin_prefetch(link_order_[i + 2 * kAhead].second);
    if (i + kAhead < n) __builtin_prefetch(link_order_[i + kAhead].second->destination);
    const auto [h, l] = link_order_[i];
    if (!l->active && dynamic_links != 0) continue;
    const int dominant = l->dominant_protocol.load(std::memory_order_relaxed);
    device_.color(dominant < 0 || dominant > 32 ? kOtherColour : dominant + 8);
    draw_link(*h, *l);
  }
}

void MapRenderer::draw_link(const Node& h, const Link& l) {
  device_.linewidth(link_width(l.byte_rate.average, settings_.link_scale, settings_.max_link_width));
  if (settings_.dynamic == 0 || (h.active && l.destination->active)) {
    device_.move2(h.map_x, h.map_y);
    device_.draw2(l.destination->map_x, l.destination->map_y);
  }
  device_.linewidth(1);
}

MapWindow::MapWindow(MapRenderer& renderer, QWidget* parent) : QWidget(parent), renderer_(renderer) {
  setObjectName(QStringLiteral("Network"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void MapWindow::set_zoom(int left, int top, int right, int bottom) {
  zoom_[0] = left;
  zoom_[1] = top;
  zoom_[2] = right;
  zoom_[3] = bottom;
  zoom_pending_ = true;
  update();
}

void MapWindow::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  const int w = width(), h = height();
  renderer_.request_size(w, h);
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
