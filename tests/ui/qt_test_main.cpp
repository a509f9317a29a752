// GoogleTest entry for tests that need a QApplication (offscreen platform).
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer, and its mutexes wait on futexes the
// sanitizer cannot see: every hand-over inside Qt (posted events, the raster
// engine's worker pool) would be reported as a race. Reports whose stacks
// pass through Qt are therefore left out; Tarnix's own sharing between the
// capture thread and the window goes through std::mutex and std::atomic.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\n"
         "race:libQt6Gui.so\n"
         "race:libQt6Widgets.so\n";
}
#endif

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Windows remember their places in the user's store: a test run writes to
  // a store of its own, so no run sees what an earlier one left.
  QTemporaryDir config;
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
