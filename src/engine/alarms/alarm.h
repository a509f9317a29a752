// Alarms: definitions, their binding to the traffic model, their evaluation
// on the capture thread and their actions on the alarm thread.
//
// Threads and what they may touch:
//  - capture thread: alarm_bind_step, alarm_eval_step (the waiting and active
//    lists, the bindings, last access); alarm_url_notify from the recorder;
//  - resolver thread: host fills after loading (published atomically),
//    alarm_url_notify from completed requests;
//  - alarm thread: the actions; the activations and the ranking under the
//    Alarm mutex;
//  - builder thread: alarm_copy_set, alarm_replace_set, which pauses
//    evaluation and holds the Alarm mutex while the set changes.
// Definition fields never change while a record is live (the builder edits
// copies), so evaluation reads them without a lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alarms/actions.h"
#include "alarms/alarm_model.h"
#include "alarms/event.h"
#include "core/list.h"
#include "core/mutex.h"

namespace tarnix {

enum AlarmObjectType : std::int32_t {
  kAlarmHost = 1,
  kAlarmLink = 2,
  kAlarmProtocol = 3,
  kAlarmNetwork = 4,
  kAlarmUrl = 5,
};
enum AlarmKind : std::int32_t { kAlarmOccurrence = 0, kAlarmThreshold = 1 };
enum AlarmDirection : std::int32_t { kAlarmHigh = 0, kAlarmLow = 1 };
enum AlarmUnit : std::int32_t { kAlarmPackets = 0, kAlarmKilobytes = 1, kAlarmPercent = 2 };

// Firing times, oldest first. Shared by a record and its builder copies so
// that firings counted before an edit stay counted. Guarded by the Alarm mutex.
struct AlarmActivations {
  std::vector<std::uint32_t> times;
};

struct Alarm {
  Alarm() = default;
  Alarm(const Alarm&) = delete;
  Alarm& operator=(const Alarm&) = delete;

  std::int32_t alarm_id = 0;
  std::int32_t object_type = 0;
  std::int32_t kind = kAlarmOccurrence;

  // Host 1 (the host, or the link's first end) and host 2; filled later by
  // the resolver after loading, so read and written through these calls.
  const AlarmHost* host(int which) const { return hosts_[which - 1].load(std::memory_order_acquire); }
  void set_host(int which, const AlarmHost& host);
  // No host any more (the builder's "(unresolved)"), not even a stored id.
  void clear_host(int which);
  // Host ids read from the table whose hosts are not resolved yet; saved in
  // their place so that an early save does not lose them.
  std::int32_t pending_host_id[2] = {0, 0};

  // Bindings into the traffic model; capture thread only.
  ModelHost bound_host1;
  ModelHost bound_host2;
  ModelLink bound_link;
  ModelNet owner;

  ModelProtocol protocol;
  // The protocol name as defined, kept even when no such protocol exists so
  // that saving does not drop it.
  std::string protocol_name;
  std::int32_t reserved = 0;
  std::uint32_t threshold = 0;
  std::int32_t direction = kAlarmLow;
  std::int32_t unit = kAlarmKilobytes;
  std::string notify;
  std::int32_t disabled = 1;
  std::int32_t url_id = 0;
  // What the URL alarm watches (alarm_fill_url_site); when it is missing or
  // of another url_id, the alarm hears only the accesses of url_id itself.
  std::shared_ptr<const UrlSite> url_site;
  std::atomic<std::int32_t> last_access{0};
  std::string sound_file;
  std::int32_t play_sound = 0;
  std::string command;
  std::int32_t run_command = 0;
  std::int32_t reserved2 = 0;
  // Where firings go beyond the log, sound and command: "syslog" and
  // "webhook:URL" separated by spaces (see alarm_def.h); empty for none.
  std::string delivery;

  std::shared_ptr<AlarmActivations> activations = std::make_shared<AlarmActivations>();
  // Guarded by the Alarm mutex, like the ranking it indexes.
  std::int32_t top_position = -1;
  // Set under the Alarm mutex when the record leaves the live set; a retired
  // record is never ranked again.
  bool retired = false;

  // Whether the condition held at the last evaluation pass; capture thread.
  bool holding = false;
  // When the sound or command last ran (event time); alarm thread only.
  bool acted = false;
  std::uint32_t acted_at = 0;

 private:
  std::atomic<const AlarmHost*> hosts_[2] = {nullptr, nullptr};
  Mutex hosts_mutex_;
  std::vector<std::unique_ptr<AlarmHost>> host_storage_
      GUARDED_BY(hosts_mutex_);  // every host ever set, freed with the record
};

using AlarmPtr = std::shared_ptr<Alarm>;
using AlarmList = List<AlarmPtr>;

// Ranking traits; the value is the number of firings. Used under the Alarm mutex.
struct AlarmTopTraits {
  static int compare(const Alarm* a, const Alarm* b);
  static int get_position(const Alarm* a) { return a ? a->top_position : -1; }
  static void set_position(Alarm* a, int position) { a->top_position = position; }
  static std::string name(const Alarm* a) { return a->notify; }
  static std::uint64_t value(const Alarm* a) { return a->activations ? a->activations->times.size() : 0; }
};

// What a firing puts on the event queue. `value` is what the test measured
// (in the alarm's unit for thresholds; frames for a protocol, the access id
// for a URL, 1 for a present host or link).
// `entering`: the condition did not hold at the pass before, so the costly
// actions run now whatever the interval says.
struct AlarmEvent {
  AlarmPtr alarm;
  std::uint32_t time = 0;
  std::uint32_t value = 0;
  bool entering = true;
};

// Costly actions (sound, command) of one alarm run when it enters its
// condition, then at most once per this many seconds of event time while it
// holds; every firing is still logged and counted. URL alarms, which fire
// once per access, run them at most once per interval.
constexpr std::uint32_t kAlarmActionInterval = 60;

// Evaluation passes run once a second, whatever the capture loop's pace: a
// loop that wakes a thousand times a second must not fire a thousand times.
// The second is the capture's own (frame time), so a file read at any speed
// gets one pass per second of its traffic; when no frames come, the wall
// clock carries that second on, so conditions are still tested in silence.
class AlarmCadence {
 public:
  // True when a pass is due at this capture second and steady time; the pass
  // is then counted as done.
  bool due(std::int64_t capture_second, std::chrono::steady_clock::time_point now);

 private:
  std::int64_t passed_ = std::numeric_limits<std::int64_t>::min();  // second of the last pass
  std::int64_t seen_ = std::numeric_limits<std::int64_t>::min();    // capture second last seen
  std::chrono::steady_clock::time_point seen_at_{};                 // when it was first seen
};

struct UrlNotification {
  std::int32_t url_id = 0;
  std::int32_t url_hist_id = 0;
  std::uint32_t time = 0;  // when the request was seen; 0: the clock's time
  std::optional<UrlSite> site;  // the accessed URL's identity, when known
};

// The alarm thread's actions. Any of them may be absent.
struct AlarmActionSet {
  AlarmLog* log = nullptr;
  Beeper* beeper = nullptr;
  SoundPlayer* sound = nullptr;
  CommandRunner* command = nullptr;
  AlarmFiringSink* firings = nullptr;
};

struct AlarmState {
  AlarmState() = default;
  AlarmState(const AlarmState&) = delete;
  AlarmState& operator=(const AlarmState&) = delete;
  ~AlarmState();

  AlarmModel* model = nullptr;
  AlarmResolver* resolver = nullptr;
  AlarmActionSet actions;
  // Seconds for firing times: the newest frame's capture time when a
  // capture runs (AlarmRuntime), else the wall clock; tests set it.
  std::function<std::uint32_t()> clock;

  AlarmList loaded;   // guarded by the Alarm mutex for every thread but the capture thread's reads
  AlarmList waiting;  // capture thread, or anyone while evaluation is paused
  AlarmList active;

  Mutex alarm_mutex;  // "Alarm mutex": event queue, replacement, ranking, activations
  std::deque<AlarmEvent> events GUARDED_BY(alarm_mutex);
  Mutex url_mutex;  // "Alarm URL queue mutex"
  std::deque<UrlNotification> urls GUARDED_BY(url_mutex);

  ManualEvent alarm_wake;
  ManualEvent alarm_suspend;
  // Set while no bind or evaluation step runs. Starts set: with no step ever
  // run, pausing evaluation must not wait.
  ManualEvent alarm_idle{true};
  Mutex gate_mutex;  // makes "check suspend, reset idle" one step against alarm_pause
  int pause_count GUARDED_BY(gate_mutex) = 0;  // pauses from several threads nest

  std::atomic<bool> stop{false};
  std::thread thread;

  // See kAlarmActionInterval; tests shorten it.
  std::uint32_t action_interval = kAlarmActionInterval;
};

// Creates the lists, queues and events; nothing runs yet.
std::unique_ptr<AlarmState> alarm_init();

// Fills a record from a table row; host ids are resolved in the background
// through st.resolver, the protocol found by name through st.model.
void alarm_load(AlarmState& st, AlarmTable& table, AlarmList& loaded);
// Rewrites the table from the list. Texts are stored as they are.
void alarm_save(AlarmState& st, AlarmTable& table, const AlarmList& loaded);
// The table row that a record saves as (alarm id 0).
AlarmTableRow alarm_to_row(AlarmState& st, const Alarm& alarm);

// Every loaded alarm of a known object type goes onto the waiting list.
void alarm_queue_all(AlarmState& st);

// Capture thread, after every dispatch of frames, in this order.
void alarm_bind_step(AlarmState& st);
void alarm_eval_step(AlarmState& st);
// Only the URL part of evaluation: fires what the recorded accesses queued so
// far call for. For a last pass once capture has ended (the recorder may
// announce accesses after the last capture step); never beside a running
// capture thread.
void alarm_url_step(AlarmState& st);

// Queues a firing for the alarm thread.
// `when` is the event's time, 0 for the state's clock.
// `entering`: see AlarmEvent.
void alarm_fire(AlarmState& st, const AlarmPtr& alarm, std::uint32_t value = 0, std::uint32_t when = 0,
                bool entering = true);
// One recorded access of a URL (any thread); `site`, when given, is the
// accessed URL's identity, which lets alarms on other URLs of the same site
// or address hear it.
void alarm_url_notify(AlarmState& st, std::int32_t url_id, std::int32_t url_hist_id,
                      std::uint32_t seen_at = 0, const UrlSite* site = nullptr);

// Which accesses a URL alarm hears, by the identity of its URL (`watched`)
// and of the URL accessed (`seen`), beyond the accesses of its own URL:
//  - a URL whose host is an address or was not named (no site) hears every
//    site on that host, for the same scheme, port and path;
//  - a URL whose host is a name (a site) hears that site on whichever host
//    it was reached, and the requests that named no site (an address, or
//    no name at all) at the host the name stood for when the alarm was
//    made: the server answered those with one of its sites, which may be
//    this one, and an alarm would rather say so than miss it.
// Alarms stored before sites were told apart watch a URL without a name,
// and so keep hearing every site on its host, as they did.
bool alarm_url_site_hears(const UrlSite& watched, const UrlSite& seen);

// Reads the identity of a URL alarm's URL from the table (before the
// record goes live). Other alarms are left as they are.
void alarm_fill_url_site(Alarm& alarm, AlarmTable& table);

// A copy for the builder's working list: unbound, alarm id and reserved 2
// zero, unranked, sharing the activations of the original.
AlarmPtr alarm_copy(const Alarm& alarm);
// Copies of every loaded alarm, taken under the Alarm mutex.
AlarmList alarm_copy_set(AlarmState& st);
// Replaces the live set by `replacement` (the builder's OK): evaluation is
// paused, and under the Alarm mutex the lists are emptied, the old records
// retired, the ranking refilled, the table rewritten (when one is given) and
// binding restarted.
void alarm_replace_set(AlarmState& st, AlarmList replacement, AlarmTable* table);

// Pauses evaluation: when this returns, no bind or evaluation step runs until
// alarm_resume_evaluation.
void alarm_pause_evaluation(AlarmState& st);
void alarm_resume_evaluation(AlarmState& st);

// Body of the alarm thread; returns once st.stop is set and the wake-up seen.
void alarm_thread(AlarmState& st);
// Starts and stops st.thread around alarm_thread. Stopping lets the thread
// finish the event it is on; queued events are left.
void alarm_thread_start(AlarmState& st);
void alarm_thread_stop(AlarmState& st);

// The actions of one event, in order: log, activation, sound, command, ranking.
void alarm_perform_actions(AlarmState& st, const AlarmEvent& event);

// A short description of what the alarm watches: "host 10.0.0.5",
// "link 10.0.0.1 -> 10.0.0.2", "network", "protocol HTTP",
// "url https://secure.example/" ("url 17" when its text is not known).
std::string alarm_object_text(const Alarm& alarm);

// One line of a summary or report, read under the Alarm mutex.
struct AlarmSummary {
  std::string notify;
  std::string object;
  std::int32_t kind = 0;
  std::int32_t disabled = 0;
  std::vector<std::uint32_t> firings;
};
std::vector<AlarmSummary> alarm_summaries(AlarmState& st);
// The ranking of the current network, read under the Alarm mutex.
std::vector<TopNEntry> alarm_top_snapshot(AlarmState& st);

// The threshold test alone: the value of the frames and bytes in the alarm's
// unit, and whether it fires in the alarm's direction.
bool alarm_threshold_test(const Alarm& alarm, WindowCounts counts, std::uint32_t* measured = nullptr);

}  // namespace tarnix
