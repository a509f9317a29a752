#include "ui/map_layout.h"

#include <algorithm>
#include <cmath>

namespace tarnix::ui {

HostTotals count_weight(const std::vector<int>& counts) {
  HostTotals t;
  for (int n : counts) {
    t.total += n;
    t.weight += std::min(n, kRingCap);
  }
  return t;
}

std::vector<double> group_angles(const std::vector<int>& counts) {
  std::vector<double> angles(counts.size(), 0.0);
  const HostTotals t = count_weight(counts);
  if (t.total == 0 || t.weight == 0) return angles;
  int acc = 0;
  for (std::size_t g = 0; g < counts.size(); ++g) {
    const int n = counts[g];
    if (n <= 0) continue;
    double theta = (2 * M_PI / t.weight) * acc;
    std::size_t m = g + 1;
    while (m < counts.size() && counts[m] <= 0) ++m;
    if (m < counts.size())
      acc += (std::min(n, kRingCap) + std::min(counts[m], kRingCap)) / 2;
    else
      theta += (2 * M_PI - theta) / 4;
    angles[g] = theta;
  }
  return angles;
}

double ring_radius(double net_size, int hosts) {
  return (net_size / 50.0) * std::min(hosts, kRingCap) * 0.02;
}

double label_text_size(int total, double font_size) {
  const double ts = (1.0 / ((total + 1) * 1.1) + 0.001) * font_size * 10.0;
  return std::min(ts, 0.06);
}

double host_angle(int i, int n, double theta) {
  return (2 * M_PI / n) * i + theta;
}

double host_radius(double byte_rate_avg, double frame_rate_avg, int bytes_mode, double node_scale,
                   double max_node_radius) {
  double r = bytes_mode == 1 ? byte_rate_avg * 0.005 / 1024.0 : frame_rate_avg * 0.005;
  r *= node_scale;
  if (max_node_radius < r) r = max_node_radius;
  return r;
}

int link_width(double byte_rate_avg, double link_scale, int max_link_width) {
  // Computed in double and clamped before the conversion, so a huge rate
  // cannot overflow the integer.
  double w = link_scale != 0 ? std::trunc(byte_rate_avg / 10240.0 * link_scale)
                             : std::trunc(std::trunc(byte_rate_avg) / 10240.0);
  if (!std::isfinite(w)) w = 0;
  if (w > max_link_width) w = max_link_width;
  if (w < 0) w = 0;
  return int(w);
}

ViewRect full_view(int w, int h) {
  if (w <= 0 || h <= 0) return {};
  double xe, ye;
  if (h > w) {
    xe = kMapExtent;
    ye = kMapExtent * h / w;
  } else {
    ye = kMapExtent;
    xe = kMapExtent * w / h;
  }
  return {-xe, xe, -ye, ye};
}

int aspect_percent(int w, int h) {
  const ViewRect v = full_view(w, h);
  return int(v.right / v.top * 100);
}

ViewRect zoom_view(double left, double top, double right, double bottom, int w, int h) {
  if (right == 100 && bottom == 100) return full_view(w, h);
  return {kMapExtent * (left - 50) / 50.0, kMapExtent * (right - 50) / 50.0,
          kMapExtent * (50 - bottom) / 50.0, kMapExtent * (50 - top) / 50.0};
}

void view_percent(const ViewRect& v, double out[4]) {
  out[0] = 50 + 50 * v.left / kMapExtent;
  out[1] = 50 - 50 * v.top / kMapExtent;
  out[2] = 50 + 50 * v.right / kMapExtent;
  out[3] = 50 - 50 * v.bottom / kMapExtent;
}

bool FrameThinner::next(double sample_interval) {
  const int f = int(sample_interval);
  if (counter_ < 5 * f - 5) {
    ++counter_;
    return false;
  }
  counter_ = 0;
  return true;
}

}  // namespace tarnix::ui
