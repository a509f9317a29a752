// Everything a program needs to record HTTP requests into the database, in
// start-up order:
//
//   UrlRecording rec;
//   if (!rec.open(config, ui)) return kDbFatalExitStatus;   // messages shown
//   HostCache cache(name_service, rec.host_ids());
//   rec.attach(cache);                 // after the cache exists
//   rec.add_listener(&printer);        // --print-requests, alarms: before start
//   cache.start(); rec.start();
//   ... frame handler: rec.sniffer().handle_segment(tcp, caplen, wirelen, src, dst, counters);
//                      and, unless HTTPS names are off, rec.tls_sniffer().handle_segment(...)
//   rec.close(bound, stderr, prune_days);   // before the cache is destroyed
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>

#include "db/db_util.h"
#include "db/recorder.h"
#include "sniff/tls.h"

namespace tarnix {

class UrlRecording {
 public:
  UrlRecording() = default;
  ~UrlRecording();
  UrlRecording(const UrlRecording&) = delete;
  UrlRecording& operator=(const UrlRecording&) = delete;

  // Makes the folder, opens the database and the host-id store's connection.
  // False after the start-up message; the caller ends with kDbFatalExitStatus.
  bool open(const DbConfig& config, DbStartupUi& ui);
  // For the name cache's constructor. Only after open().
  HostIdStore& host_ids() { return *ids_; }
  // Creates the recorder over the cache. Only after open().
  void attach(HostCache& cache, UrlRecorder::Options options = UrlRecorder::Options());
  void add_listener(RequestListener* listener) { recorder_->add_listener(listener); }
  void start() { recorder_->start(); }

  HttpSniffer& sniffer() { return *sniffer_; }
  TlsSniffer& tls_sniffer() { return *tls_; }
  UrlRecorder& recorder() { return *recorder_; }
  // The main thread's own session (windows, summary, prune at exit).
  DbSession& session() { return *main_; }
  const std::string& path() const { return path_; }

  // Waits at most `bound` for parked requests (saying on `report` how many
  // were left), stops the recorder, prunes by `prune_days` (0 keeps all) and
  // closes. Returns the requests left unrecorded. Safe to call twice. A
  // server of our own keeps running, for sessions opened on path(), until
  // this object goes.
  int close(std::chrono::milliseconds bound, std::FILE* report, int prune_days);

 private:
  void stop_server();

  DbConfig config_;
  bool server_started_ = false;
  std::string path_;
  std::unique_ptr<DbSession> main_;
  std::unique_ptr<DbHostIdStore> ids_;
  std::unique_ptr<UrlRecorder> recorder_;
  bool finished_ = false;
  int left_ = 0;
  std::unique_ptr<HttpSniffer> sniffer_;
  std::unique_ptr<TlsSniffer> tls_;
};

}  // namespace tarnix
