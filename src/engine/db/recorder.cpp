#include "db/recorder.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>

#include "core/wire_text.h"

namespace tarnix {

// A request on its way to the database (the parked request record).
struct UrlRecorder::Pending {
  std::uint64_t seq = 0;  // order of arrival, which is the order of writing
  // Written or given up; read where its last park token goes, which may be
  // the resolver's thread when the answer is lost.
  std::atomic<bool> settled{false};
  std::int64_t time = 0;
  std::array<std::uint8_t, 4> client{}, server{};
  std::optional<std::string> hostname_used;
  std::string target;
  UrlParts parts;
  std::int32_t url_id = 0;
  const HostcEntry* client_entry = nullptr;
  const HostcEntry* server_entry = nullptr;
  bool server_by_address = false;  // a direct request's name did not resolve
  int method = 1;
};

// Where the request comes back in after a name-cache miss.
enum class Stage { kNew, kUrlHost, kProxyServer, kClient, kDirectServer, kDirectClient };

struct UrlRecorder::Job {
  Stage stage = Stage::kNew;
  const HostcEntry* entry = nullptr;
  std::shared_ptr<Pending> request;
  std::shared_ptr<void> park;  // holds the parked count while the job lives
};

namespace {

// Jobs of requests never parked; the others are counted as parked.
template <class Jobs>
int fresh_jobs(const Jobs& jobs) {
  return static_cast<int>(std::count_if(jobs.begin(), jobs.end(), [](const auto& j) { return !j.park; }));
}

}  // namespace

struct UrlRecorder::Inbox {
  std::mutex mutex;
  std::condition_variable wake;  // work queued, or closing
  std::condition_variable idle;  // queue drained, or a parked request settled
  std::deque<Job> jobs;          // taken from the front in batches
  bool closed = false;
  bool busy = false;
  int parked = 0;
  std::uint64_t next_seq = 0;
  // Sequence numbers of parked requests whose answer was lost on the way
  // (the resolver stopped or dropped it): they must not hold the requests
  // after them for ever.
  std::vector<std::uint64_t> lost;
  // New requests of the batch in hand that have not parked yet; a request
  // back from the resolver is already counted as parked.
  int in_hand = 0;
  UrlRecorderStats stats;

  bool push(Job job) {
    std::lock_guard lock(mutex);
    if (closed) return false;
    jobs.push_back(std::move(job));
    wake.notify_one();
    return true;
  }
  void unpark(const Pending& p) {
    std::lock_guard lock(mutex);
    --parked;
    if (!p.settled.load(std::memory_order_acquire)) {
      lost.push_back(p.seq);
      wake.notify_one();
    }
    idle.notify_all();
  }
};

namespace {

std::string entry_name(const HostcEntry* e) {
  return e != nullptr ? db_record_name(*e) : std::string();
}

}  // namespace

std::string url_request_text(int scheme, std::string_view host, std::uint16_t port, std::string_view path) {
  std::string out = url_scheme_word(scheme);
  out += "://";
  out += host;
  if (port != 0 && port != 80) {
    out += ':';
    out += std::to_string(port);
  }
  out += path;
  return out;
}

namespace {

// Held by a parked request's completion and by the job it queues. The
// pointer must not be null: a null token would read as "never parked", and
// a request parked twice would be counted twice.
struct ParkToken {
  std::shared_ptr<UrlRecorder::Inbox> inbox;
  std::shared_ptr<const UrlRecorder::Pending> request;
  ParkToken(std::shared_ptr<UrlRecorder::Inbox> in, std::shared_ptr<const UrlRecorder::Pending> p)
      : inbox(std::move(in)), request(std::move(p)) {}
  ParkToken(const ParkToken&) = delete;
  ParkToken& operator=(const ParkToken&) = delete;
  ~ParkToken() { inbox->unpark(*request); }
};

}  // namespace

// The recorder's steps on the store thread; a miss in the name cache parks
// the request with the resolver, whose answer comes back as a job.
struct UrlRecorder::Steps {
  UrlRecorder& r;
  std::vector<RecordedRequest>& out;
  std::uint64_t written = 0;  // access rows inserted in this batch
  const Job* current = nullptr;
  DbSession& db() { return *r.writer_; }

  void park(const std::shared_ptr<Pending>& p, Stage stage, const char* text, const NetAddress* address) {
    std::shared_ptr<Inbox> inbox = r.inbox_;
    // Released (and the count lowered) when the completion, and the job it
    // queues, are done with the request, or when the resolver drops it. A
    // request parked again keeps its token, so it is counted once.
    std::shared_ptr<void> token = current != nullptr ? current->park : nullptr;
    if (!token) {
      {
        std::lock_guard lock(inbox->mutex);
        ++inbox->parked;
        --inbox->in_hand;
      }
      token = std::make_shared<ParkToken>(inbox, p);
    }
    HostcCompletion done = [inbox, p, stage, token](const HostcEntry* e) {
      inbox->push(Job{stage, e, p, token});
    };
    const int queued = text != nullptr ? r.names_.request_text(text, std::move(done))
                                       : r.names_.request_ipv4(*address, std::move(done));
    if (queued != 1) give_up(p);
  }

  void give_up(const std::shared_ptr<Pending>& p) {
    {
      std::lock_guard lock(r.inbox_->mutex);
      ++r.inbox_->stats.given_up;
    }
    p->settled.store(true, std::memory_order_release);
    settle(p->seq, nullptr, false);
  }

  // A request written (p) or not (null, also for a lost answer); it waits
  // here until every earlier one is settled too.
  void settle(std::uint64_t seq, std::shared_ptr<Pending> p, bool proxy) {
    if (p) p->settled.store(true, std::memory_order_release);
    // One from before a restart of the store thread: its turn has passed.
    if (seq < r.release_next_) {
      if (p) record(*p, proxy);
      return;
    }
    r.held_.emplace(seq, std::make_pair(std::move(p), proxy));
    // Behind a look-up that hangs, no more wait than the queue would hold:
    // the oldest go out of turn, and what they skipped is written late.
    while (!r.held_.empty() &&
           (r.held_.begin()->first == r.release_next_ || r.held_.size() > r.options_.max_queued)) {
      auto [request, via_proxy] = std::move(r.held_.begin()->second);
      r.release_next_ = r.held_.begin()->first + 1;
      r.held_.erase(r.held_.begin());
      if (request) record(*request, via_proxy);
    }
  }

  // At the end: what waits behind a request that will never come back is
  // written rather than lost.
  void release_all() {
    for (auto& [seq, settled] : r.held_) {
      if (settled.first) record(*settled.first, settled.second);
    }
    r.held_.clear();
  }

  NetAddress client_address(const Pending& p) { return NetAddress::ipv4(p.client.data()); }
  NetAddress server_address(const Pending& p) { return NetAddress::ipv4(p.server.data()); }

  void run(const Job& job) {
    current = &job;
    const std::shared_ptr<Pending>& p = job.request;
    switch (job.stage) {
      case Stage::kNew:
        if (p->parts.proxy != 0) {
          const HostcEntry* host = r.names_.find_text(p->parts.host);
          if (host == nullptr) return park(p, Stage::kUrlHost, p->parts.host, nullptr);
          p->url_id = db_urls_find(db(), host->host_id, p->parts.path, p->parts.scheme);
          if (p->url_id == 0) {
            if (host->host_id == 0) return give_up(p);
            p->url_id = db_urls_add(db(), host->host_id, p->parts.path, p->parts.scheme, p->parts.port);
          }
          return proxied(p);
        } else {
          const bool named = p->hostname_used && !p->hostname_used->empty();
          const HostcEntry* by_name = named ? r.names_.find_text(*p->hostname_used) : nullptr;
          const NetAddress server = server_address(*p);
          const HostcEntry* by_address = r.names_.find_ipv4(server);
          const HostcEntry* found = by_name != nullptr ? by_name : by_address;
          if (found == nullptr) {
            if (named) return park(p, Stage::kDirectServer, p->hostname_used->c_str(), nullptr);
            p->server_by_address = true;
            return park(p, Stage::kDirectServer, nullptr, &server);
          }
          return direct(p, found);
        }

      case Stage::kUrlHost: {
        // A name the resolver cannot answer is still a host the client asked
        // for: it is kept under its name alone rather than lost.
        const std::int32_t host_id =
            job.entry != nullptr ? job.entry->host_id : db_host_cache_store_name(db(), p->parts.host);
        p->url_id = db_urls_add(db(), host_id, p->parts.path, p->parts.scheme, p->parts.port);
        return proxied(p);
      }

      case Stage::kProxyServer:
        if (job.entry == nullptr) return give_up(p);
        p->server_entry = job.entry;
        return proxied(p);

      case Stage::kClient:
        if (job.entry == nullptr) return give_up(p);
        p->client_entry = job.entry;
        if (p->server_entry == nullptr) p->server_entry = r.names_.find_ipv4(server_address(*p));
        if (p->server_entry == nullptr) return give_up(p);
        return settle(p->seq, p, true);

      case Stage::kDirectServer:
        if (job.entry == nullptr) {
          if (p->server_by_address) return give_up(p);
          // The name did not resolve: the request is kept under the server's
          // address, which always has an entry.
          p->server_by_address = true;
          const NetAddress server = server_address(*p);
          if (const HostcEntry* e = r.names_.find_ipv4(server)) return direct(p, e);
          return park(p, Stage::kDirectServer, nullptr, &server);
        }
        return direct(p, job.entry);

      case Stage::kDirectClient:
        if (job.entry == nullptr || p->server_entry == nullptr) return give_up(p);
        p->client_entry = job.entry;
        return settle(p->seq, p, false);
    }
  }

  // A proxied request with its URL known: the proxy, then the client.
  void proxied(const std::shared_ptr<Pending>& p) {
    if (p->server_entry == nullptr) {
      const NetAddress server = server_address(*p);
      p->server_entry = r.names_.find_ipv4(server);
      if (p->server_entry == nullptr) return park(p, Stage::kProxyServer, nullptr, &server);
    }
    if (p->client_entry == nullptr) {
      const NetAddress client = client_address(*p);
      p->client_entry = r.names_.find_ipv4(client);
      if (p->client_entry == nullptr) return park(p, Stage::kClient, nullptr, &client);
    }
    settle(p->seq, p, true);
  }

  // A direct request with its server known: the URL, then the client.
  void direct(const std::shared_ptr<Pending>& p, const HostcEntry* server) {
    p->server_entry = server;
    if (p->url_id == 0) {
      p->url_id = db_urls_find(db(), server->host_id, p->parts.path, p->parts.scheme);
      if (p->url_id == 0)
        p->url_id = db_urls_add(db(), server->host_id, p->parts.path, p->parts.scheme, p->parts.port);
    }
    if (p->client_entry == nullptr) {
      const NetAddress client = client_address(*p);
      p->client_entry = r.names_.find_ipv4(client);
      if (p->client_entry == nullptr) return park(p, Stage::kDirectClient, nullptr, &client);
    }
    settle(p->seq, p, false);
  }

  void record(const Pending& p, bool proxy) {
    const char* used = p.hostname_used ? p.hostname_used->c_str() : nullptr;
    const std::int32_t hist_id = db_url_hist_add(db(), p.url_id, used, p.client_entry, p.server_entry,
                                                 proxy ? 1 : 0, p.method, nullptr, p.time);
    ++written;
    if (hist_id == 0) --written;
    if (r.listeners_.empty()) return;
    RecordedRequest rec;
    rec.url_hist_id = hist_id;
    rec.time = p.time;
    rec.client = client_address(p);
    rec.server = server_address(p);
    rec.client_name = entry_name(p.client_entry);
    rec.server_name = entry_name(p.server_entry);
    rec.target = p.target;
    rec.hostname_used = used != nullptr ? used : "";
    rec.url_id = p.url_id;
    rec.proxy = proxy;
    rec.method = p.method;
    if (proxy) {
      rec.url = url_request_text(p.parts.scheme, p.parts.host, p.parts.port, p.parts.path);
    } else {
      const std::string host = !rec.hostname_used.empty() ? rec.hostname_used : rec.server_name;
      rec.url = url_request_text(p.parts.scheme, host, 0, p.parts.path);
    }
    out.push_back(std::move(rec));
  }
};

UrlRecorder::UrlRecorder(std::unique_ptr<DbSession> writer, HostCache& names)
    : UrlRecorder(std::move(writer), names, Options()) {}

UrlRecorder::UrlRecorder(std::unique_ptr<DbSession> writer, HostCache& names, Options options)
    : writer_(std::move(writer)), names_(names), options_(options), inbox_(std::make_shared<Inbox>()) {
  if (options_.batch_max == 0) options_.batch_max = 1;
}

UrlRecorder::~UrlRecorder() {
  stop();
}

void UrlRecorder::add_listener(RequestListener* listener) {
  if (listener != nullptr) listeners_.push_back(listener);
}

void UrlRecorder::start() {
  if (thread_.joinable() || !writer_) return;
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->closed = false;
  }
  thread_ = std::thread([this] { run(); });
}

void UrlRecorder::stop() {
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->closed = true;
    inbox_->wake.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

int UrlRecorder::finish(std::chrono::milliseconds bound) {
  std::unique_lock lock(inbox_->mutex);
  auto settled = [&] {
    return inbox_->jobs.empty() && !inbox_->busy && inbox_->parked == 0 && inbox_->lost.empty();
  };
  if (thread_.joinable()) inbox_->idle.wait_for(lock, bound, settled);
  // Each request once: a queued job back from the resolver is one of the
  // parked, and a batch in hand counts only what it has not parked.
  return fresh_jobs(inbox_->jobs) + inbox_->parked + inbox_->in_hand;
}

int UrlRecorder::record_request(UrlCounters& counters, const std::uint8_t client[4],
                                const std::uint8_t server[4], const char* host_name, const char* target,
                                std::int64_t seen_at) {
  return queue(counters, client, server, host_name, target, 1, seen_at);
}

int UrlRecorder::record_server_name(UrlCounters& counters, const std::uint8_t* client,
                                    const std::uint8_t* server, const char* name, std::int64_t seen_at) {
  return queue(counters, client, server, name, "/", kMethodTls, seen_at);
}

int UrlRecorder::queue(UrlCounters& counters, const std::uint8_t client[4], const std::uint8_t server[4],
                       const char* host_name, const char* target, int method, std::int64_t seen_at) {
  counters.seen.fetch_add(1, std::memory_order_relaxed);
  auto p = std::make_shared<Pending>();
  db_urls_parse(target != nullptr ? target : "", p->parts);
  if (p->parts.proxy != 0) {
    counters.proxied.fetch_add(1, std::memory_order_relaxed);
    if (p->parts.host[0] == '\0') return -1;
  } else {
    counters.direct.fetch_add(1, std::memory_order_relaxed);
  }
  p->method = method;
  if (method == kMethodTls) p->parts.scheme = kSchemeHttps;
  p->time = seen_at != kNoCaptureTime ? seen_at : static_cast<std::int64_t>(std::time(nullptr));
  std::memcpy(p->client.data(), client, 4);
  std::memcpy(p->server.data(), server, 4);
  if (host_name != nullptr) p->hostname_used.emplace(host_name);
  p->target = target != nullptr ? target : "";

  std::lock_guard lock(inbox_->mutex);
  if (!writer_ || inbox_->closed || inbox_->jobs.size() >= options_.max_queued) {
    ++inbox_->stats.dropped_full;
    return 1;
  }
  ++inbox_->stats.queued;
  p->seq = inbox_->next_seq++;
  inbox_->jobs.push_back(Job{Stage::kNew, nullptr, std::move(p), nullptr});
  inbox_->wake.notify_one();
  return 1;
}

void UrlRecorder::run() {
  std::vector<Job> batch;
  std::vector<std::uint64_t> lost;
  std::vector<RecordedRequest> done;

  // One transaction around `steps`, then the listeners and the counts.
  auto write = [&](auto&& steps_body) {
    Connection& c = writer_->connection();
    const bool in_batch = c.begin().ok();  // without it each write commits on its own
    if (in_batch) writer_->fix_now(writer_->now());
    Steps steps{*this, done};
    steps_body(steps);
    writer_->fix_now(std::nullopt);
    bool committed = true;
    if (in_batch) {
      Status s = c.commit();
      if (!s.ok()) {
        std::fprintf(stderr, "db_urls_record_access: commit failed: %s\n", s.message().c_str());
        c.rollback();
        committed = false;
      }
    }
    for (RecordedRequest& rec : done) {
      if (!committed) rec.url_hist_id = 0;
      for (RequestListener* l : listeners_) l->on_request_recorded(rec);
    }
    std::lock_guard lock(inbox_->mutex);
    if (committed)
      inbox_->stats.recorded += steps.written;
    else
      inbox_->stats.failed += steps.written;
    inbox_->stats.announced += done.size();
    inbox_->in_hand = 0;
    done.clear();
  };

  for (;;) {
    {
      std::unique_lock lock(inbox_->mutex);
      inbox_->busy = false;
      inbox_->idle.notify_all();
      inbox_->wake.wait(lock,
                        [&] { return !inbox_->jobs.empty() || !inbox_->lost.empty() || inbox_->closed; });
      if (inbox_->jobs.empty() && inbox_->closed) break;  // closed and drained
      const std::size_t n = std::min(inbox_->jobs.size(), options_.batch_max);
      batch.assign(std::make_move_iterator(inbox_->jobs.begin()),
                   std::make_move_iterator(inbox_->jobs.begin() + static_cast<std::ptrdiff_t>(n)));
      inbox_->in_hand = fresh_jobs(batch);
      inbox_->jobs.erase(inbox_->jobs.begin(), inbox_->jobs.begin() + static_cast<std::ptrdiff_t>(n));
      lost.swap(inbox_->lost);
      inbox_->busy = true;
    }
    write([&](Steps& steps) {
      for (std::uint64_t seq : lost) steps.settle(seq, nullptr, false);
      for (const Job& job : batch) steps.run(job);
    });
    lost.clear();
    batch.clear();  // releases the parked tokens of the jobs handled
  }

  if (!held_.empty()) write([](Steps& steps) { steps.release_all(); });
  std::lock_guard lock(inbox_->mutex);
  // Answers still out are dropped on arrival; a restarted thread must not
  // wait for them.
  release_next_ = inbox_->next_seq;
  inbox_->busy = false;
  inbox_->idle.notify_all();
}

UrlRecorderStats UrlRecorder::stats() const {
  std::lock_guard lock(inbox_->mutex);
  return inbox_->stats;
}

int UrlRecorder::parked() const {
  std::lock_guard lock(inbox_->mutex);
  return inbox_->parked;
}

int db_urls_finish(UrlRecorder& recorder, std::chrono::milliseconds bound, std::FILE* report) {
  const int left = recorder.finish(bound);
  if (left > 0 && report != nullptr)
    std::fprintf(report, "db_urls_finish: %d HTTP request%s left unrecorded\n", left, left == 1 ? "" : "s");
  recorder.stop();
  return left;
}

int db_urls_record_access(UrlRecorder& recorder, UrlCounters& counters, const std::uint8_t client[4],
                          const std::uint8_t server[4], const char* host_name, const char* target,
                          std::int64_t seen_at) {
  return recorder.record_request(counters, client, server, host_name, target, seen_at);
}

std::string RequestLogPrinter::format(const RecordedRequest& r) {
  char when[32] = "";
  std::time_t t = static_cast<std::time_t>(r.time);
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  std::string line = when;
  line += ' ';
  line += netaddr_text(r.client);
  line += " -> ";
  line += netaddr_text(r.server);
  line += ' ';
  line += wire_text(r.url);
  line += r.proxy ? " proxy" : " direct";
  if (r.method == kMethodTls) line += " tls";
  return line;
}

void RequestLogPrinter::on_request_recorded(const RecordedRequest& r) {
  const std::string line = format(r) + "\n";
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

}  // namespace tarnix
