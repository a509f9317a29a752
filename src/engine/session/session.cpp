#include "session/session.h"

#include <algorithm>
#include <future>

#include "alarms/alarm_builder.h"
#include "alarms/alarm_db.h"
#include "capture/bindings.h"
#include "db/recorder.h"
#include "db/url_recording.h"
#include "naming/dupip.h"
#include "naming/host_cache.h"
#include "pdl/protocol_tree.h"
#include "sniff/names.h"

namespace tarnix {

EngineSession::EngineSession(SessionOptions options)
    : options_(std::move(options)),
      model_(std::make_unique<TrafficModel>(options_.classifier, nullptr, options_.focus)) {
  model_->node_timeout_s = options_.node_timeout_s;
  model_->link_timeout_s = options_.link_timeout_s;
  model_->max_hosts = options_.max_hosts;
  model_->max_links = options_.max_links;
}

EngineSession::~EngineSession() {
  // A run that ended without its stop (a failed start-up) still ends its
  // threads before anything they use goes away; nothing waits any more.
  stop_capture();
  drain(std::chrono::milliseconds(0), stderr);
  release_alarm_editing();
  close_store(0);
  stop_names();
}

Status EngineSession::open_store(const DbConfig& config, DbStartupUi& ui) {
  store_description_ = db_describe(config);
  auto store = std::make_unique<UrlRecording>();
  if (!store->open(config, ui)) return Status::error(1, "cannot open the database: " + store_description_);
  store_ = std::move(store);
  return Status::ok_status();
}

void EngineSession::assemble() {
  if (loop_) return;
  // The system's service lives as long as the process: a look-up the stop
  // leaves behind may outlive the session.
  NameService* service = &system_name_service();
  if (!options_.resolve_names) {
    name_service_ = std::make_unique<NullNameService>();
    service = name_service_.get();
  }
  HostIdStore* ids = nullptr;
  if (store_) {
    ids = &store_->host_ids();
  } else {
    memory_ids_ = std::make_unique<MemoryHostIdStore>();
    ids = memory_ids_.get();
  }
  HostCacheOptions cache_options;
  cache_options.heard_names = options_.heard_names;
  cache_options.max_entries = host_cache_bound(options_.max_hosts);
  // New hosts' look-ups wait up to a quarter of the host bound: a capture
  // file of a large LAN read flat out still has every host named, while a
  // flood of new addresses holds at most that many records for answers.
  cache_options.host_queue_max = std::max<std::size_t>(cache_options.host_queue_max, options_.max_hosts / 4);
  cache_ = std::make_unique<HostCache>(*service, *ids, cache_options);
  name_file_messages_ = load_name_files(*cache_, options_.ethers_file, options_.manufacturers_file,
                                        options_.show_manufacturers);
  name_sniffer_ = std::make_unique<NameSniffer>(*cache_);
  namer_ = std::make_unique<HostCacheNamer>(*cache_, options_.resolve_names);

  if (store_) {
    UrlRecorder::Options recorder_options;
    recorder_options.block_when_full = options_.source_can_wait;
    // Requests seen from here on are queued; the recorder writes them once
    // it starts.
    store_->attach(*cache_, recorder_options);
    sniffers_ = std::make_unique<SnifferSink>(store_->sniffer(),
                                              options_.tls_names ? &store_->tls_sniffer() : nullptr);
  }

  if (options_.duplicate_notifier) dup_notifier_ = options_.duplicate_notifier(*cache_);
  dupip_ = std::make_unique<DupIp>(dup_notifier_.get());
  dup_sink_ = std::make_unique<DupIpSink>(*dupip_);
  // Off, the frame path only tests the switch.
  if (options_.detect_duplicates) dupip_->open();

  model_->namer = namer_.get();
  model_->hooks.duplicates = dup_sink_.get();
  model_->hooks.tcp = sniffers_.get();
  if (options_.heard_names) model_->hooks.names = name_sniffer_.get();
  loop_ = std::make_unique<CaptureLoop>(*model_, options_.loop);
}

AlarmRuntime& EngineSession::add_alarms(const ProtocolTree* tree, AlarmRuntime::Options options) {
  alarms_ = std::make_unique<AlarmRuntime>(*model_, tree, cache_.get(), std::move(options));
  // URL alarms hear of every recorded access: the listener joins before the
  // recorder starts.
  if (store_) store_->add_listener(&alarms_->request_listener());
  model_->hooks.step = &alarms_->step_sink();
  return *alarms_;
}

void EngineSession::load_stored_alarms() {
  if (alarms_loaded_ || !alarms_) return;
  alarms_loaded_ = true;
  if (store_) alarms_->load(store_->session());
}

void EngineSession::add_request_listener(RequestListener* listener) {
  if (store_ && listener) store_->add_listener(listener);
}

void EngineSession::start_names() {
  if (names_started_) return;
  names_started_ = true;
  cache_->start();
}

Status EngineSession::start(const std::vector<std::string>& alarm_definitions) {
  start_names();
  if (store_ && !recorder_started_) {
    recorder_started_ = true;
    store_->start();
  }
  if (!alarms_) return Status::ok_status();
  load_stored_alarms();
  // A URL in a definition is looked up through the running name cache.
  for (const std::string& def : alarm_definitions) {
    std::string error;
    if (!alarms_->add_definition(def, store_ ? &store_->session() : nullptr, error))
      return Status::error(2, error);
  }
  alarms_started_ = true;
  alarms_->start();
  return Status::ok_status();
}

bool EngineSession::ready_to_capture(bool file_source, std::function<void()> later) {
  return !file_source || !alarms_ || alarms_->hosts_answered(std::move(later));
}

void EngineSession::wait_ready_to_capture(bool file_source) {
  auto answered = std::make_shared<std::promise<void>>();
  if (!ready_to_capture(file_source, [answered] { answered->set_value(); })) answered->get_future().wait();
}

void EngineSession::stop_capture() {
  if (loop_) loop_->stop();
}

void EngineSession::drain(std::chrono::milliseconds bound, std::FILE* report) {
  if (drained_) return;
  drained_ = true;
  // The recorder announces its last accesses to the alarms, so it finishes
  // first; both need the name cache still running.
  if (store_ && cache_ && !store_closed_) db_urls_finish(store_->recorder(), bound, report);
  if (alarms_ && alarms_started_) alarms_->stop(bound);
}

void EngineSession::close_store(int prune_days) {
  if (!store_ || store_closed_) return;
  store_closed_ = true;
  // What drain() left unrecorded has been told already.
  store_->close(std::chrono::milliseconds(0), drained_ ? nullptr : stderr, prune_days);
}

void EngineSession::stop_names() {
  if (cache_ && names_started_) cache_->stop();
  names_started_ = false;
}

void EngineSession::release_store() {
  if (!store_) return;
  // The name cache writes host ids through the store, the sniffers feed its
  // recorder and the alarm look-ups use its session: all are done with it.
  stop(std::chrono::milliseconds(0), 0);
  model_->hooks.tcp = nullptr;
  sniffers_.reset();
  store_.reset();
}

void EngineSession::stop(std::chrono::milliseconds bound, int prune_days) {
  stop_capture();
  drain(bound);
  release_alarm_editing();
  close_store(prune_days);
  stop_names();
}

void EngineSession::set_source_can_wait(bool can_wait) {
  if (store_ && cache_ && !store_closed_) store_->recorder().set_block_when_full(can_wait);
}

std::string EngineSession::store_path() const {
  return store_ ? store_->path() : std::string();
}

const UrlRecorder& EngineSession::recorder() const {
  return store_->recorder();
}

AlarmBuilderServices& EngineSession::alarm_services() {
  if (!alarm_services_)
    alarm_services_ =
        std::make_unique<CacheBuilderServices>(cache_.get(), store_ ? &store_->session() : nullptr);
  return *alarm_services_;
}

AlarmTable* EngineSession::alarm_table() {
  if (!alarm_table_ && store_ && !store_closed_)
    alarm_table_ = std::make_unique<DbAlarmTable>(store_->session());
  return alarm_table_.get();
}

void EngineSession::release_alarm_editing() {
  alarm_table_.reset();
  alarm_services_.reset();
}

}  // namespace tarnix
