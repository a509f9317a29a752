#include "app/startup.h"

namespace tarnix::app {

int run_startup(StartupSteps& steps, Messenger& messenger) {
  auto stop = [&](const QString& text, const QString& title) {
    messenger.show({text, title, MessageIcon::Exclamation, {}});
    return kStartupFailed;
  };
  steps.read_settings();
  if (!steps.start_database()) return kStartupFailed;
  steps.find_local_address();
  steps.read_local_mask();
  steps.record_start_time();
  if (!steps.open_adapter()) return kStartupFailed;
  steps.set_up_names_and_alarms();
  if (!steps.parse_protocols()) return stop(kMsgTreeEmpty, kErrorTitle);
  steps.load_alarms();
  return steps.create_main_window();
}

void run_shutdown(ShutdownSteps& steps) {
  steps.stop_capture();
  steps.close_capture();
  steps.destroy_windows();
  steps.write_focus_file();
  steps.prune_database();
  steps.disconnect_database();
  steps.save_settings();
}

bool is_permission_problem(const QString& reason) {
  return reason.contains(QLatin1String("ermission"), Qt::CaseInsensitive) ||
         reason.contains(QLatin1String("not permitted"), Qt::CaseInsensitive) ||
         reason.contains(QLatin1String("EPERM")) || reason.contains(QLatin1String("EACCES"));
}

QString open_failure_detail(const QString& reason, const QString& program_path) {
  QString d = reason;
  if (is_permission_problem(reason)) {
    if (!d.isEmpty()) d += QStringLiteral("\n\n");
    d += QStringLiteral(
             "Capturing needs the raw-socket rights. Run as root, or grant them to the program once:\n"
             "sudo setcap cap_net_raw,cap_net_admin=eip ") +
         (program_path.isEmpty() ? QStringLiteral("/path/to/tarnix") : program_path);
  }
  return d;
}

Message adapter_message(const AdapterMessage& m) {
  const bool notice = m.kind == AdapterMessage::kNotification;
  const QString text = QString::fromStdString(m.text);
  // The two notices and "Selection failed" carry the exclamation icon, the
  // other errors the stop icon.
  const bool exclamation = notice || text == QLatin1String(kMsgSelectionFailed);
  return {
      text, QString::fromStdString(m.title), exclamation ? MessageIcon::Exclamation : MessageIcon::Stop, {}};
}

AdapterChoice choose_startup_adapter(TrafficModel& model, const std::vector<Device>& devices, int setting,
                                     const OpenFn& open, const ChooseFn& choose, Messenger& messenger) {
  const QString program = qEnvironmentVariable("TARNIX_PROGRAM_PATH");
  AdapterStartup s = startup_adapter(
      model, devices, setting,
      [&](int i, std::string& reason) {
        QString why;
        auto source = open(i, why);
        reason = why.toStdString();
        return source;
      },
      choose,
      [&](const AdapterMessage& m, const std::string& reason) {
        Message shown = adapter_message(m);
        if (!reason.empty()) shown.detail = open_failure_detail(QString::fromStdString(reason), program);
        messenger.show(shown);
      });
  AdapterChoice r;
  r.index = s.index;
  r.source = std::move(s.source);
  r.net = s.net;
  return r;
}

}  // namespace tarnix::app
