// Small helpers for widget tests.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace tarnix::ui::testing {

// Runs `fn` on the next modal dialog that opens (from inside its event loop).
inline void on_next_modal(std::function<void(QWidget*)> fn, int tries = 200) {
  QTimer::singleShot(10, [fn, tries] {
    QWidget* w = QApplication::activeModalWidget();
    if (w) {
      fn(w);
    } else if (tries > 0) {
      on_next_modal(fn, tries - 1);
    }
  });
}

}  // namespace tarnix::ui::testing
