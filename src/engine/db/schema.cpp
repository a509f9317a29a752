#include "db/schema.h"

#include <cstdio>
#include <string>

namespace tarnix {

namespace {

// URL and alarm ids are never handed out twice, even after pruning: alarms
// keep url ids, and a reused one would watch another URL. Access ids only
// grow too: the lists and alarms remember the last access they saw, and a
// prune that empties url_hist must not hand its ids out again (version 2).
// Pruning scans url_hist by time once at exit, and the lists sort URLs by
// ref_count every few minutes; indexes for those would cost every recorded
// request.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS urls (
  url_id    INTEGER PRIMARY KEY AUTOINCREMENT,
  host      INTEGER NOT NULL,
  port      INTEGER NOT NULL DEFAULT 0,
  proto     INTEGER NOT NULL,
  urlpath   TEXT    NOT NULL,
  ref_count INTEGER NOT NULL DEFAULT 0,
  vhost     TEXT    NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS url_hist (
  url_hist_id   INTEGER PRIMARY KEY AUTOINCREMENT,
  url_id        INTEGER NOT NULL,
  hostname_used TEXT    NOT NULL,
  client        INTEGER NOT NULL,
  server        INTEGER NOT NULL,
  ts            TIMESTAMP NOT NULL,
  cached        INTEGER NOT NULL,
  method        INTEGER NOT NULL,
  referer       INTEGER NOT NULL DEFAULT 0,
  recorded_at   TIMESTAMP NOT NULL
);
CREATE INDEX IF NOT EXISTS url_hist_by_url ON url_hist (url_id, ts);
CREATE INDEX IF NOT EXISTS url_hist_by_client ON url_hist (client, ts);
CREATE INDEX IF NOT EXISTS url_hist_by_server ON url_hist (server, ts);

CREATE TABLE IF NOT EXISTS host_cache (
  host_id   INTEGER NOT NULL,
  name      TEXT    NOT NULL,
  addr      TEXT    NOT NULL,
  added     TIMESTAMP NOT NULL,
  ref_count INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS host_cache_by_name ON host_cache (name, addr);
CREATE INDEX IF NOT EXISTS host_cache_by_addr ON host_cache (addr);
CREATE INDEX IF NOT EXISTS host_cache_by_id ON host_cache (host_id);

CREATE TABLE IF NOT EXISTS alarms (
  alarm_id     INTEGER PRIMARY KEY AUTOINCREMENT,
  object_type  INTEGER NOT NULL,
  kind         INTEGER NOT NULL,
  host1_id     INTEGER NOT NULL,
  host2_id     INTEGER NOT NULL,
  protocol     TEXT    NOT NULL,
  reserved     INTEGER NOT NULL,
  threshold    DOUBLE PRECISION NOT NULL,
  direction    INTEGER NOT NULL,
  unit         INTEGER NOT NULL,
  notify       TEXT    NOT NULL,
  disabled     INTEGER NOT NULL,
  url_id       INTEGER NOT NULL,
  sound_file   TEXT    NOT NULL,
  play_sound   INTEGER NOT NULL,
  command      TEXT    NOT NULL,
  run_command  INTEGER NOT NULL,
  reserved2    INTEGER NOT NULL,
  delivery     TEXT    NOT NULL DEFAULT ''
);
)sql";

// Version 1 gave url_hist plain row ids, which SQLite reuses once the
// highest rows are gone. The table is rebuilt with AUTOINCREMENT, rows and
// ids kept; the copy leaves the sequence at the highest id kept.
constexpr const char* kMigrateV1toV2 = R"sql(
CREATE TABLE url_hist_v2 (
  url_hist_id   INTEGER PRIMARY KEY AUTOINCREMENT,
  url_id        INTEGER NOT NULL,
  hostname_used TEXT    NOT NULL,
  client        INTEGER NOT NULL,
  server        INTEGER NOT NULL,
  ts            TIMESTAMP NOT NULL,
  cached        INTEGER NOT NULL,
  method        INTEGER NOT NULL,
  referer       INTEGER NOT NULL DEFAULT 0
);
INSERT INTO url_hist_v2 (url_hist_id, url_id, hostname_used, client, server, ts, cached, method, referer)
  SELECT url_hist_id, url_id, hostname_used, client, server, ts, cached, method, referer FROM url_hist;
DROP TABLE url_hist;
ALTER TABLE url_hist_v2 RENAME TO url_hist;
CREATE INDEX IF NOT EXISTS url_hist_by_url ON url_hist (url_id, ts);
CREATE INDEX IF NOT EXISTS url_hist_by_client ON url_hist (client, ts);
CREATE INDEX IF NOT EXISTS url_hist_by_server ON url_hist (server, ts);
)sql";

bool url_hist_autoincrements(Connection& c) {
  auto st = c.prepare("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'url_hist'");
  if (!st || st->step() != StepResult::kRow) return false;
  return std::string(st->column_text(1)).find("AUTOINCREMENT") != std::string::npos;
}

// The same tables on a server that several sensors share: ids come from the
// server's sequences, and a URL can be stored only once, however many
// sensors record it at the same moment.
constexpr const char* kSchemaPg = R"sql(
CREATE TABLE IF NOT EXISTS urls (
  url_id    SERIAL PRIMARY KEY,
  host      INTEGER NOT NULL,
  port      INTEGER NOT NULL DEFAULT 0,
  proto     INTEGER NOT NULL,
  urlpath   TEXT    NOT NULL,
  ref_count INTEGER NOT NULL DEFAULT 0,
  vhost     TEXT    NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS url_hist (
  url_hist_id   SERIAL PRIMARY KEY,
  url_id        INTEGER NOT NULL,
  hostname_used TEXT    NOT NULL,
  client        INTEGER NOT NULL,
  server        INTEGER NOT NULL,
  ts            TIMESTAMP NOT NULL DEFAULT now(),
  cached        INTEGER NOT NULL,
  method        INTEGER NOT NULL,
  referer       INTEGER NOT NULL DEFAULT 0,
  sensor        TEXT    NOT NULL DEFAULT '',
  recorded_at   TIMESTAMP NOT NULL
);
CREATE INDEX IF NOT EXISTS url_hist_by_url ON url_hist (url_id, ts);
CREATE INDEX IF NOT EXISTS url_hist_by_client ON url_hist (client, ts);
CREATE INDEX IF NOT EXISTS url_hist_by_server ON url_hist (server, ts);

CREATE SEQUENCE IF NOT EXISTS host_cache_ids;
CREATE TABLE IF NOT EXISTS host_cache (
  host_id   INTEGER NOT NULL,
  name      TEXT    NOT NULL,
  addr      TEXT    NOT NULL,
  added     TIMESTAMP NOT NULL DEFAULT now(),
  ref_count INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS host_cache_by_name ON host_cache (name, addr);
CREATE INDEX IF NOT EXISTS host_cache_by_addr ON host_cache (addr);
CREATE INDEX IF NOT EXISTS host_cache_by_id ON host_cache (host_id);

CREATE TABLE IF NOT EXISTS alarms (
  alarm_id     SERIAL PRIMARY KEY,
  object_type  INTEGER NOT NULL,
  kind         INTEGER NOT NULL,
  host1_id     INTEGER NOT NULL,
  host2_id     INTEGER NOT NULL,
  protocol     TEXT    NOT NULL,
  reserved     INTEGER NOT NULL,
  threshold    DOUBLE PRECISION NOT NULL,
  direction    INTEGER NOT NULL,
  unit         INTEGER NOT NULL,
  notify       TEXT    NOT NULL,
  disabled     INTEGER NOT NULL,
  url_id       INTEGER NOT NULL,
  sound_file   TEXT    NOT NULL,
  play_sound   INTEGER NOT NULL,
  command      TEXT    NOT NULL,
  run_command  INTEGER NOT NULL,
  reserved2    INTEGER NOT NULL,
  delivery     TEXT    NOT NULL DEFAULT ''
);
)sql";

}  // namespace

Status db_schema_add_sensors(Connection& c) {
  if (c.dialect() == SqlDialect::kPostgres)
    return c.exec("ALTER TABLE url_hist ADD COLUMN IF NOT EXISTS sensor TEXT NOT NULL DEFAULT ''");
  // Files from before sensors were named get the column: their accesses
  // belong to no named sensor.
  if (!c.prepare("SELECT sensor FROM url_hist LIMIT 0"))
    return c.exec("ALTER TABLE url_hist ADD COLUMN sensor TEXT NOT NULL DEFAULT ''");
  return Status();
}

namespace {

bool has_column(Connection& c, const char* table, const char* column) {
  // A failed prepare inside a server's transaction spoils it: asked in a
  // savepoint there.
  const bool nested = c.in_transaction() && c.savepoint().ok();
  const bool found = c.prepare(std::string("SELECT ") + column + " FROM " + table + " LIMIT 0") != nullptr;
  if (nested) {
    if (!found) c.rollback_to_savepoint();
    c.release_savepoint();
  }
  return found;
}

// Version 3: a URL is told apart by its port and by the name the client
// asked for (several sites share one address), and an access keeps when it
// was written beside the time its frame was seen, so that retention ages
// what was recorded rather than what was captured. Accesses already stored
// count as written now: none of them is aged away sooner than before.
Status upgrade_to_v3(Connection& c) {
  const bool pg = c.dialect() == SqlDialect::kPostgres;
  Status s;
  if (!has_column(c, "urls", "vhost")) {
    s = c.exec("ALTER TABLE urls ADD COLUMN vhost TEXT NOT NULL DEFAULT ''");
    if (!s.ok()) return s;
  }
  if (!has_column(c, "url_hist", "recorded_at")) {
    s = c.exec(
        "ALTER TABLE url_hist ADD COLUMN recorded_at TIMESTAMP NOT NULL DEFAULT '1970-01-01 00:00:00'");
    if (!s.ok()) return s;
    auto st = c.prepare("UPDATE url_hist SET recorded_at = ?", &s);
    if (!st) return s;
    st->bind_timestamp(1, TimestampRecord::now());
    if (st->step() == StepResult::kError) return st->status();
  }
  // Writers keep the URLs they know in memory between transactions; a
  // prune, the one thing that removes URLs, counts itself here so they know
  // to forget them.
  s = c.exec("CREATE TABLE IF NOT EXISTS url_prunes (n INTEGER NOT NULL)");
  if (!s.ok()) return s;
  s = c.exec("INSERT INTO url_prunes (n) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM url_prunes)");
  if (!s.ok()) return s;
  // The older rule (host, scheme, path) would refuse the second port or
  // name of a path; the identity takes its place, and serves the look-ups
  // the older index served.
  s = pg ? c.exec("ALTER TABLE urls DROP CONSTRAINT IF EXISTS urls_host_proto_urlpath_key")
         : c.exec("DROP INDEX IF EXISTS urls_once");
  if (!s.ok()) return s;
  if (!c.savepoint().ok()) return s;
  Status u =
      c.exec("CREATE UNIQUE INDEX IF NOT EXISTS urls_identity ON urls (host, proto, urlpath, port, vhost)");
  if (!u.ok()) {
    // Only a file whose rows were already doubled before any rule existed;
    // its rows stay readable as they are.
    std::fprintf(stderr, "db: URLs stored twice, left as they are: %s\n", u.message().c_str());
    c.rollback_to_savepoint();
  } else if (!pg) {
    c.exec("DROP INDEX IF EXISTS urls_by_path");
  }
  c.release_savepoint();
  return Status();
}

// Alarm deliveries came without a version of their own: a table from
// before them gains the column, empty (no delivery), and a program that
// predates it still reads and writes the table, as its statements name
// their columns.
Status add_alarm_delivery(Connection& c) {
  if (c.dialect() == SqlDialect::kPostgres)
    return c.exec("ALTER TABLE alarms ADD COLUMN IF NOT EXISTS delivery TEXT NOT NULL DEFAULT ''");
  if (!has_column(c, "alarms", "delivery"))
    return c.exec("ALTER TABLE alarms ADD COLUMN delivery TEXT NOT NULL DEFAULT ''");
  return Status();
}

}  // namespace

int db_schema_version(Connection& c) {
  // A database without the version table has no version.
  auto st = c.prepare("SELECT max(version) FROM tarnix_schema");
  if (!st || st->step() != StepResult::kRow) return 0;
  return st->column_int(1);
}

Status db_schema_create(Connection& c) {
  return with_transaction(c, [&]() -> Status {
    Status s = c.exec("CREATE TABLE IF NOT EXISTS tarnix_schema (version INTEGER NOT NULL)");
    if (!s.ok()) return s;
    const int version = db_schema_version(c);
    if (version > kSchemaVersion)
      return Status::error(1, "database schema version " + std::to_string(version) +
                                  " is newer than this program's " + std::to_string(kSchemaVersion));
    if (version == kSchemaVersion) return add_alarm_delivery(c);
    // Version 0: a new file, or tables from before versioning; both get
    // what is missing. Tables made by an older layout are then migrated in
    // place, keeping their rows. A server's tables are made whole at once.
    const bool pg = c.dialect() == SqlDialect::kPostgres;
    if (version < 2) {
      s = c.exec(pg ? kSchemaPg : kSchema);
      if (!s.ok()) return s;
      if (!pg && !url_hist_autoincrements(c)) {
        s = c.exec(kMigrateV1toV2);
        if (!s.ok()) return s;
      }
    }
    s = db_schema_add_sensors(c);
    if (!s.ok()) return s;
    s = upgrade_to_v3(c);
    if (!s.ok()) return s;
    s = add_alarm_delivery(c);
    if (!s.ok()) return s;
    auto st = c.prepare("INSERT INTO tarnix_schema (version) VALUES (?)", &s);
    if (!st) return s;
    st->bind_int(1, kSchemaVersion);
    if (st->step() == StepResult::kError) return st->status();
    return Status();
  });
}

}  // namespace tarnix
