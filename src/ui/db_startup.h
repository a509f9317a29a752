// The database as the desktop program opens it: which one its settings name,
// and the start-up messages shown in boxes.
#pragma once

#include <QString>

#include "app/messages.h"
#include "db/db_util.h"

namespace tarnix::ui {

// An empty `connect` and no `own_server` keep the SQLite file in `dbpath`;
// `own_server` runs a PostgreSQL server with its data in `dbpath`/pgdata;
// `connect` names a server shared with other sensors. `sensor` names this
// one (empty: the host name).
DbConfig desktop_db_config(const QString& dbpath, const QString& connect, bool own_server,
                           const QString& sensor);

// Retries beep; "Couldn't start database" / "Failed to connect to DB
// server" come in message boxes.
class BoxDbStartupUi final : public DbStartupUi {
 public:
  explicit BoxDbStartupUi(app::Messenger& m) : m_(m) {}
  void beep() override;
  void error(const char* title, const char* message) override;
  void wait_ms(int ms) override;

 private:
  app::Messenger& m_;
};

}  // namespace tarnix::ui
