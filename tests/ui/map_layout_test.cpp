#include "ui/map_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace tarnix::ui {
namespace {

TEST(MapLayout, OneGroupOfTwentyFiveHostsUsesTwentyForItsRing) {
  EXPECT_DOUBLE_EQ(ring_radius(55, 25), 55.0 / 50 * 20 * 0.02);
  EXPECT_DOUBLE_EQ(ring_radius(55, 25), ring_radius(55, 20));
  EXPECT_DOUBLE_EQ(ring_radius(55, 10), 55.0 / 50 * 10 * 0.02);
  HostTotals t = count_weight({25});
  EXPECT_EQ(t.total, 25);
  EXPECT_EQ(t.weight, 20);
  // A lone group takes a quarter of the full turn.
  std::vector<double> a = group_angles({25});
  EXPECT_DOUBLE_EQ(a[0], M_PI / 2);
  // Hosts are spread at 360/25 degrees.
  EXPECT_NEAR((host_angle(1, 25, a[0]) - host_angle(0, 25, a[0])) * 180 / M_PI, 360.0 / 25, 1e-9);
  EXPECT_NEAR((host_angle(24, 25, 0)) * 180 / M_PI, 24 * 360.0 / 25, 1e-9);
}

TEST(MapLayout, GroupsOfTenAndThirty) {
  HostTotals t = count_weight({10, 30});
  EXPECT_EQ(t.weight, 30);
  EXPECT_EQ(t.total, 40);
  std::vector<double> a = group_angles({10, 30});
  EXPECT_DOUBLE_EQ(a[0], 0);
  const double second = (2 * M_PI / 30) * 15;
  EXPECT_DOUBLE_EQ(a[1], second + (2 * M_PI - second) / 4);
}

TEST(MapLayout, EmptyGroupsAreSkippedWhenSpacingTheRest) {
  std::vector<double> a = group_angles({4, 0, 6, 0});
  // weight 10; the first advances by (4 + 6) / 2 = 5 across the empty group.
  EXPECT_DOUBLE_EQ(a[0], 0);
  EXPECT_DOUBLE_EQ(a[1], 0);
  const double third = (2 * M_PI / 10) * 5;
  EXPECT_DOUBLE_EQ(a[2], third + (2 * M_PI - third) / 4);
  EXPECT_EQ(group_angles({0, 0}), (std::vector<double>{0, 0}));
  // Integer division of the advance: (3 + 4) / 2 = 3.
  std::vector<double> b = group_angles({3, 4, 5});
  EXPECT_DOUBLE_EQ(b[1], (2 * M_PI / 12) * 3);
  EXPECT_DOUBLE_EQ(b[2], (2 * M_PI / 12) * 7 + (2 * M_PI - (2 * M_PI / 12) * 7) / 4);
}

TEST(MapLayout, LinkWidthsAndDiscRadius) {
  EXPECT_EQ(link_width(20480, 0.6, 100), 1);
  EXPECT_EQ(link_width(20480, 0.0, 100), 2);
  EXPECT_EQ(link_width(20480 * 1000.0, 0.6, 100), 100);
  EXPECT_EQ(link_width(1e300, 1.0, 5), 5);
  EXPECT_EQ(link_width(20480, -1.0, 100), 0);
  EXPECT_EQ(link_width(10239, 1.0, 100), 0);
  EXPECT_DOUBLE_EQ(host_radius(2048, 0, 1, 0.2, 0.5), 0.002);
  EXPECT_DOUBLE_EQ(host_radius(2048, 3, 0, 0.2, 0.5), 3 * 0.005 * 0.2);
  EXPECT_DOUBLE_EQ(host_radius(1e9, 0, 1, 0.2, 0.5), 0.5);
}

TEST(MapLayout, LabelSizeShrinksWithHostsUpToACap) {
  EXPECT_DOUBLE_EQ(label_text_size(1, 0.5), 0.06);
  EXPECT_DOUBLE_EQ(label_text_size(200, 0.5), (1.0 / (201 * 1.1) + 0.001) * 5);
  EXPECT_LT(label_text_size(400, 0.5), label_text_size(200, 0.5));
}

TEST(MapLayout, SampleIntervalThinsDrawnFrames) {
  FrameThinner t;
  std::vector<int> drawn;
  for (int cycle = 1; cycle <= 18; ++cycle)
    if (t.next(2)) drawn.push_back(cycle);
  EXPECT_EQ(drawn, (std::vector<int>{6, 12, 18}));
  FrameThinner every;
  for (int cycle = 0; cycle < 5; ++cycle) EXPECT_TRUE(every.next(1));
  for (int cycle = 0; cycle < 5; ++cycle) EXPECT_TRUE(every.next(0.5));
  FrameThinner three;
  int n = 0;
  for (int cycle = 1; cycle <= 33; ++cycle) n += three.next(3.9) ? 1 : 0;
  EXPECT_EQ(n, 3);  // every 11th cycle
}

TEST(MapLayout, FullViewKeepsTheAspectInTallAndWideWindows) {
  ViewRect wide = full_view(800, 400);
  EXPECT_DOUBLE_EQ(wide.top, 1.3);
  EXPECT_DOUBLE_EQ(wide.right, 2.6);
  EXPECT_DOUBLE_EQ(wide.left, -2.6);
  ViewRect tall = full_view(400, 800);
  EXPECT_DOUBLE_EQ(tall.right, 1.3);
  EXPECT_DOUBLE_EQ(tall.top, 2.6);
  EXPECT_EQ(aspect_percent(800, 400), 200);
  EXPECT_EQ(aspect_percent(400, 800), 50);
  EXPECT_EQ(aspect_percent(500, 500), 100);
  // The zoom thumbnail's full rectangle gives the same view as a size change.
  EXPECT_EQ(zoom_view(0, 0, 100, 100, 400, 800), tall);
  EXPECT_EQ(zoom_view(0, 0, 100, 100, 800, 400), wide);
  ViewRect z = zoom_view(25, 25, 75, 75, 800, 400);
  EXPECT_DOUBLE_EQ(z.left, -0.65);
  EXPECT_DOUBLE_EQ(z.right, 0.65);
  EXPECT_DOUBLE_EQ(z.bottom, -0.65);
  EXPECT_DOUBLE_EQ(z.top, 0.65);
}

TEST(MapLayout, DomainLabels) {
  EXPECT_EQ(domain_label_of(std::string("www.example.org")), ".example.org");
  EXPECT_EQ(domain_label_of(std::string("gateway")), "");
  EXPECT_EQ(domain_label_of(std::string("a.")), ".");
}

}  // namespace
}  // namespace tarnix::ui
