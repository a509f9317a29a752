#include "ui/zoom.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <array>
#include <vector>

namespace tarnix::ui {
namespace {

struct ZoomTest : ::testing::Test {
  ZoomImage image;
  std::vector<std::array<int, 4>> posted;
  void SetUp() override {
    image.resize(100, 100);
    image.show();
    image.set_zoom_listener([this](int l, int t, int r, int b) { posted.push_back({l, t, r, b}); });
    image.set_aspect(150);
  }
  void mouse(QEvent::Type type, Qt::MouseButton button, QPoint at) {
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent e(type, QPointF(at), image.mapToGlobal(QPointF(at)),
                  type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QApplication::sendEvent(&image, &e);
  }
  std::array<int, 4> zoom_edges() const {
    const QRect z = image.zoom_rect();
    return {z.left(), z.top(), z.right(), z.bottom()};
  }
  void drag(Qt::MouseButton b, QPoint from, QPoint to) {
    mouse(QEvent::MouseButtonPress, b, from);
    mouse(QEvent::MouseMove, b, to);
    mouse(QEvent::MouseButtonRelease, b, to);
  }
};

TEST_F(ZoomTest, BandTakesTheMapShapeAndClicksToggle) {
  drag(Qt::LeftButton, {10, 10}, {40, 70});
  EXPECT_TRUE(image.zoomed());
  EXPECT_EQ(zoom_edges(), (std::array<int, 4>{10, 10, 40, 30}));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0], zoom_edges());

  drag(Qt::LeftButton, {60, 60}, {62, 90});  // within 4 columns: a click
  EXPECT_FALSE(image.zoomed());
  EXPECT_EQ(posted.back(), (std::array<int, 4>{0, 0, 100, 100}));
  drag(Qt::LeftButton, {5, 5}, {5, 5});
  EXPECT_TRUE(image.zoomed());
  EXPECT_EQ(posted.back(), (std::array<int, 4>{10, 10, 40, 30}));

  // Right-drag moves the rectangle, stopped at the edge with its size kept.
  drag(Qt::RightButton, {20, 20}, {90, 20});
  EXPECT_EQ(zoom_edges(), (std::array<int, 4>{70, 10, 100, 30}));
  EXPECT_EQ(posted.back(), zoom_edges());

  // A map resize cancels the zoom but a click brings it back.
  image.set_aspect(80);
  EXPECT_FALSE(image.zoomed());
  drag(Qt::LeftButton, {5, 5}, {5, 5});
  EXPECT_TRUE(image.zoomed());
  EXPECT_EQ(image.zoom_rect().left(), 70);
}

TEST_F(ZoomTest, TallMapNarrowsTheBandAndMarksReachTheScreen) {
  image.set_aspect(50);
  drag(Qt::LeftButton, {40, 20}, {10, 80});  // dragged up-left: ordered first
  EXPECT_EQ(zoom_edges(), (std::array<int, 4>{10, 20, 40, 80}));

  image.mark_group(0, 0, 0.65, 1.3);  // centre, diameter half the width
  image.refresh();
  QApplication::processEvents();
  const QImage shot = image.grab().toImage();
  int outline = 0;
  for (int x = 23; x <= 27; ++x) outline = std::max(outline, QColor(shot.pixel(x, 50)).lightness());
  EXPECT_EQ(outline, 255);
  EXPECT_EQ(QColor(shot.pixel(50, 50)).lightness(), 0);
}

}  // namespace
}  // namespace tarnix::ui
