#include "ui/db_startup.h"

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <thread>

#include "db/db_store.h"

namespace tarnix::ui {

void BoxDbStartupUi::beep() {
  QApplication::beep();
}

void BoxDbStartupUi::error(const char* title, const char* message) {
  m_.show({QString::fromUtf8(message), QString::fromUtf8(title), app::MessageIcon::Exclamation, {}});
}

void BoxDbStartupUi::wait_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DbConfig desktop_db_config(const QString& dbpath, const QString& connect, bool own_server,
                           const QString& sensor) {
  DbConfig config;
  config.dbpath = dbpath.toStdString();
  config.connect = connect.trimmed().toStdString();
  if (config.connect.empty() && own_server)
    config.server_dir =
        (std::filesystem::path(config.dbpath.empty() ? "." : config.dbpath) / "pgdata").string();
  if (!sensor.trimmed().isEmpty()) db_set_sensor_name(sensor.trimmed().toStdString());
  return config;
}

}  // namespace tarnix::ui
