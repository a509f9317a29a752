#include "db/db_store.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <unordered_set>

#include <unistd.h>

#include "core/mutex.h"
#include "sniff/http.h"

namespace tarnix {

namespace {

// The statement catalogue. Every value is a bound parameter.
constexpr const char kUrlsFind[] =
    "SELECT url_id FROM urls WHERE urlpath = ? AND host = ? AND proto = ? AND port = ? AND vhost = ?";
constexpr const char kUrlsFindQualified[] =
    "SELECT url_id FROM urls WHERE urls.urlpath = ? AND urls.host = ? AND urls.proto = ? AND urls.port = ? "
    "AND urls.vhost = ?";
constexpr const char kUrlsExists[] = "SELECT url_id FROM urls WHERE url_id = ?";
// A URL that another sensor stored meanwhile is not stored again: no row
// comes back, and the caller takes the stored one.
constexpr const char kUrlsInsert[] =
    "INSERT INTO urls (host, port, proto, urlpath, ref_count, vhost) VALUES (?, ?, ?, ?, 0, ?) "
    "ON CONFLICT DO NOTHING RETURNING url_id";
constexpr const char kUrlsRefUp[] = "UPDATE urls SET ref_count = ref_count + 1 WHERE urls.url_id = ?";
constexpr const char kUrlsRefAdjust[] = "UPDATE urls SET ref_count = ref_count + ? WHERE url_id = ?";
constexpr const char kUrlsRefDown[] = "UPDATE urls SET ref_count = ref_count - 1 WHERE url_id = ?";
constexpr const char kUrlsDeleteUnreferenced[] = "DELETE FROM urls WHERE ref_count < 1";
constexpr const char kUrlPrunes[] = "SELECT n FROM url_prunes";
constexpr const char kUrlPrunesCount[] = "UPDATE url_prunes SET n = n + 1";
// URLs a writer keeps in memory at most (a few tens of MB).
constexpr std::size_t kUrlsKept = 200000;
constexpr const char kHistOldest[] = "SELECT min(recorded_at) FROM url_hist WHERE recorded_at < ?";
constexpr const char kUrlsText[] = "SELECT host, port, proto, urlpath, vhost FROM urls WHERE url_id = ?";
constexpr const char kUrlsByRefs[] =
    "SELECT url_id, host, port, proto, urlpath, ref_count, vhost FROM urls ORDER BY 6 DESC";
constexpr const char kUrlsAll[] = "SELECT url_id, host, port, proto, urlpath, 0, vhost FROM urls";

constexpr const char kHistInsert[] =
    "INSERT INTO url_hist (url_id, hostname_used, client, server, ts, cached, method, referer, sensor, "
    "recorded_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING url_hist_id";
constexpr const char kHistByUrl[] =
    "SELECT url_hist_id, hostname_used, client, server, ts, cached, method, referer FROM url_hist "
    "WHERE url_id = ? AND ts > ?";
constexpr const char kHistByClient[] =
    "SELECT url_hist_id, url_id, hostname_used, server, ts, cached, method, referer FROM url_hist "
    "WHERE client = ? AND ts > ?";
constexpr const char kHistByServer[] =
    "SELECT url_hist_id, url_id, hostname_used, client, ts, cached, method, referer FROM url_hist "
    "WHERE server = ? AND ts > ?";
constexpr const char kHistOld[] = "SELECT url_id FROM url_hist WHERE recorded_at < ?";
constexpr const char kHistDeleteOld[] = "DELETE FROM url_hist WHERE recorded_at < ?";
constexpr const char kHistAll[] = "SELECT url_hist_id, url_id FROM url_hist";
constexpr const char kHistById[] =
    "SELECT url_id, hostname_used, client, server, ts, cached, method, referer FROM url_hist "
    "WHERE url_hist_id = ?";
// A host may have several rows in host_cache (names and addresses): each
// host id is counted once, under the first of its names (as
// db_host_cache_name reads it); ties go to the older host.
constexpr const char kTopClients[] =
    "SELECT (SELECT name FROM host_cache WHERE host_cache.host_id = url_hist.client LIMIT 1), count(*), "
    "client "
    "FROM url_hist WHERE client IN (SELECT host_id FROM host_cache) GROUP BY client ORDER BY 2 DESC, 3";
constexpr const char kTopServers[] =
    "SELECT (SELECT name FROM host_cache WHERE host_cache.host_id = url_hist.server LIMIT 1), count(*), "
    "server "
    "FROM url_hist WHERE server IN (SELECT host_id FROM host_cache) GROUP BY server ORDER BY 2 DESC, 3";
// Filterable forms of "select count(url_hist_id) from url_hist <condition>"
// and "select url_id from url_hist <condition>": a NULL parameter leaves
// its field unrestricted. The casts give a server the type of a parameter
// that may be NULL.
#define TARNIX_HIST_FILTER                                                                         \
  "WHERE (CAST(? AS TIMESTAMP) IS NULL OR ts > ?) AND (CAST(? AS TIMESTAMP) IS NULL OR ts < ?) "   \
  "AND (CAST(? AS INTEGER) IS NULL OR client = ?) AND (CAST(? AS INTEGER) IS NULL OR server = ?) " \
  "AND (CAST(? AS TEXT) IS NULL OR sensor = ?)"
constexpr const char kHistCountFiltered[] = "SELECT count(url_hist_id) FROM url_hist " TARNIX_HIST_FILTER;
constexpr const char kHistIdsFiltered[] =
    "SELECT url_hist_id, url_id FROM url_hist " TARNIX_HIST_FILTER " ORDER BY url_hist_id";
#undef TARNIX_HIST_FILTER

// The same lists over the accesses of one sensor.
constexpr const char kUrlsByRefsOfSensor[] =
    "SELECT urls.url_id, host, port, proto, urlpath, count(*), vhost FROM urls JOIN url_hist "
    "ON url_hist.url_id = urls.url_id WHERE sensor = ? GROUP BY urls.url_id, host, port, proto, urlpath, "
    "vhost "
    "ORDER BY 6 DESC, 1";
constexpr const char kTopClientsOfSensor[] =
    "SELECT (SELECT name FROM host_cache WHERE host_cache.host_id = url_hist.client LIMIT 1), count(*), "
    "client "
    "FROM url_hist WHERE sensor = ? AND client IN (SELECT host_id FROM host_cache) GROUP BY client "
    "ORDER BY 2 DESC, 3";
constexpr const char kTopServersOfSensor[] =
    "SELECT (SELECT name FROM host_cache WHERE host_cache.host_id = url_hist.server LIMIT 1), count(*), "
    "server "
    "FROM url_hist WHERE sensor = ? AND server IN (SELECT host_id FROM host_cache) GROUP BY server "
    "ORDER BY 2 DESC, 3";

constexpr const char kHostIdByNameAddr[] = "SELECT host_id FROM host_cache WHERE name = ? AND addr = ?";
constexpr const char kHostIdByName[] = "SELECT host_id FROM host_cache WHERE name = ?";
constexpr const char kHostName[] = "SELECT name FROM host_cache WHERE host_id = ?";
constexpr const char kHostAddr[] = "SELECT addr FROM host_cache WHERE host_id = ?";
constexpr const char kHostRefsByAddr[] = "SELECT ref_count FROM host_cache WHERE host_id = ? AND addr = ?";
constexpr const char kHostDeleteByAddr[] = "DELETE FROM host_cache WHERE host_id = ? AND addr = ?";
// A host's name rows that a new reply replaces: its IPv6 rows (an address
// with a ':') stay, as no IPv4 reply lists them.
constexpr const char kHostRefsByName[] =
    "SELECT ref_count FROM host_cache WHERE host_id = ? AND name = ? AND addr NOT LIKE '%:%'";
constexpr const char kHostDeleteByName[] =
    "DELETE FROM host_cache WHERE host_id = ? AND name = ? AND addr NOT LIKE '%:%'";
constexpr const char kHostMaxId[] = "SELECT max(host_id) FROM host_cache";
constexpr const char kHostRowAt[] = "SELECT 1 FROM host_cache WHERE host_id = ? AND addr = ?";
constexpr const char kHostRename[] = "UPDATE host_cache SET name = ? WHERE host_id = ? AND addr = ?";
// Sensors sharing a server draw host ids from its sequence.
constexpr const char kHostNextIdPg[] = "SELECT nextval('host_cache_ids')";
constexpr const char kHostInsert[] =
    "INSERT INTO host_cache (host_id, name, addr, added, ref_count) VALUES (?, ?, ?, ?, ?)";
constexpr const char kHostRefUp[] =
    "UPDATE host_cache SET ref_count = ref_count + 1 WHERE host_cache.host_id = ?";

constexpr const char kAlarmsAll[] =
    "SELECT alarm_id, object_type, kind, host1_id, host2_id, protocol, reserved, threshold, direction, unit, "
    "notify, disabled, url_id, sound_file, play_sound, command, run_command, reserved2, delivery FROM alarms "
    "ORDER BY alarm_id";
constexpr const char kAlarmsDelete[] = "DELETE FROM alarms";
constexpr const char kAlarmsInsert[] =
    "INSERT INTO alarms (object_type, kind, host1_id, host2_id, protocol, reserved, threshold, direction, "
    "unit, notify, disabled, url_id, sound_file, play_sound, command, run_command, reserved2, delivery) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

// A cached statement in use: reset (and its bindings cleared) when done.
class Use {
 public:
  Use(DbSession& s, const char* sql) : s_(s), st_(s.statement(sql)) {}
  ~Use() {
    if (st_ != nullptr) st_->reset();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  explicit operator bool() const { return st_ != nullptr; }
  Statement* operator->() { return st_; }
  Statement& operator*() { return *st_; }

  // One step: true for a row; an error is noted on the session.
  bool row() {
    StepResult r = st_->step();
    if (r == StepResult::kError) s_.note_error(st_->status());
    return r == StepResult::kRow;
  }
  // Runs a statement that returns no rows.
  Status run() {
    StepResult r = st_->step();
    if (r == StepResult::kError) {
      s_.note_error(st_->status());
      return st_->status();
    }
    return Status();
  }

 private:
  DbSession& s_;
  Statement* st_;
};

Status missing_statement(DbSession& s) {
  Status st = s.last_error().ok() ? Status::error(1, "statement could not be prepared") : s.last_error();
  return st;
}

std::string_view cut(std::string_view text, std::size_t max) {
  return text.substr(0, max);
}

std::string dotted(const NetAddress& a) {
  return netaddr_text(a);
}

std::string dotted(const std::array<std::uint8_t, 4>& bytes) {
  return netaddr_text(NetAddress::ipv4(bytes.data()));
}

}  // namespace

namespace {
Mutex sensor_mutex;
std::string& sensor_name() {
  static std::string name;
  return name;
}
}  // namespace

std::string db_sensor_name() {
  MutexLock lock(sensor_mutex);
  if (sensor_name().empty()) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
      sensor_name() = host;
    else
      sensor_name() = "localhost";
  }
  return sensor_name();
}

void db_set_sensor_name(std::string name) {
  MutexLock lock(sensor_mutex);
  sensor_name() = std::string(cut(name, kSensorColumn));
}

namespace {
std::optional<std::string>& view_sensor_name() {
  static std::optional<std::string> name;
  return name;
}
}  // namespace

std::optional<std::string> db_view_sensor() {
  MutexLock lock(sensor_mutex);
  return view_sensor_name();
}

void db_set_view_sensor(std::optional<std::string> name) {
  MutexLock lock(sensor_mutex);
  view_sensor_name() = std::move(name);
}

// ---- the session's writes, gathered per transaction

namespace {

// Multi-row forms of the batch's writes, for 1, 16 and 128 rows at a time:
// a batch takes as many of the big ones as it can, then the smaller, so a
// few prepared statements serve any number of rows.
constexpr std::size_t kChunks[] = {128, 16, 1};
constexpr int kHistColumns = 11;

std::string rows_sql(const char* head, const char* row, std::size_t n, const char* tail) {
  std::string out = head;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) out += ", ";
    out += row;
  }
  return out + tail;
}

struct ChunkTexts {
  std::string hist[3], url_refs[3], host_refs[3];
  // `or_fail` is SQLite's " OR FAIL": a statement that may stop half-way is
  // otherwise undone through a statement journal, which copies every page
  // the statement touches first (most of the cost of a multi-row write).
  // A failed statement fails its whole batch, which is rolled back and
  // kept anyway, so nothing needs undoing on its own.
  explicit ChunkTexts(const char* or_fail) {
    const std::string insert = std::string("INSERT") + or_fail + " INTO url_hist ";
    const std::string update = std::string("UPDATE") + or_fail + " ";
    for (int i = 0; i < 3; ++i) {
      hist[i] = rows_sql(
          (insert +
           "(url_hist_id, url_id, hostname_used, client, server, ts, cached, method, referer, sensor, "
           "recorded_at) VALUES ")
              .c_str(),
          "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", kChunks[i], "");
      // The casts give a server the type of each value in the list; both
      // engines name a list's columns column1, column2.
      url_refs[i] = rows_sql((update + "urls SET ref_count = urls.ref_count + v.column2 FROM (VALUES ").c_str(),
                             "(CAST(? AS INTEGER), CAST(? AS INTEGER))", kChunks[i],
                             ") AS v WHERE urls.url_id = v.column1");
      host_refs[i] = rows_sql(
          (update + "host_cache SET ref_count = host_cache.ref_count + v.column2 FROM (VALUES ").c_str(),
          "(CAST(? AS INTEGER), CAST(? AS INTEGER))", kChunks[i], ") AS v WHERE host_cache.host_id = v.column1");
    }
  }
};

const ChunkTexts& chunk_texts(SqlDialect dialect) {
  static const ChunkTexts sqlite(" OR FAIL"), server("");
  return dialect == SqlDialect::kSqlite ? sqlite : server;
}

// Access ids a server hands out ahead, in blocks: sequence values are never
// given twice, so ids left over from one transaction serve the next.
constexpr const char kHistIdsPg[] =
    "SELECT nextval(pg_get_serial_sequence('url_hist', 'url_hist_id')) FROM generate_series(1, ?)";
// Under the write lock no one else adds accesses: the next id is one past
// the highest ever handed out.
constexpr const char kHistNextIdSqlite[] =
    "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'url_hist'), 0), "
    "coalesce((SELECT max(url_hist_id) FROM url_hist), 0)) + 1";

}  // namespace

struct DbSession::Batch {
  struct Hist {
    std::int32_t id, url_id, client, server, referer;
    int cached, method;
    std::string hostname_used, ts;
  };
  bool open = false;  // a transaction begun through the session
  std::vector<Hist> hist;
  std::map<std::int32_t, std::int64_t> url_refs, host_refs;
  // URLs looked up or added, kept between transactions while no prune has
  // run (url_prunes.n stays `prunes`): only a prune removes URLs, and none
  // runs while a transaction holds the write lock. A transaction that does
  // not commit takes the URLs it added with it, so then all are forgotten.
  std::unordered_map<std::string, std::int32_t> urls;
  // URLs found missing in this transaction: the one who asked adds them
  // next, without asking again.
  std::unordered_set<std::string> absent;
  std::int64_t prunes = -1;
  bool prunes_checked = false;
  std::string recorded_at;  // one moment for the whole transaction
  // Access ids: SQLite's next one in this transaction (0: not read yet); a
  // server's, handed out ahead.
  std::int32_t next_id = 0;
  std::deque<std::int32_t> ids;

  void clear() {
    hist.clear();
    url_refs.clear();
    host_refs.clear();
    next_id = 0;
    prunes_checked = false;
    absent.clear();
  }
  void forget_urls() {
    urls.clear();
    absent.clear();
    prunes = -1;
  }
};

// The connection the session's callers see: begin and commit go through the
// session, which writes what it gathered before the commit, and reopens a
// server's connection that broke.
class DbSession::Link final : public Connection {
 public:
  explicit Link(DbSession& s) : s_(s) {}
  Connection& in() { return *s_.connection_; }

  SqlDialect dialect() const override { return s_.connection_->dialect(); }
  std::unique_ptr<Statement> prepare(std::string_view sql, Status* status) override {
    if (!s_.relink()) {
      if (status != nullptr) *status = down();
      return nullptr;
    }
    return in().prepare(sql, status);
  }
  Status exec(std::string_view sql) override {
    if (!s_.relink()) return down();
    return in().exec(sql);
  }
  std::int64_t last_insert_id() override { return in().last_insert_id(); }
  bool in_transaction() override { return in().in_transaction(); }
  Status savepoint() override { return in().savepoint(); }
  Status release_savepoint() override { return in().release_savepoint(); }
  Status rollback_to_savepoint() override {
    // A URL added inside the savepoint is gone with it.
    s_.batch_->forget_urls();
    return in().rollback_to_savepoint();
  }
  bool broken() const override { return s_.connection_->broken(); }
  Status copy_in(std::string_view sql, std::string_view data) override {
    if (!s_.relink()) return down();
    return in().copy_in(sql, data);
  }

  Status begin() override {
    if (!s_.relink()) return down();
    s_.batch_->clear();
    Status st = in().begin();
    s_.batch_->open = st.ok();
    if (st.ok())
      s_.batch_->recorded_at = s_.now().text();
    else
      s_.note_down(st);
    return st;
  }
  Status commit() override {
    Status st;
    if (s_.batch_->open) st = s_.flush();
    if (st.ok()) st = in().commit();
    end();
    if (!st.ok()) {
      s_.batch_->forget_urls();
      s_.note_error(st);
      s_.note_down(st);
      if (in().in_transaction()) in().rollback();
    }
    return st;
  }
  Status rollback() override {
    end();
    s_.batch_->forget_urls();
    return in().rollback();
  }

 private:
  void end() {
    s_.batch_->clear();
    s_.batch_->open = false;
  }
  Status down() const { return Status::error(kDbNoLink, "no connection to the database server"); }
  DbSession& s_;
};

DbSession::DbSession(std::unique_ptr<Connection> connection, const HostCache* names)
    : connection_(std::move(connection)),
      link_(std::make_unique<Link>(*this)),
      batch_(std::make_unique<Batch>()),
      names_(names) {}

DbSession::~DbSession() {
  // Prepared statements go before the connection they were made on.
  statements_.clear();
}

Connection& DbSession::connection() {
  return *link_;
}

DbSession::Batch* DbSession::batch() {
  return batch_->open ? batch_.get() : nullptr;
}

void DbSession::note_down(const Status& why) {
  if (down_ || !connection_->broken()) return;
  down_ = true;
  next_relink_ = std::chrono::steady_clock::now() + relink_wait_;
  // Said once; what fails until the connection is back is only counted.
  const std::string& text = why.message();
  const std::string first_line = text.substr(0, text.find('\n'));
  std::fprintf(stderr,
               "db: lost the connection to the database server (%s); reconnecting in the background\n",
               first_line.c_str());
}

bool DbSession::relink() {
  if (!connection_->broken()) return true;
  note_down(Status::error(kDbNoLink, "connection broken"));
  ++failed_while_down_;
  // Not in the middle of a transaction: what it did before the break is
  // gone, and what followed on a new connection would commit piecemeal
  // under it. Its commit fails; the next one reopens.
  if (batch_->open) return false;
  if (locator_.empty() || std::chrono::steady_clock::now() < next_relink_) return false;
  Status st;
  auto fresh = db_open_connection(locator_, &st);
  if (fresh) st = db_schema_create(*fresh);
  if (!fresh || !st.ok()) {
    relink_wait_ = std::min(relink_wait_ * 2, relink_most_);
    next_relink_ = std::chrono::steady_clock::now() + relink_wait_;
    return false;
  }
  statements_.clear();
  batch_->clear();
  batch_->open = false;
  batch_->ids.clear();
  batch_->forget_urls();
  connection_ = std::move(fresh);
  ++relinks_;
  std::fprintf(stderr, "db: connected to the database server again (%llu operations failed meanwhile)\n",
               static_cast<unsigned long long>(failed_while_down_));
  down_ = false;
  relink_wait_ = relink_first_;
  return true;
}

Statement* DbSession::statement(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    if (!connection_->broken()) return it->second.get();
  }
  if (!relink()) {
    note_error(Status::error(kDbNoLink, "no connection to the database server"));
    return nullptr;
  }
  it = statements_.find(sql);
  if (it != statements_.end()) return it->second.get();
  Status s;
  auto st = connection_->prepare(sql, &s);
  if (!st) {
    note_error(s);
    if (connection_->broken())
      note_down(s);
    else
      std::fprintf(stderr, "db: cannot prepare statement: %s\n", s.message().c_str());
    return nullptr;
  }
  Statement* raw = st.get();
  statements_.emplace(sql, std::move(st));
  return raw;
}

std::unique_ptr<DbSession> db_open_session(const std::string& path, const HostCache* names, Status* status) {
  Status s;
  auto c = db_open_connection(path, &s);
  if (c) s = db_schema_create(*c);
  if (status != nullptr) *status = s;
  if (!c || !s.ok()) return nullptr;
  auto session = std::make_unique<DbSession>(std::move(c), names);
  session->set_sensor(db_sensor_name());
  session->set_view_sensor(db_view_sensor());
  session->set_locator(path);
  return session;
}

namespace {

// Runs the rows of `n` items through the multi-row statements, biggest
// first. bind(statement, first parameter, item) binds one row.
template <class Items, class Bind>
Status write_rows(DbSession& s, const std::string (&texts)[3], const Items& items, int per_row, Bind bind) {
  auto it = items.begin();
  std::size_t left = items.size();
  for (int c = 0; c < 3; ++c) {
    while (left >= kChunks[c]) {
      Statement* st = s.statement(texts[c].c_str());
      if (st == nullptr) return missing_statement(s);
      for (std::size_t i = 0; i < kChunks[c]; ++i, ++it) bind(*st, static_cast<int>(i) * per_row + 1, *it);
      const StepResult r = st->step();
      Status result = r == StepResult::kError ? st->status() : Status();
      st->reset();
      if (!result.ok()) return result;
      left -= kChunks[c];
    }
  }
  return Status();
}

}  // namespace

namespace {

// A value in COPY's text form: backslash, tab and line ends escaped; a text
// ends at a NUL byte, as a bound parameter does.
void copy_text(std::string& out, std::string_view v) {
  for (char c : v) {
    switch (c) {
      case '\0':
        return;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

constexpr const char kHistCopy[] =
    "COPY url_hist (url_hist_id, url_id, hostname_used, client, server, ts, cached, method, referer, sensor, "
    "recorded_at) FROM STDIN";

}  // namespace

Status DbSession::flush() {
  Batch& b = *batch_;
  const ChunkTexts& t = chunk_texts(connection_->dialect());
  if (connection_->dialect() == SqlDialect::kPostgres && !b.hist.empty()) {
    // A server takes rows fastest as one stream.
    std::string data;
    data.reserve(b.hist.size() * 96);
    std::string sensor, recorded;
    copy_text(sensor, sensor_);
    copy_text(recorded, b.recorded_at);
    for (const Batch::Hist& h : b.hist) {
      data += std::to_string(h.id) + '\t' + std::to_string(h.url_id) + '\t';
      copy_text(data, h.hostname_used);
      data += '\t' + std::to_string(h.client) + '\t' + std::to_string(h.server) + '\t';
      copy_text(data, h.ts);
      data += '\t' + std::to_string(h.cached) + '\t' + std::to_string(h.method) + '\t' +
              std::to_string(h.referer) + '\t' + sensor + '\t' + recorded + '\n';
    }
    Status st = connection_->copy_in(kHistCopy, data);
    if (!st.ok()) return st;
    b.hist.clear();
  }
  // Rows in the order of their URL: the index by URL (the busiest) then
  // takes them a page at a time. Their ids were given in the order seen.
  std::sort(b.hist.begin(), b.hist.end(),
            [](const Batch::Hist& x, const Batch::Hist& y) { return x.url_id < y.url_id; });
  Status st = write_rows(*this, t.hist, b.hist, kHistColumns, [&](Statement& q, int i, const Batch::Hist& h) {
    q.bind_int(i, h.id);
    q.bind_int(i + 1, h.url_id);
    q.bind_text(i + 2, h.hostname_used);
    q.bind_int(i + 3, h.client);
    q.bind_int(i + 4, h.server);
    q.bind_text(i + 5, h.ts);
    q.bind_int(i + 6, h.cached);
    q.bind_int(i + 7, h.method);
    q.bind_int(i + 8, h.referer);
    q.bind_text(i + 9, sensor_);
    q.bind_text(i + 10, b.recorded_at);
  });
  auto bind_delta = [](Statement& q, int i, const std::pair<const std::int32_t, std::int64_t>& d) {
    q.bind_int(i, d.first);
    q.bind_int(i + 1, d.second);
  };
  if (st.ok()) st = write_rows(*this, t.url_refs, b.url_refs, 2, bind_delta);
  if (st.ok()) st = write_rows(*this, t.host_refs, b.host_refs, 2, bind_delta);
  return st;
}

std::string db_record_name(const HostCacheEntry& entry) {
  if (entry.host && !entry.host->name.empty()) return entry.host->name;
  return entry.name;
}

// ---- urls

std::string_view db_url_stored_path(std::string_view path) {
  return path.empty() ? std::string_view("/") : cut(path, kUrlPathColumn);
}

namespace {

std::string url_cache_key(const UrlKey& k) {
  std::string key =
      std::to_string(k.host_id) + ' ' + std::to_string(k.scheme) + ' ' + std::to_string(k.port) + ' ';
  key += k.vhost;
  key += '\0';
  key += db_url_stored_path(k.path);
  return key;
}

std::int32_t find_url(DbSession& s, const char* sql, const UrlKey& k) {
  if (k.host_id == 0) return 0;
  Use st(s, sql);
  if (!st) return 0;
  st->bind_text(1, db_url_stored_path(k.path));
  st->bind_int(2, k.host_id);
  st->bind_int(3, k.scheme);
  st->bind_int(4, k.port);
  st->bind_text(5, cut(k.vhost, kHostNameColumn));
  return st.row() ? st->column_int(1) : 0;
}

// Inserts the URL; 0 when another sensor stored it first (or on failure).
Status insert_url(DbSession& s, const UrlKey& k, std::int32_t& url_id) {
  Use ins(s, kUrlsInsert);
  if (!ins) return missing_statement(s);
  ins->bind_int(1, k.host_id);
  ins->bind_int(2, k.port);
  ins->bind_int(3, k.scheme);
  ins->bind_text(4, db_url_stored_path(k.path));
  ins->bind_text(5, cut(k.vhost, kHostNameColumn));
  if (ins.row()) url_id = ins->column_int(1);
  return ins->status();
}

std::uint16_t default_port(int scheme) {
  return scheme == kSchemeHttps ? 443 : 80;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

UrlKey db_url_key(std::int32_t host_id, const UrlParts& parts, const char* host_name) {
  UrlKey k;
  k.host_id = host_id;
  k.scheme = parts.scheme;
  k.path = parts.path;
  std::string_view name;
  if (parts.proxy != 0) {
    name = parts.host;
    k.port = parts.port;
  } else if (host_name != nullptr) {
    name = host_name;
    // "name:port", "[v6]:port"
    std::size_t colon = std::string_view::npos;
    if (!name.empty() && name.front() == '[') {
      const std::size_t close = name.find(']');
      if (close != std::string_view::npos && close + 1 < name.size() && name[close + 1] == ':')
        colon = close + 1;
    } else if (name.find(':') == name.rfind(':')) {
      colon = name.find(':');
    }
    if (colon != std::string_view::npos) {
      unsigned port = 0;
      const std::string_view digits = name.substr(colon + 1);
      bool ok = !digits.empty() && digits.size() <= 5;
      for (char c : digits) {
        ok = ok && c >= '0' && c <= '9';
        if (ok) port = port * 10 + static_cast<unsigned>(c - '0');
      }
      if (ok && port <= 65535) {
        k.port = static_cast<std::uint16_t>(port);
        name = name.substr(0, colon);
      }
    }
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  k.vhost = lower(cut(name, kHostNameColumn));
  // The scheme's own port is the same URL as no port at all.
  if (k.port == default_port(k.scheme)) k.port = 0;
  return k;
}

std::int32_t db_urls_find(DbSession& s, const UrlKey& key) {
  if (key.host_id == 0) return 0;
  DbSession::Batch* b = s.batch();
  if (b == nullptr) return find_url(s, kUrlsFind, key);
  if (!b->prunes_checked) {
    std::int64_t prunes = -2;
    Use st(s, kUrlPrunes);
    if (st && st.row()) prunes = st->column_int64(1);
    if (prunes != b->prunes || b->urls.size() > kUrlsKept) b->forget_urls();
    b->prunes = prunes;
    b->prunes_checked = true;
  }
  std::string cache_key = url_cache_key(key);
  if (auto it = b->urls.find(cache_key); it != b->urls.end()) return it->second;
  if (b->absent.count(cache_key) != 0) return 0;
  const std::int32_t id = find_url(s, kUrlsFind, key);
  if (id != 0)
    b->urls.emplace(std::move(cache_key), id);
  else
    b->absent.insert(std::move(cache_key));
  return id;
}

std::int32_t db_urls_add(DbSession& s, const UrlKey& key) {
  if (key.host_id == 0) return 0;
  // Most requests are for URLs already stored: they need no transaction.
  std::int32_t url_id = db_urls_find(s, key);
  if (url_id >= 1) return url_id;
  if (DbSession::Batch* b = s.batch()) {
    // The batch holds the write lock: no one adds this URL meanwhile but
    // another sensor on a shared server, whose row is then taken. The
    // server host's reference is counted in with the batch's others.
    Status st = insert_url(s, key, url_id);
    if (!st.ok()) return 0;
    if (url_id == 0) {
      url_id = find_url(s, kUrlsFind, key);
    } else {
      ++b->host_refs[key.host_id];
    }
    std::string cache_key = url_cache_key(key);
    b->absent.erase(cache_key);
    if (url_id != 0) b->urls.emplace(std::move(cache_key), url_id);
    return url_id;
  }
  Status result = with_transaction(s.connection(), [&]() -> Status {
    url_id = db_urls_find(s, key);
    if (url_id >= 1) return Status();
    Status st = insert_url(s, key, url_id);
    if (!st.ok()) return st;
    if (url_id == 0) {
      // Another sensor's row: its server host was counted by that sensor.
      url_id = db_urls_find(s, key);
      return url_id >= 1 ? Status() : Status::error(1, "URL neither stored nor found");
    }
    Use up(s, kHostRefUp);
    if (!up) return missing_statement(s);
    up->bind_int(1, key.host_id);
    return up.run();
  });
  return result.ok() ? url_id : 0;
}

std::int32_t db_urls_find(DbSession& s, std::int32_t host_id, std::string_view path, int scheme) {
  return db_urls_find(s, UrlKey{host_id, scheme, 0, {}, path});
}

std::int32_t db_urls_add(DbSession& s, std::int32_t host_id, std::string_view path, int scheme,
                         std::uint16_t port) {
  // As the recorder keys them: the scheme's own port is no port at all.
  return db_urls_add(
      s, UrlKey{host_id, scheme, port == default_port(scheme) ? std::uint16_t{0} : port, {}, path});
}

std::int32_t db_urls_find_for_host(DbSession& s, const HostCacheRequestDescriptor& host,
                                   std::string_view path, int scheme) {
  const std::string* name = host.name.empty() ? nullptr : &host.name;
  const NetAddress* address = host.address.type != nullptr ? &host.address : nullptr;
  std::int32_t id = db_host_cache_find_id(s, name, address);
  return find_url(s, kUrlsFindQualified, UrlKey{id, scheme, 0, {}, path});
}

namespace {

// The host named by the request, resolved first when the name cache does not
// know it (waiting at most `bound_ms`); its host id, or 0.
std::int32_t host_id_by_name(HostCache& names, const HostCacheRequestDescriptor* request, int bound_ms) {
  if (request == nullptr || request->kind != kHostcByName) return 0;
  if (HostCacheRef e = names.find_text(request->name)) return e->host_id;

  struct Wait {
    Mutex m;
    std::condition_variable cv;
    bool done GUARDED_BY(m) = false;
    HostCacheRef entry GUARDED_BY(m);
  };
  auto wait = std::make_shared<Wait>();
  names.request_text(request->name, [wait](const HostCacheRef& e) {
    MutexLock lock(wait->m);
    wait->entry = e;
    wait->done = true;
    wait->cv.notify_all();
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  MutexLock lock(wait->m);
  while (!wait->done && lock.wait_until(wait->cv, until) == std::cv_status::no_timeout) {
  }
  return wait->entry != nullptr ? wait->entry->host_id : 0;
}

}  // namespace

std::int32_t db_urls_add_by_name(DbSession& s, HostCache& names, const HostCacheRequestDescriptor* request,
                                 std::string_view path, int scheme, std::uint16_t port, int bound_ms) {
  const std::int32_t host_id = host_id_by_name(names, request, bound_ms);
  return host_id != 0 ? db_urls_add(s, host_id, path, scheme, port) : 0;
}

std::int32_t db_urls_add_by_name(DbSession& s, HostCache& names, const HostCacheRequestDescriptor* request,
                                 const UrlParts& parts, int bound_ms) {
  const std::int32_t host_id = host_id_by_name(names, request, bound_ms);
  return host_id != 0 ? db_urls_add(s, db_url_key(host_id, parts, nullptr)) : 0;
}

bool db_urls_exists(DbSession& s, std::int32_t url_id) {
  Use st(s, kUrlsExists);
  if (!st) return false;
  st->bind_int(1, url_id);
  return st.row();
}

Status db_urls_adjust_refs(DbSession& s, std::int32_t url_id, int delta) {
  return with_transaction(s.connection(), [&]() -> Status {
    Use st(s, kUrlsRefAdjust);
    if (!st) return missing_statement(s);
    st->bind_int(1, delta);
    st->bind_int(2, url_id);
    return st.run();
  });
}

namespace {

// The row of a URL for its text; 0 when no statement could be prepared, -1
// when there is no such URL, else 1.
int read_url_row(DbSession& s, std::int32_t url_id, UrlRow& row) {
  Use st(s, kUrlsText);
  if (!st) return 0;
  st->bind_int(1, url_id);
  if (!st.row()) return -1;
  row.url_id = url_id;
  row.host = st->column_int(1);
  row.port = st->column_int(2);
  row.proto = st->column_int(3);
  row.urlpath = std::string(cut(st->column_text(4), kUrlPathColumn));
  row.vhost = std::string(cut(st->column_text(5), kHostNameColumn));
  return 1;
}

}  // namespace

int db_url_text(DbSession& s, std::int32_t url_id, std::string& out) {
  out.clear();
  UrlRow row;
  const int got = read_url_row(s, url_id, row);
  if (got == 0) return 0;
  if (got == 1) out = db_url_text_of(s, row);
  return 1;
}

bool db_url_site(DbSession& s, std::int32_t url_id, UrlSite& out) {
  UrlRow row;
  if (url_id == 0 || read_url_row(s, url_id, row) != 1) return false;
  out.url_id = url_id;
  out.host_id = row.host;
  out.scheme = row.proto;
  out.port = static_cast<std::uint16_t>(row.port);
  out.path = row.urlpath;
  out.vhost = row.vhost;
  out.text = db_url_text_of(s, row);
  return true;
}

std::string db_url_text_of(DbSession& s, std::int32_t host_id, int port, int proto, std::string_view path) {
  UrlRow row;
  row.host = host_id;
  row.port = port;
  row.proto = proto;
  row.urlpath = std::string(path);
  return db_url_text_of(s, row);
}

std::string db_url_text_of(DbSession& s, const UrlRow& row) {
  std::string out = url_scheme_word(row.proto);
  std::string name = row.vhost;
  if ((!name.empty() || db_host_cache_name(s, row.host, name)) && !name.empty()) {
    // A bare IPv6 address takes its brackets back before a port.
    const bool v6 = name.find(':') != std::string::npos && name.front() != '[';
    out += "://" + (v6 ? "[" + name + "]" : name);
    if (row.port != 0 && row.port != 80 && row.port != default_port(row.proto))
      out += ":" + std::to_string(row.port);
    out += row.urlpath;
  } else {
    out += "://";
    out += row.urlpath;
  }
  return out;
}

namespace {

Status url_rows(DbSession& s, const char* sql, bool with_refs, const std::function<void(const UrlRow&)>& fn,
                const std::string* sensor = nullptr) {
  Use st(s, sql);
  if (!st) return missing_statement(s);
  if (sensor != nullptr) st->bind_text(1, *sensor);
  UrlRow r;
  while (st.row()) {
    r.url_id = st->column_int(1);
    r.host = st->column_int(2);
    r.port = st->column_int(3);
    r.proto = st->column_int(4);
    r.urlpath = std::string(st->column_text(5));
    r.ref_count = with_refs ? st->column_int(6) : 0;
    r.vhost = std::string(st->column_text(7));
    fn(r);
  }
  return st->status();
}

}  // namespace

Status db_urls_by_refs(DbSession& s, const std::function<void(const UrlRow&)>& row) {
  if (s.view_sensor()) return url_rows(s, kUrlsByRefsOfSensor, true, row, &*s.view_sensor());
  return url_rows(s, kUrlsByRefs, true, row);
}

Status db_urls_all(DbSession& s, const std::function<void(const UrlRow&)>& row) {
  return url_rows(s, kUrlsAll, false, row);
}

// ---- url_hist

namespace {

std::int32_t host_id_of(DbSession& s, const HostCacheEntry* e) {
  if (e == nullptr) return 0;
  // The id the entry was stored under is the one its rows carry.
  if (e->host_id != 0) return e->host_id;
  const std::string name = db_record_name(*e);
  std::int32_t id = db_host_cache_find_id(s, &name, &e->address);
  if (id == 0) id = db_host_cache_find_id(s, nullptr, &e->address);
  return id;
}

}  // namespace

namespace {

// The next access id of the open transaction.
std::int32_t next_hist_id(DbSession& s, DbSession::Batch& b) {
  if (s.connection().dialect() == SqlDialect::kPostgres) {
    if (b.ids.empty()) {
      // Blocks grow with the batch, so a quiet sensor takes a few ids at a
      // time and a busy one a round trip per thousands.
      const std::int64_t block = std::clamp<std::int64_t>(static_cast<std::int64_t>(b.hist.size()), 16, 4096);
      Use st(s, kHistIdsPg);
      if (!st) return 0;
      st->bind_int(1, block);
      while (st.row()) b.ids.push_back(st->column_int(1));
      if (b.ids.empty()) return 0;
    }
    const std::int32_t id = b.ids.front();
    b.ids.pop_front();
    return id;
  }
  if (b.next_id == 0) {
    Use st(s, kHistNextIdSqlite);
    if (!st || !st.row()) return 0;
    b.next_id = st->column_int(1);
  }
  return b.next_id++;
}

}  // namespace

std::int32_t db_url_hist_add(DbSession& s, std::int32_t url_id, const char* hostname_used,
                             const HostCacheEntry* client, const HostCacheEntry* server, int proxy,
                             int method, const HostCacheEntry* referer, std::int64_t seen_at) {
  if (url_id <= 0) return 0;
  const std::int32_t client_id = host_id_of(s, client);
  const std::int32_t server_id = host_id_of(s, server);
  const std::int32_t referer_id = host_id_of(s, referer);
  if (client_id == 0 || server_id == 0) return 0;
  const std::string_view used = hostname_used != nullptr ? cut(hostname_used, kHostnameUsedColumn) : "(null)";
  const TimestampRecord ts = seen_at != kNoCaptureTime ? TimestampRecord::from_time(seen_at) : s.now();
  if (DbSession::Batch* b = s.batch()) {
    const std::int32_t id = next_hist_id(s, *b);
    if (id == 0) return 0;
    b->hist.push_back(DbSession::Batch::Hist{id, url_id, client_id, server_id, referer_id, proxy, method,
                                             std::string(used), ts.text()});
    ++b->url_refs[url_id];
    return id;
  }
  std::int32_t hist_id = 0;
  Status result = with_transaction(s.connection(), [&]() -> Status {
    Use ins(s, kHistInsert);
    if (!ins) return missing_statement(s);
    ins->bind_int(1, url_id);
    ins->bind_text(2, used);
    ins->bind_int(3, client_id);
    ins->bind_int(4, server_id);
    ins->bind_timestamp(5, ts);
    ins->bind_int(6, proxy);
    ins->bind_int(7, method);
    ins->bind_int(8, referer_id);
    ins->bind_text(9, s.sensor());
    ins->bind_timestamp(10, s.now());
    // The id comes back with the insert: a server is asked once, not twice.
    if (ins.row()) hist_id = ins->column_int(1);
    if (!ins->status().ok()) return ins->status();
    Use up(s, kUrlsRefUp);
    if (!up) return missing_statement(s);
    up->bind_int(1, url_id);
    return up.run();
  });
  return result.ok() ? hist_id : 0;
}

namespace {
enum AccessKind { kByUrl, kByClient, kByServer };
}

int access_query_next(AccessQuery& q, DbSession& s, int kind, std::int32_t id, const TimestampRecord& since,
                      AccessRow& row) {
  if (!q.started_) {
    if (q.stmt_ != nullptr) return 0;  // a finished series
    const char* sql = kind == kByUrl ? kHistByUrl : kind == kByClient ? kHistByClient : kHistByServer;
    Status st;
    q.stmt_ = s.connection().prepare(sql, &st);
    if (!q.stmt_) {
      s.note_error(st);
      return 0;
    }
    q.stmt_->bind_int(1, id);
    q.stmt_->bind_timestamp(2, since);
    q.started_ = true;
  }
  Statement& st = *q.stmt_;
  StepResult r = st.step();
  if (r != StepResult::kRow) {
    if (r == StepResult::kError) s.note_error(st.status());
    q.started_ = false;  // finished: the statement stays until reset()
    return 0;
  }
  row.url_hist_id = st.column_int(1);
  int c = 2;
  if (kind != kByUrl) row.url_id = st.column_int(c++);
  row.hostname_used = std::string(st.column_text(c++));
  if (kind == kByUrl) {
    row.client = st.column_int(c++);
    row.server = st.column_int(c++);
  } else if (kind == kByClient) {
    row.server = st.column_int(c++);
  } else {
    row.client = st.column_int(c++);
  }
  row.ts = st.column_timestamp(c++);
  row.cached = st.column_int(c++);
  row.method = st.column_int(c++);
  row.referer = st.column_int(c++);
  return 1;
}

int db_url_accesses(AccessQuery& q, DbSession& s, std::int32_t url_id, const TimestampRecord& since,
                    AccessRow& row) {
  return access_query_next(q, s, kByUrl, url_id, since, row);
}
int db_client_accesses(AccessQuery& q, DbSession& s, std::int32_t client, const TimestampRecord& since,
                       AccessRow& row) {
  return access_query_next(q, s, kByClient, client, since, row);
}
int db_server_accesses(AccessQuery& q, DbSession& s, std::int32_t server, const TimestampRecord& since,
                       AccessRow& row) {
  return access_query_next(q, s, kByServer, server, since, row);
}

bool db_url_hist_read(DbSession& s, std::int32_t url_hist_id, AccessRow& row) {
  Use st(s, kHistById);
  if (!st) return false;
  st->bind_int(1, url_hist_id);
  if (!st.row()) return false;
  row.url_hist_id = url_hist_id;
  row.url_id = st->column_int(1);
  row.hostname_used = std::string(st->column_text(2));
  row.client = st->column_int(3);
  row.server = st->column_int(4);
  row.ts = st->column_timestamp(5);
  row.cached = st->column_int(6);
  row.method = st->column_int(7);
  row.referer = st->column_int(8);
  return true;
}

Status db_url_hist_all(DbSession& s, const std::function<void(std::int32_t, std::int32_t)>& row) {
  Use st(s, kHistAll);
  if (!st) return missing_statement(s);
  while (st.row()) row(st->column_int(1), st->column_int(2));
  return st->status();
}

namespace {

Status top_hosts(DbSession& s, const char* sql, const std::function<void(const HostAccessCount&)>& fn,
                 const std::string* sensor = nullptr) {
  Use st(s, sql);
  if (!st) return missing_statement(s);
  if (sensor != nullptr) st->bind_text(1, *sensor);
  HostAccessCount r;
  while (st.row()) {
    r.name = std::string(st->column_text(1));
    r.count = st->column_int64(2);
    r.host_id = st->column_int(3);
    fn(r);
  }
  return st->status();
}

}  // namespace

Status db_top_clients(DbSession& s, const std::function<void(const HostAccessCount&)>& row) {
  if (s.view_sensor()) return top_hosts(s, kTopClientsOfSensor, row, &*s.view_sensor());
  return top_hosts(s, kTopClients, row);
}
Status db_top_servers(DbSession& s, const std::function<void(const HostAccessCount&)>& row) {
  if (s.view_sensor()) return top_hosts(s, kTopServersOfSensor, row, &*s.view_sensor());
  return top_hosts(s, kTopServers, row);
}

// ---- host_cache

namespace {

std::int32_t query_id(DbSession& s, const char* sql, std::string_view a, const std::string_view* b) {
  Use st(s, sql);
  if (!st) return 0;
  st->bind_text(1, a);
  if (b != nullptr) st->bind_text(2, *b);
  return st.row() ? st->column_int(1) : 0;
}

}  // namespace

std::int32_t db_host_cache_find_id(DbSession& s, const std::string* name, const NetAddress* address) {
  if (name != nullptr && address != nullptr) {
    const std::string addr = dotted(*address);
    const std::string_view a = addr;
    return query_id(s, kHostIdByNameAddr, cut(*name, kHostNameColumn), &a);
  }
  if (s.names() != nullptr) {
    HostCacheRef e;
    if (name != nullptr)
      e = s.names()->find_text(*name);
    else if (address != nullptr)
      e = s.names()->find_ipv4(*address);
    if (e != nullptr && e->host_id != 0) return e->host_id;
  }
  if (name != nullptr) return query_id(s, kHostIdByName, cut(*name, kHostNameColumn), nullptr);
  if (address != nullptr) {
    const std::string addr = dotted(*address);
    const std::string_view a = addr;
    return query_id(s, kHostIdByNameAddr, addr, &a);
  }
  return 0;
}

bool db_host_cache_name(DbSession& s, std::int32_t host_id, std::string& out) {
  if (s.names() != nullptr) {
    if (HostCacheRef e = s.names()->find_id(host_id)) {
      out = s.names()->shown_name(e.get()).name;
      return true;
    }
  }
  Use st(s, kHostName);
  if (!st) return false;
  st->bind_int(1, host_id);
  if (!st.row()) return false;
  out = std::string(cut(st->column_text(1), kHostNameColumn));
  return true;
}

bool db_host_cache_addr(DbSession& s, std::int32_t host_id, NetAddress& out) {
  if (s.names() != nullptr) {
    if (HostCacheRef e = s.names()->find_id(host_id)) {
      out = e->address;
      return true;
    }
  }
  Use st(s, kHostAddr);
  if (!st) return false;
  st->bind_int(1, host_id);
  while (st.row()) {
    const std::string text(cut(st->column_text(1), kHostAddrColumn));
    // A host known only by name has no address to give.
    if (is_ipv4_text(text)) {
      out = NetAddress::parse(kAddrIpv4, text.c_str());
      return true;
    }
    if (is_ipv6_text(text)) {
      out = NetAddress::parse(kAddrIpv6, text.c_str());
      return true;
    }
  }
  return false;
}

namespace {

// Removes the rows of one id under one address (or name) and hands back the
// ref_count they carried.
Status take_rows(DbSession& s, const char* select_sql, const char* delete_sql, std::int32_t id,
                 std::string_view key, std::int32_t& refs) {
  {
    Use st(s, select_sql);
    if (!st) return missing_statement(s);
    st->bind_int(1, id);
    st->bind_text(2, key);
    if (st.row()) refs = st->column_int(1);
  }
  Use del(s, delete_sql);
  if (!del) return missing_statement(s);
  del->bind_int(1, id);
  del->bind_text(2, key);
  return del.run();
}

Status insert_host_row(DbSession& s, std::int32_t id, std::string_view name, std::string_view addr,
                       std::int32_t refs) {
  Use ins(s, kHostInsert);
  if (!ins) return missing_statement(s);
  ins->bind_int(1, id);
  ins->bind_text(2, cut(name, kHostNameColumn));
  ins->bind_text(3, cut(addr, kHostAddrColumn));
  ins->bind_timestamp(4, s.now());
  ins->bind_int(5, refs);
  return ins.run();
}

std::int32_t next_host_id(DbSession& s) {
  if (s.connection().dialect() == SqlDialect::kPostgres) {
    Use st(s, kHostNextIdPg);
    if (!st || !st.row()) return 0;
    return st->column_int(1);
  }
  Use st(s, kHostMaxId);
  if (!st || !st.row()) return 0;
  return st->column_int(1) + 1;  // max() of no rows is NULL, read as 0
}

}  // namespace

std::int32_t db_host_cache_store(DbSession& s, const HostCacheEntry& entry) {
  std::int32_t id = 0;
  // A host's rows matter on disk only with the accesses that name them, and
  // those commit later, waiting for the server's log, which carries these
  // rows to disk before them: this commit, one per new host, need not wait.
  const bool own = !s.connection().in_transaction() && s.connection().dialect() == SqlDialect::kPostgres;
  Status result = with_transaction(s.connection(), [&]() -> Status {
    std::int32_t refs = 0;
    Status st;
    if (own) s.connection().exec("SET LOCAL synchronous_commit = off");
    const bool v6 = entry.address.is_ipv6();
    if (entry.host) {
      for (const auto& bytes : entry.host->addresses) {
        const NetAddress a = NetAddress::ipv4(bytes.data());
        id = db_host_cache_find_id(s, nullptr, &a);
        if (id != 0) {
          st = take_rows(s, kHostRefsByAddr, kHostDeleteByAddr, id, dotted(a), refs);
          if (!st.ok()) return st;
          break;
        }
      }
      // A reverse reply for an IPv6 address lists no IPv4 address: the row
      // it may have had unnamed is found by the address itself.
      if (id == 0 && v6) {
        id = db_host_cache_find_id(s, nullptr, &entry.address);
        if (id != 0) {
          st = take_rows(s, kHostRefsByAddr, kHostDeleteByAddr, id, dotted(entry.address), refs);
          if (!st.ok()) return st;
        }
      }
      if (id == 0 && !entry.host->name.empty()) {
        id = db_host_cache_find_id(s, &entry.host->name, nullptr);
        // The IPv4 rows of a dual-stack host of that name stay: the IPv6
        // address joins them under the same id, as its reply cannot list them.
        if (id != 0 && !v6) {
          st = take_rows(s, kHostRefsByName, kHostDeleteByName, id, cut(entry.host->name, kHostNameColumn),
                         refs);
          if (!st.ok()) return st;
        }
      }
    } else {
      id = db_host_cache_find_id(s, nullptr, &entry.address);
      // Stored in an earlier run under a name heard for it: the same name
      // at the same address is the same host, as with a looked-up name.
      if (id == 0 && s.names() != nullptr) {
        const NameAndSource heard = s.names()->name_of(entry.address, nullptr);
        const std::string addr = dotted(entry.address);
        const std::string_view a = addr;
        if (!heard.name.empty() && heard.source < NameSource::kLookup)
          id = query_id(s, kHostIdByNameAddr, cut(heard.name, kHostNameColumn), &a);
      }
    }
    if (id == 0) id = next_host_id(s);
    if (id == 0) return missing_statement(s);

    if (entry.host) {
      const std::string& official = entry.host->name.empty() ? entry.name : entry.host->name;
      for (const auto& bytes : entry.host->addresses) {
        st = insert_host_row(s, id, official, dotted(bytes), refs);
        if (!st.ok()) return st;
      }
      // Rows an IPv6 host shares with its IPv4 self were kept: not twice.
      auto add = [&](std::string_view name, const std::string& addr) {
        const std::string_view key = addr;
        if (v6 && query_id(s, kHostIdByNameAddr, cut(name, kHostNameColumn), &key) == id) return Status();
        return insert_host_row(s, id, name, addr, refs);
      };
      const std::string addr = dotted(entry.address);
      if (entry.host->addresses.empty()) {
        st = add(official, addr);
        if (!st.ok()) return st;
      }
      for (const std::string& alias : entry.host->aliases) {
        st = add(alias, addr);
        if (!st.ok()) return st;
      }
    } else {
      const std::string addr = dotted(entry.address);
      // An address already stored keeps its row (under a name heard for it
      // too); a second one would only double the host in the lists.
      bool stored = false;
      {
        Use row(s, kHostRowAt);
        if (!row) return missing_statement(s);
        row->bind_int(1, id);
        row->bind_text(2, addr);
        stored = row.row();
      }
      if (!stored) {
        st = insert_host_row(s, id, addr, addr, refs);
        if (!st.ok()) return st;
      }
    }
    return Status();
  });
  return result.ok() ? id : 0;
}

std::int32_t db_host_cache_store_name(DbSession& s, std::string_view name) {
  const std::string key(cut(name, kHostNameColumn));
  const std::string_view none;
  std::int32_t id = 0;
  Status result = with_transaction(s.connection(), [&]() -> Status {
    id = query_id(s, kHostIdByNameAddr, key, &none);
    if (id != 0) return Status();
    id = next_host_id(s);
    if (id == 0) return missing_statement(s);
    return insert_host_row(s, id, key, "", 0);
  });
  return result.ok() ? id : 0;
}

Status db_host_cache_rename(DbSession& s, std::int32_t host_id, const NetAddress& address,
                            std::string_view name) {
  if (host_id == 0 || name.empty()) return Status();
  const std::string addr = dotted(address);
  return with_transaction(s.connection(), [&]() -> Status {
    Use up(s, kHostRename);
    if (!up) return missing_statement(s);
    up->bind_text(1, cut(name, kHostNameColumn));
    up->bind_int(2, host_id);
    up->bind_text(3, addr);
    return up.run();
  });
}

void DbHostIdStore::set_names(const HostCache* names) {
  MutexLock lock(mutex_);
  session_->set_names(names);
}

std::int32_t DbHostIdStore::find_id(const std::string& name, const NetAddress& address) {
  MutexLock lock(mutex_);
  const std::string* n = name.empty() ? nullptr : &name;
  const NetAddress* a = address.type != nullptr ? &address : nullptr;
  return db_host_cache_find_id(*session_, n, a);
}

std::int32_t DbHostIdStore::store(const HostCacheEntry& entry) {
  MutexLock lock(mutex_);
  return db_host_cache_store(*session_, entry);
}

bool DbHostIdStore::rename(std::int32_t id, const NetAddress& address, const std::string& name) {
  MutexLock lock(mutex_);
  return db_host_cache_rename(*session_, id, address, name).ok();
}

// ---- access index

std::int64_t db_urls_cache_build(DbSession& s, UrlAccessIndex& index, const AccessFilter* filter,
                                 const std::function<void(std::int64_t, std::int64_t)>& progress) {
  index.clear();
  auto bind_filter = [&](Statement& st) {
    auto bind_opt_ts = [&](int i, const std::optional<TimestampRecord>& v) {
      if (v) {
        st.bind_timestamp(i, *v);
        st.bind_timestamp(i + 1, *v);
      }
    };
    auto bind_opt_id = [&](int i, const std::optional<std::int32_t>& v) {
      if (v) {
        st.bind_int(i, *v);
        st.bind_int(i + 1, *v);
      }
    };
    const std::optional<std::string>& sensor =
        filter != nullptr && filter->sensor ? filter->sensor : s.view_sensor();
    if (sensor) {
      st.bind_text(9, *sensor);
      st.bind_text(10, *sensor);
    }
    if (filter == nullptr) return;
    bind_opt_ts(1, filter->since);
    bind_opt_ts(3, filter->until);
    bind_opt_id(5, filter->client);
    bind_opt_id(7, filter->server);
  };

  std::int64_t total = 0;
  {
    Use st(s, kHistCountFiltered);
    if (!st) return 0;
    bind_filter(*st);
    if (st.row()) total = st->column_int64(1);
  }
  Use st(s, kHistIdsFiltered);
  if (!st) return total;
  bind_filter(*st);
  std::int64_t done = 0;
  while (st.row()) {
    const std::int32_t hist_id = st->column_int(1);
    const std::int32_t url_id = st->column_int(2);
    auto* list = index.find(url_id);
    if (list == nullptr) {
      index.set(url_id, std::make_unique<List<std::int32_t>>());
      list = index.find(url_id);
    }
    (*list)->append(hist_id);
    if (progress) progress(++done, total);
  }
  return total;
}

// ---- retention

int db_cutoff(int days, TimestampRecord* out) {
  if (out == nullptr) return 0;
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  *out = TimestampRecord::from_time(now - static_cast<std::int64_t>(days) * 86400);
  return 1;
}

std::int64_t db_prune(DbSession& s, const TimestampRecord& cutoff) {
  std::int64_t count = 0;
  Status result = with_transaction(s.connection(), [&]() -> Status {
    std::vector<std::int32_t> old;
    {
      Use st(s, kHistOld);
      if (!st) return missing_statement(s);
      st->bind_timestamp(1, cutoff);
      while (st.row()) old.push_back(st->column_int(1));
      if (!st->status().ok()) return st->status();
    }
    for (std::int32_t url_id : old) {
      Use down(s, kUrlsRefDown);
      if (!down) return missing_statement(s);
      down->bind_int(1, url_id);
      Status st = down.run();
      if (!st.ok()) return st;
    }
    count = static_cast<std::int64_t>(old.size());
    {
      Use del(s, kHistDeleteOld);
      if (!del) return missing_statement(s);
      del->bind_timestamp(1, cutoff);
      Status st = del.run();
      if (!st.ok()) return st;
    }
    {
      Use del(s, kUrlsDeleteUnreferenced);
      if (!del) return missing_statement(s);
      Status st = del.run();
      if (!st.ok()) return st;
    }
    Use mark(s, kUrlPrunesCount);
    if (!mark) return missing_statement(s);
    return mark.run();
  });
  return result.ok() ? count : 0;
}

namespace {

std::int64_t seconds_of(const TimestampRecord& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

}  // namespace

std::int64_t db_prune_in_steps(DbSession& s, const TimestampRecord& cutoff,
                               const std::function<void(int, int)>& progress) {
  std::optional<TimestampRecord> oldest;
  {
    Use st(s, kHistOldest);
    if (!st) return 0;
    st->bind_timestamp(1, cutoff);
    if (st.row() && !st->column_is_null(1)) oldest = st->column_timestamp(1);
  }
  if (!oldest) {
    if (progress) progress(0, 0);
    return 0;
  }
  const std::int64_t from = seconds_of(*oldest), to = seconds_of(cutoff);
  const std::int64_t span = std::max<std::int64_t>(to - from, 1);
  const int steps = static_cast<int>(std::clamp<std::int64_t>((span + 86399) / 86400, 1, kPruneSteps));
  const std::int64_t stride = (span + steps - 1) / steps;
  std::int64_t removed = 0;
  for (int i = 1; i <= steps; ++i) {
    // The last step is the cutoff itself, so rounding never leaves a row
    // behind that a single db_prune would have taken.
    const TimestampRecord step_cut = i == steps ? cutoff : TimestampRecord::from_time(from + i * stride + 1);
    removed += db_prune(s, step_cut);
    if (progress) progress(i, steps);
  }
  return removed;
}

// ---- alarms

Status db_alarms_load(DbSession& s, std::vector<AlarmRow>& out) {
  Use st(s, kAlarmsAll);
  if (!st) return missing_statement(s);
  while (st.row()) {
    AlarmRow r;
    r.alarm_id = st->column_int(1);
    r.object_type = st->column_int(2);
    r.kind = st->column_int(3);
    r.host1_id = st->column_int(4);
    r.host2_id = st->column_int(5);
    r.protocol = std::string(cut(st->column_text(6), kAlarmProtocolColumn));
    r.reserved = st->column_int(7);
    r.threshold = st->column_double(8);
    r.direction = st->column_int(9);
    r.unit = st->column_int(10);
    r.notify = std::string(cut(st->column_text(11), kAlarmTextColumn));
    r.disabled = st->column_int(12);
    r.url_id = st->column_int(13);
    r.sound_file = std::string(cut(st->column_text(14), kAlarmTextColumn));
    r.play_sound = st->column_int(15);
    r.command = std::string(cut(st->column_text(16), kAlarmTextColumn));
    r.run_command = st->column_int(17);
    r.reserved2 = st->column_int(18);
    r.delivery = std::string(cut(st->column_text(19), kAlarmDeliveryColumn));
    out.push_back(std::move(r));
  }
  return st->status();
}

Status db_alarms_save(DbSession& s, std::vector<AlarmRow>& rows) {
  return with_transaction(s.connection(), [&]() -> Status {
    {
      Use del(s, kAlarmsDelete);
      if (!del) return missing_statement(s);
      Status st = del.run();
      if (!st.ok()) return st;
    }
    for (AlarmRow& r : rows) {
      Use ins(s, kAlarmsInsert);
      if (!ins) return missing_statement(s);
      ins->bind_int(1, r.object_type);
      ins->bind_int(2, r.kind);
      ins->bind_int(3, r.host1_id);
      ins->bind_int(4, r.host2_id);
      ins->bind_text(5, cut(r.protocol, kAlarmProtocolColumn));
      ins->bind_int(6, r.reserved);
      ins->bind_double(7, r.threshold);
      ins->bind_int(8, r.direction);
      ins->bind_int(9, r.unit);
      ins->bind_text(10, cut(r.notify, kAlarmTextColumn));
      ins->bind_int(11, r.disabled);
      ins->bind_int(12, r.url_id);
      ins->bind_text(13, cut(r.sound_file, kAlarmTextColumn));
      ins->bind_int(14, r.play_sound);
      ins->bind_text(15, cut(r.command, kAlarmTextColumn));
      ins->bind_int(16, r.run_command);
      ins->bind_int(17, r.reserved2);
      ins->bind_text(18, cut(r.delivery, kAlarmDeliveryColumn));
      Status st = ins.run();
      if (!st.ok()) return st;
      r.alarm_id = static_cast<std::int32_t>(s.connection().last_insert_id());
    }
    return Status();
  });
}

}  // namespace tarnix
