// What the headless program prints at the end: the counts copied from the
// model under the network's lock, then written as a table or as JSON. The
// hosts, links and groups are either copied too, or (for the end of a run,
// where there may be a great many) read from the network as they are
// written, so that the output is never held whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "capture/focus_file.h"
#include "capture/net.h"

namespace tarnix::cli {

// The exit status of a run that recorded into a database and lost HTTP
// requests on the way (the summary says how many and why).
inline constexpr int kExitRequestsLost = 3;

struct ProtoRow {
  std::string name;
  std::string description;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::vector<ProtoRow> children;
};

struct HostRow {
  std::string address;
  std::string name;  // empty when unknown
  std::string ether;
  std::uint64_t frames_sent = 0;
  std::uint64_t bytes_sent = 0;
  bool active = false;
  std::string ether_shown;  // Maker_xx:yy:zz when makers are shown, else empty (as ether)
  std::string name_source;  // "ethers", "reverse", "dhcp", "mdns", "dns"; empty when unnamed
  std::string vendor;       // the adapter's maker; empty when unknown
  std::uint16_t vlan = 0;   // VLAN id of the host's last frame; 0 untagged
};

struct LinkRow {
  std::string source;
  std::string destination;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  bool active = false;
  std::string dominant;  // the focused protocol with most bytes; empty for none
  std::vector<ProtoRow> protocols;
};

struct SubnetRow {
  std::string address;
  int host_count = 0;
  std::vector<std::string> members;
};

// One entry of a ranking: a name (or address) and its count; links name
// both ends.
struct TopRow {
  std::string name;
  std::string destination;  // links only
  std::int64_t id = 0;      // url_id or host_id for the database rankings
  std::uint64_t count = 0;
};

struct TopLists {
  std::vector<TopRow> hosts, links, alarms, urls, url_clients, url_servers;
};

struct Summary {
  std::string source;
  bool live = false;
  CaptureCounters counters;
  std::uint64_t filter_rejected = 0;
  std::optional<std::uint64_t> cut_short_after;  // a capture file's short last record
  std::string read_stopped;                      // a damaged capture file: where and why reading stopped
  std::uint32_t load_percent = 0;
  std::string local_address;
  std::string local_mask;
  EvictionCounts evicted;      // what the model's bound took out
  // New hosts not looked up because the name service's queue was full (a
  // flood of addresses): shown by their addresses or heard names.
  std::uint64_t names_not_asked = 0;
  std::vector<HostRow> hosts;  // ascending address
  std::vector<LinkRow> links;  // by source address, then destination address
  std::vector<SubnetRow> subnets;
  // When set, hosts, links and subnets are empty and their rows are read
  // from this network (under its lock) as they are written.
  const Net* rows_from = nullptr;
  const Classifier* rows_classifier = nullptr;
  const FocusList* rows_focus = nullptr;
  std::vector<std::string> duplicates;  // already formatted lines
  bool recorded_urls = false;           // HTTP requests were recorded (--db)
  std::uint32_t urls_proxied = 0;
  std::uint32_t urls_direct = 0;
  // From the recorder's own counts, once it has stopped: `recorded` is what
  // the store committed, never merely what was seen.
  std::uint64_t urls_seen = 0;
  std::uint64_t urls_unusable = 0;  // botched targets: neither recorded nor lost
  std::uint64_t urls_recorded = 0;
  std::uint64_t urls_dropped_queue_full = 0;
  std::uint64_t urls_dropped_store_failed = 0;
  std::uint64_t urls_dropped_given_up = 0;
  std::uint64_t urls_dropped() const {
    return urls_dropped_queue_full + urls_dropped_store_failed + urls_dropped_given_up;
  }
  std::string database;  // which database recorded them (db_describe)
  std::string sensor;    // the name they were recorded under
  std::string alarms_text;  // already rendered; empty when no alarm was watched
  std::string alarms_json;
  bool has_top = false;  // --top
  TopLists top;
};

// Copies the network under its lock; with a focus, each link's dominant
// focused protocol. Without records, only the counts are copied, and the
// rows are read from the network when the summary is written (the network,
// classifier and focus must outlive it).
Summary collect_summary(const Net& net, const Classifier& classifier, const FocusList* focus = nullptr,
                        bool records = true);
// The first n hosts and links of the network's rankings, re-sorted first,
// under its lock.
void collect_top_traffic(Net& net, int n, TopLists& out);

std::string render_text(const Summary& s);
std::string render_json(const Summary& s);
// The same, written to the file a piece at a time; false when writing failed.
bool write_text(const Summary& s, std::FILE* file);
bool write_json(const Summary& s, std::FILE* file);

// The focus file's palette and foci (--list-foci), `active` the index of the
// active focus or -1.
std::string render_foci_text(const FocusStore& store, const Classifier& classifier);
std::string render_foci_json(const FocusStore& store, const Classifier& classifier);

// JSON string literal for arbitrary bytes (invalid UTF-8 bytes become
// U+FFFD so that the output always parses).
std::string json_string(const std::string& text);

}  // namespace tarnix::cli
