// SQLite behind the statement interface.
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <sys/stat.h>

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

// Checkpoints from the writer's commit. A passive checkpoint once the WAL
// passes its mark, as SQLite's own would; when a reader has kept those from
// finishing and the WAL has grown to twice its mark, one that waits a moment
// for the readers (they only ever run short queries) and cuts the file
// back, so the WAL stays near its mark however long the run.
struct WalLimit {
  int pages = 8000;
  int busy_timeout_ms = 10000;
  // The WAL size at which the next waiting checkpoint is tried: one that
  // found a reader still in the way is not tried again before the WAL has
  // grown by another mark, so a long reader costs the writer a short wait
  // now and then, not one at every commit.
  int next_wait = 0;
};

int wal_hook(void* ctx, sqlite3* db, const char* name, int pages) {
  auto* limit = static_cast<WalLimit*>(ctx);
  if (pages < limit->pages) return SQLITE_OK;
  int log = 0, done = 0;
  sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, &log, &done);
  if (done >= log) {
    limit->next_wait = 0;
    return SQLITE_OK;
  }
  if (pages >= std::max(2 * limit->pages, limit->next_wait)) {
    sqlite3_busy_timeout(db, 100);
    const int rc = sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(db, limit->busy_timeout_ms);
    limit->next_wait = rc == SQLITE_OK ? 0 : pages + limit->pages;
  }
  return SQLITE_OK;
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

  void limit_wal(int pages, int busy_timeout_ms) {
    wal_ = WalLimit{pages, busy_timeout_ms};
    sqlite3_wal_hook(db_, wal_hook, &wal_);
  }

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
  WalLimit wal_;
};

}  // namespace

namespace {

int stop_when_due(void* deadline) {
  return std::chrono::steady_clock::now() >= *static_cast<std::chrono::steady_clock::time_point*>(deadline)
             ? 1
             : 0;
}

// A damaged file is refused before a single byte is written into it: the
// writes would land on pages whose neighbours are already wrong, and the
// damage would spread. The check reads every page, so a huge file is only
// checked for as long as `ms` allows.
Status check_file(sqlite3* db, const std::string& path, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  sqlite3_progress_handler(db, 10000, stop_when_due, &deadline);
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(20)", -1, &st, nullptr);
  std::string problems;
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      const std::string text = line != nullptr ? line : "";
      if (text == "ok") continue;
      if (!problems.empty()) problems += "; ";
      for (char c : text) problems += c == '\n' ? ' ' : c;
    }
  }
  const int primary = rc & 0xff;
  sqlite3_finalize(st);
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  if (primary == SQLITE_INTERRUPT) {
    std::fprintf(stderr, "db: %s: integrity check cut short after %d ms; opened unchecked\n", path.c_str(),
                 ms);
    return Status();
  }
  // Not a database at all is the opening's to say; a file the check
  // cannot read (locked, no permission) is left to the opening too.
  if (primary == SQLITE_NOTADB) return sqlite_status(db, rc);
  if (primary == SQLITE_CANTOPEN || primary == SQLITE_PERM || primary == SQLITE_BUSY ||
      primary == SQLITE_LOCKED || primary == SQLITE_NOMEM || primary == SQLITE_IOERR)
    return Status();
  if (primary != SQLITE_DONE && primary != SQLITE_OK && problems.empty()) problems = sqlite3_errmsg(db);
  if (problems.empty()) return Status();
  return Status::error(kDbDamaged,
                       "database file " + path + " is damaged (" + problems +
                           "); it was not written to. Recover what it holds into a new file with: "
                           "sqlite3 " +
                           path + " \".recover\" | sqlite3 new.db  and use new.db in its place");
}

bool is_file(const std::string& path) {
  return !path.empty() && path != ":memory:" && path.rfind("file:", 0) != 0;
}

}  // namespace

Status sqlite_check(const std::string& path, int ms) {
  struct stat st {};
  if (!is_file(path) || ::stat(path.c_str(), &st) != 0 || st.st_size == 0) return Status();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  Status s = rc == SQLITE_OK ? check_file(db, path, ms) : Status();
  sqlite3_close_v2(db);
  return s;
}

std::unique_ptr<Connection> sqlite_open(const std::string& path, const SqliteOptions& options,
                                        Status* status) {
  // Memory statistics take a global lock on every allocation; nothing reads
  // them. Only possible before the library's first use, so it may not apply
  // when another part of the process opened SQLite first.
  static std::once_flag configured;
  std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  auto fail = [&](Status s) {
    if (status != nullptr) *status = std::move(s);
    return std::unique_ptr<Connection>();
  };
  if (options.create && !options.read_only && is_file(path)) {
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
    Status s = sqlite_status(db, rc);
    const int err = db != nullptr ? sqlite3_system_errno(db) : 0;
    sqlite3_close_v2(db);
    if ((rc & 0xff) == SQLITE_CANTOPEN && (err == EACCES || err == EPERM || err == EROFS))
      s = Status::error(kDbReadOnly, "database file " + path + " cannot be opened for writing (" +
                                         std::strerror(err) +
                                         "; check its owner and mode, and the folder's)");
    return fail(s);
  }
  sqlite3_busy_timeout(db, options.busy_timeout_ms);
  sqlite3_extended_result_codes(db, 1);
  auto conn = std::make_unique<SqliteConnection>(db);
  // A file we may not write is opened read-only without a word; every
  // request would then be lost at its commit. Said here, once, instead.
  if (!options.read_only && sqlite3_db_readonly(db, "main") == 1)
    return fail(Status::error(
        kDbReadOnly,
        "database file " + path + " cannot be written (check its owner and mode, and the folder's)"));
  // Readers (windows, reports) keep reading while the store writes; commits
  // do not sync, checkpoints do. Savepoint journals stay in memory, and the
  // cache holds a whole batch so nothing spills mid-way.
  Status s = conn->exec("PRAGMA temp_store=MEMORY; PRAGMA cache_size=-32768;");
  if (s.ok() && !options.read_only) {
    s = conn->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    if (s.ok()) {
      // A WAL cut back after a checkpoint is cut to its mark, not left at
      // the size of the largest batch it ever held.
      const std::string limit =
          "PRAGMA journal_size_limit=" + std::to_string(static_cast<long long>(options.wal_pages) * 4096) +
          ";";
      s = conn->exec(limit);
      conn->limit_wal(options.wal_pages, options.busy_timeout_ms);
    }
  }
  if (s.ok()) s = conn->exec("PRAGMA foreign_keys=OFF;");
  if (!s.ok()) {
    // A file that became unwritable, or a full disk, shows here first.
    if ((s.code() & 0xff) == SQLITE_READONLY || (s.code() & 0xff) == SQLITE_CANTOPEN)
      return fail(Status::error(kDbReadOnly, "database file " + path + " cannot be written: " + s.message()));
    return fail(s);
  }
  if (status != nullptr) *status = Status();
  return conn;
}

}  // namespace tarnix
