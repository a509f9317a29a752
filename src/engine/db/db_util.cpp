#include "db/db_util.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "core/paths.h"
#include "db/pg_server.h"
#include "os/files.h"

namespace tarnix {

void StderrDbStartupUi::beep() {
  std::fputs("db_connect: retrying\n", stderr);
}

void StderrDbStartupUi::error(const char* title, const char* message) {
  std::fprintf(stderr, "%s: %s\n", title, message);
}

void StderrDbStartupUi::wait_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string db_default_dir() {
  return user_data_dir();
}

std::string db_file_path(const DbConfig& config) {
  if (!config.connect.empty()) return db_pg_locator(config.connect);
  if (!config.server_dir.empty())
    return db_pg_locator(pg_private_conninfo(config.server_dir, config.server_port));
  std::filesystem::path dir =
      config.dbpath.empty() ? std::filesystem::path(".") : std::filesystem::path(config.dbpath);
  return (dir / kDbFileName).string();
}

std::string db_describe(const DbConfig& config) {
  if (!config.connect.empty()) return "PostgreSQL server " + config.connect;
  if (!config.server_dir.empty())
    return "PostgreSQL server of its own in " + std::filesystem::absolute(config.server_dir).string();
  return "SQLite file " + db_file_path(config);
}

bool db_start_server(const DbConfig& config, DbStartupUi& ui) {
  if (!config.connect.empty()) return true;  // someone else's server
  if (!config.server_dir.empty()) {
    const std::string bin = pg_find_bin(config.server_bin);
    std::string why = "PostgreSQL programs (initdb, pg_ctl) not found";
    if (bin.empty() || !pg_server_start(config.server_dir, bin, config.server_port, &why)) {
      std::fprintf(stderr, "db_start_server: %s\n", why.c_str());
      ui.error(kDbErrorTitle, kDbStartFailed);
      return false;
    }
    return true;
  }
  std::filesystem::path dir =
      config.dbpath.empty() ? std::filesystem::path(".") : std::filesystem::path(config.dbpath);
  std::string why;
  const bool usable =
      os::make_private_dirs(dir.string(), &why) && ::access(dir.c_str(), R_OK | W_OK | X_OK) == 0;
  if (!usable) {
    if (why.empty()) why = "no permission to write in it";
    std::fprintf(stderr, "db_start_server: cannot use database folder %s: %s\n", dir.c_str(), why.c_str());
    ui.error(kDbErrorTitle, kDbStartFailed);
    return false;
  }
  return true;
}

std::unique_ptr<DbSession> db_connect(const DbConfig& config, DbStartupUi& ui, const HostCache* names) {
  const std::string path = db_file_path(config);
  const bool own_server = config.connect.empty() && !config.server_dir.empty();
  if (own_server) {
    // The server was only launched: give it time to come up, no longer than
    // it needs.
    constexpr int kPoll = 100;
    const std::string ping = pg_private_conninfo(config.server_dir, config.server_port, "postgres");
    for (int waited = 0; waited < config.start_wait_ms && !pg_server_ready(ping); waited += kPoll)
      std::this_thread::sleep_for(std::chrono::milliseconds(kPoll));
  }
  Status status;
  // Checked once, before the first write: a damaged file is refused with the
  // way to recover it, and waiting would not mend it.
  if (!db_is_pg_locator(path)) {
    status = sqlite_check(path);
    if (status.code() == kDbDamaged) {
      std::fprintf(stderr, "db_connect: %s\n", status.message().c_str());
      ui.error(kDbErrorTitle, kDbConnectFailed);
      return nullptr;
    }
  }
  auto attempt = [&] {
    if (own_server) {
      std::string why;
      if (!pg_ensure_database(config.server_dir, config.server_port, &why)) {
        status = Status::error(1, why);
        return std::unique_ptr<DbSession>();
      }
    }
    return db_open_session(path, names, &status);
  };
  auto session = attempt();
  // A file we may not write stays so however long we wait.
  for (int retry = 0; !session && status.code() != kDbReadOnly && retry < config.retries; ++retry) {
    std::fprintf(stderr, "db_connect: %s: %s\n", path.c_str(), status.message().c_str());
    ui.beep();
    ui.wait_ms(config.retry_wait_ms);
    session = attempt();
  }
  if (!session) {
    std::fprintf(stderr, "db_connect: %s: %s\n", path.c_str(), status.message().c_str());
    ui.error(kDbErrorTitle, kDbConnectFailed);
  }
  return session;
}

void db_stop_server(const DbConfig& config) {
  if (!config.connect.empty() || config.server_dir.empty()) return;
  if (!pg_server_stop(config.server_dir, pg_find_bin(config.server_bin)))
    std::fprintf(stderr, "db_stop_server: the server in %s did not stop\n", config.server_dir.c_str());
}

std::int64_t db_shutdown(std::unique_ptr<DbSession> session, int prune_days) {
  if (!session) return 0;
  std::int64_t pruned = 0;
  if (prune_days != 0) {
    TimestampRecord cutoff;
    db_cutoff(prune_days, &cutoff);
    pruned = db_prune(*session, cutoff);
  }
  session.reset();
  return pruned;
}

}  // namespace tarnix
