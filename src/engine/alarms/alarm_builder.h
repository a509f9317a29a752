// The Alarm Builder's working copy and its confirmation, without the dialog:
// the desktop dialog and the headless program's --add-alarm both edit a copy
// of the live set and hand it back through alarm_builder_commit.
//
// URL references: an alarm holds one reference on its URL's ref_count (so the
// store's pruning keeps the URL while an alarm watches it). The references
// change only when a set is confirmed: each URL gains the number of URL
// alarms of the new set that name it and loses those of the old set. Edits
// that are thrown away (Cancel, a URL typed and then changed) therefore never
// touch the counts, and a deleted alarm gives its reference back only once
// the deletion is confirmed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alarms/alarm.h"
#include "alarms/alarm_def.h"
#include "core/mutex.h"

namespace tarnix {

class DbSession;
class HostCache;
struct protocol_node;

// What the builder looks up. find_* and host_names answer from memory at
// once; resolve_host, url_for and url_text may wait on the resolver or the
// database and belong on a worker thread when a window is waiting.
class AlarmBuilderServices {
 public:
  virtual ~AlarmBuilderServices() = default;
  // Every name the host-name cache knows.
  virtual std::vector<std::string> host_names() = 0;
  virtual std::optional<AlarmHost> find_host(const std::string& text) = 0;
  // The cache's answer, resolving the text first when it is not cached;
  // nullopt when it cannot be resolved or the resolver does not answer in time.
  virtual std::optional<AlarmHost> resolve_host(const std::string& text) = 0;
  // The url_id of a typed URL, added to the store when new; 0 when its host
  // cannot be resolved.
  virtual std::int32_t url_for(const std::string& text) = 0;
  // "http://name/path", empty when the id is unknown.
  virtual std::string url_text(std::int32_t url_id) = 0;
  virtual void adjust_url_refs(std::int32_t url_id, int delta) = 0;
};

// Over the program's name cache and (optionally) its database session. The
// session is used under one lock, so a worker and the window may share it.
class CacheBuilderServices final : public AlarmBuilderServices {
 public:
  CacheBuilderServices(HostCache* names, DbSession* session,
                       std::chrono::milliseconds bound = std::chrono::seconds(15))
      : names_(names), session_(session), bound_(bound) {}
  std::vector<std::string> host_names() override;
  std::optional<AlarmHost> find_host(const std::string& text) override;
  std::optional<AlarmHost> resolve_host(const std::string& text) override;
  std::int32_t url_for(const std::string& text) override;
  std::string url_text(std::int32_t url_id) override;
  void adjust_url_refs(std::int32_t url_id, int delta) override;

 private:
  HostCache* names_;
  Mutex session_mutex_;
  DbSession* session_ PT_GUARDED_BY(session_mutex_);
  std::chrono::milliseconds bound_;
};

// One entry of the protocol drop-down: the description indented by two blanks
// per level, and its node. The "Other" node closing every chain is left out.
struct ProtocolChoice {
  std::string text;
  const protocol_node* node = nullptr;
};
std::vector<ProtocolChoice> alarm_protocol_choices(const protocol_node* root);

// The value box: leading decimal digits with an optional sign, as "%d" shows
// them. A percentage outside 0-100 becomes 0; a negative threshold (which
// the unsigned comparison would read as a huge one) becomes 0 too.
std::uint32_t alarm_value_from_text(std::string_view text, bool percent);

// The longest sound file path and command line the alarms table keeps whole.
constexpr std::size_t kAlarmActionTextMax = 80;

// Why an alarm of the working copy cannot be confirmed: it could never bind
// or never fire (no host, link end, protocol or URL; a network occurrence; a
// percentage above 100), or an action it asks for has nothing to run or more
// than the table keeps. Empty when it is fine. Stored alarms whose hosts are
// still being resolved are fine.
std::string alarm_builder_problem(const Alarm& a);

// The working copy.
class AlarmBuilder {
 public:
  explicit AlarmBuilder(AlarmList copies);
  // Copies of the live set (under the Alarm mutex).
  static AlarmBuilder open(AlarmState& st) { return AlarmBuilder(alarm_copy_set(st)); }

  int count() const { return static_cast<int>(alarms_.size()); }
  const AlarmPtr& at(int index) const { return alarms_[static_cast<std::size_t>(index)]; }

  // "New Alarm": network, threshold low, kilobytes, 0, disabled. Its index.
  int add_new();
  // Drops the alarm; false when there is no such row.
  bool remove(int index);
  // The rules the object radios carry: URL and protocol alarms can only be
  // occurrence alarms.
  static void set_object_type(Alarm& a, std::int32_t type);
  static void set_threshold(Alarm& a, std::int32_t direction);
  static void set_occurrence(Alarm& a) { a.kind = kAlarmOccurrence; }
  // Flips the disabled flag; the new flag.
  static std::int32_t toggle_disabled(Alarm& a);
  // Flips a "play sound" / "run command" flag: 1 becomes 0, anything else 1.
  static void toggle_flag(std::int32_t& flag) { flag = flag == 1 ? 0 : 1; }

  // The first alarm that alarm_builder_problem refuses: its row and the
  // reason; -1 when every alarm is fine.
  int first_problem(std::string& why) const;

  // The working list, in row order, for alarm_builder_commit.
  AlarmList take();

 private:
  std::vector<AlarmPtr> alarms_;
};

// Makes `replacement` the live set (evaluation paused, under the Alarm mutex:
// lists replaced, ranking refilled, table rewritten, binding restarted) and
// moves the URL references from the old set to the new one.
void alarm_builder_commit(AlarmState& st, AlarmList replacement, AlarmTable* table,
                          AlarmBuilderServices* services);

// The headless --add-alarm: the stored set plus one enabled alarm for the
// definition, confirmed as the dialog's OK confirms. Hosts are resolved
// through the services (a host alarm keeps its host's id). False with a
// message when the definition is malformed or its host, protocol or URL
// cannot be had.
bool alarm_builder_add_definition(AlarmState& st, AlarmTable& table, AlarmBuilderServices& services,
                                  std::string_view text, std::string& error);

// One stored row as an --alarm definition (whether it is disabled is the
// caller's to show). False (with the reason in `line`) for a row the grammar
// cannot express: a condition that could never fire, an unknown host or URL,
// no notify text.
bool alarm_row_definition(const AlarmTableRow& row, AlarmTable& table, AlarmBuilderServices& services,
                          std::string& line);
// Writes a definition back in the grammar of alarm_def.h.
std::string alarm_format_definition(const AlarmDefinition& def);

}  // namespace tarnix
