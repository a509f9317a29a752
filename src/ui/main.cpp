// The Tarnix desktop program.
#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <utility>

#include "app/startup.h"
#include "core/alloc.h"
#include "os/rights.h"
#include "ui/about_dialog.h"
#include "ui/main_window.h"
#include "ui/runtime.h"

namespace {

int g_signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  const char c = 1;
  [[maybe_unused]] ssize_t r = write(g_signal_pipe[1], &c, 1);
}

// An interrupt, a termination or a hang-up (a logout) closes the main window
// as File > Quit does, so the settings and the focus file are saved and the
// database is closed in order; a handler can do nothing of that itself, so it
// only wakes the event loop.
void close_on_stop_signals(QWidget* window) {
  if (window == nullptr || pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
    char buf[16];
    while (read(g_signal_pipe[0], buf, sizeof buf) > 0) {
    }
    window->close();
  });
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  tarnix::install_alloc_failure_handler();
  // Before any thread exists: the capture rights stay permitted, for the
  // adapter dialog's switches, but are effective only while an adapter opens.
  const tarnix::os::StartRights rights = tarnix::os::lower_rights_at_start();
  if (!rights.ok && rights.capture_rights)
    std::fputs("tarnix: warning: cannot lower the capture capabilities\n", stderr);
  // The command line is read before any window system is asked for, so that
  // --help, --version and a mistyped option are answered without a display.
  tarnix::ui::RuntimeOptions options;
  {
    QCoreApplication plain(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnix"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNIX_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tarnix: live map of the traffic on an Ethernet segment"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption read({QStringLiteral("r"), QStringLiteral("read")},
                            QStringLiteral("Play a capture file instead of a live adapter."),
                            QStringLiteral("file"));
    QCommandLineOption speed(
        QStringLiteral("replay-speed"),
        QStringLiteral("With --read: 1 plays at the recorded speed, 0 as fast as possible."),
        QStringLiteral("factor"), QStringLiteral("1"));
    parser.addOption(read);
    parser.addOption(speed);
    // Qt's own options (-style Fusion, -platform xcb, ...) are taken by the
    // application object made below; here they are only let through. They
    // are written with one dash, so one-dash words are read as long options.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const std::pair<const char*, bool> qt_options[] = {
        {"style", true},           {"stylesheet", true},
        {"platform", true},        {"platformpluginpath", true},
        {"platformtheme", true},   {"plugin", true},
        {"qwindowgeometry", true}, {"qwindowicon", true},
        {"qwindowtitle", true},    {"session", true},
        {"display", true},         {"geometry", true},
        {"widgetcount", false},    {"reverse", false},
    };
    for (const auto& [name, takes_value] : qt_options) {
      QCommandLineOption o(QString::fromLatin1(name), QString(),
                           takes_value ? QStringLiteral("value") : QString());
      o.setFlags(QCommandLineOption::HiddenFromHelp);
      parser.addOption(o);
    }
    parser.process(plain);  // prints and exits for --help, --version and errors
    options.capture_file = parser.value(read);
    options.replay_speed = parser.value(speed).toDouble();
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fprintf(stderr,
                 "tarnix: no display found (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                 "tarnix: run the headless program instead: tarnix-cli --help\n");
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnix"));
  QApplication::setOrganizationName(QStringLiteral("Halvard Software"));
  QApplication::setApplicationVersion(QStringLiteral(TARNIX_VERSION));
  QApplication::setWindowIcon(QIcon(QPixmap::fromImage(tarnix::ui::emblem_image(64))));

  qputenv("TARNIX_PROGRAM_PATH", QCoreApplication::applicationFilePath().toLocal8Bit());

  tarnix::ui::BoxMessenger messenger;
  tarnix::ui::DesktopRuntime runtime(messenger, options);
  const int status = tarnix::app::run_startup(runtime, messenger);
  if (status != 0) return status;
  close_on_stop_signals(runtime.main_window());
  return app.exec();
}
