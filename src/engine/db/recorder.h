// The URL recorder: turns each sniffed HTTP request into a URL, an access and
// host rows.
//
// The capture thread only counts the request, splits its target and queues
// it; a store thread owns the database writes and commits them in batches.
// A request whose hosts the name cache does not know yet is parked with the
// resolver and picked up again, on the store thread, once the answer is in,
// or written with what is known (the dotted address) once it has waited its
// bound. Each access is announced to the listeners (the alarms, the request
// log) only once its transaction has committed, in the order written. A
// batch that cannot be committed is kept (up to a bound) and tried again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/url_counters.h"
#include "db/db_store.h"
#include "naming/host_cache.h"
#include "sniff/http.h"

namespace tarnix {

struct RecordedRequest {
  std::int64_t time = 0;  // seconds since the epoch, when the request was seen
  NetAddress client, server;
  std::string client_name, server_name;  // record names; the dotted address when unnamed
  std::string target;                    // the request target as sniffed
  std::string url;                       // scheme://host[:port]/path
  std::string hostname_used;             // the "Host:" value; empty when there was none
  std::int32_t url_id = 0;
  UrlSite site;                  // the URL's identity (its text not filled in)
  std::int32_t url_hist_id = 0;  // 0 when no access row could be written
  bool proxy = false;            // sent to a proxy (absolute URL)
  int method = 1;                // kMethodTls for an HTTPS visit
};

class RequestListener {
 public:
  virtual ~RequestListener() = default;
  // Called on the store thread once the access is committed, never for one
  // that was not.
  virtual void on_request_recorded(const RecordedRequest& request) = 0;
};

// Every request seen ends as one of recorded, dropped_full, given_up or
// store_failed (or is still on its way). A botched target (a proxy request
// without a host) is no request to record: counted apart.
struct UrlRecorderStats {
  std::uint64_t seen = 0;          // requests handed to the recorder, botched ones not included
  std::uint64_t unusable = 0;      // botched targets, not recorded and not lost
  std::uint64_t queued = 0;        // taken for the store thread
  std::uint64_t recorded = 0;      // access rows committed
  std::uint64_t announced = 0;     // listener calls (committed rows only)
  std::uint64_t dropped_full = 0;  // refused because too many were on their way
  std::uint64_t given_up = 0;      // no host to store it under
  std::uint64_t store_failed = 0;  // lost because the store could not write them
  std::uint64_t failed = 0;        // failed writes (a failed batch counts once)
  std::uint64_t dropped() const { return dropped_full + given_up + store_failed; }
};

class UrlRecorder final : public HttpRequestSink {
 public:
  struct Options {
    // Most requests on their way at once (queued, parked with the resolver,
    // held for their turn); beyond it a request is refused and counted, or,
    // with block_when_full, its sender waits: memory stays bounded.
    std::size_t max_queued = 1u << 16;
    // For a capture file, which can wait: the sender waits for room rather
    // than losing requests. A live adapter cannot wait.
    bool block_when_full = false;
    // Most requests written in one transaction. Batches only grow while the
    // store thread has a backlog; bigger ones write each hot page less often.
    std::size_t batch_max = 65536;
    // Longest wait for the name service: a request still parked after it is
    // written with what is known (an unnamed host under its address).
    std::chrono::milliseconds name_wait{5000};
    // Requests of failed batches kept for another try, and how often one is
    // made while the store fails (in pieces that halve with each failure);
    // past the bound the oldest are lost (and counted).
    std::size_t retain_max = 1u << 16;
    std::chrono::milliseconds retry_every{1000};
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
  // Waits at most `bound` until every request taken has been committed or
  // given up; returns how many were still outstanding.
  int finish(std::chrono::milliseconds bound);
  // Writes what is queued, and what is still parked with the resolver with
  // what is known, tries a kept batch once more, and ends the store thread.
  void stop();

  // db_urls_record_access, on the capture thread: 1, or -1 for a proxied
  // request without a URL host. Never waits for the database, except with
  // block_when_full while too many requests are on their way.
  // A request without a capture time (kNoCaptureTime) is stamped with the time
  // of the hand-over.
  // Client and server must be IP addresses (IPv4 or IPv6); anything else is
  // counted as unusable (-1).
  int record_request(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                     const char* host_name, const char* target,
                     std::int64_t seen_at = kNoCaptureTime) override;
  // An HTTPS visit: recorded as a direct request for https://NAME/ whose
  // "Host:" value was NAME, with method kMethodTls.
  int record_server_name(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                         const char* name, std::int64_t seen_at) override;
  // A direct request whose "Host:" field named a port: the port is part of
  // its URL (the scheme's own port counts as none).
  int record_request_at_port(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                             const char* host_name, std::uint16_t host_port, const char* target,
                             std::int64_t seen_at) override;
  // The same between IPv4 addresses (4 bytes each, network order).
  int record_request(UrlCounters& counters, const std::uint8_t client[4], const std::uint8_t server[4],
                     const char* host_name, const char* target, std::int64_t seen_at = kNoCaptureTime);
  int record_server_name(UrlCounters& counters, const std::uint8_t* client, const std::uint8_t* server,
                         const char* name, std::int64_t seen_at);

  // Options::block_when_full, for a program whose source changes between a
  // file and an adapter while it runs.
  void set_block_when_full(bool block);

  UrlRecorderStats stats() const;
  int parked() const;
  // Settled requests waiting for an earlier one to be written first.
  int held() const;
  // The store thread's session, for tests; only while the thread is stopped.
  DbSession& session() { return *writer_; }

  struct Inbox;
  struct Pending;
  struct Job;

 private:
  struct Steps;
  using Clock = std::chrono::steady_clock;
  void run();
  int queue(UrlCounters& counters, const NetAddress& client, const NetAddress& server, const char* host_name,
            const char* target, int method, std::int64_t seen_at, std::uint16_t host_port = 0);
  // Outside any transaction: the name cache's entries for the addresses of
  // requests that have waited long enough (making them stores host rows).
  void prepare_forced(const std::vector<std::shared_ptr<Pending>>& forced);
  void note_write_failure(const std::string& why);

  std::unique_ptr<DbSession> writer_;
  HostCache& names_;
  Options options_;
  std::shared_ptr<Inbox> inbox_;
  // Requests are written in the order they were seen: one that settles
  // while an earlier one is still with the resolver waits here, by its
  // sequence number (a null request: given up, nothing to write). Store
  // thread only, as are the three below.
  std::map<std::uint64_t, std::shared_ptr<Pending>> held_;
  std::uint64_t release_next_ = 0;
  // Parked requests in the order they first parked, which is the order of
  // their name_wait deadlines (settled ones are skipped when reached).
  std::deque<std::shared_ptr<Pending>> parked_;
  // Requests of failed writes, oldest first, for the next try.
  std::deque<std::shared_ptr<Pending>> retained_;
  bool failing_ = false;
  Clock::time_point next_attempt_{};
  std::size_t retry_chunk_ = 1;  // most kept requests in one try
  std::vector<RequestListener*> listeners_;
  std::thread thread_;
};

// For the end of a capture: waits at most `bound` for the requests still on
// their way, stops the recorder (which writes what is left with what is
// known), then writes "db_urls_finish: N HTTP requests left unrecorded" to
// `report` when N, every request seen and not stored, is not 0. Returns N.
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
