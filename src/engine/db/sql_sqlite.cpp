// SQLite behind the statement interface.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "db/sql.h"
#include "os/files.h"

namespace tarnix {

TimestampRecord TimestampRecord::from_time(std::int64_t seconds, std::uint32_t nanoseconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  TimestampRecord r;
  r.year = static_cast<std::int16_t>(tm.tm_year + 1900);
  r.month = static_cast<std::uint16_t>(tm.tm_mon + 1);
  r.day = static_cast<std::uint16_t>(tm.tm_mday);
  r.hour = static_cast<std::uint16_t>(tm.tm_hour);
  r.minute = static_cast<std::uint16_t>(tm.tm_min);
  r.second = static_cast<std::uint16_t>(tm.tm_sec);
  r.fraction = nanoseconds;
  return r;
}

TimestampRecord TimestampRecord::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  return from_time(ns / 1000000000, static_cast<std::uint32_t>(ns % 1000000000));
}

std::string TimestampRecord::text() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%06u", year, month, day, hour, minute, second,
                fraction / 1000u);
  return buf;
}

bool TimestampRecord::parse(std::string_view text) {
  // sscanf needs a terminated copy; the form is short.
  char buf[40];
  if (text.size() >= sizeof buf) return false;
  text.copy(buf, text.size());
  buf[text.size()] = '\0';
  int y = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0, us = 0;
  int used = 0;
  int n = std::sscanf(buf, "%d-%u-%u %u:%u:%u%n", &y, &mo, &d, &h, &mi, &s, &used);
  if (n != 6) return false;
  if (buf[used] == '.') {
    // Servers write as many digits as the fraction needs (".5" is half a
    // second), so the digits read are scaled to microseconds.
    int more = 0;
    if (std::sscanf(buf + used, ".%6u%n", &us, &more) != 1) return false;
    for (int digits = more - 1; digits < 6; ++digits) us *= 10;
    used += more;
  }
  if (buf[used] != '\0') return false;
  *this = TimestampRecord{static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(mo),
                          static_cast<std::uint16_t>(d),
                          static_cast<std::uint16_t>(h),
                          static_cast<std::uint16_t>(mi),
                          static_cast<std::uint16_t>(s),
                          us * 1000u};
  return true;
}

TimestampRecord Statement::column_timestamp(int column) const {
  TimestampRecord r;
  r.parse(column_text(column));
  return r;
}

namespace {

Status sqlite_status(sqlite3* db, int rc) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return Status();
  return Status::error(rc, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

class SqliteStatement final : public Statement {
 public:
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~SqliteStatement() override { sqlite3_finalize(stmt_); }

  Status bind_int(int index, std::int64_t value) override {
    return sqlite_status(db_, sqlite3_bind_int64(stmt_, index, value));
  }
  Status bind_double(int index, double value) override {
    return sqlite_status(db_, sqlite3_bind_double(stmt_, index, value));
  }
  Status bind_text(int index, std::string_view value) override {
    // An empty view may have no data pointer; bind a real empty text then,
    // never NULL.
    const char* data = value.data() != nullptr ? value.data() : "";
    return sqlite_status(
        db_, sqlite3_bind_text64(stmt_, index, data, value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  Status bind_null(int index) override { return sqlite_status(db_, sqlite3_bind_null(stmt_, index)); }

  StepResult step() override {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return StepResult::kRow;
    if (rc == SQLITE_DONE) return StepResult::kDone;
    last_ = sqlite_status(db_, rc);
    return StepResult::kError;
  }
  void reset() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    last_ = Status();
  }
  Status status() const override { return last_; }

  bool column_is_null(int column) const override {
    return sqlite3_column_type(stmt_, column - 1) == SQLITE_NULL;
  }
  std::int64_t column_int64(int column) const override { return sqlite3_column_int64(stmt_, column - 1); }
  double column_double(int column) const override { return sqlite3_column_double(stmt_, column - 1); }
  std::string_view column_text(int column) const override {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column - 1));
    if (p == nullptr) return {};
    return {p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column - 1))};
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_;
  Status last_;
};

class SqliteConnection final : public Connection {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) {}
  ~SqliteConnection() override {
    savepoint_.reset();
    release_.reset();
    rollback_to_.reset();
    sqlite3_close_v2(db_);
  }

  std::unique_ptr<Statement> prepare(std::string_view sql, Status* status) override {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK || stmt == nullptr) {
      if (status != nullptr)
        *status = rc != SQLITE_OK ? sqlite_status(db_, rc) : Status::error(SQLITE_MISUSE, "empty statement");
      sqlite3_finalize(stmt);
      return nullptr;
    }
    if (status != nullptr) *status = Status();
    return std::make_unique<SqliteStatement>(db_, stmt);
  }

  Status exec(std::string_view sql) override {
    std::string text(sql);
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err);
    Status s;
    if (rc != SQLITE_OK) s = Status::error(rc, err != nullptr ? err : sqlite3_errstr(rc));
    sqlite3_free(err);
    return s;
  }

  Status savepoint() override { return run_cached(savepoint_, "SAVEPOINT tarnix_sp"); }
  Status release_savepoint() override { return run_cached(release_, "RELEASE tarnix_sp"); }
  Status rollback_to_savepoint() override { return run_cached(rollback_to_, "ROLLBACK TO tarnix_sp"); }

  std::int64_t last_insert_id() override { return sqlite3_last_insert_rowid(db_); }
  bool in_transaction() override { return sqlite3_get_autocommit(db_) == 0; }

 private:
  Status run_cached(std::unique_ptr<Statement>& st, const char* sql) {
    if (!st) {
      Status s;
      st = prepare(sql, &s);
      if (!st) return s;
    }
    StepResult r = st->step();
    Status s = r == StepResult::kError ? st->status() : Status();
    st->reset();
    return s;
  }

  sqlite3* db_;
  std::unique_ptr<Statement> savepoint_, release_, rollback_to_;
};

}  // namespace

std::unique_ptr<Connection> sqlite_open(const std::string& path, const SqliteOptions& options,
                                        Status* status) {
  // Memory statistics take a global lock on every allocation; nothing reads
  // them. Only possible before the library's first use, so it may not apply
  // when another part of the process opened SQLite first.
  static std::once_flag configured;
  std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  if (options.create && !options.read_only && path != ":memory:" && !path.empty() && path.rfind("file:", 0) != 0) {
    // SQLite makes its files 0644 less the umask, and gives the journal, WAL
    // and shared-memory files the mode of the database file: made here
    // first, all of them are the user's alone.
    os::ensure_private_file(path);
  }
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_NOMUTEX;  // one connection per thread: no locking inside
  flags |= options.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  if (options.create && !options.read_only) flags |= SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    if (status != nullptr) *status = sqlite_status(db, rc);
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, options.busy_timeout_ms);
  sqlite3_extended_result_codes(db, 1);
  auto conn = std::make_unique<SqliteConnection>(db);
  // Readers (windows, reports) keep reading while the store writes; commits
  // do not sync, checkpoints (rarer than the default) do. Savepoint journals
  // stay in memory, and the cache holds a whole batch so nothing spills
  // mid-way.
  Status s = conn->exec("PRAGMA temp_store=MEMORY; PRAGMA cache_size=-32768;");
  if (s.ok() && !options.read_only)
    s = conn->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=8000;");
  if (s.ok()) s = conn->exec("PRAGMA foreign_keys=OFF;");
  if (!s.ok()) {
    if (status != nullptr) *status = s;
    return nullptr;
  }
  if (status != nullptr) *status = Status();
  return conn;
}

}  // namespace tarnix
