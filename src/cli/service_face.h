// The sensor's service face: what --listen, --events and the alarm
// deliveries add to a capture run. It hears of recorded requests, alarm
// firings, duplicate addresses and adapter reopens, writes them as JSON
// lines, passes firings on to syslog and webhooks, and answers the metrics
// and JSON API from snapshots taken briefly under the network's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarms/actions.h"
#include "cli/options.h"
#include "cli/summary.h"
#include "db/recorder.h"
#include "naming/dupip.h"
#include "service/access.h"
#include "service/delivery.h"
#include "service/events.h"
#include "service/http_server.h"
#include "service/metrics.h"

namespace tarnix {
class AlarmRuntime;
class Classifier;
class HostCache;
class SharedFocus;
class UrlRecording;
}  // namespace tarnix

namespace tarnix::cli {

// What the run's options ask of the service face, checked before anything
// opens: a bad address or a missing token stops the program at once.
struct ServiceConfig {
  bool listen = false;
  service::ListenAddress where;
  std::string token;   // empty: no token asked for (loopback only)
  std::string events;  // "" none, "-" standard output, else a file
  double events_interval = 60;
  int top = 10;
  bool any() const { return listen || !events.empty(); }
};
bool service_config(const Options& opt, ServiceConfig& out, std::string& error);
// Whether a capture run needs the service face: it listens or writes events,
// or has alarms (given or stored) whose firings may be delivered.
bool service_wanted(const Options& opt, const ServiceConfig& config);

class ServiceFace final : public RequestListener, public AlarmFiringSink, public DupIpNotifier {
 public:
  // The run's parts the answers are read from; those not in this run are null.
  struct Pieces {
    Net* net = nullptr;
    const Classifier* classifier = nullptr;
    SharedFocus* focus = nullptr;
    UrlRecording* recording = nullptr;
    AlarmRuntime* alarms = nullptr;
    HostCache* names = nullptr;
    DupIp* duplicates = nullptr;
    std::string interface;
    bool live = false;
  };

  explicit ServiceFace(ServiceConfig config);
  ~ServiceFace() override;

  // Opens the events file (before the program changes user, while the
  // folder is writable); false with the reason.
  bool open(std::string& error);
  // Duplicate reports reach `inner` as before, and the events too.
  DupIpNotifier* duplicates(DupIpNotifier* inner) {
    dup_inner_ = inner;
    return this;
  }
  // From the adapter's reopen notice (capture thread).
  void capture_changed(const std::string& message, bool down);

  // Listens, starts the events writer, the webhooks and the ticker; false
  // with the reason when the port cannot be had.
  bool start(const Pieces& pieces, std::string& error);
  // Before the summary: the last summary line, then everything written.
  void stop();
  std::uint16_t port() const { return server_.port(); }
  // Log rotation: the events file is opened again by name (any thread).
  void reopen_files();

  void on_request_recorded(const RecordedRequest& request) override;
  void on_firing(const AlarmFiring& firing) override;
  void duplicate_found(const DupIpReport& report) override;
  void duplicate_grew(const DupIpReport& report) override;

  // The answers, each from a fresh snapshot.
  // top: how many hosts and links to rank; -1 for the run's --top.
  service::MetricsSnapshot snapshot(int top = -1);
  service::HttpResponse answer(const service::HttpRequest& request);

 private:
  Summary live_summary();
  std::string top_json(int n);
  std::string requests_json(std::int64_t after, int limit);
  std::string alarms_json();
  void tick();
  std::string summary_line(bool final);
  void event(std::string line, bool may_wait = false);

  ServiceConfig config_;
  Pieces pieces_;
  std::string sensor_;
  std::unique_ptr<service::EventsWriter> events_;
  service::CurlPoster poster_;
  std::unique_ptr<service::WebhookSender> webhooks_;
  service::HttpServer server_;
  DupIpNotifier* dup_inner_ = nullptr;

  std::mutex mutex_;  // the three lists and counts below
  std::deque<RecordedRequest> recent_requests_;
  std::deque<std::string> recent_firings_;  // JSON objects
  std::uint64_t http_recorded_ = 0;
  std::uint64_t tls_recorded_ = 0;
  std::atomic<std::uint64_t> reopens_{0};

  std::mutex tick_mutex_;
  std::condition_variable tick_cv_;
  bool stopping_ = false;
  std::thread ticker_;
  bool started_ = false;
  bool final_line_ = true;  // stop() writes a last summary line
};

// Puts the service face in front of the run's own duplicate notifier, which
// it keeps: the engine owns notifiers, the face only passes reports on.
class ServiceDupIpNotifier final : public DupIpNotifier {
 public:
  ServiceDupIpNotifier(ServiceFace& face, std::unique_ptr<DupIpNotifier> own) : face_(face), own_(std::move(own)) {
    face_.duplicates(own_.get());
  }
  void duplicate_found(const DupIpReport& report) override { face_.duplicate_found(report); }
  void duplicate_grew(const DupIpReport& report) override { face_.duplicate_grew(report); }

 private:
  ServiceFace& face_;
  std::unique_ptr<DupIpNotifier> own_;
};

}  // namespace tarnix::cli
