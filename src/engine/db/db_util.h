// Opening and closing the database: the embedded file stands where a
// database server once stood, so "starting the server" makes sure its folder
// is there and "connecting" opens the file, with the same retries and
// messages.
#pragma once

#include <memory>
#include <string>

#include "db/db_store.h"

namespace tarnix {

inline constexpr const char kDbErrorTitle[] = "Tarnix Error";
inline constexpr const char kDbStartFailed[] = "Couldn't start database";
inline constexpr const char kDbConnectFailed[] = "Failed to connect to DB server";
// Exit status of the process after either message.
inline constexpr int kDbFatalExitStatus = -1;
inline constexpr const char kDbFileName[] = "tarnix.db";

// What start-up shows the user; the GUI maps it to message boxes and the
// default beep, the headless program to lines on the error stream.
class DbStartupUi {
 public:
  virtual ~DbStartupUi() = default;
  virtual void beep() = 0;
  // A fatal error: after it the caller ends with kDbFatalExitStatus.
  virtual void error(const char* title, const char* message) = 0;
  virtual void wait_ms(int ms) = 0;
};

// For the headless program: messages and beeps become lines on the error
// stream, waits are real.
class StderrDbStartupUi final : public DbStartupUi {
 public:
  void beep() override;
  void error(const char* title, const char* message) override;
  void wait_ms(int ms) override;
};

// The per-user data folder, $XDG_DATA_HOME/tarnix or ~/.local/share/tarnix,
// where the database lives unless "dbpath" or --db says otherwise.
std::string db_default_dir();

struct DbConfig {
  std::string dbpath;  // the folder ("dbpath"); created when missing
  int retries = 10;    // connection attempts after the first
  int retry_wait_ms = 3000;
  // A server shared with other sensors: a libpq connection string or URI.
  std::string connect;
  // A server of our own, with its data in this folder (made on first use).
  std::string server_dir;
  std::string server_bin;  // its programs' folder; empty: looked for
  int server_port = 5433;
  // After starting our own server: the longest wait for it to answer
  // before the first login.
  int start_wait_ms = 5000;
};

// Which database the configuration names: the SQLite file inside the folder,
// or a server's locator (see db_pg_locator).
std::string db_file_path(const DbConfig& config);
// What the user is told about it ("SQLite file ...", "PostgreSQL server ...").
std::string db_describe(const DbConfig& config);

// Makes sure the folder exists and can hold the database. On failure shows
// "Couldn't start database" and returns false.
bool db_start_server(const DbConfig& config, DbStartupUi& ui);

// Opens the file and brings its tables up to date, retrying (a beep and a
// wait before each retry) while it fails. On final failure shows "Failed to
// connect to DB server" and returns null. The session's connection belongs
// to the calling thread; others open their own with db_open_session.
std::unique_ptr<DbSession> db_connect(const DbConfig& config, DbStartupUi& ui,
                                      const HostCache* names = nullptr);

// Stops a server that db_start_server started; nothing for a file or a
// shared server.
void db_stop_server(const DbConfig& config);

// Shut-down: prunes accesses older than `prune_days` days (0 keeps
// everything) and closes the session. Returns the accesses pruned.
std::int64_t db_shutdown(std::unique_ptr<DbSession> session, int prune_days);

}  // namespace tarnix
