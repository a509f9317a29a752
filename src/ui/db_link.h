// The database as the desktop program uses it: the recording of HTTP
// requests seen on the wire (the sniffer, the recorder, the host-id store of
// the name cache) and the main thread's session, opened with the start-up
// messages shown in boxes.
#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <string>

#include "app/messages.h"

namespace tarnix {
class DbSession;
class HostCache;
class HostIdStore;
class RequestListener;
class TcpSink;
class UrlRecording;
}  // namespace tarnix

namespace tarnix::ui {

class DbLink {
 public:
  DbLink();
  ~DbLink();
  // Makes sure the folder exists and connects, with retries, beeps and the
  // messages "Couldn't start database" / "Failed to connect to DB server".
  // An empty `connect` and no `own_server` keep the SQLite file in `dbpath`;
  // `own_server` runs a PostgreSQL server with its data in `dbpath`/pgdata;
  // `connect` names a server shared with other sensors. `sensor` names this
  // one (empty: the host name).
  bool start(const QString& dbpath, app::Messenger& messenger, const QString& connect = {},
             bool own_server = false, const QString& sensor = {});
  // Which database is in use, for the user ("SQLite file ...").
  std::string description() const;
  bool connected() const;
  // The name cache's host ids, on a connection of their own. Only once
  // connected.
  HostIdStore& host_ids();
  // Creates the recorder over the name cache; after it the frame path may
  // hand segments to tcp_sink() (requests are queued until start_recording).
  // With `tls_names` the server names of TLS handshakes are recorded too.
  void attach(HostCache& cache, bool tls_names = true);
  // Null before attach().
  TcpSink* tcp_sink();
  // Before start_recording(); the listener must outlive finish().
  void add_listener(RequestListener* listener);
  void start_recording();
  // A file can wait for the store when requests come faster than it writes
  // them; a live adapter cannot, and there the excess is counted as lost.
  void set_source_can_wait(bool can_wait);
  // The database file, for threads that open sessions of their own; empty
  // when not connected.
  std::string file_path() const;
  // The user-interface thread's own session (alarms, windows, prune).
  DbSession& session();
  // After capture has stopped: waits at most `bound` for requests on their
  // way (a line on standard error says how many were left) and stops the
  // recorder. The name cache must still run.
  int finish(std::chrono::milliseconds bound);
  // Prunes accesses older than `prune_days` days and disconnects. Safe
  // without finish() and safe twice.
  void shutdown(int prune_days);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnix::ui
