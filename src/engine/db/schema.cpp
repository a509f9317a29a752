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
  ref_count INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS urls_by_path ON urls (host, proto, urlpath);

CREATE TABLE IF NOT EXISTS url_hist (
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
  reserved2    INTEGER NOT NULL
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
  UNIQUE (host, proto, urlpath)
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
  sensor        TEXT    NOT NULL DEFAULT ''
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
  reserved2    INTEGER NOT NULL
);
)sql";

}  // namespace

Status db_schema_add_sensors(Connection& c) {
  if (c.dialect() == SqlDialect::kPostgres)
    return c.exec("ALTER TABLE url_hist ADD COLUMN IF NOT EXISTS sensor TEXT NOT NULL DEFAULT ''");
  // Files from before sensors were named get the column (their accesses
  // belong to no named sensor) and the rule that one URL has one row, which
  // a single writer has always kept.
  Status s;
  if (!c.prepare("SELECT sensor FROM url_hist LIMIT 0"))
    s = c.exec("ALTER TABLE url_hist ADD COLUMN sensor TEXT NOT NULL DEFAULT ''");
  if (!s.ok()) return s;
  // Inside the caller's transaction: a failure here must not spoil it.
  if (!c.savepoint().ok()) return s;
  Status u = c.exec("CREATE UNIQUE INDEX IF NOT EXISTS urls_once ON urls (host, proto, urlpath)");
  if (!u.ok()) {
    std::fprintf(stderr, "db: URLs stored twice, left as they are: %s\n", u.message().c_str());
    c.rollback_to_savepoint();
  }
  c.release_savepoint();
  return s;
}

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
    if (version == kSchemaVersion) return db_schema_add_sensors(c);
    // Version 0: a new file, or tables from before versioning; both get
    // what is missing. Tables made by an older layout are then migrated in
    // place, keeping their rows. A server's tables are made whole at once.
    const bool pg = c.dialect() == SqlDialect::kPostgres;
    s = c.exec(pg ? kSchemaPg : kSchema);
    if (!s.ok()) return s;
    if (!pg && !url_hist_autoincrements(c)) {
      s = c.exec(kMigrateV1toV2);
      if (!s.ok()) return s;
    }
    auto st = c.prepare("INSERT INTO tarnix_schema (version) VALUES (?)", &s);
    if (!st) return s;
    st->bind_int(1, kSchemaVersion);
    if (st->step() == StepResult::kError) return st->status();
    return db_schema_add_sensors(c);
  });
}

}  // namespace tarnix
