// The URL recorder: turns each sniffed HTTP request into a URL, an access and
// host rows.
//
// The capture thread only counts the request, splits its target and queues
// it; a store thread owns the database writes and commits them in batches.
// A request whose hosts the name cache does not know yet is parked with the
// resolver and picked up again, on the store thread, once the answer is in.
// Each recorded access is then announced to the listeners (the alarms, the
// request log), in the order the accesses were written.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/url_counters.h"
#include "db/db_store.h"
#include "db/http.h"
#include "naming/hostc.h"

namespace tarnix {

struct RecordedRequest {
  std::int64_t time = 0;  // seconds since the epoch, when the request was seen
  NetAddress client, server;
  std::string client_name, server_name;  // record names; the dotted address when unnamed
  std::string target;                    // the request target as sniffed
  std::string url;                       // scheme://host[:port]/path
  std::string hostname_used;             // the "Host:" value; empty when there was none
  std::int32_t url_id = 0;
  std::int32_t url_hist_id = 0;  // 0 when no access row could be written
  bool proxy = false;            // sent to a proxy (absolute URL)
  int method = 1;                // kMethodTls for an HTTPS visit
};

class RequestListener {
 public:
  virtual ~RequestListener() = default;
  // Called on the store thread once the access is committed.
  virtual void on_request_recorded(const RecordedRequest& request) = 0;
};

struct UrlRecorderStats {
  std::uint64_t queued = 0;        // requests taken from the sniffer
  std::uint64_t recorded = 0;      // access rows written
  std::uint64_t announced = 0;     // listener calls (written or not)
  std::uint64_t dropped_full = 0;  // refused because the queue was full
  std::uint64_t given_up = 0;      // a host could not be found at all
  std::uint64_t failed = 0;        // database errors
};

class UrlRecorder final : public HttpRequestSink {
 public:
  struct Options {
    // Requests waiting for the store thread beyond this are refused (and
    // counted) rather than letting memory grow without bound.
    std::size_t max_queued = 1u << 20;
    // Most requests written in one transaction. Batches only grow while the
    // store thread has a backlog; bigger ones write each hot page less often.
    std::size_t batch_max = 65536;
  };

  // `writer` is the store thread's own session (without one every request
  // is counted and refused); `names` must outlive the recorder's stop().
  UrlRecorder(std::unique_ptr<DbSession> writer, HostCache& names);
  UrlRecorder(std::unique_ptr<DbSession> writer, HostCache& names, Options options);
  ~UrlRecorder() override;
  UrlRecorder(const UrlRecorder&) = delete;
  UrlRecorder& operator=(const UrlRecorder&) = delete;

  // Before start(). The listener must outlive stop().
  void add_listener(RequestListener* listener);
  void start();
  // Waits at most `bound` until every queued and parked request has been
  // recorded or given up; returns how many were still outstanding.
  int finish(std::chrono::milliseconds bound);
  // Writes what is queued and ends the store thread. Requests still parked
  // with the resolver are dropped when their answer arrives; requests held
  // behind them are written.
  void stop();

  // db_urls_record_access, on the capture thread: 1, or -1 for a proxied
  // request without a URL host. Never waits for the database.
  // A request without a capture time (kNoCaptureTime) is stamped with the time
  // of the hand-over.
  int record_request(UrlCounters& counters, const std::uint8_t client[4], const std::uint8_t server[4],
                     const char* host_name, const char* target,
                     std::int64_t seen_at = kNoCaptureTime) override;
  // An HTTPS visit: recorded as a direct request for https://NAME/ whose
  // "Host:" value was NAME, with method kMethodTls.
  int record_server_name(UrlCounters& counters, const std::uint8_t* client, const std::uint8_t* server,
                         const char* name, std::int64_t seen_at) override;

  UrlRecorderStats stats() const;
  int parked() const;
  // The store thread's session, for tests; only while the thread is stopped.
  DbSession& session() { return *writer_; }

  struct Inbox;
  struct Pending;
  struct Job;

 private:
  struct Steps;
  void run();
  int queue(UrlCounters& counters, const std::uint8_t client[4], const std::uint8_t server[4],
            const char* host_name, const char* target, int method, std::int64_t seen_at);

  std::unique_ptr<DbSession> writer_;
  HostCache& names_;
  Options options_;
  std::shared_ptr<Inbox> inbox_;
  // Requests are written in the order they were seen: one that settles
  // while an earlier one is still with the resolver waits here, by its
  // sequence number (a null request: given up, nothing to write). Store
  // thread only.
  std::map<std::uint64_t, std::pair<std::shared_ptr<Pending>, bool>> held_;
  std::uint64_t release_next_ = 0;
  std::vector<RequestListener*> listeners_;
  std::thread thread_;
};

// For the end of a capture: waits at most `bound` for the requests still
// queued or parked, writes "db_urls_finish: N HTTP requests left unrecorded"
// to `report` when some are left, then stops the recorder. Returns N.
int db_urls_finish(UrlRecorder& recorder, std::chrono::milliseconds bound, std::FILE* report);

int db_urls_record_access(UrlRecorder& recorder, UrlCounters& counters, const std::uint8_t client[4],
                          const std::uint8_t server[4], const char* host_name, const char* target,
                          std::int64_t seen_at = kNoCaptureTime);

// The URL of a request as one text: scheme word, "://", host, ":port" unless
// 0 or 80, path.
std::string url_request_text(int scheme, std::string_view host, std::uint16_t port, std::string_view path);

// Prints one line per recorded request, like a request logger:
// "2026-12-07 08:20:13 10.0.0.2 -> 10.0.0.1 http://www.example/ direct",
// with " tls" after an HTTPS visit.
class RequestLogPrinter final : public RequestListener {
 public:
  explicit RequestLogPrinter(std::FILE* out) : out_(out) {}
  void on_request_recorded(const RecordedRequest& r) override;
  static std::string format(const RecordedRequest& r);

 private:
  std::FILE* out_;
};

}  // namespace tarnix
