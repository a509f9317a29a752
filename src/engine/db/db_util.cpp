#include "db/db_util.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "core/paths.h"
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

std::string db_default_dir() { return user_data_dir(); }

std::string db_file_path(const DbConfig& config) {
  std::filesystem::path dir =
      config.dbpath.empty() ? std::filesystem::path(".") : std::filesystem::path(config.dbpath);
  return (dir / kDbFileName).string();
}

bool db_start_server(const DbConfig& config, DbStartupUi& ui) {
  std::filesystem::path dir =
      config.dbpath.empty() ? std::filesystem::path(".") : std::filesystem::path(config.dbpath);
  std::string why;
  const bool usable = os::make_private_dirs(dir.string(), &why) && ::access(dir.c_str(), R_OK | W_OK | X_OK) == 0;
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
  Status status;
  auto session = db_open_session(path, names, &status);
  for (int retry = 0; !session && retry < config.retries; ++retry) {
    std::fprintf(stderr, "db_connect: %s: %s\n", path.c_str(), status.message().c_str());
    ui.beep();
    ui.wait_ms(config.retry_wait_ms);
    session = db_open_session(path, names, &status);
  }
  if (!session) {
    std::fprintf(stderr, "db_connect: %s: %s\n", path.c_str(), status.message().c_str());
    ui.error(kDbErrorTitle, kDbConnectFailed);
  }
  return session;
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
