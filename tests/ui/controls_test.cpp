#include "ui/controls.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>

namespace tarnix::ui {
namespace {

struct ControlsTest : ::testing::Test {
  app::Settings s;
  void SetUp() override {
    s.node_scale = 0.9;
    s.link_scale = 0.5;
    s.max_node_radius = 0.25;
    s.max_link_width = 5;
    s.node_timeout = 10;
    s.link_timeout = 5;
    s.font_size = 1.0;
    s.net_size = 40.0;
    s.sample_interval = 3.7;
  }
};

TEST_F(ControlsTest, BarsStartFromTheSettingsUnderTheirLabels) {
  // 0.57 and 0.58 are a hair under their hundredths in a double.
  s.link_scale = 0.57;
  s.font_size = 0.58;
  Controls c(s);
  const int expected[kControlBars] = {90, 57, 25, 5, 10, 5, 58, 40, 3};
  for (int i = 0; i < kControlBars; ++i) EXPECT_EQ(c.position(i), expected[i]) << i;
  c.resize(110, 280);
  c.show();
  EXPECT_LT(c.bar(0)->geometry().bottom(), c.label(0)->geometry().top() + 1);
  EXPECT_LT(c.label(7)->geometry().bottom(), c.bar(8)->geometry().top() + 1);
  // In a column narrower than "Update Frequency" at full size, every label
  // still shows whole.
  c.resize(95, 280);
  for (int i = 0; i < kControlBars; ++i)
    EXPECT_LE(QFontMetrics(c.label(i)->font()).horizontalAdvance(c.label(i)->text()), c.label(i)->width())
        << i;
}

TEST_F(ControlsTest, EachBarShowsItsValueWithItsUnitAndMovesByKeyboard) {
  Controls c(s);
  struct Case {
    int bar;
    const char* shown;
  } cases[] = {{0, "0.90"}, {3, "5 px"}, {4, "10 s"}, {7, "40"}, {8, "1 in 11"}};
  for (const Case& k : cases) EXPECT_EQ(c.value(k.bar)->text(), k.shown) << k.bar;
  EXPECT_FALSE(c.bar(3)->toolTip().isEmpty());
  c.resize(110, 280);
  c.show();
  c.bar(3)->setFocus();
  QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
  QApplication::sendEvent(c.bar(3), &right);
  EXPECT_EQ(s.max_link_width.get(), 6);
  EXPECT_EQ(c.value(3)->text(), "6 px");
}

TEST_F(ControlsTest, StepsPagesAndTheTimeOutCoupling) {
  Controls c(s);
  c.bar(3)->triggerAction(QAbstractSlider::SliderSingleStepSub);
  EXPECT_EQ(s.max_link_width, 4);
  c.bar(0)->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ(c.position(0), 100);
  EXPECT_DOUBLE_EQ(s.node_scale, 1.0);
  c.bar(8)->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_DOUBLE_EQ(s.sample_interval, 28.0);

  c.bar(5)->setValue(30);
  EXPECT_EQ(s.link_timeout, 30);
  EXPECT_EQ(s.node_timeout, 30);
  c.bar(4)->setValue(20);
  EXPECT_EQ(s.node_timeout, 30);
  c.bar(5)->setValue(8);
  EXPECT_EQ(s.node_timeout, 20);
}

TEST_F(ControlsTest, DraggedThumbChangesNothingUntilReleased) {
  Controls c(s);
  c.bar(1)->setSliderDown(true);
  c.bar(1)->setSliderPosition(80);
  EXPECT_DOUBLE_EQ(s.link_scale, 0.5);
  c.bar(1)->setSliderDown(false);
  EXPECT_DOUBLE_EQ(s.link_scale, 0.8);
}

}  // namespace
}  // namespace tarnix::ui
