// One capture run's engine, assembled in one place for both programs: the
// desktop program hangs its windows on it, the headless one its printing.
//
// The parts, in the order they are made, and what each needs from the
// others:
//   traffic model  made with the session, so a program can set its local
//                  network and networks early; classifier and focus are the
//                  program's; assemble() names hosts through the cache and
//                  hooks the sniffers, duplicates and alarms to its frames.
//   store          optional; opened first, since its host-id store is where
//                  the name cache keeps host ids and its recorder is what the
//                  sniffers feed.
//   name cache     its resolver thread; host ids in the store, else in memory;
//                  the ethers and makers files read into it; the name
//                  sniffer hands it the names heard on the wire.
//   recorder       attached over the name cache (it names the hosts of the
//                  requests it writes); listeners join before it starts.
//   sniffers       HTTP and (unless off) TLS, fed TCP segments by the model.
//   duplicates     the detector the model reports to; its notifier is the
//                  program's and may name hosts from the cache.
//   alarms         optional; read the model, the protocol tree and the cache,
//                  hear every recorded request, see every capture step.
//   capture loop   drives the model; the program gives it its source and
//                  its cycle and end callbacks.
// A new part is made in assemble(), started in start() and stopped in the
// stop steps, each in its place in these orders.
//
// Start: name cache, recorder, stored alarms loaded and the run's
// definitions added, alarm thread; the program then starts capture.
//
// Stop, in the order that loses nothing:
//   stop_capture  no more frames, so no more requests or capture steps;
//   drain         the recorder writes what is on its way and stops (its last
//                 accesses are announced to the alarms), then the alarms act
//                 on what fired and stop;
//   close_store   prune and close the main session;
//   stop_names    the name cache stops last: it writes host ids through the
//                 store's own connection until then. A server of our own
//                 runs until release_store() or the session goes, for
//                 sessions opened on store_path().
// Each step is safe to repeat; the destructor runs those not yet run.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alarms/alarm_runtime.h"
#include "capture/capture_thread.h"
#include "capture/net.h"
#include "db/db_util.h"
#include "db/sql.h"

namespace tarnix {

class AlarmBuilderServices;
class AlarmTable;
class DupIp;
class DupIpNotifier;
class DupIpSink;
class FocusSource;
class HostCache;
class HostIdStore;
class NameService;
class NameSniffer;
class ProtocolTree;
class RequestListener;
class SnifferSink;
class UrlRecorder;
class UrlRecording;

// The values a run reads, filled by each program from its own settings or
// options.
struct SessionOptions {
  // Both not owned; they outlive the session.
  Classifier* classifier = nullptr;
  FocusSource* focus = nullptr;
  bool resolve_names = true;
  // Names hosts tell each other (DNS answers, DHCP) name them too.
  bool heard_names = true;
  // The ethers file and the adapter makers; empty: the system's own.
  std::string ethers_file;
  std::string manufacturers_file;
  bool show_manufacturers = false;
  // Server names of TLS handshakes are recorded with the requests.
  bool tls_names = true;
  // A file can wait for the store; an adapter cannot, and there a full
  // queue is counted as lost.
  bool source_can_wait = false;
  // Duplicate detection from the start; otherwise it waits for open().
  bool detect_duplicates = false;
  int node_timeout_s = 10;
  int link_timeout_s = 5;
  // Bounds of a network's hosts and links (0: none); see net_keep_bound.
  std::size_t max_hosts = kDefaultMaxHosts;
  std::size_t max_links = kDefaultMaxLinks;
  CaptureLoop::Options loop;
  // Made once the name cache exists; null: duplicates are kept, not told.
  std::function<std::unique_ptr<DupIpNotifier>(HostCache&)> duplicate_notifier;
};

class EngineSession {
 public:
  explicit EngineSession(SessionOptions options);
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // Optional, before assemble(): opens the database. On failure `ui` has
  // shown why and the run goes on without a store only if the caller wants.
  Status open_store(const DbConfig& config, DbStartupUi& ui);
  // Makes the parts listed above (all but the alarms; the model exists from
  // the start) and wires them into the model. Nothing runs yet.
  void assemble();
  // After assemble(): the alarms over the model, the tree and the cache.
  AlarmRuntime& add_alarms(const ProtocolTree* tree, AlarmRuntime::Options options);
  // The alarms kept in the store; start() loads them when this has not.
  void load_stored_alarms();
  // Before start(); ignored without a store.
  void add_request_listener(RequestListener* listener);
  // Starts the threads (see the order above). A definition that does not
  // parse is an error; the session is then left to be stopped.
  Status start(const std::vector<std::string>& alarm_definitions = {});
  // Only the name cache: for work on the store that captures nothing.
  void start_names();

  // A file is read in moments: its reading waits until the stored host
  // alarms can bind to their hosts. True when capture may start now;
  // otherwise false, and `later` runs once (on the resolver thread) when it
  // may.
  bool ready_to_capture(bool file_source, std::function<void()> later);
  // The same for a program without an event loop: waits here.
  void wait_ready_to_capture(bool file_source);
  void start_capture() { loop_->start(); }

  void stop_capture();
  // Waits at most `bound` for the recorder (saying on `report` how many
  // requests were left unrecorded) and then for the alarms.
  void drain(std::chrono::milliseconds bound, std::FILE* report = stderr);
  void close_store(int prune_days);
  void stop_names();
  // All four, in order.
  void stop(std::chrono::milliseconds bound, int prune_days = 0);
  // After the stop: the store goes now, with a server of our own, rather
  // than with the session.
  void release_store();

  // Between sources: whether the new one can wait for the store.
  void set_source_can_wait(bool can_wait);

  TrafficModel& model() { return *model_; }
  CaptureLoop& loop() { return *loop_; }
  HostCache& names() { return *cache_; }
  // What assemble() found wrong reading the ethers and makers files, one
  // line each; none of it stops the run.
  const std::vector<std::string>& name_file_messages() const { return name_file_messages_; }
  DupIp& duplicates() { return *dupip_; }
  // Null without them.
  AlarmRuntime* alarms() { return alarms_.get(); }
  UrlRecording* store() { return store_.get(); }
  bool has_store() const { return store_ != nullptr; }
  // Empty without a store.
  std::string store_path() const;
  // Which database is in use ("SQLite file ..."); empty before open_store().
  const std::string& store_description() const { return store_description_; }
  // The recorder's counts; only with a store.
  const UrlRecorder& recorder() const;

  // What the Alarm Builder and the headless alarm edits use: look-ups
  // through the cache (and the store), and the stored alarms' table (null
  // without a store). Made on first use, over the store's main session;
  // released once no worker uses them any more (stop() does it first).
  AlarmBuilderServices& alarm_services();
  AlarmTable* alarm_table();
  void release_alarm_editing();

 private:
  SessionOptions options_;
  std::string store_description_;
  std::unique_ptr<UrlRecording> store_;
  std::unique_ptr<NameService> name_service_;
  std::unique_ptr<HostIdStore> memory_ids_;
  std::unique_ptr<HostCache> cache_;
  std::unique_ptr<HostNamer> namer_;
  std::unique_ptr<NameSniffer> name_sniffer_;  // heard names, into the cache
  std::vector<std::string> name_file_messages_;
  std::unique_ptr<SnifferSink> sniffers_;
  std::unique_ptr<DupIpNotifier> dup_notifier_;
  std::unique_ptr<DupIp> dupip_;
  std::unique_ptr<DupIpSink> dup_sink_;
  std::unique_ptr<TrafficModel> model_;  // made first, wired by assemble()
  std::unique_ptr<AlarmRuntime> alarms_;
  std::unique_ptr<CaptureLoop> loop_;
  std::unique_ptr<AlarmBuilderServices> alarm_services_;
  std::unique_ptr<AlarmTable> alarm_table_;

  bool names_started_ = false;
  bool recorder_started_ = false;
  bool alarms_loaded_ = false;
  bool alarms_started_ = false;
  bool drained_ = false;
  bool store_closed_ = false;
};

}  // namespace tarnix
