// PostgreSQL behind the statement interface, through libpq.
//
// Statements are prepared on the server once and run with their values sent
// apart from the text, all in text form: the server infers each parameter's
// type from where it stands, so the same catalogue texts serve both engines.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/sql.h"

namespace tarnix {

namespace {

constexpr int kPgError = 1;

// The server's own warnings (a crash or an administrator ending the
// connection) would reach standard error as bare "WARNING: ..." lines that
// no one can tell apart from another program's: said as ours, on one line.
void pg_notice(void*, const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::fprintf(stderr, "db: the database server says: %s\n", text.c_str());
}

// Every writer's transaction takes this lock first: writers of several
// sensors take turns instead of locking rows in opposite orders.
constexpr const char kWriterLock[] = "SELECT pg_advisory_xact_lock(7468097)";

Status pg_result_status(PGconn* conn, const PGresult* res) {
  const ExecStatusType st = res != nullptr ? PQresultStatus(res) : PGRES_FATAL_ERROR;
  if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK || st == PGRES_EMPTY_QUERY) return Status();
  std::string msg = res != nullptr ? PQresultErrorMessage(res) : PQerrorMessage(conn);
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
  if (msg.empty()) msg = "database server error";
  return Status::error(kPgError, msg);
}

// '?' placeholders become $1, $2, ...; quoted texts and names are copied as
// they are.
std::string numbered_parameters(std::string_view sql, int& count) {
  std::string out;
  out.reserve(sql.size() + 16);
  count = 0;
  char quote = 0;
  for (char ch : sql) {
    if (quote != 0) {
      if (ch == quote) quote = 0;
      out += ch;
    } else if (ch == '\'' || ch == '"') {
      quote = ch;
      out += ch;
    } else if (ch == '?') {
      out += '$' + std::to_string(++count);
    } else {
      out += ch;
    }
  }
  return out;
}

// The server's connection, shared by the statements made on it: a
// statement kept past its connection (a window's query, after the link was
// reopened) ends without touching freed memory.
struct PgHandle {
  PGconn* conn;
  explicit PgHandle(PGconn* c) : conn(c) {}
  ~PgHandle() { PQfinish(conn); }
  PgHandle(const PgHandle&) = delete;
  PgHandle& operator=(const PgHandle&) = delete;
};

class PgStatement final : public Statement {
 public:
  PgStatement(std::shared_ptr<PgHandle> handle, std::string name, int params)
      : handle_(std::move(handle)),
        conn_(handle_->conn),
        name_(std::move(name)),
        params_(static_cast<std::size_t>(params)) {}
  ~PgStatement() override {
    clear_result();
    // A statement left behind after a failed transaction only costs the
    // server a little memory until the connection ends; a broken link has
    // nothing left to free.
    if (PQstatus(conn_) != CONNECTION_OK) return;
    PGresult* r = PQexec(conn_, ("DEALLOCATE " + name_).c_str());
    PQclear(r);
  }

  Status bind_int(int index, std::int64_t value) override { return set(index, std::to_string(value)); }
  Status bind_double(int index, double value) override {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return set(index, buf);
  }
  // Text parameters end at a NUL byte: libpq sends them as C strings.
  Status bind_text(int index, std::string_view value) override { return set(index, std::string(value)); }
  Status bind_null(int index) override {
    if (index < 1 || index > static_cast<int>(params_.size())) return out_of_range(index);
    params_[static_cast<std::size_t>(index - 1)].reset();
    return Status();
  }

  StepResult step() override {
    if (!executed_) {
      executed_ = true;
      std::vector<const char*> values(params_.size(), nullptr);
      for (std::size_t i = 0; i < params_.size(); ++i)
        if (params_[i]) values[i] = params_[i]->c_str();
      result_ = PQexecPrepared(conn_, name_.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                               nullptr, 0);
      last_ = pg_result_status(conn_, result_);
      if (!last_.ok()) return StepResult::kError;
      row_ = 0;
    } else if (result_ != nullptr) {
      ++row_;
    }
    if (result_ == nullptr || PQresultStatus(result_) != PGRES_TUPLES_OK) return StepResult::kDone;
    return row_ < PQntuples(result_) ? StepResult::kRow : StepResult::kDone;
  }
  void reset() override {
    clear_result();
    for (auto& p : params_) p.reset();
    executed_ = false;
    last_ = Status();
  }
  Status status() const override { return last_; }

  bool column_is_null(int column) const override {
    return !has(column) || PQgetisnull(result_, row_, column - 1) != 0;
  }
  std::int64_t column_int64(int column) const override {
    if (column_is_null(column)) return 0;
    return std::strtoll(PQgetvalue(result_, row_, column - 1), nullptr, 10);
  }
  double column_double(int column) const override {
    if (column_is_null(column)) return 0;
    return std::strtod(PQgetvalue(result_, row_, column - 1), nullptr);
  }
  std::string_view column_text(int column) const override {
    if (column_is_null(column)) return {};
    return {PQgetvalue(result_, row_, column - 1),
            static_cast<std::size_t>(PQgetlength(result_, row_, column - 1))};
  }

 private:
  bool has(int column) const {
    return result_ != nullptr && PQresultStatus(result_) == PGRES_TUPLES_OK && row_ >= 0 &&
           row_ < PQntuples(result_) && column >= 1 && column <= PQnfields(result_);
  }
  Status out_of_range(int index) const {
    return Status::error(kPgError, "parameter " + std::to_string(index) + " out of range");
  }
  Status set(int index, std::string value) {
    if (index < 1 || index > static_cast<int>(params_.size())) return out_of_range(index);
    params_[static_cast<std::size_t>(index - 1)] = std::move(value);
    return Status();
  }
  void clear_result() {
    PQclear(result_);
    result_ = nullptr;
    row_ = -1;
  }

  std::shared_ptr<PgHandle> handle_;
  PGconn* conn_;
  std::string name_;
  std::vector<std::optional<std::string>> params_;
  PGresult* result_ = nullptr;
  int row_ = -1;
  bool executed_ = false;
  Status last_;
};

class PgConnection final : public Connection {
 public:
  explicit PgConnection(PGconn* conn) : handle_(std::make_shared<PgHandle>(conn)), conn_(conn) {}
  ~PgConnection() override { cached_.clear(); }

  SqlDialect dialect() const override { return SqlDialect::kPostgres; }
  bool broken() const override { return PQstatus(conn_) == CONNECTION_BAD; }

  std::unique_ptr<Statement> prepare(std::string_view sql, Status* status) override {
    int params = 0;
    const std::string text = numbered_parameters(sql, params);
    const std::string name = "tx" + std::to_string(++serial_);
    PGresult* r = PQprepare(conn_, name.c_str(), text.c_str(), 0, nullptr);
    Status s = pg_result_status(conn_, r);
    PQclear(r);
    if (status != nullptr) *status = s;
    if (!s.ok()) return nullptr;
    return std::make_unique<PgStatement>(handle_, name, params);
  }

  Status exec(std::string_view sql) override {
    PGresult* r = PQexec(conn_, std::string(sql).c_str());
    Status s = pg_result_status(conn_, r);
    PQclear(r);
    return s;
  }

  Status copy_in(std::string_view sql, std::string_view data) override {
    PGresult* r = PQexec(conn_, std::string(sql).c_str());
    if (PQresultStatus(r) != PGRES_COPY_IN) {
      Status s = pg_result_status(conn_, r);
      PQclear(r);
      return s.ok() ? Status::error(kPgError, "server did not take the rows") : s;
    }
    PQclear(r);
    bool sent = true;
    constexpr std::size_t kPiece = 1 << 20;
    for (std::size_t at = 0; sent && at < data.size(); at += kPiece) {
      const std::size_t n = std::min(kPiece, data.size() - at);
      sent = PQputCopyData(conn_, data.data() + at, static_cast<int>(n)) == 1;
    }
    PQputCopyEnd(conn_, sent ? nullptr : "rows not sent");
    Status s;
    while ((r = PQgetResult(conn_)) != nullptr) {
      if (s.ok()) s = pg_result_status(conn_, r);
      PQclear(r);
    }
    return s;
  }

  Status begin() override {
    Status s = exec("BEGIN");
    if (s.ok()) s = exec(kWriterLock);
    if (!s.ok() && in_transaction()) exec("ROLLBACK");
    return s;
  }

  Status savepoint() override { return exec("SAVEPOINT tarnix_sp"); }
  Status release_savepoint() override { return exec("RELEASE tarnix_sp"); }
  Status rollback_to_savepoint() override { return exec("ROLLBACK TO tarnix_sp"); }

  std::int64_t last_insert_id() override {
    // lastval() of a session that has not used a sequence is an error, which
    // inside a transaction would spoil it: a savepoint keeps that contained.
    const bool nested = in_transaction();
    if (nested && !savepoint().ok()) return 0;
    std::int64_t id = 0;
    auto& st = cached_["lastval"];
    if (!st) st = prepare("SELECT lastval()", nullptr);
    if (st) {
      if (st->step() == StepResult::kRow) id = st->column_int64(1);
      const bool failed = !st->status().ok();
      st->reset();
      if (nested) {
        if (failed) rollback_to_savepoint();
        release_savepoint();
      }
    } else if (nested) {
      rollback_to_savepoint();
      release_savepoint();
    }
    return id;
  }
  bool in_transaction() override { return PQtransactionStatus(conn_) != PQTRANS_IDLE; }

 private:
  std::shared_ptr<PgHandle> handle_;
  PGconn* conn_;
  long serial_ = 0;
  std::unordered_map<std::string, std::unique_ptr<Statement>> cached_;
};

}  // namespace

std::unique_ptr<Connection> pg_open(const std::string& conninfo, Status* status) {
  PGconn* conn = PQconnectdb(conninfo.c_str());
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    std::string msg = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    if (status != nullptr) *status = Status::error(kPgError, msg);
    PQfinish(conn);
    return nullptr;
  }
  PQsetNoticeProcessor(conn, pg_notice, nullptr);
  auto c = std::make_unique<PgConnection>(conn);
  // Timestamps travel as text in the form TimestampRecord writes and reads;
  // notices (such as "already exists, skipping") are of no use to anyone.
  Status s = c->exec("SET DateStyle = 'ISO, YMD'; SET client_min_messages = warning");
  if (status != nullptr) *status = s;
  if (!s.ok()) return nullptr;
  return c;
}

namespace {
constexpr std::string_view kPgPrefix = "pg:";
bool starts_with(const std::string& s, std::string_view p) {
  return s.compare(0, p.size(), p) == 0;
}
}  // namespace

std::string db_pg_locator(const std::string& conninfo) {
  if (starts_with(conninfo, "postgresql://") || starts_with(conninfo, "postgres://")) return conninfo;
  return std::string(kPgPrefix) + conninfo;
}

bool db_is_pg_locator(const std::string& locator) {
  return starts_with(locator, kPgPrefix) || starts_with(locator, "postgresql://") ||
         starts_with(locator, "postgres://");
}

std::unique_ptr<Connection> db_open_connection(const std::string& locator, Status* status) {
  if (!db_is_pg_locator(locator)) return sqlite_open(locator, SqliteOptions{}, status);
  return pg_open(starts_with(locator, kPgPrefix) ? locator.substr(kPgPrefix.size()) : locator, status);
}

}  // namespace tarnix
