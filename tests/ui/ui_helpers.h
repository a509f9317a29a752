// Small helpers for widget tests.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "ui/map_view.h"
#include "ui/runtime.h"

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

// The Qt warnings printed while one lives.
class WarningCatcher {
 public:
  WarningCatcher() {
    caught().clear();
    previous_ = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      // The offscreen platform's notes on what it cannot do are no fault.
      if (type != QtDebugMsg && type != QtInfoMsg &&
          !text.startsWith(QLatin1String("This plugin does not support")))
        caught() << text;
    });
  }
  ~WarningCatcher() { qInstallMessageHandler(previous_); }
  WarningCatcher(const WarningCatcher&) = delete;
  WarningCatcher& operator=(const WarningCatcher&) = delete;
  static QStringList& caught() {
    static QStringList list;
    return list;
  }

 private:
  QtMessageHandler previous_;
};

// Points the data and configuration folders into `home`. QSettings keeps the
// first configuration folder it saw, so it is pointed there as well.
inline void use_home(const QTemporaryDir& home) {
  qputenv("XDG_DATA_HOME", home.filePath("data").toLocal8Bit());
  qputenv("XDG_CONFIG_HOME", home.filePath("config").toLocal8Bit());
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("config"));
}

// Lets the map's paints pace the capture until the source ends or
// `timeout_ms` pass; true when it ended.
inline bool play_to_end(DesktopRuntime& rt, int timeout_ms) {
  QElapsedTimer t;
  t.start();
  while (!rt.source_ended() && t.elapsed() < timeout_ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    rt.map_window()->update();
  }
  return rt.source_ended();
}

}  // namespace tarnix::ui::testing
