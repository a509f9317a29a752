#include "service/metrics.h"

#include <map>

#include "service/json_text.h"

namespace tarnix::service {

std::string prometheus_label_value(std::string_view raw) {
  // The JSON rule already yields valid UTF-8 with controls escaped; what the
  // exposition format reads differently is only \uXXXX, so controls are
  // written as a visible replacement instead.
  std::string quoted = json_quote(raw);
  std::string out;
  out.reserve(quoted.size());
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    const char c = quoted[i];
    if (c == '\\' && quoted[i + 1] == 'u') {
      out += "\xEF\xBF\xBD";
      i += 5;
    } else if (c == '\\' && quoted[i + 1] == 't') {
      out += ' ';
      ++i;
    } else if (c == '\\') {
      // \\ \" \n are spelt the same in both formats.
      out += c;
      out += quoted[++i];
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

class Writer {
 public:
  explicit Writer(const MetricsSnapshot& s)
      : base_("sensor=\"" + prometheus_label_value(s.sensor) + "\",interface=\"" +
              prometheus_label_value(s.interface) + "\"") {}

  void family(const char* name, const char* type, const char* help) {
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    name_ = name;
  }
  void sample(std::uint64_t value, const std::vector<std::pair<const char*, std::string>>& labels = {}) {
    out_ += name_ + "{" + base_;
    for (const auto& [k, v] : labels) out_ += std::string(",") + k + "=\"" + prometheus_label_value(v) + "\"";
    out_ += "} " + std::to_string(value) + "\n";
  }
  void one(const char* name, const char* type, const char* help, std::uint64_t value) {
    family(name, type, help);
    sample(value);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string base_;
  std::string name_;
  std::string out_;
};

}  // namespace

std::string render_metrics(const MetricsSnapshot& s) {
  Writer w(s);
  w.one("tarnix_frames_seen_total", "counter", "Frames handed to the sensor by the capture.", s.frames_seen);
  w.one("tarnix_frames_counted_total", "counter", "Frames counted in the traffic model.", s.frames_counted);
  w.one("tarnix_frames_filtered_total", "counter", "Frames left out: neither IPv4 nor NetBIOS name service.",
        s.frames_filtered);
  w.one("tarnix_bytes_total", "counter", "Bytes of the frames counted.", s.bytes);
  w.family("tarnix_dropped_frames_total", "counter", "Frames lost before the sensor saw them, by where.");
  w.sample(s.kernel_dropped, {{"where", "kernel"}});
  w.sample(s.interface_dropped, {{"where", "interface"}});
  w.one("tarnix_hosts", "gauge", "Hosts known on the segment.", s.hosts);
  w.one("tarnix_hosts_active", "gauge", "Hosts heard within the node time-out.", s.hosts_active);
  w.one("tarnix_links", "gauge", "Links (host pairs) known.", s.links);
  w.one("tarnix_links_active", "gauge", "Links carrying traffic within the link time-out.", s.links_active);
  w.one("tarnix_evicted_hosts_total", "counter",
        "Hosts the bound on the model took out, longest inactive first.", s.evicted_hosts);
  w.one("tarnix_evicted_links_total", "counter", "Links the bound on the model took out.", s.evicted_links);
  w.one("tarnix_load_percent", "gauge", "Last second's bytes against the link speed, in percent.",
        s.load_percent);
  if (s.recording) {
    w.one("tarnix_http_requests_recorded_total", "counter", "HTTP requests stored in the database.",
          s.http_requests_recorded);
    w.one("tarnix_tls_names_recorded_total", "counter", "TLS server names stored in the database.",
          s.tls_names_recorded);
    w.one("tarnix_requests_waiting", "gauge", "Requests seen and not yet stored or given up.",
          s.requests_waiting);
    w.family("tarnix_requests_dropped_total", "counter", "Requests seen and never stored, by the reason.");
    w.sample(s.requests_dropped_queue_full, {{"reason", "queue_full"}});
    w.sample(s.requests_dropped_store_failed, {{"reason", "store_failed"}});
    w.sample(s.requests_dropped_given_up, {{"reason", "given_up"}});
  }
  w.one("tarnix_duplicate_addresses", "gauge", "IPv4 addresses claimed by more than one Ethernet address.",
        s.duplicate_addresses);
  w.one("tarnix_name_lookups_waiting", "gauge", "Host name look-ups queued for the name service.",
        s.name_lookups_waiting);
  w.one("tarnix_name_lookups_refused_total", "counter",
        "New hosts turned away by a full look-up queue (asked again as room comes).", s.name_lookups_refused);
  w.one("tarnix_capture_reopens_total", "counter", "Times the adapter was opened again after failing.",
        s.capture_reopens);
  w.family("tarnix_events_total", "counter", "Event lines, by outcome.");
  w.sample(s.events_written, {{"outcome", "written"}});
  w.sample(s.events_dropped, {{"outcome", "dropped"}});
  w.family("tarnix_webhooks_total", "counter", "Alarm webhook posts, by outcome.");
  w.sample(s.webhooks_delivered, {{"outcome", "delivered"}});
  w.sample(s.webhooks_failed, {{"outcome", "failed"}});
  w.sample(s.webhooks_limited, {{"outcome", "rate_limited"}});

  // Two alarms may share a notify text: one series each would clash, so
  // their firings are added up under the name.
  std::map<std::string, std::uint64_t> alarms;
  for (const MetricsSnapshot::Alarm& a : s.alarms) alarms[a.name] += a.firings;
  w.family("tarnix_alarm_firings_total", "counter", "Firings of each alarm, by its notify text.");
  for (const auto& [name, firings] : alarms) w.sample(firings, {{"alarm", name}});

  w.family("tarnix_host_bytes_total", "counter", "Bytes sent by each of the top hosts.");
  for (const auto& h : s.top_hosts) w.sample(h.bytes, {{"host", h.host}});
  w.family("tarnix_host_frames_total", "counter", "Frames sent by each of the top hosts.");
  for (const auto& h : s.top_hosts) w.sample(h.frames, {{"host", h.host}});
  w.family("tarnix_link_bytes_total", "counter", "Bytes carried by each of the top links.");
  for (const auto& l : s.top_links)
    w.sample(l.bytes, {{"host", l.host}, {"peer", l.peer}, {"protocol", l.protocol}});
  w.family("tarnix_link_frames_total", "counter", "Frames carried by each of the top links.");
  for (const auto& l : s.top_links)
    w.sample(l.frames, {{"host", l.host}, {"peer", l.peer}, {"protocol", l.protocol}});
  return w.take();
}

}  // namespace tarnix::service
