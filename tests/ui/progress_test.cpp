#include "ui/monitor/progress.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QPointer>
#include <QProgressBar>
#include <thread>

namespace tarnix::ui {
namespace {

QProgressBar* bar_of(Progress* p) {
  QWidget* w = progress_window(p);
  return w ? w->findChild<QProgressBar*>() : nullptr;
}

TEST(Progress, WindowOwnedByMainWindowWithCaptionPlaceAndBar) {
  QMainWindow main;
  Progress* p = progress_create(kProgressX, kProgressY, kProgressW, kProgressH, 10, 1, 0, "Pruning URLs");
  QWidget* w = progress_window(p);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->parentWidget(), &main);
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(w->windowType(), Qt::Tool);
  EXPECT_EQ(w->windowTitle(), "Pruning URLs");
  EXPECT_EQ(w->geometry(), QRect(5, 44, 295, 40));
  ASSERT_NE(bar_of(p), nullptr);
  EXPECT_EQ(bar_of(p)->geometry(), w->rect());
  QPointer<QWidget> gone = w;
  progress_destroy(p);
  EXPECT_TRUE(gone.isNull());
}

TEST(Progress, RangeStepsAndStart) {
  struct Case {
    int range, step, start, steps, want;
  };
  const Case cases[] = {
      {10, 1, 0, 3, 3},     // plain counting
      {100, 5, 20, 4, 40},  // step size and start position
      {4, 3, 0, 5, 4},      // more steps than announced stops at the end
      {10, 1, 15, 0, 10},   // a start past the range is the end
  };
  for (const Case& c : cases) {
    Progress* p = progress_create(0, 0, 100, 20, c.range, c.step, c.start, "t");
    for (int i = 0; i < c.steps; ++i) progress_step(p);
    QProgressBar* bar = bar_of(p);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), c.range);
    EXPECT_EQ(bar->value(), c.want) << c.range << "/" << c.step << "/" << c.start;
    progress_destroy(p);
  }
}

TEST(Progress, WorkerCallsArriveInOrderWithoutWaitingForTheGui) {
  Progress* p = nullptr;
  std::thread worker([&] {
    p = progress_create(0, 0, 100, 20, 50, 2, 0, "worker");
    for (int i = 0; i < 10; ++i) progress_step(p);
    progress_set_range(p, 30);
    progress_step(p);
  });
  worker.join();  // finished before the GUI thread ran any of it
  EXPECT_EQ(progress_window(p), nullptr);
  QCoreApplication::processEvents();
  QProgressBar* bar = bar_of(p);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->maximum(), 30);
  EXPECT_EQ(bar->value(), 22);
  QPointer<QWidget> w = progress_window(p);
  std::thread([p] { progress_destroy(p); }).join();
  QCoreApplication::processEvents();
  EXPECT_TRUE(w.isNull());
}

}  // namespace
}  // namespace tarnix::ui
