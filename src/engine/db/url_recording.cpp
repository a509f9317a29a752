#include "db/url_recording.h"

namespace tarnix {

UrlRecording::~UrlRecording() {
  if (recorder_) recorder_->stop();
  // Only now: after close() the summary and the reports still read what was
  // recorded, and the name cache may still be storing host ids.
  stop_server();
}

void UrlRecording::stop_server() {
  if (!server_started_) return;
  server_started_ = false;
  db_stop_server(config_);
}

bool UrlRecording::open(const DbConfig& config, DbStartupUi& ui) {
  if (!db_start_server(config, ui)) return false;
  config_ = config;
  server_started_ = true;
  main_ = db_connect(config, ui);
  if (!main_) {
    stop_server();
    return false;
  }
  path_ = db_file_path(config);
  Status st;
  auto ids_session = db_open_session(path_, nullptr, &st);
  if (!ids_session) {
    std::fprintf(stderr, "db_connect: %s: %s\n", path_.c_str(), st.message().c_str());
    ui.error(kDbErrorTitle, kDbConnectFailed);
    main_.reset();
    return false;
  }
  ids_ = std::make_unique<DbHostIdStore>(std::move(ids_session));
  return true;
}

void UrlRecording::attach(HostCache& cache, UrlRecorder::Options options) {
  ids_->set_names(&cache);
  main_->set_names(&cache);
  Status st;
  auto writer = db_open_session(path_, &cache, &st);
  if (!writer) {
    // The file opened a moment ago; without a writer the requests are
    // counted and refused rather than stopping the capture.
    std::fprintf(stderr, "db_urls_record_access: %s: %s\n", path_.c_str(), st.message().c_str());
  }
  recorder_ = std::make_unique<UrlRecorder>(std::move(writer), cache, options);
  sniffer_ = std::make_unique<HttpSniffer>(*recorder_);
  tls_ = std::make_unique<TlsSniffer>(*recorder_);
}

int UrlRecording::close(std::chrono::milliseconds bound, std::FILE* report, int prune_days) {
  // The count is said once, however often this is called.
  if (recorder_ && !finished_) {
    finished_ = true;
    left_ = db_urls_finish(*recorder_, bound, report);
  }
  const int left = left_;
  if (main_) {
    main_->set_names(nullptr);
    db_shutdown(std::move(main_), prune_days);
  }
  if (recorder_) recorder_->stop();
  return left;
}

}  // namespace tarnix
