#include "cli/service_face.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "alarms/alarm_runtime.h"
#include "capture/focus.h"
#include "capture/net.h"
#include "db/db_store.h"
#include "db/url_recording.h"
#include "naming/host_cache.h"
#include "service/json_text.h"
#include "sniff/http.h"

namespace tarnix::cli {

using service::json_field;
using service::json_quote;

namespace {

constexpr std::size_t kRecentRequests = 10000;
constexpr std::size_t kRecentFirings = 200;
constexpr int kRequestsPageMax = 1000;

std::string now_text() {
  return std::to_string(static_cast<long long>(std::time(nullptr)));
}

std::string request_json(const RecordedRequest& r) {
  std::string out = "{";
  json_field(out, "type", r.method == kMethodTls ? "\"tls\"" : "\"request\"");
  json_field(out, "time", std::to_string(r.time));
  json_field(out, "id", std::to_string(r.url_hist_id));
  json_field(out, "url_id", std::to_string(r.url_id));
  json_field(out, "client", json_quote(netaddr_text(r.client)));
  json_field(out, "client_name", json_quote(r.client_name));
  json_field(out, "server", json_quote(netaddr_text(r.server)));
  json_field(out, "server_name", json_quote(r.server_name));
  json_field(out, "url", json_quote(r.url));
  json_field(out, "host", r.hostname_used.empty() ? "null" : json_quote(r.hostname_used));
  json_field(out, "proxy", r.proxy ? "true" : "false");
  return out + "}";
}

std::string duplicate_json(const DupIpReport& r, bool grew) {
  std::string out = "{";
  json_field(out, "type", grew ? "\"duplicate_grew\"" : "\"duplicate\"");
  json_field(out, "time", std::to_string(r.last_change));
  json_field(out, "address", json_quote(netaddr_text(r.address)));
  std::string ethers = "[";
  for (std::size_t i = 0; i < r.ethers.size(); ++i)
    ethers += (i ? "," : "") + json_quote(netaddr_text(r.ethers[i]));
  json_field(out, "ethernet", ethers + "]");
  return out + "}";
}

bool whole_number(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& out) {
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < low || v > high)
    return false;
  out = v;
  return true;
}

service::HttpResponse bad_request(const std::string& why) {
  return {400, "application/json", "{\"error\":" + json_quote(why) + "}\n"};
}

}  // namespace

bool service_config(const Options& opt, ServiceConfig& out, std::string& error) {
  ServiceConfig c;
  c.listen = !opt.listen.empty();
  if (c.listen && !service::parse_listen(opt.listen, c.where, error)) return false;
  if (!opt.listen_token_file.empty() && !service::read_token_file(opt.listen_token_file, c.token, error))
    return false;
  if (c.listen && !c.where.loopback() && c.token.empty()) {
    error = "--listen " + opt.listen +
            " reaches beyond this computer: give --listen-token-file FILE so that only holders of the token "
            "may ask";
    return false;
  }
  c.events = opt.events;
  c.events_interval = opt.events_interval;
  c.top = opt.top > 0 ? opt.top : 10;
  out = std::move(c);
  return true;
}

bool service_wanted(const Options& opt, const ServiceConfig& config) {
  if (opt.list_alarms || !opt.add_alarms.empty()) return false;
  return config.any() || !opt.alarms.empty() || opt.has_db();
}

ServiceFace::ServiceFace(ServiceConfig config) : config_(std::move(config)), sensor_(db_sensor_name()) {
  if (!config_.events.empty()) events_ = std::make_unique<service::EventsWriter>(config_.events);
  webhooks_ = std::make_unique<service::WebhookSender>(
      poster_, service::WebhookPolicy{},
      [](const std::string& m) { std::fprintf(stderr, "tarnix-cli: %s\n", m.c_str()); });
}

ServiceFace::~ServiceFace() {
  // Without the last summary line: the parts it reads may be gone by now.
  final_line_ = false;
  stop();
}

bool ServiceFace::open(std::string& error) {
  return !events_ || events_->open(error);
}

bool ServiceFace::start(const Pieces& pieces, std::string& error) {
  pieces_ = pieces;
  if (config_.listen &&
      !server_.start(
          config_.where, config_.token, [this](const service::HttpRequest& r) { return answer(r); },
          service::HttpLimits{}, error))
    return false;
  if (events_) events_->start();
  webhooks_->start();
  if (events_) ticker_ = std::thread([this] { tick(); });
  started_ = true;
  return true;
}

void ServiceFace::stop() {
  {
    std::lock_guard<std::mutex> lock(tick_mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  tick_cv_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  server_.stop();
  if (!started_) return;
  // Posts already due get their try; the run does not wait out back-offs.
  webhooks_->stop(std::chrono::seconds(2));
  if (events_) {
    if (final_line_ && config_.events_interval > 0) events_->write(summary_line(true), true);
    events_->stop();
    if (const std::string e = events_->last_error(); !e.empty())
      std::fprintf(stderr, "tarnix-cli: %s\n", e.c_str());
  }
}

void ServiceFace::reopen_files() {
  if (events_) events_->reopen();
}

void ServiceFace::event(std::string line, bool may_wait) {
  if (events_) events_->write(std::move(line), may_wait);
}

void ServiceFace::tick() {
  using Clock = std::chrono::steady_clock;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.events_interval));
  Clock::time_point next = Clock::now() + interval;
  std::unique_lock<std::mutex> lock(tick_mutex_);
  while (!stopping_) {
    tick_cv_.wait_for(lock, std::chrono::milliseconds(100));
    if (stopping_) break;
    if (events_ && config_.events_interval > 0 && Clock::now() >= next) {
      next += interval;
      lock.unlock();
      event(summary_line(false));
      lock.lock();
    }
  }
}

std::string ServiceFace::summary_line(bool final) {
  const service::MetricsSnapshot s = snapshot();
  std::string line = "{";
  json_field(line, "type", "\"summary\"");
  json_field(line, "final", final ? "true" : "false");
  json_field(line, "time", now_text());
  json_field(line, "sensor", json_quote(s.sensor));
  json_field(line, "interface", json_quote(s.interface));
  for (const auto& [k, v] : {std::pair<const char*, std::uint64_t>{"frames_seen", s.frames_seen},
                             {"frames_counted", s.frames_counted},
                             {"bytes", s.bytes},
                             {"dropped_by_kernel", s.kernel_dropped},
                             {"dropped_by_interface", s.interface_dropped},
                             {"hosts", s.hosts},
                             {"hosts_active", s.hosts_active},
                             {"links", s.links},
                             {"links_active", s.links_active},
                             {"evicted_hosts", s.evicted_hosts},
                             {"evicted_links", s.evicted_links},
                             {"load_percent", s.load_percent},
                             {"http_requests_recorded", s.http_requests_recorded},
                             {"tls_names_recorded", s.tls_names_recorded}})
    json_field(line, k, std::to_string(v));
  return line + "}";
}

// ---------------------------------------------------------------------------
// What the run hears of.

void ServiceFace::on_request_recorded(const RecordedRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    (request.method == kMethodTls ? tls_recorded_ : http_recorded_) += 1;
    recent_requests_.push_back(request);
    if (recent_requests_.size() > kRecentRequests) recent_requests_.pop_front();
  }
  // The store thread can wait for the events file; a request it announced
  // is then never missing from it.
  event(request_json(request), true);
}

void ServiceFace::on_firing(const AlarmFiring& firing) {
  service::FiringReport report{sensor_, firing.notify, firing.object, firing.value, firing.time};
  const std::string json = service::firing_json(report);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recent_firings_.push_back(json);
    if (recent_firings_.size() > kRecentFirings) recent_firings_.pop_front();
  }
  event(json, true);
  if (!firing.deliver) return;
  std::vector<AlarmTarget> targets;
  std::string error;
  if (!alarm_parse_delivery(firing.delivery, targets, error)) return;
  for (const AlarmTarget& t : targets) {
    if (t.syslog)
      service::syslog_deliver(report);
    else
      webhooks_->send(firing.notify + '\n' + firing.object, t.url, json);
  }
}

void ServiceFace::duplicate_found(const DupIpReport& report) {
  if (dup_inner_ != nullptr) dup_inner_->duplicate_found(report);
  event(duplicate_json(report, false));
}

void ServiceFace::duplicate_grew(const DupIpReport& report) {
  if (dup_inner_ != nullptr) dup_inner_->duplicate_grew(report);
  event(duplicate_json(report, true));
}

void ServiceFace::capture_changed(const std::string& message, bool down) {
  if (!down) reopens_.fetch_add(1, std::memory_order_relaxed);
  std::string line = "{";
  json_field(line, "type", down ? "\"capture_down\"" : "\"capture_reopened\"");
  json_field(line, "time", now_text());
  json_field(line, "message", json_quote(message));
  event(std::move(line));
}

// ---------------------------------------------------------------------------
// Snapshots. The network's lock is held only while its numbers are copied;
// everything else is read through the parts' own locks.

service::MetricsSnapshot ServiceFace::snapshot(int top) {
  if (top < 0) top = config_.top;
  service::MetricsSnapshot s;
  s.sensor = sensor_;
  s.interface = pieces_.interface;
  if (Net* net = pieces_.net) {
    // Taken before the network's lock: nothing is ever locked under it but
    // what the capture thread itself locks there.
    const std::shared_ptr<const FocusList> focus = pieces_.focus ? pieces_.focus->active_focus() : nullptr;
    net->read_ranked([&](const Net& n) REQUIRES(n.lock) {
      s.frames_seen = n.counters.frames_seen;
      s.frames_counted = n.counters.frames_accepted;
      s.frames_filtered = n.counters.frames_filtered;
      s.kernel_dropped = n.counters.dropped;
      s.interface_dropped = n.counters.interface_dropped;
      s.load_percent = n.load_percent.load();
      // What evicted hosts sent stays in the byte total: a counter never falls.
      s.bytes = n.evicted.host_bytes;
      s.evicted_hosts = n.evicted.hosts;
      s.evicted_links = n.evicted.links;
      n.host_list.foreach ([&](Node* h) {
        ++s.hosts;
        s.hosts_active += h->active != 0 ? 1 : 0;
        s.bytes += h->bytes_sent;
        h->links.foreach ([&](const NetAddress&, const std::unique_ptr<Link>& l) {
          ++s.links;
          s.links_active += l->active != 0 ? 1 : 0;
        });
      });
      for (int i = 0; i < n.top_hosts.count() && i < top; ++i) {
        const Node* h = n.top_hosts.at(i);
        s.top_hosts.push_back({h->address_text().c_str(), {}, {}, h->frames_sent, h->bytes_sent});
      }
      for (int i = 0; i < n.top_links.count() && i < top; ++i) {
        const Link* l = n.top_links.at(i);
        std::string protocol;
        if (const FocusEntry* e = link_dominant_entry(*l, focus.get()); e && pieces_.classifier)
          protocol = std::string(pieces_.classifier->name_of(e->protocol));
        s.top_links.push_back({l->source->address_text().c_str(), l->destination->address_text().c_str(),
                               protocol, l->frames, l->bytes});
      }
    });
  }
  if (pieces_.recording != nullptr) {
    s.recording = true;
    const UrlRecorderStats st = pieces_.recording->recorder().stats();
    const std::uint64_t settled = st.recorded + st.dropped();
    s.requests_waiting = st.seen > settled ? st.seen - settled : 0;
    s.requests_dropped_queue_full = st.dropped_full;
    s.requests_dropped_store_failed = st.store_failed;
    s.requests_dropped_given_up = st.given_up;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    s.http_requests_recorded = http_recorded_;
    s.tls_names_recorded = tls_recorded_;
  }
  if (pieces_.alarms != nullptr)
    for (const AlarmSummary& a : pieces_.alarms->summary()) s.alarms.push_back({a.notify, a.firings.size()});
  if (pieces_.duplicates != nullptr) s.duplicate_addresses = pieces_.duplicates->snapshot().size();
  if (pieces_.names != nullptr) {
    s.name_lookups_waiting = static_cast<std::uint64_t>(pieces_.names->pending());
    s.name_lookups_refused = pieces_.names->offers_refused();
  }
  s.capture_reopens = reopens_.load(std::memory_order_relaxed);
  if (events_) {
    s.events_written = events_->written();
    s.events_dropped = events_->dropped();
  }
  const service::WebhookSender::Stats w = webhooks_->stats();
  s.webhooks_delivered = w.delivered;
  s.webhooks_failed = w.failed;
  s.webhooks_limited = w.limited;
  return s;
}

Summary ServiceFace::live_summary() {
  const std::shared_ptr<const FocusList> focus = pieces_.focus ? pieces_.focus->active_focus() : nullptr;
  Summary summary = collect_summary(*pieces_.net, *pieces_.classifier, focus.get());
  summary.live = pieces_.live;
  if (pieces_.duplicates != nullptr) {
    for (const DupIpReport& r : pieces_.duplicates->snapshot()) {
      std::string line = LogDupIpNotifier::line(r, dupip_host_name(pieces_.names, r.address));
      while (!line.empty() && line.back() == '\n') line.pop_back();
      summary.duplicates.push_back(line);
    }
  }
  if (pieces_.recording != nullptr) {
    summary.recorded_urls = true;
    const UrlRecorderStats st = pieces_.recording->recorder().stats();
    summary.urls_seen = st.seen;
    summary.urls_unusable = st.unusable;
    summary.urls_recorded = st.recorded;
    summary.urls_dropped_queue_full = st.dropped_full;
    summary.urls_dropped_store_failed = st.store_failed;
    summary.urls_dropped_given_up = st.given_up;
    summary.sensor = sensor_;
  }
  if (pieces_.alarms != nullptr) {
    const std::vector<AlarmSummary> fired = pieces_.alarms->summary();
    summary.alarms_text = alarm_summary_text(fired);
    summary.alarms_json = alarm_summary_json(fired);
  }
  return summary;
}

std::string ServiceFace::top_json(int n) {
  const service::MetricsSnapshot s = snapshot(n);
  std::string out = "{\"hosts\":[";
  for (std::size_t i = 0; i < s.top_hosts.size(); ++i) {
    const auto& h = s.top_hosts[i];
    out += std::string(i ? "," : "") + "{\"host\":" + json_quote(h.host) +
           ",\"frames\":" + std::to_string(h.frames) + ",\"bytes\":" + std::to_string(h.bytes) + "}";
  }
  out += "],\"links\":[";
  for (std::size_t i = 0; i < s.top_links.size(); ++i) {
    const auto& l = s.top_links[i];
    out += std::string(i ? "," : "") + "{\"source\":" + json_quote(l.host) +
           ",\"destination\":" + json_quote(l.peer) +
           ",\"protocol\":" + (l.protocol.empty() ? std::string("null") : json_quote(l.protocol)) +
           ",\"frames\":" + std::to_string(l.frames) + ",\"bytes\":" + std::to_string(l.bytes) + "}";
  }
  out += "],\"alarms\":[";
  if (pieces_.alarms != nullptr) {
    int i = 0;
    for (const TopNEntry& e : alarm_top_snapshot(pieces_.alarms->state())) {
      if (!e.has_name || i >= n) break;
      out += std::string(i++ ? "," : "") + "{\"alarm\":" + json_quote(e.name) +
             ",\"firings\":" + std::to_string(e.value) + "}";
    }
  }
  return out + "]}\n";
}

std::string ServiceFace::requests_json(std::int64_t after, int limit) {
  std::string out = "{\"requests\":[";
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  std::int64_t last = after;
  for (const RecordedRequest& r : recent_requests_) {
    if (r.url_hist_id <= after) continue;
    if (n == limit) break;
    out += (n++ ? "," : "") + request_json(r);
    last = r.url_hist_id;
  }
  const std::int64_t oldest = recent_requests_.empty() ? 0 : recent_requests_.front().url_hist_id;
  return out + "],\"next_after\":" + std::to_string(last) + ",\"oldest_kept\":" + std::to_string(oldest) +
         "}\n";
}

std::string ServiceFace::alarms_json() {
  std::string out = "{\"alarms\":";
  out += pieces_.alarms != nullptr ? alarm_summary_json(pieces_.alarms->summary()) : std::string("[]");
  out += ",\"recent_firings\":[";
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < recent_firings_.size(); ++i) out += (i ? "," : "") + recent_firings_[i];
  return out + "]}\n";
}

service::HttpResponse ServiceFace::answer(const service::HttpRequest& request) {
  const auto query = [&](const char* key, const char* fallback) {
    const auto it = request.query.find(key);
    return it == request.query.end() ? std::string(fallback) : it->second;
  };
  if (request.path == "/metrics")
    return {200, "text/plain; version=0.0.4; charset=utf-8", service::render_metrics(snapshot())};
  if (request.path == "/api/summary") {
    if (pieces_.net == nullptr) return {503, "application/json", "{\"error\":\"not capturing yet\"}\n"};
    return {200, "application/json", render_json(live_summary())};
  }
  if (request.path == "/api/top") {
    std::int64_t n = 0;
    if (!whole_number(query("n", "10"), 1, 50, n))
      return bad_request("n must be a whole number from 1 to 50");
    return {200, "application/json", top_json(static_cast<int>(n))};
  }
  if (request.path == "/api/requests") {
    std::int64_t after = 0, limit = 0;
    if (!whole_number(query("after", "0"), 0, INT64_MAX, after))
      return bad_request("after must be a request id");
    if (!whole_number(query("limit", "100"), 1, kRequestsPageMax, limit))
      return bad_request("limit must be a whole number from 1 to 1000");
    return {200, "application/json", requests_json(after, static_cast<int>(limit))};
  }
  if (request.path == "/api/alarms") return {200, "application/json", alarms_json()};
  return {404, "application/json", "{\"error\":\"no such resource\"}\n"};
}

}  // namespace tarnix::cli
