#include "ui/palette_editor.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QApplication>
#include <QMouseEvent>

namespace tarnix::ui {
namespace {

void click(QWidget* w) {
  QMouseEvent e(QEvent::MouseButtonPress, QPointF(3, 3), w->mapToGlobal(QPointF(3, 3)), Qt::LeftButton,
                Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

TEST(PaletteEditor, SliderChangesAreLiveAndSurviveCancel) {
  Palette colours{};
  colours[5] = 0x102030;  // red 0x30, green 0x20, blue 0x10
  int changes = 0;
  LivePalette live{&colours, [&] { ++changes; }};
  PaletteEditor editor(live, nullptr);
  editor.show();
  // Without a selected swatch the sliders change nothing.
  editor.slider(0)->setValue(10);
  EXPECT_EQ(changes, 0);

  click(editor.swatch(5));
  EXPECT_EQ(editor.selected(), 5);
  EXPECT_TRUE(editor.swatch(5)->marked());
  EXPECT_EQ(editor.slider(0)->value(), 255 - 0x30);
  EXPECT_EQ(editor.slider(2)->value(), 255 - 0x10);
  EXPECT_EQ(changes, 0);

  editor.slider(0)->setValue(55);
  EXPECT_EQ(colours[5], 0x1020c8u);  // red 200, the others kept
  editor.slider(1)->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ((colours[5] >> 8) & 0xff, 0x20u - 16);
  EXPECT_EQ(changes, 2);

  click(editor.swatch(32));
  EXPECT_FALSE(editor.swatch(5)->marked());
  editor.findChild<QPushButton*>(QStringLiteral("2"))->click();
  EXPECT_EQ(editor.result(), 2);
  EXPECT_EQ(colours[5] & 0xff, 200u);
}

}  // namespace
}  // namespace tarnix::ui
