#include "app/startup.h"

namespace tarnix::app {

int run_startup(StartupSteps& steps, Messenger& messenger) {
  auto stop = [&](const QString& text, const QString& title) {
    messenger.show({text, title, MessageIcon::Exclamation, {}});
    return kStartupFailed;
  };
  steps.read_settings();
  if (!steps.start_sockets()) return stop(kMsgWinsock, kErrorTitle);
  if (!steps.start_database()) return kStartupFailed;
  steps.set_up_address_types();
  steps.find_local_address();
  steps.read_local_mask();
  steps.record_start_time();
  if (!steps.start_sockets()) return stop(kMsgSocketsAgain, kPlainTitle);
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
  steps.free_palette();
  steps.prune_database();
  steps.disconnect_database();
  steps.stop_database_server();
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

namespace {

Message notice(const char* text) {
  return {QString::fromLatin1(text), kNoticeTitle, MessageIcon::Exclamation, {}};
}
Message stop_error(const char* text) {
  return {QString::fromLatin1(text), kErrorTitle, MessageIcon::Stop, {}};
}

}  // namespace

AdapterChoice choose_startup_adapter(TrafficModel& model, const std::vector<Device>& devices, int setting,
                                     const OpenFn& open, const ChooseFn& choose, Messenger& messenger) {
  AdapterChoice r;
  const int count = int(devices.size());
  const QString program = qEnvironmentVariable("TARNIX_PROGRAM_PATH");
  Message failed{QString::fromLatin1(kMsgSelectionFailed), kErrorTitle, MessageIcon::Exclamation, {}};
  if (count == 0) {
    failed.detail = QStringLiteral("The capture library lists no adapter.");
    messenger.show(failed);
    return r;
  }
  int index = setting;
  if (index < 0 || index >= count) {
    messenger.show(notice(kMsgDefaultInvalidIndex));
    index = 0;
  } else if (devices[std::size_t(index)].status < 0) {
    messenger.show(stop_error(kMsgDefaultInvalid));
    index = 0;
  } else if (devices[std::size_t(index)].status > 0) {
    messenger.show(stop_error(kMsgDefaultUnsupported));
  }
  r.net = net_find(model, devices[std::size_t(index)].name);
  net_set_current(model, r.net);
  QString reason;
  r.source = open(index, reason);
  QString last_reason = reason;
  if (!r.source) {
    Message m = notice(kMsgCouldNotOpenDefault);
    m.detail = open_failure_detail(reason, program);
    messenger.show(m);
    int chosen = choose(index);
    if (chosen < 0 || chosen >= count) chosen = index;
    index = chosen;
    if (devices[std::size_t(index)].status < 0) {
      messenger.show(stop_error(kMsgDefaultInvalid));
      index = 0;
      last_reason.clear();
    } else {
      r.net = net_find(model, devices[std::size_t(index)].name);
      net_set_current(model, r.net);
      reason.clear();
      r.source = open(index, reason);
      last_reason = reason;
    }
  }
  if (!r.source) {
    failed.detail = open_failure_detail(last_reason, program);
    messenger.show(failed);
  }
  r.index = index;
  return r;
}

}  // namespace tarnix::app
