// What the alarm engine needs from the rest of the program, as small
// interfaces: the traffic model (hosts, links, networks, protocol counters,
// the alarms ranking), the host-name resolver and the `alarms` table.
// Adapters to the real capture, pdl, naming and db modules implement them;
// tests implement them with fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/topn.h"
#include "db/url_site.h"
#include "naming/netaddr.h"

namespace tarnix {

struct Alarm;
struct AlarmTopTraits;
using AlarmRanking = TopN<Alarm, AlarmTopTraits>;

// Opaque reference to a record of the traffic model. The alarm engine only
// hands it back to the model; the tag keeps hosts, links, networks and
// protocols apart at compile time.
template <class Tag>
struct ModelRef {
  void* ptr = nullptr;
  explicit operator bool() const { return ptr != nullptr; }
  friend bool operator==(ModelRef, ModelRef) = default;
};
using ModelHost = ModelRef<struct ModelHostTag>;
using ModelLink = ModelRef<struct ModelLinkTag>;
using ModelNet = ModelRef<struct ModelNetTag>;
using ModelProtocol = ModelRef<struct ModelProtocolTag>;

// Frames and bytes of the last second of capture time.
struct WindowCounts {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
};

// The traffic model as alarms see it. Every call except alarm_ranking() is
// made on the capture thread, the only writer of the model.
class AlarmModel {
 public:
  virtual ~AlarmModel() = default;

  virtual ModelNet current_net() = 0;
  virtual ModelHost find_host(ModelNet net, const NetAddress& address) = 0;
  virtual ModelLink find_link(ModelHost source, const NetAddress& destination) = 0;
  // A bound record is kept by the model for as long as it lives: an alarm
  // never watches a record that was let go of. From the capture thread.
  virtual void hold(ModelHost) {}
  virtual void hold(ModelLink) {}

  // Host: what it sent within the last second.
  virtual WindowCounts host_window(ModelHost host) = 0;
  virtual bool host_active(ModelHost host) = 0;
  virtual WindowCounts link_window(ModelLink link) = 0;
  virtual bool link_active(ModelLink link) = 0;
  virtual WindowCounts net_window(ModelNet net) = 0;

  virtual ModelProtocol protocol_lookup(std::string_view name) = 0;
  virtual std::string protocol_name(ModelProtocol protocol) = 0;
  // Frames counted on the protocol's node since its counters were last
  // cleared; both its counters (frames and bytes) start again from 0.
  virtual std::uint64_t protocol_take_frames(ModelProtocol protocol) = 0;

  // The alarms ranking of the current network, or null. Called on the alarm
  // thread and the builder's thread, always under the Alarm mutex.
  virtual AlarmRanking* alarm_ranking() = 0;
  // Empties every network's alarms ranking (the set is being replaced, and
  // no ranking may keep a record of the old one). Under the Alarm mutex.
  virtual void reset_alarm_rankings() {
    if (AlarmRanking* r = alarm_ranking()) r->reset();
  }
};

// A resolved host as an alarm keeps it: its database id and address.
struct AlarmHost {
  std::int32_t host_id = 0;
  NetAddress address;
  std::string name;
};

// The background resolver. The completion runs later on the resolver's
// thread, with the resolved host or null.
class AlarmResolver {
 public:
  virtual ~AlarmResolver() = default;
  virtual void request_ipv4(const NetAddress& address, std::function<void(const AlarmHost*)> completion) = 0;
};

// One row of the `alarms` table, column by column.
struct AlarmTableRow {
  std::int32_t alarm_id = 0;     // 1
  std::int32_t object_type = 0;  // 2
  std::int32_t kind = 0;         // 3
  std::int32_t host1_id = 0;     // 4
  std::int32_t host2_id = 0;     // 5
  std::string protocol;          // 6
  std::int32_t reserved = 0;     // 7
  double threshold = 0;          // 8
  std::int32_t direction = 0;    // 9
  std::int32_t unit = 0;         // 10
  std::string notify;            // 11
  std::int32_t disabled = 0;     // 12
  std::int32_t url_id = 0;       // 13
  std::string sound_file;        // 14
  std::int32_t play_sound = 0;   // 15
  std::string command;           // 16
  std::int32_t run_command = 0;  // 17
  std::int32_t reserved2 = 0;    // 18
  std::string delivery;          // 19; empty in rows stored before deliveries existed

  friend bool operator==(const AlarmTableRow&, const AlarmTableRow&) = default;
};

// The `alarms` table as alarm_load and alarm_save use it. Failures are
// silent: a failed read yields no rows, a failed rewrite leaves the table as
// it was.
class AlarmTable {
 public:
  virtual ~AlarmTable() = default;
  // Every row, in the table's order.
  virtual void load_rows(std::vector<AlarmTableRow>& rows) = 0;
  // Replaces every row by `rows` (their alarm_id ignored); each row's
  // alarm_id then holds the id generated for it (0 on failure).
  virtual void save_rows(std::vector<AlarmTableRow>& rows) = 0;
  // The address stored for a host id; false when there is none.
  virtual bool host_cache_addr(std::int32_t host_id, NetAddress& address) = 0;
  virtual bool urls_exists(std::int32_t url_id) = 0;
  // The identity of a stored URL; false when unknown, or when the table
  // cannot say (its alarms then hear only their own URL's accesses).
  virtual bool url_site(std::int32_t /*url_id*/, UrlSite& /*out*/) { return false; }
};

}  // namespace tarnix
