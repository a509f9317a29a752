#include "ui/monitor/progress.h"

#include <algorithm>

#include <QApplication>
#include <QMainWindow>
#include <QPointer>
#include <QProgressBar>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>

namespace tarnix::ui {

// Touched only on the GUI thread; the worker holds nothing but the pointer.
struct Progress {
  QPointer<QWidget> window;
  // Both go with the main window if it closes first.
  QPointer<QProgressBar> bar;
  int step = 1;
};

namespace {

// Runs `fn` on the GUI thread: at once when already there (so a GUI caller
// sees the window straight away), else posted behind the earlier calls.
template <typename Fn>
void on_gui(Fn fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  if (QThread::currentThread() == app->thread())
    fn();
  else
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

QWidget* main_window() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = qobject_cast<QMainWindow*>(w)) return m;
  return nullptr;
}

// A job that steps more often than it announced stops at the end rather than
// wrapping or resetting the bar.
void advance(Progress* p, int by) {
  if (!p->bar) return;
  const int v = std::clamp(p->bar->value() + by, p->bar->minimum(), p->bar->maximum());
  p->bar->setValue(v);
}

}  // namespace

Progress* progress_create(int x, int y, int w, int h, int range, int step, int start, const QString& title) {
  auto* p = new Progress;
  on_gui([p, x, y, w, h, range, step, start, title] {
    auto* win = new QWidget(main_window(), Qt::Tool | Qt::WindowStaysOnTopHint);
    win->setObjectName(QStringLiteral("PROGRESS"));
    win->setAttribute(Qt::WA_DeleteOnClose, false);
    win->setWindowTitle(title);
    auto* lay = new QVBoxLayout(win);
    lay->setContentsMargins(0, 0, 0, 0);
    auto* bar = new QProgressBar(win);
    bar->setObjectName(QStringLiteral("progress_bar"));
    bar->setTextVisible(false);
    bar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    lay->addWidget(bar);
    win->setGeometry(x, y, w, h);
    win->show();
    p->window = win;
    p->bar = bar;
    p->step = step;
    bar->setRange(0, std::max(0, range));
    bar->setValue(std::clamp(start, 0, std::max(0, range)));
  });
  return p;
}

void progress_step(Progress* p) {
  if (!p) return;
  on_gui([p] { advance(p, p->step); });
}

void progress_destroy(Progress* p) {
  if (!p) return;
  on_gui([p] {
    delete p->window.data();
    delete p;
  });
}

void progress_set_range(Progress* p, int range) {
  if (!p) return;
  on_gui([p, range] {
    if (p->bar) p->bar->setRange(0, std::max(0, range));
  });
}

void progress_set_position(Progress* p, int position) {
  if (!p) return;
  on_gui([p, position] {
    if (p->bar) p->bar->setValue(std::clamp(position, p->bar->minimum(), p->bar->maximum()));
  });
}

void progress_set_step(Progress* p, int step) {
  if (!p) return;
  on_gui([p, step] { p->step = step; });
}

void progress_set_text(Progress* p, const QString& text) {
  if (!p) return;
  on_gui([p, text] {
    if (!p->bar) return;
    p->bar->setFormat(text);
    p->bar->setTextVisible(!text.isEmpty());
  });
}

QWidget* progress_window(Progress* p) { return p ? p->window.data() : nullptr; }

}  // namespace tarnix::ui
