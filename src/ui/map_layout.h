// The map's layout arithmetic, apart from any drawing: where the rings go,
// how large rings, discs, labels and links are, which capture cycles draw,
// and what view a window size or a zoom rectangle gives.
#pragma once

#include <vector>

namespace tarnix::ui {

inline constexpr double kMapExtent = 1.3;
inline constexpr double kGroupCircle = 0.7;
inline constexpr int kRingCap = 20;

struct HostTotals {
  int total = 0;
  int weight = 0;  // sum of min(count, 20)
};
// count_hosts over the drawing host counts of the groups, in group order.
HostTotals count_weight(const std::vector<int>& counts);

// The angle of every group's centre, in radians (groups with no drawable host
// get none and keep 0); the last drawn group takes a quarter of the angle
// left over so it does not crowd the first.
std::vector<double> group_angles(const std::vector<int>& counts);

double ring_radius(double net_size, int hosts);
// Stroke text size of the labels for `total` drawn hosts, at most 0.06.
double label_text_size(int total, double font_size);
// Angle of the i-th of n hosts on a ring whose group sits at theta.
double host_angle(int i, int n, double theta);
// Disc radius from the averaged rates.
double host_radius(double byte_rate_avg, double frame_rate_avg, int bytes_mode, double node_scale,
                   double max_node_radius);
// Line width in pixels from the averaged byte rate.
int link_width(double byte_rate_avg, double link_scale, int max_link_width);

struct ViewRect {
  double left = -kMapExtent, right = kMapExtent, bottom = -kMapExtent, top = kMapExtent;
  bool operator==(const ViewRect&) const = default;
};
// The full view: the shorter side spans -1.3..1.3, the longer one is
// stretched by the window's aspect.
ViewRect full_view(int w, int h);
int aspect_percent(int w, int h);
// The view for a zoom rectangle in percent of the thumbnail (top-left
// origin); right = bottom = 100 means the full view.
ViewRect zoom_view(double left, double top, double right, double bottom, int w, int h);
// The zoom rectangle (percent of the thumbnail) that shows `view`: the
// inverse of zoom_view.
void view_percent(const ViewRect& view, double out[4]);

// The "sample interval" thinning: one drawn frame in every 5f - 4 cycles.
class FrameThinner {
 public:
  // True when this cycle draws (the counter then starts again).
  bool next(double sample_interval);
  int counter() const { return counter_; }

 private:
  int counter_ = 0;
};

// The domain label of a group from its first named host: from the first '.'
// on, or empty when the name has none.
template <typename Str>
Str domain_label_of(const Str& name) {
  auto dot = name.find('.');
  return dot == Str::npos ? Str() : name.substr(dot);
}

}  // namespace tarnix::ui
