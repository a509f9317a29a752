#include "db/recorder.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>

#include "core/mutex.h"
#include "core/wire_text.h"

namespace tarnix {

// A request on its way to the database (the parked request record). Its
// fields belong to the store thread; only `settled` is read elsewhere.
struct UrlRecorder::Pending {
  std::uint64_t seq = 0;  // order of arrival, which is the order of writing
  // Written, kept for a retry or given up: set once, by whoever settles it
  // first (the store thread, or the resolver's thread for a lost answer).
  mutable std::atomic<bool> settled{false};
  std::int64_t time = 0;
  NetAddress client, server;  // IPv4 or IPv6
  std::optional<std::string> hostname_used;
  // The port the "Host:" field named beside hostname_used (0: none).
  std::uint16_t host_port = 0;
  std::string target;
  UrlParts parts;
  std::int32_t url_id = 0;
  std::int32_t url_host_id = 0;   // the host the URL is stored under
  std::uint16_t url_port = 0;     // and the rest of its key, as stored
  std::string url_vhost;
  HostCacheRef url_host_entry;
  bool url_host_by_name = false;  // a name that did not resolve, stored in this write
  int attempts = 0;               // failed writes while others succeeded
  std::int32_t url_hist_id = 0;
  HostCacheRef client_entry;
  HostCacheRef server_entry;
  bool server_by_address = false;  // a direct request's name did not resolve
  bool proxy = false;
  int method = 1;
  bool ever_parked = false;
  std::chrono::steady_clock::time_point parked_at{};  // when it first parked

  bool claim() const { return !settled.exchange(true, std::memory_order_acq_rel); }
  // After a write that was rolled back: ids made in it are gone too.
  void reset_for_retry() {
    url_id = 0;
    url_hist_id = 0;
    if (url_host_by_name || (url_host_entry != nullptr && url_host_entry->host_id == 0)) url_host_id = 0;
  }
};

// Where the request comes back in after a name-cache miss.
enum class Stage { kNew, kUrlHost, kProxyServer, kClient, kDirectServer, kDirectClient };

struct UrlRecorder::Job {
  Stage stage = Stage::kNew;
  HostCacheRef entry;
  std::shared_ptr<Pending> request;
  std::shared_ptr<void> park;  // holds the parked count while the job lives
};

struct UrlRecorder::Inbox {
  Mutex mutex;
  std::condition_variable wake;            // work queued, or closing
  std::condition_variable idle;            // a batch done, or a parked request settled
  std::condition_variable space;           // room for a blocked sender
  std::deque<Job> jobs GUARDED_BY(mutex);  // taken from the front in batches
  bool closed GUARDED_BY(mutex) = false;
  bool running GUARDED_BY(mutex) = false;
  bool busy GUARDED_BY(mutex) = false;
  int parked GUARDED_BY(mutex) = 0;
  std::uint64_t next_seq GUARDED_BY(mutex) = 0;
  // Taken and not yet committed, kept or given up: what max_queued bounds.
  std::size_t open GUARDED_BY(mutex) = 0;
  std::size_t retained GUARDED_BY(mutex) = 0;  // the store thread's retained_, for finish()
  std::size_t held GUARDED_BY(mutex) = 0;      // and its held_
  // Sequence numbers of parked requests whose answer was lost on the way
  // (the resolver stopped or dropped it): they must not hold the requests
  // after them for ever.
  std::vector<std::uint64_t> lost GUARDED_BY(mutex);
  UrlRecorderStats stats GUARDED_BY(mutex);

  bool push(Job job) {
    MutexLock lock(mutex);
    if (closed) return false;
    jobs.push_back(std::move(job));
    wake.notify_one();
    return true;
  }
  void unpark(const Pending& p) {
    MutexLock lock(mutex);
    --parked;
    if (p.claim()) {
      ++stats.given_up;
      lost.push_back(p.seq);
      wake.notify_one();
    }
    idle.notify_all();
  }
};

namespace {

// Worth asking the name service about: an address, or a valid host name.
bool askable(std::string_view text) {
  return is_ipv4_text(text) || is_ipv6_text(text) || hostc_valid_name(text);
}

}  // namespace

std::string url_request_text(int scheme, std::string_view host, std::uint16_t port, std::string_view path) {
  std::string out = url_scheme_word(scheme);
  out += "://";
  // An IPv6 literal is bracketed, or its colons would read as the port's.
  const bool literal = host.find(':') != std::string_view::npos;
  if (literal) out += '[';
  out += host;
  if (literal) out += ']';
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

// The recorder's steps on the store thread, inside one transaction; a miss
// in the name cache parks the request with the resolver, whose answer comes
// back as a job.
struct UrlRecorder::Steps {
  UrlRecorder& r;
  std::vector<std::shared_ptr<Pending>> written;  // inserted in this transaction
  std::vector<std::shared_ptr<Pending>> failed;   // the insert failed
  std::uint64_t given_up = 0;
  std::size_t finished = 0;  // requests that left the way in this write
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
        MutexLock lock(inbox->mutex);
        ++inbox->parked;
      }
      token = std::make_shared<ParkToken>(inbox, p);
    }
    if (!p->ever_parked) {
      p->ever_parked = true;
      p->parked_at = Clock::now();
      r.parked_.push_back(p);
    }
    HostCacheCompletion done = [inbox, p, stage, token](const HostCacheRef& e) {
      inbox->push(Job{stage, e, p, token});
    };
    const bool queued = text != nullptr ? r.names_.request_text(text, std::move(done))
                                        : r.names_.request_ipv4(*address, std::move(done));
    if (!queued) give_up(p);
  }

  void give_up(const std::shared_ptr<Pending>& p) {
    if (!p->claim()) return;
    ++given_up;
    held(p->seq, nullptr);
  }

  void settle(const std::shared_ptr<Pending>& p, bool proxy) {
    if (!p->claim()) return;
    p->proxy = proxy;
    held(p->seq, p);
  }

  // A settled request (or null: given up, or an answer lost) waits here
  // until every earlier one is settled too.
  void held(std::uint64_t seq, std::shared_ptr<Pending> p) {
    // One from before a restart of the store thread: its turn has passed.
    if (seq < r.release_next_) {
      ++finished;
      if (p) record(p);
      return;
    }
    r.held_.emplace(seq, std::move(p));
    while (!r.held_.empty() && r.held_.begin()->first == r.release_next_) {
      std::shared_ptr<Pending> request = std::move(r.held_.begin()->second);
      r.release_next_ = r.held_.begin()->first + 1;
      r.held_.erase(r.held_.begin());
      ++finished;
      if (request) record(request);
    }
  }

  // At the end: what waits behind a request that will never come back is
  // written rather than lost.
  void release_all() {
    for (auto& [seq, request] : r.held_) {
      ++finished;
      if (request) record(request);
    }
    r.held_.clear();
  }

  NetAddress client_address(const Pending& p) { return p.client; }
  NetAddress server_address(const Pending& p) { return p.server; }

  void run(const Job& job) {
    current = &job;
    const std::shared_ptr<Pending>& p = job.request;
    // An answer after the request was written with what was known.
    if (p->settled.load(std::memory_order_acquire)) return;
    switch (job.stage) {
      case Stage::kNew:
        if (p->parts.proxy != 0) {
          HostCacheRef host = r.names_.find_text(p->parts.host);
          if (host == nullptr) {
            if (askable(p->parts.host)) return park(p, Stage::kUrlHost, p->parts.host, nullptr);
            return url_host(p, nullptr);
          }
          // A host whose row could not be stored (id 0) gets it with the
          // access, in record().
          p->url_host_entry = host;
          p->url_host_id = host->host_id;
          if (host->host_id != 0) add_url(*p);
          return proxied(p);
        } else {
          // Only a name that is one goes to the name service; anything else
          // a client wrote in its Host field is kept as written, and the
          // server is known by its address.
          const bool named = p->hostname_used && askable(*p->hostname_used);
          HostCacheRef by_name = named ? r.names_.find_text(*p->hostname_used) : nullptr;
          const NetAddress server = server_address(*p);
          HostCacheRef by_address = r.names_.find_ipv4(server);
          const HostCacheRef& found = by_name != nullptr ? by_name : by_address;
          if (found == nullptr) {
            if (named) return park(p, Stage::kDirectServer, p->hostname_used->c_str(), nullptr);
            p->server_by_address = true;
            return park(p, Stage::kDirectServer, nullptr, &server);
          }
          return direct(p, found);
        }

      case Stage::kUrlHost:
        return url_host(p, job.entry);

      case Stage::kProxyServer:
        if (job.entry == nullptr) return give_up(p);
        p->server_entry = job.entry;
        return proxied(p);

      case Stage::kClient:
        if (job.entry == nullptr) return give_up(p);
        p->client_entry = job.entry;
        if (p->server_entry == nullptr) p->server_entry = r.names_.find_ipv4(server_address(*p));
        if (p->server_entry == nullptr) return give_up(p);
        return settle(p, true);

      case Stage::kDirectServer:
        if (job.entry == nullptr) {
          if (p->server_by_address) return give_up(p);
          // The name did not resolve: the request is kept under the server's
          // address, which always has an entry.
          p->server_by_address = true;
          const NetAddress server = server_address(*p);
          if (HostCacheRef e = r.names_.find_ipv4(server)) return direct(p, e);
          return park(p, Stage::kDirectServer, nullptr, &server);
        }
        return direct(p, job.entry);

      case Stage::kDirectClient:
        if (job.entry == nullptr || p->server_entry == nullptr) return give_up(p);
        p->client_entry = job.entry;
        return settle(p, false);
    }
  }

  // What tells the request's URL from others: its server (or, through a
  // proxy, its URL's) host, scheme, path, the port the client named and the
  // site it named, so one site on two ports, or two sites on one address,
  // are two URLs. URL alarms compare these fields rather than one URL's id,
  // so an alarm on http://ADDRESS/path still hears every site at ADDRESS.
  // The port a direct request's "Host:" field named, unless it is the
  // scheme's own (0 then, as for none).
  static std::uint16_t named_port(const Pending& p) {
    return p.host_port == (p.parts.scheme == kSchemeHttps ? 443 : 80) ? 0 : p.host_port;
  }

  static UrlKey url_key(const Pending& p, std::int32_t host_id) {
    const char* asked = p.parts.proxy == 0 && p.hostname_used ? p.hostname_used->c_str() : nullptr;
    UrlKey k = db_url_key(host_id, p.parts, asked);
    if (p.parts.proxy == 0 && k.port == 0) k.port = named_port(p);
    return k;
  }

  // The URL under the request's url_host_id, its key kept for the announcement.
  void add_url(Pending& p) {
    UrlKey k = url_key(p, p.url_host_id);
    p.url_id = db_urls_add(db(), k);
    p.url_port = k.port;
    p.url_vhost = std::move(k.vhost);
  }

  // A proxied request's URL host, by its entry or, when it has none (no
  // answer, or not a name to ask about), by its name alone: still a host
  // the client asked for, kept rather than lost.
  void url_host(const std::shared_ptr<Pending>& p, const HostCacheRef& entry) {
    if (entry != nullptr) {
      p->url_host_entry = entry;
      p->url_host_id = entry->host_id;
    } else {
      p->url_host_id = db_host_cache_store_name(db(), p->parts.host);
      p->url_host_by_name = true;
    }
    add_url(*p);
    proxied(p);
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
    settle(p, true);
  }

  // A direct request with its server known: the URL, then the client.
  void direct(const std::shared_ptr<Pending>& p, HostCacheRef server) {
    p->server_entry = server;
    p->url_host_entry = server;
    p->url_host_id = server->host_id;
    if (p->url_id == 0 && server->host_id != 0) add_url(*p);
    if (p->client_entry == nullptr) {
      const NetAddress client = client_address(*p);
      p->client_entry = r.names_.find_ipv4(client);
      if (p->client_entry == nullptr) return park(p, Stage::kDirectClient, nullptr, &client);
    }
    settle(p, false);
  }

  // A request that has waited its bound for the name service, written with
  // what is known: its entries were made by prepare_forced.
  void force(const std::shared_ptr<Pending>& p) {
    if (p->settled.load(std::memory_order_acquire)) return;
    current = nullptr;
    if (p->parts.proxy != 0) {
      if (p->url_id == 0) {
        HostCacheRef host = r.names_.find_text(p->parts.host);
        p->url_host_entry = host;
        p->url_host_by_name = host == nullptr;
        p->url_host_id = host != nullptr ? host->host_id : db_host_cache_store_name(db(), p->parts.host);
        if (p->url_host_id != 0) add_url(*p);
      }
      if (p->server_entry == nullptr) p->server_entry = r.names_.find_ipv4(server_address(*p));
      if (p->client_entry == nullptr) p->client_entry = r.names_.find_ipv4(client_address(*p));
      if (p->server_entry == nullptr || p->client_entry == nullptr) return give_up(p);
      return settle(p, true);
    }
    if (p->server_entry == nullptr) {
      const bool named = p->hostname_used && askable(*p->hostname_used);
      HostCacheRef server = named ? r.names_.find_text(*p->hostname_used) : nullptr;
      if (server == nullptr) server = r.names_.find_ipv4(server_address(*p));
      if (server == nullptr) return give_up(p);
      p->client_entry = p->client_entry != nullptr ? p->client_entry : r.names_.find_ipv4(client_address(*p));
      if (p->client_entry == nullptr) return give_up(p);
      return direct(p, server);
    }
    if (p->client_entry == nullptr) p->client_entry = r.names_.find_ipv4(client_address(*p));
    if (p->client_entry == nullptr) return give_up(p);
    if (p->url_id == 0) return direct(p, p->server_entry);
    settle(p, false);
  }

  // The host id of an entry; one the id store could not write (a full
  // disk) is written here, with the access, and retried with it.
  std::int32_t id_of(const HostCacheEntry* e) {
    if (e == nullptr) return 0;
    if (e->host_id != 0) return e->host_id;
    const std::string name = db_record_name(*e);
    std::int32_t id = db_host_cache_find_id(db(), &name, &e->address);
    if (id == 0) id = db_host_cache_store(db(), *e);
    return id;
  }

  // The access row. A failed insert is the store's failure, kept for
  // another try; a request without its hosts is given up.
  void record(const std::shared_ptr<Pending>& p) {
    if (p->client_entry == nullptr || p->server_entry == nullptr) {
      ++given_up;
      return;
    }
    id_of(p->client_entry.get());
    id_of(p->server_entry.get());
    if (p->url_id == 0) {
      if (p->url_host_by_name)
        p->url_host_id = db_host_cache_store_name(db(), p->parts.host);
      else if (p->url_host_id == 0)
        p->url_host_id = id_of(p->url_host_entry.get());
      if (p->url_host_id != 0) add_url(*p);
    }
    const char* used = p->hostname_used ? p->hostname_used->c_str() : nullptr;
    p->url_hist_id = db_url_hist_add(db(), p->url_id, used, p->client_entry.get(), p->server_entry.get(),
                                     p->proxy ? 1 : 0, p->method, nullptr, p->time);
    if (p->url_hist_id != 0)
      written.push_back(p);
    else
      failed.push_back(p);
  }

  RecordedRequest announcement(const Pending& p) {
    RecordedRequest rec;
    const char* used = p.hostname_used ? p.hostname_used->c_str() : nullptr;
    rec.url_hist_id = p.url_hist_id;
    rec.time = p.time;
    rec.client = client_address(p);
    rec.server = server_address(p);
    // The names known when the access is written; the host rows, which
    // the reports read, follow names heard later.
    rec.client_name = r.names_.shown_name(p.client_entry.get()).name;
    rec.server_name = r.names_.shown_name(p.server_entry.get()).name;
    rec.target = p.target;
    rec.hostname_used = used != nullptr ? used : "";
    rec.url_id = p.url_id;
    rec.site.url_id = p.url_id;
    rec.site.host_id = p.url_host_id;
    rec.site.scheme = p.parts.scheme;
    rec.site.port = p.url_port;
    rec.site.path = std::string(db_url_stored_path(p.parts.path));
    rec.site.vhost = p.url_vhost;
    rec.proxy = p.proxy;
    rec.method = p.method;
    if (p.proxy) {
      rec.url = url_request_text(p.parts.scheme, p.parts.host, p.parts.port, p.parts.path);
    } else {
      const std::string host = !rec.hostname_used.empty() ? rec.hostname_used : rec.server_name;
      rec.url = url_request_text(p.parts.scheme, host, named_port(p), p.parts.path);
    }
    return rec;
  }
};

UrlRecorder::UrlRecorder(std::unique_ptr<DbSession> writer, HostCache& names)
    : UrlRecorder(std::move(writer), names, Options()) {}

UrlRecorder::UrlRecorder(std::unique_ptr<DbSession> writer, HostCache& names, Options options)
    : writer_(std::move(writer)), names_(names), options_(options), inbox_(std::make_shared<Inbox>()) {
  if (options_.batch_max == 0) options_.batch_max = 1;
  retry_chunk_ = options_.batch_max;
  if (options_.max_queued == 0) options_.max_queued = 1;
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
    MutexLock lock(inbox_->mutex);
    inbox_->closed = false;
    inbox_->running = true;
  }
  thread_ = std::thread([this] { run(); });
}

void UrlRecorder::stop() {
  {
    MutexLock lock(inbox_->mutex);
    inbox_->closed = true;
    inbox_->wake.notify_all();
    inbox_->space.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  MutexLock lock(inbox_->mutex);
  inbox_->running = false;
}

int UrlRecorder::finish(std::chrono::milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  MutexLock lock(inbox_->mutex);
  auto settled = [&]() REQUIRES(inbox_->mutex) {
    return inbox_->open == 0 && inbox_->retained == 0 && inbox_->lost.empty();
  };
  if (thread_.joinable())
    while (!settled() && lock.wait_until(inbox_->idle, until) == std::cv_status::no_timeout) {
    }
  return static_cast<int>(inbox_->open + inbox_->retained);
}

int UrlRecorder::record_request(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                                const char* host_name, const char* target, std::int64_t seen_at) {
  return queue(counters, client, server, host_name, target, 1, seen_at);
}

int UrlRecorder::record_request_at_port(UrlCounters& counters, const NetAddress& client,
                                        const NetAddress& server, const char* host_name,
                                        std::uint16_t host_port, const char* target, std::int64_t seen_at) {
  return queue(counters, client, server, host_name, target, 1, seen_at, host_port);
}

int UrlRecorder::record_server_name(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                                    const char* name, std::int64_t seen_at) {
  return queue(counters, client, server, name, "/", kMethodTls, seen_at);
}

int UrlRecorder::record_request(UrlCounters& counters, const std::uint8_t client[4],
                                const std::uint8_t server[4], const char* host_name, const char* target,
                                std::int64_t seen_at) {
  return queue(counters, NetAddress::ipv4(client), NetAddress::ipv4(server), host_name, target, 1, seen_at);
}

int UrlRecorder::record_server_name(UrlCounters& counters, const std::uint8_t* client,
                                    const std::uint8_t* server, const char* name, std::int64_t seen_at) {
  return queue(counters, NetAddress::ipv4(client), NetAddress::ipv4(server), name, "/", kMethodTls, seen_at);
}

int UrlRecorder::queue(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                       const char* host_name, const char* target, int method, std::int64_t seen_at,
                       std::uint16_t host_port) {
  if (!is_ip_address(client) || !is_ip_address(server)) {
    // Only an IP address names a host row: anything else is no request.
    MutexLock lock(inbox_->mutex);
    ++inbox_->stats.unusable;
    return -1;
  }
  counters.seen.fetch_add(1, std::memory_order_relaxed);
  auto p = std::make_shared<Pending>();
  db_urls_parse(target != nullptr ? target : "", p->parts);
  if (p->parts.proxy != 0) {
    counters.proxied.fetch_add(1, std::memory_order_relaxed);
    if (p->parts.host[0] == '\0') {
      MutexLock lock(inbox_->mutex);
      ++inbox_->stats.unusable;
      return -1;
    }
  } else {
    counters.direct.fetch_add(1, std::memory_order_relaxed);
  }
  p->method = method;
  if (method == kMethodTls) p->parts.scheme = kSchemeHttps;
  p->time = seen_at != kNoCaptureTime ? seen_at : static_cast<std::int64_t>(std::time(nullptr));
  p->client = client;
  p->server = server;
  if (host_name != nullptr) p->hostname_used.emplace(host_name);
  p->host_port = host_port;
  p->target = target != nullptr ? target : "";

  MutexLock lock(inbox_->mutex);
  ++inbox_->stats.seen;
  if (!writer_) {
    ++inbox_->stats.store_failed;
    return 1;
  }
  if (inbox_->open >= options_.max_queued && options_.block_when_full && inbox_->running) {
    // A file's reader waits for the store rather than outrunning it.
    while (inbox_->open >= options_.max_queued && !inbox_->closed && options_.block_when_full)
      lock.wait(inbox_->space);
  }
  if (inbox_->closed || inbox_->open >= options_.max_queued) {
    // Said when it starts, counted from then on; the summary has the total.
    if (inbox_->stats.dropped_full++ == 0 && !inbox_->closed)
      std::fprintf(stderr,
                   "db_urls_record_access: more than %zu HTTP requests on their way to the database; "
                   "further ones are counted and not recorded\n",
                   options_.max_queued);
    return 1;
  }
  ++inbox_->stats.queued;
  ++inbox_->open;
  p->seq = inbox_->next_seq++;
  inbox_->jobs.push_back(Job{Stage::kNew, nullptr, std::move(p), nullptr});
  inbox_->wake.notify_one();
  return 1;
}

void UrlRecorder::prepare_forced(const std::vector<std::shared_ptr<Pending>>& forced) {
  for (const std::shared_ptr<Pending>& p : forced) {
    if (p->settled.load(std::memory_order_acquire)) continue;
    if (p->server_entry == nullptr) names_.ipv4_now(p->server);
    if (p->client_entry == nullptr) names_.ipv4_now(p->client);
  }
}

void UrlRecorder::note_write_failure(const std::string& why) {
  {
    MutexLock lock(inbox_->mutex);
    ++inbox_->stats.failed;
  }
  next_attempt_ = Clock::now() + options_.retry_every;
  if (failing_) return;
  failing_ = true;
  // Once, not once per batch: a full disk would otherwise fill the log too.
  std::fprintf(stderr,
               "db_urls_record_access: cannot store HTTP requests: %s; they are kept and tried again "
               "(further failures are only counted)\n",
               why.c_str());
}

void UrlRecorder::run() {
  std::vector<Job> batch;
  std::vector<std::uint64_t> lost;
  std::vector<std::shared_ptr<Pending>> forced;

  // One transaction around `body`, then the listeners and the counts.
  // True when the store is down.
  auto write = [&](const std::vector<std::shared_ptr<Pending>>& retry, auto&& body) {
    Connection& c = writer_->connection();
    const bool in_batch = c.begin().ok();  // without it each write commits on its own
    if (in_batch) writer_->fix_now(writer_->now());
    Steps steps{*this};
    for (const std::shared_ptr<Pending>& p : retry) steps.record(p);
    body(steps);
    writer_->fix_now(std::nullopt);
    Status committed;
    if (in_batch) {
      committed = c.commit();
      if (!committed.ok()) c.rollback();
    }
    std::vector<std::shared_ptr<Pending>> keep = std::move(steps.failed);
    if (!committed.ok()) {
      keep.insert(keep.begin(), steps.written.begin(), steps.written.end());
      steps.written.clear();
    }
    for (const std::shared_ptr<Pending>& p : steps.written) {
      const RecordedRequest rec = steps.announcement(*p);
      for (RequestListener* l : listeners_) l->on_request_recorded(rec);
    }
    // The store is down when nothing could be written; a request that fails
    // again and again while others are written is given up instead.
    const bool store_down = !committed.ok() || (steps.written.empty() && !keep.empty());
    std::uint64_t lost_past_bound = 0;
    for (std::shared_ptr<Pending>& p : keep) {
      if (!store_down && ++p->attempts >= 3) {
        ++steps.given_up;
        continue;
      }
      p->reset_for_retry();
      retained_.push_back(std::move(p));
      if (retained_.size() > options_.retain_max) {
        retained_.pop_front();
        ++lost_past_bound;
      }
    }
    if (store_down) {
      std::string why = !committed.ok() ? committed.message() : writer_->last_error().message();
      note_write_failure(why.empty() ? "write failed" : why);
      retry_chunk_ = std::max<std::size_t>(1, retry_chunk_ / 2);
    } else {
      retry_chunk_ = std::min(options_.batch_max, retry_chunk_ * 2);
      if (failing_ && !steps.written.empty()) {
        failing_ = false;
        std::fputs("db_urls_record_access: storing HTTP requests again\n", stderr);
      }
    }
    MutexLock lock(inbox_->mutex);
    inbox_->stats.recorded += steps.written.size();
    inbox_->stats.announced += listeners_.empty() ? 0 : steps.written.size();
    inbox_->stats.given_up += steps.given_up;
    inbox_->stats.store_failed += lost_past_bound;
    inbox_->open -= std::min(inbox_->open, steps.finished);
    inbox_->retained = retained_.size();
    inbox_->held = held_.size();
    inbox_->space.notify_all();
    return store_down;
  };

  // Kept requests go first: they are the oldest. They go in pieces that
  // shrink while the store fails and grow while it writes, so that a store
  // with a little room takes what fits. `all`: at the end, until the store
  // cannot take even one.
  auto retry_kept = [&](bool all) {
    while (!retained_.empty() && (all || !failing_ || Clock::now() >= next_attempt_)) {
      const auto n = static_cast<std::ptrdiff_t>(std::min(retained_.size(), retry_chunk_));
      std::vector<std::shared_ptr<Pending>> retry(retained_.begin(), retained_.begin() + n);
      retained_.erase(retained_.begin(), retained_.begin() + n);
      const std::size_t tried = retry_chunk_;
      if (write(retry, [](Steps&) {}) && (!all || tried == 1)) break;
    }
  };

  // Parked requests past their wait, oldest first; settled ones leave.
  auto expired = [&](Clock::time_point now, bool all) {
    forced.clear();
    while (!parked_.empty()) {
      const std::shared_ptr<Pending>& p = parked_.front();
      if (!p->settled.load(std::memory_order_acquire)) {
        if (!all && now < p->parked_at + options_.name_wait) break;
        forced.push_back(p);
      }
      parked_.pop_front();
    }
  };

  for (;;) {
    // The next moment something is due without being woken: a parked
    // request's bound, or the retry of a failed write.
    while (!parked_.empty() && parked_.front()->settled.load(std::memory_order_acquire)) parked_.pop_front();
    std::optional<Clock::time_point> due;
    if (!parked_.empty()) due = parked_.front()->parked_at + options_.name_wait;
    if ((failing_ || !retained_.empty()) && (!due || next_attempt_ < *due)) due = next_attempt_;
    bool closing = false;
    {
      MutexLock lock(inbox_->mutex);
      inbox_->busy = false;
      inbox_->idle.notify_all();
      auto ready = [&]() REQUIRES(inbox_->mutex) {
        if (inbox_->closed) return true;
        // While the store fails, nothing is tried before the next attempt.
        if (failing_ && Clock::now() < next_attempt_) return false;
        return !inbox_->jobs.empty() || !inbox_->lost.empty() || (due && Clock::now() >= *due);
      };
      while (!ready()) {
        if (!due)
          lock.wait(inbox_->wake);
        else if (lock.wait_until(inbox_->wake, *due) == std::cv_status::timeout)
          break;
      }
      closing = inbox_->closed;
      if (closing && inbox_->jobs.empty() && inbox_->lost.empty()) break;  // closed and drained
      const std::size_t n = std::min(inbox_->jobs.size(), options_.batch_max);
      batch.assign(std::make_move_iterator(inbox_->jobs.begin()),
                   std::make_move_iterator(inbox_->jobs.begin() + static_cast<std::ptrdiff_t>(n)));
      inbox_->jobs.erase(inbox_->jobs.begin(), inbox_->jobs.begin() + static_cast<std::ptrdiff_t>(n));
      lost.swap(inbox_->lost);
      inbox_->busy = true;
    }
    expired(Clock::now(), false);
    prepare_forced(forced);
    retry_kept(closing);
    write({}, [&](Steps& steps) {
      for (std::uint64_t seq : lost) steps.held(seq, nullptr);
      for (const Job& job : batch) steps.run(job);
      for (const std::shared_ptr<Pending>& p : forced) steps.force(p);
    });
    lost.clear();
    forced.clear();
    batch.clear();  // releases the parked tokens of the jobs handled
  }

  // At the end nothing held is dropped: what is still parked is written
  // with what is known, and a kept batch is tried once more.
  expired(Clock::now(), true);
  prepare_forced(forced);
  write({}, [&](Steps& steps) {
    for (const std::shared_ptr<Pending>& p : forced) steps.force(p);
    steps.release_all();
  });
  retry_kept(true);
  forced.clear();
  MutexLock lock(inbox_->mutex);
  // What the store could not take even now is lost, and said so.
  inbox_->stats.store_failed += retained_.size();
  retained_.clear();
  inbox_->retained = 0;
  // Answers still out are dropped on arrival; a restarted thread must not
  // wait for them.
  release_next_ = inbox_->next_seq;
  inbox_->busy = false;
  inbox_->idle.notify_all();
}

UrlRecorderStats UrlRecorder::stats() const {
  MutexLock lock(inbox_->mutex);
  return inbox_->stats;
}

void UrlRecorder::set_block_when_full(bool block) {
  MutexLock lock(inbox_->mutex);
  options_.block_when_full = block;
  inbox_->space.notify_all();
}

int UrlRecorder::held() const {
  MutexLock lock(inbox_->mutex);
  return static_cast<int>(inbox_->held);
}

int UrlRecorder::parked() const {
  MutexLock lock(inbox_->mutex);
  return inbox_->parked;
}

int db_urls_finish(UrlRecorder& recorder, std::chrono::milliseconds bound, std::FILE* report) {
  recorder.finish(bound);
  recorder.stop();
  // Counted after the stop, which writes what was still on its way: every
  // request handed over is now recorded or counted as lost.
  const int left = static_cast<int>(recorder.stats().dropped());
  if (left > 0 && report != nullptr)
    std::fprintf(report, "db_urls_finish: %d HTTP request%s left unrecorded\n", left, left == 1 ? "" : "s");
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
