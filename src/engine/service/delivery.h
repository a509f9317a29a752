// Alarm firings delivered beyond the sensor: to the system log (the journal
// when it runs, syslog otherwise) and to webhooks (an HTTP POST of a JSON
// body). A webhook never holds up the alarm thread: posts wait in a bounded
// queue for a thread of their own, are tried again with a growing pause when
// the receiver fails, and each alarm may post only so often, so a flapping
// alarm cannot flood the receiver.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"

namespace tarnix::service {

// What one firing says, for every way out.
struct FiringReport {
  std::string sensor;
  std::string notify;
  std::string object;
  std::uint32_t value = 0;
  std::uint32_t time = 0;  // seconds since the epoch
};

// {"type":"alarm","time":...,"sensor":...,"alarm":...,"object":...,"value":...}
std::string firing_json(const FiringReport& f);

// The journal's fields of a firing ("NAME=value"), MESSAGE first.
std::vector<std::string> syslog_fields(const FiringReport& f);

// Sends at priority warning under the identifier "tarnix": structured fields
// to the journal when its socket is there, else one line through syslog(3).
void syslog_deliver(const FiringReport& f);

using Clock = std::chrono::steady_clock;

// At most `burst` passes per key within any `window`.
class RateLimiter {
 public:
  RateLimiter(int burst, Clock::duration window) : burst_(burst), window_(window) {}
  bool allow(const std::string& key, Clock::time_point now);

 private:
  int burst_;
  Clock::duration window_;
  std::map<std::string, std::deque<Clock::time_point>> passes_;
};

struct WebhookPolicy {
  std::size_t max_queued = 256;  // posts waiting; beyond it new ones are dropped
  int max_attempts = 5;          // the first try included
  std::chrono::milliseconds first_retry{1000};
  std::chrono::milliseconds longest_retry{60000};
  std::chrono::milliseconds timeout{5000};    // for one post, connection included
  int per_alarm_burst = 5;                    // posts of one alarm ...
  std::chrono::seconds per_alarm_window{60};  // ... within this long
};

// The pause before try number `attempt` (2 for the first retry): first_retry
// doubled for each earlier retry, never beyond longest_retry.
std::chrono::milliseconds webhook_retry_delay(const WebhookPolicy& policy, int attempt);

class HttpPoster {
 public:
  virtual ~HttpPoster() = default;
  // The HTTP status, or 0 with the reason when no answer came.
  virtual int post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout,
                   std::string& error) = 0;
};

// libcurl: a JSON POST that follows no redirects and takes http and https only.
class CurlPoster final : public HttpPoster {
 public:
  CurlPoster();
  ~CurlPoster() override;
  int post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout,
           std::string& error) override;
};

class WebhookSender {
 public:
  struct Stats {
    std::uint64_t delivered = 0;
    std::uint64_t failed = 0;   // given up after the last try, or dropped for a full queue
    std::uint64_t limited = 0;  // refused by the per-alarm rate limit
    std::uint64_t retries = 0;
    std::size_t queued = 0;
  };
  using Diagnostics = std::function<void(const std::string&)>;

  WebhookSender(HttpPoster& poster, WebhookPolicy policy, Diagnostics diagnostics = {},
                std::function<Clock::time_point()> clock = {});
  ~WebhookSender();
  WebhookSender(const WebhookSender&) = delete;
  WebhookSender& operator=(const WebhookSender&) = delete;

  // Queues a post; false when the alarm's rate limit or the queue's bound
  // refuses it (counted). Never waits.
  bool send(const std::string& alarm_key, const std::string& url, std::string body);

  // Tries every post that is due at `now`, in order; what fails is queued
  // again for its next try or given up. Posts not begun by `stop_by` (on the
  // sender's clock) stay queued. The thread calls it; tests call it with a
  // clock of their own and no thread.
  void pump(Clock::time_point now, Clock::time_point stop_by = Clock::time_point::max());
  // The time the next post is due, or max() when none waits.
  Clock::time_point next_due() const;

  void start();
  // Gives the posts due within `drain` their try, then ends the thread.
  void stop(std::chrono::milliseconds drain = std::chrono::milliseconds(0));
  Stats stats() const;

 private:
  struct Post {
    std::string url;
    std::string body;
    int attempts = 0;
    Clock::time_point due;
  };
  Clock::time_point now() const { return clock_ ? clock_() : Clock::now(); }
  void run();

  HttpPoster& poster_;
  const WebhookPolicy policy_;
  Diagnostics diagnostics_;
  std::function<Clock::time_point()> clock_;
  mutable Mutex mutex_;
  std::condition_variable wake_;
  std::deque<Post> queue_ GUARDED_BY(mutex_);
  RateLimiter limiter_ GUARDED_BY(mutex_);
  Stats stats_ GUARDED_BY(mutex_);
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace tarnix::service
