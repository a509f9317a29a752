#include "service/delivery.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <algorithm>

#include "service/json_text.h"

namespace tarnix::service {

std::string firing_json(const FiringReport& f) {
  std::string out = "{";
  json_field(out, "type", "\"alarm\"");
  json_field(out, "time", std::to_string(f.time));
  json_field(out, "sensor", json_quote(f.sensor));
  json_field(out, "alarm", json_quote(f.notify));
  json_field(out, "object", json_quote(f.object));
  json_field(out, "value", std::to_string(f.value));
  return out + "}";
}

namespace {

// Journal field values may hold any byte, but a log line should not hold
// line ends: they would forge lines in a plain syslog file.
std::string one_line(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\n' || c == '\r') c = ' ';
  return out;
}

}  // namespace

std::vector<std::string> syslog_fields(const FiringReport& f) {
  return {
      "MESSAGE=alarm \"" + one_line(f.notify) + "\" on " + one_line(f.object) + " (value " +
          std::to_string(f.value) + ")",
      "PRIORITY=" + std::to_string(LOG_WARNING),
      "SYSLOG_IDENTIFIER=tarnix",
      "TARNIX_ALARM=" + one_line(f.notify),
      "TARNIX_OBJECT=" + one_line(f.object),
      "TARNIX_VALUE=" + std::to_string(f.value),
      "TARNIX_TIME=" + std::to_string(f.time),
      "TARNIX_SENSOR=" + one_line(f.sensor),
  };
}

void syslog_deliver(const FiringReport& f) {
  const std::vector<std::string> fields = syslog_fields(f);
  struct stat st {};
  if (::stat("/run/systemd/journal/socket", &st) == 0) {
    std::vector<iovec> iov;
    for (const std::string& field : fields) iov.push_back({const_cast<char*>(field.data()), field.size()});
    if (sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0) return;
  }
  openlog("tarnix", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_WARNING, "%s", fields[0].substr(sizeof "MESSAGE=" - 1).c_str());
}

bool RateLimiter::allow(const std::string& key, Clock::time_point now) {
  std::deque<Clock::time_point>& times = passes_[key];
  while (!times.empty() && now - times.front() >= window_) times.pop_front();
  if (static_cast<int>(times.size()) >= burst_) return false;
  times.push_back(now);
  return true;
}

std::chrono::milliseconds webhook_retry_delay(const WebhookPolicy& policy, int attempt) {
  std::chrono::milliseconds delay = policy.first_retry;
  for (int i = 2; i < attempt && delay < policy.longest_retry; ++i) delay *= 2;
  return std::min(delay, policy.longest_retry);
}

// ---------------------------------------------------------------------------

CurlPoster::CurlPoster() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
}
CurlPoster::~CurlPoster() {
  curl_global_cleanup();
}

namespace {

std::size_t discard(char*, std::size_t size, std::size_t n, void*) {
  return size * n;
}

}  // namespace

int CurlPoster::post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout,
                     std::string& error) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    error = "cannot start an HTTP client";
    return 0;
  }
  char message[CURL_ERROR_SIZE] = "";
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "tarnix-cli");
  const CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  if (rc == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  else
    error = message[0] != '\0' ? message : curl_easy_strerror(rc);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return static_cast<int>(status);
}

// ---------------------------------------------------------------------------

WebhookSender::WebhookSender(HttpPoster& poster, WebhookPolicy policy, Diagnostics diagnostics,
                             std::function<Clock::time_point()> clock)
    : poster_(poster),
      policy_(policy),
      diagnostics_(std::move(diagnostics)),
      clock_(std::move(clock)),
      limiter_(policy.per_alarm_burst, policy.per_alarm_window) {}

WebhookSender::~WebhookSender() {
  stop();
}

bool WebhookSender::send(const std::string& alarm_key, const std::string& url, std::string body) {
  const Clock::time_point t = now();
  {
    MutexLock lock(mutex_);
    if (!limiter_.allow(alarm_key + '\n' + url, t)) {
      ++stats_.limited;
      return false;
    }
    if (queue_.size() >= policy_.max_queued) {
      ++stats_.failed;
      return false;
    }
    queue_.push_back(Post{url, std::move(body), 0, t});
  }
  wake_.notify_one();
  return true;
}

Clock::time_point WebhookSender::next_due() const {
  MutexLock lock(mutex_);
  Clock::time_point due = Clock::time_point::max();
  for (const Post& p : queue_) due = std::min(due, p.due);
  return due;
}

void WebhookSender::pump(Clock::time_point at, Clock::time_point stop_by) {
  std::vector<Post> due;
  {
    MutexLock lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (it->due <= at) {
        due.push_back(std::move(*it));
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Post& p : due) {
    {
      // A stop asked for while the thread posts, or a drain's end, leaves
      // the rest queued: a receiver that never answers costs one time-out.
      MutexLock lock(mutex_);
      if (stop_ || (stop_by != Clock::time_point::max() && now() >= stop_by)) {
        queue_.push_back(std::move(p));
        continue;
      }
    }
    std::string error;
    ++p.attempts;
    const int status = poster_.post(p.url, p.body, policy_.timeout, error);
    const bool ok = status >= 200 && status < 300;
    if (!ok && error.empty()) error = "status " + std::to_string(status);
    MutexLock lock(mutex_);
    if (ok) {
      ++stats_.delivered;
    } else if (p.attempts >= policy_.max_attempts) {
      ++stats_.failed;
      if (diagnostics_)
        diagnostics_("alarm webhook " + p.url + ": given up after " + std::to_string(p.attempts) +
                     " tries (" + error + ")");
    } else {
      ++stats_.retries;
      p.due = at + webhook_retry_delay(policy_, p.attempts + 1);
      queue_.push_back(std::move(p));
    }
  }
}

void WebhookSender::start() {
  MutexLock lock(mutex_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void WebhookSender::stop(std::chrono::milliseconds drain) {
  {
    MutexLock lock(mutex_);
    if (!thread_.joinable()) return;
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  {
    MutexLock lock(mutex_);
    stop_ = false;
  }
  // Posts already due get their try while the drain lasts; those waiting
  // out a pause, or not begun in time, are left.
  const Clock::time_point until = now() + drain;
  if (next_due() <= now()) pump(now(), until);
}

WebhookSender::Stats WebhookSender::stats() const {
  MutexLock lock(mutex_);
  Stats s = stats_;
  s.queued = queue_.size();
  return s;
}

void WebhookSender::run() {
  for (;;) {
    {
      MutexLock lock(mutex_);
      if (stop_) return;
      Clock::time_point due = Clock::time_point::max();
      for (const Post& p : queue_) due = std::min(due, p.due);
      if (due == Clock::time_point::max())
        lock.wait(wake_);
      else if (due > now())
        lock.wait_for(wake_, std::min<Clock::duration>(due - now(), std::chrono::seconds(1)));
      if (stop_) return;
    }
    pump(now());
  }
}

}  // namespace tarnix::service
