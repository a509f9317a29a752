// The sensor's state as Prometheus text exposition (format 0.0.4). The
// snapshot is copied from the model first; rendering takes no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::service {

struct MetricsSnapshot {
  std::string sensor;
  std::string interface;  // the adapter or capture file
  std::uint64_t frames_seen = 0;
  std::uint64_t frames_counted = 0;
  std::uint64_t frames_filtered = 0;
  std::uint64_t bytes = 0;
  std::uint64_t kernel_dropped = 0;
  std::uint64_t interface_dropped = 0;
  std::uint64_t hosts = 0;
  std::uint64_t hosts_active = 0;
  std::uint64_t links = 0;
  std::uint64_t links_active = 0;
  std::uint64_t evicted_hosts = 0;  // taken out by the model's bound
  std::uint64_t evicted_links = 0;
  std::uint64_t load_percent = 0;
  bool recording = false;  // the request counters below mean something
  std::uint64_t http_requests_recorded = 0;
  std::uint64_t tls_names_recorded = 0;
  std::uint64_t requests_waiting = 0;
  std::uint64_t requests_dropped_queue_full = 0;
  std::uint64_t requests_dropped_store_failed = 0;
  std::uint64_t requests_dropped_given_up = 0;
  std::uint64_t duplicate_addresses = 0;
  std::uint64_t name_lookups_waiting = 0;
  std::uint64_t name_lookups_refused = 0;
  std::uint64_t capture_reopens = 0;
  std::uint64_t events_written = 0;
  std::uint64_t events_dropped = 0;
  std::uint64_t webhooks_delivered = 0;
  std::uint64_t webhooks_failed = 0;
  std::uint64_t webhooks_limited = 0;
  struct Alarm {
    std::string name;
    std::uint64_t firings = 0;
  };
  std::vector<Alarm> alarms;
  struct Top {
    std::string host;
    std::string peer;      // links only
    std::string protocol;  // links: the dominant protocol, when known
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
  };
  std::vector<Top> top_hosts;
  std::vector<Top> top_links;
};

// A label value with \ " and line ends escaped, and malformed UTF-8 replaced,
// as the exposition format requires.
std::string prometheus_label_value(std::string_view raw);

std::string render_metrics(const MetricsSnapshot& s);

}  // namespace tarnix::service
