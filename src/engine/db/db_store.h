// The URL, access and host-name store: one session per thread, each with a
// connection of its own, so no two threads ever share a connection or a
// transaction.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/hashtable.h"
#include "core/list.h"
#include "core/mutex.h"
#include "core/timer.h"
#include "db/schema.h"
#include "db/sql.h"
#include "db/url_site.h"
#include "naming/host_cache.h"
#include "naming/netaddr.h"
#include "sniff/http.h"

namespace tarnix {

// One connection and its prepared statements. Not shared between threads.
//
// Inside a transaction opened with connection().begin(), accesses and
// reference counts are gathered in memory and written in a few multi-row
// statements when the transaction commits; connection().commit() reports a
// failure of those writes, and then nothing of the transaction is kept.
//
// A session opened from a locator (db_open_session) reopens a server's
// connection that broke, at most once a second at first and, while it
// fails, every 30 seconds at most; until then its operations fail at once.
class DbSession {
 public:
  // `names` (optional) answers host look-ups before the database is asked.
  explicit DbSession(std::unique_ptr<Connection> connection, const HostCache* names = nullptr);
  ~DbSession();
  DbSession(const DbSession&) = delete;
  DbSession& operator=(const DbSession&) = delete;

  Connection& connection();
  const HostCache* names() const { return names_; }
  void set_names(const HostCache* names) { names_ = names; }

  // The prepared statement for a text of the catalogue, ready to bind; null
  // when it cannot be prepared. The text must outlive the session (literals).
  Statement* statement(const char* sql);

  // The insertion time written for `now`. Tests move the clock.
  TimestampRecord now() const {
    if (fixed_now_) return *fixed_now_;
    return clock_ ? clock_() : TimestampRecord::now();
  }
  void set_clock(std::function<TimestampRecord()> clock) { clock_ = std::move(clock); }
  // Within one transaction `now` is one moment (as SQL's now() is), taken
  // once rather than per row; nullopt returns to the clock.
  void fix_now(std::optional<TimestampRecord> moment) { fixed_now_ = moment; }

  // The sensor this session records for (url_hist.sensor).
  const std::string& sensor() const { return sensor_; }
  void set_sensor(std::string name) { sensor_ = std::move(name); }
  // Lists and the URL report of this session count only the accesses of
  // this sensor; nullopt counts all.
  const std::optional<std::string>& view_sensor() const { return view_sensor_; }
  void set_view_sensor(std::optional<std::string> name) { view_sensor_ = std::move(name); }

  // Last error seen by an operation of this session (for logs and tests).
  const Status& last_error() const { return last_error_; }
  void note_error(const Status& s) {
    if (!s.ok()) last_error_ = s;
  }

  // Where the connection is reopened from after it broke (empty: never).
  void set_locator(std::string locator) { locator_ = std::move(locator); }
  // False while the link to the server is down and not yet reopened; tries
  // to reopen it when the wait since the last attempt has passed.
  bool relink();
  // Operations that failed while the link was down (said once, then
  // counted), and the times it was reopened.
  std::uint64_t failed_while_down() const { return failed_while_down_; }
  std::uint64_t relinks() const { return relinks_; }
  // Wait before the next attempt to reopen: 1 s, doubled after each failed
  // attempt up to 30 s. Tests shorten it.
  void set_relink_wait(std::chrono::milliseconds first, std::chrono::milliseconds most) {
    relink_first_ = first;
    relink_most_ = most;
    relink_wait_ = first;
  }

  // The writes gathered in the open transaction (internal to the store).
  struct Batch;
  Batch* batch();

 private:
  class Link;
  void note_down(const Status& why);
  Status flush();
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<Batch> batch_;
  const HostCache* names_;
  std::unordered_map<const char*, std::unique_ptr<Statement>> statements_;
  std::function<TimestampRecord()> clock_;
  std::optional<TimestampRecord> fixed_now_;
  Status last_error_;
  std::string sensor_;
  std::optional<std::string> view_sensor_;
  std::string locator_;
  bool down_ = false;
  std::uint64_t failed_while_down_ = 0;
  std::uint64_t relinks_ = 0;
  std::chrono::milliseconds relink_first_{1000}, relink_most_{30000}, relink_wait_{1000};
  std::chrono::steady_clock::time_point next_relink_{};
};

// The name under which this process records accesses: the machine's host
// name unless set. New sessions take it.
std::string db_sensor_name();
void db_set_sensor_name(std::string name);
// The sensor whose accesses new sessions' lists and reports show; nullopt
// (the default) shows every sensor's.
std::optional<std::string> db_view_sensor();
void db_set_view_sensor(std::optional<std::string> name);

// Opens the database (a file path, or a server's locator: see
// db_pg_locator), creating tables as needed. Null on failure.
std::unique_ptr<DbSession> db_open_session(const std::string& path, const HostCache* names = nullptr,
                                           Status* status = nullptr);

// The name a host record stands under: its official name when it has one,
// else its own name (the dotted address for an unnamed host).
std::string db_record_name(const HostCacheEntry& entry);

// ---- urls

// What tells one URL from another: the server host, the scheme, the port the
// client named (0 when it named none), the host name it asked for (its
// "Host:" value or TLS server name, lower case and without the port; empty
// when it gave none) and the path. Several sites on one address, or one
// site on several ports, are so several URLs. An address asked for is kept
// as written, so the lists show what the client asked for; it names no site
// (the URL alarms take it as the server itself).
//
// Stores written before the name was kept hold their URLs with an empty
// name; those rows read as before and stay URLs of their own, beside the
// named ones that later requests for the same paths make.
struct UrlKey {
  std::int32_t host_id = 0;
  int scheme = 0;
  std::uint16_t port = 0;
  std::string vhost;
  std::string_view path;
};
// The key of a request: `parts` as split from its target, `host_name` the
// "Host:" value (for an absolute URL the URL's own host is the name asked
// for, and its port the port).
UrlKey db_url_key(std::int32_t host_id, const UrlParts& parts, const char* host_name);
std::int32_t db_urls_find(DbSession& s, const UrlKey& key);
std::int32_t db_urls_add(DbSession& s, const UrlKey& key);

// The key without a name asked for: url_id, or 0. An empty path is looked
// up as "/".
std::int32_t db_urls_find(DbSession& s, std::int32_t host_id, std::string_view path, int scheme);
// Existing or new url_id; 0 when the host id is 0 or the insert failed. A
// new URL raises its server host's ref_count once.
std::int32_t db_urls_add(DbSession& s, std::int32_t host_id, std::string_view path, int scheme,
                         std::uint16_t port);
// The host named by the request (name and address) is looked up first.
std::int32_t db_urls_find_for_host(DbSession& s, const HostCacheRequestDescriptor& host,
                                   std::string_view path, int scheme);
// Like db_urls_add for a host given by name: resolves it first when the name
// cache does not know it, waiting at most `bound_ms` for the resolver. Not
// for the resolver thread itself.
std::int32_t db_urls_add_by_name(DbSession& s, HostCache& names, const HostCacheRequestDescriptor* request,
                                 std::string_view path, int scheme, std::uint16_t port, int bound_ms = 60000);
// The same for an absolute URL as split (parts.host the name): the URL under
// the name asked for, as a request through a proxy records it.
std::int32_t db_urls_add_by_name(DbSession& s, HostCache& names, const HostCacheRequestDescriptor* request,
                                 const UrlParts& parts, int bound_ms = 60000);
bool db_urls_exists(DbSession& s, std::int32_t url_id);
// The identity of a stored URL, with its text; false when there is none.
bool db_url_site(DbSession& s, std::int32_t url_id, UrlSite& out);
// A path as the urls table keeps it: "/" for none, cut to the column.
std::string_view db_url_stored_path(std::string_view path);
Status db_urls_adjust_refs(DbSession& s, std::int32_t url_id, int delta);
// The URL as text ("http://name:8080/path"); empty when the id is unknown.
// 0 when no statement could be prepared, else 1.
int db_url_text(DbSession& s, std::int32_t url_id, std::string& out);
// The same text for a URL's fields as read: its server host's name is looked
// up, its path taken as given.
std::string db_url_text_of(DbSession& s, std::int32_t host_id, int port, int proto, std::string_view path);

struct UrlRow {
  std::int32_t url_id = 0;
  std::int32_t host = 0;
  int port = 0;
  int proto = 0;
  std::string urlpath;
  std::int32_t ref_count = 0;
  std::string vhost;  // the host name the client asked for; empty when none
};
// The text of a URL row, the name asked for standing in for the host's.
std::string db_url_text_of(DbSession& s, const UrlRow& row);
// Every URL, most referenced first (lists and the URL report).
Status db_urls_by_refs(DbSession& s, const std::function<void(const UrlRow&)>& row);
// Every URL in storage order (ref_count not read).
Status db_urls_all(DbSession& s, const std::function<void(const UrlRow&)>& row);

// ---- url_hist

// url_hist_id, or 0 when nothing was inserted (no URL, or a host whose id
// cannot be found). A missing host name used is written as "(null)". The
// access is stamped `seen_at` (the frame's capture time) when given, else now;
// it is recorded at now, which is what retention ages it by. Inside a
// transaction the row is written at the commit (its id is known at once).
std::int32_t db_url_hist_add(DbSession& s, std::int32_t url_id, const char* hostname_used,
                             const HostCacheEntry* client, const HostCacheEntry* server, int proxy,
                             int method, const HostCacheEntry* referer,
                             std::int64_t seen_at = kNoCaptureTime);

struct AccessRow {
  std::int32_t url_hist_id = 0;
  std::int32_t url_id = 0;
  std::string hostname_used;
  std::int32_t client = 0;
  std::int32_t server = 0;
  TimestampRecord ts;
  int cached = 0;
  int method = 0;
  std::int32_t referer = 0;
};

// A series of access rows. Start with a fresh (or reset) query; each call
// fills the next row and returns 1, or returns 0 at the end (the query is
// then finished and must be reset before another series).
class AccessQuery {
 public:
  void reset() {
    stmt_.reset();
    started_ = false;
  }
  bool started() const { return started_; }

 private:
  friend int access_query_next(AccessQuery&, DbSession&, int, std::int32_t, const TimestampRecord&,
                               AccessRow&);
  std::unique_ptr<Statement> stmt_;
  bool started_ = false;
};
// Accesses later than `since` of one URL, one client host, one server host.
// Rows leave the column not selected by the series (url_id for a URL's
// accesses, client or server for a host's) as it was.
int db_url_accesses(AccessQuery& q, DbSession& s, std::int32_t url_id, const TimestampRecord& since,
                    AccessRow& row);
int db_client_accesses(AccessQuery& q, DbSession& s, std::int32_t client, const TimestampRecord& since,
                       AccessRow& row);
int db_server_accesses(AccessQuery& q, DbSession& s, std::int32_t server, const TimestampRecord& since,
                       AccessRow& row);

// One access by its id; false (row untouched) when there is none.
bool db_url_hist_read(DbSession& s, std::int32_t url_hist_id, AccessRow& row);

// Every access's (url_hist_id, url_id), in storage order.
Status db_url_hist_all(DbSession& s, const std::function<void(std::int32_t, std::int32_t)>& row);

struct HostAccessCount {
  std::string name;
  std::int64_t count = 0;
  std::int32_t host_id = 0;
};
// Hosts by number of accesses as client (or as server), most first (ties by
// host id): one row per host id, named by its first host_cache row, each
// access counted once however many names and addresses the host has.
Status db_top_clients(DbSession& s, const std::function<void(const HostAccessCount&)>& row);
Status db_top_servers(DbSession& s, const std::function<void(const HostAccessCount&)>& row);

// ---- host_cache

// host_id, or 0. With both a name and an address only the database is asked;
// with one of them the name cache answers first. An unnamed host is stored
// under its dotted address as name, until a name heard on the wire for its
// address renames it (db_host_cache_rename).
std::int32_t db_host_cache_find_id(DbSession& s, const std::string* name, const NetAddress* address);
// The host's name (as the name cache shows it, when the cache has the host);
// false (out untouched) when unknown.
bool db_host_cache_name(DbSession& s, std::int32_t host_id, std::string& out);
// The host's address; false (out untouched) when unknown or stored without one.
bool db_host_cache_addr(DbSession& s, std::int32_t host_id, NetAddress& out);
// Stores the rows of a resolved record and returns its host id: an address
// (or name) already stored keeps its id and ref_count, and its rows are
// replaced.
std::int32_t db_host_cache_store(DbSession& s, const HostCacheEntry& entry);
// A host known only by a name that did not resolve: one row with the name
// and no address. The existing row's id when there is one.
std::int32_t db_host_cache_store_name(DbSession& s, std::string_view name);
// Names the rows of a host at one address by what was heard on the wire;
// for hosts no look-up named (the name cache decides).
Status db_host_cache_rename(DbSession& s, std::int32_t host_id, const NetAddress& address,
                            std::string_view name);

// The host-id interface of the name cache, on a connection of its own.
class DbHostIdStore final : public HostIdStore {
 public:
  explicit DbHostIdStore(std::unique_ptr<DbSession> session) : session_(std::move(session)) {}
  // The cache that this store serves (set once it exists).
  void set_names(const HostCache* names);
  std::int32_t find_id(const std::string& name, const NetAddress& address) override;
  std::int32_t store(const HostCacheEntry& entry) override;
  bool rename(std::int32_t id, const NetAddress& address, const std::string& name) override;

 private:
  Mutex mutex_;
  std::unique_ptr<DbSession> session_ PT_GUARDED_BY(mutex_);
};

// ---- access index for the URL report

// Which accesses the index covers; unset fields do not restrict.
struct AccessFilter {
  std::optional<TimestampRecord> since;  // ts later than this
  std::optional<TimestampRecord> until;  // ts earlier than this
  std::optional<std::int32_t> client, server;
  std::optional<std::string> sensor;  // accesses recorded by this sensor
};

struct UrlIdKeyTraits {
  static std::int32_t hash(std::int32_t id) { return id; }
  static int compare(std::int32_t stored, std::int32_t probe) { return stored == probe ? 0 : 1; }
};
// url_id -> url_hist_ids of its accesses, in storage order.
using UrlAccessIndex = HashTable<std::int32_t, std::unique_ptr<List<std::int32_t>>, UrlIdKeyTraits>;

// Title of the progress window shown while the index is built.
inline constexpr const char kCachingUrlsTitle[] = "Caching URLs";

// Fills the index; returns the number of accesses counted first (the
// progress range). progress(done, total) is called once per row.
std::int64_t db_urls_cache_build(DbSession& s, UrlAccessIndex& index, const AccessFilter* filter,
                                 const std::function<void(std::int64_t, std::int64_t)>& progress = {});

// ---- retention

// Local time `days` days ago, full year; 0 when no record is given.
int db_cutoff(int days, TimestampRecord* out);
// Age is when an access was recorded, not when its frame was captured: a
// capture played today from a file of last year is kept as long as today's
// traffic.
// Deletes accesses recorded before the cutoff, lowering their URLs' ref_count once
// each, then the URLs left without references; all or nothing. Returns the
// number of accesses removed (0 on failure, with nothing changed).
std::int64_t db_prune(DbSession& s, const TimestampRecord& cutoff);
// The same removal in steps of a day, oldest first, one transaction each
// (at most kPruneSteps of them): a writer on another connection waits for
// one step, never for the whole job. progress(done, total) after each step.
inline constexpr int kPruneSteps = 1000;
std::int64_t db_prune_in_steps(DbSession& s, const TimestampRecord& cutoff,
                               const std::function<void(int, int)>& progress = {});

// ---- alarms table

struct AlarmRow {
  std::int32_t alarm_id = 0;
  int object_type = 0;
  int kind = 0;
  std::int32_t host1_id = 0;
  std::int32_t host2_id = 0;
  std::string protocol;  // up to 20 characters
  int reserved = 0;
  double threshold = 0;
  int direction = 0;
  int unit = 0;
  std::string notify;  // up to 80
  int disabled = 0;
  std::int32_t url_id = 0;
  std::string sound_file;  // up to 80
  int play_sound = 0;
  std::string command;  // up to 80
  int run_command = 0;
  std::int32_t reserved2 = 0;
  std::string delivery;  // "syslog", "webhook:URL", space-separated; up to 1024
};
// Every alarm row, in storage order.
Status db_alarms_load(DbSession& s, std::vector<AlarmRow>& out);
// Replaces the whole table with `rows` in one transaction; each row's
// alarm_id receives its newly generated value.
Status db_alarms_save(DbSession& s, std::vector<AlarmRow>& rows);

}  // namespace tarnix
