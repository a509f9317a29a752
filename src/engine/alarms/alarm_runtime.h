// The alarm engine assembled for a program without a GUI: the state, the
// adapters to the traffic model, protocol tree, name cache and database, and
// real actions (log lines on a stream, terminal bell, paplay/aplay, /bin/sh).
//
// Use, before capture starts:
//   AlarmRuntime alarms(model, tree, &names, {});
//   alarms.load(session);                       // the `alarms` table (--db)
//   alarms.add_definition(text, lookup, error); // each --alarm DEFINITION
//   model.hooks.step = &alarms.step_sink();
//   recorder.add_listener(&alarms.request_listener());
//   alarms.start();
// and after capture has stopped: alarms.stop(); then alarms.summary().
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alarms/actions.h"
#include "alarms/alarm.h"
#include "alarms/alarm_db.h"
#include "alarms/alarm_def.h"
#include "alarms/alarm_wiring.h"

namespace tarnix {

class AlarmRuntime {
 public:
  struct Options {
    std::FILE* log = stdout;     // "time  notify string" per firing; null: no log
    DiagnosticSink diagnostics;  // default: standard error
    bool beep = true;            // the terminal bell on standard error, when it is a terminal
    std::vector<std::vector<std::string>> sound_players = SpawnSoundPlayer::default_players();
    std::string shell = "/bin/sh";
    // Hears of every firing (events, syslog, webhooks); may be null.
    AlarmFiringSink* firings = nullptr;
  };

  // names may be null: stored host alarms then never resolve, and URL
  // definitions cannot be looked up.
  AlarmRuntime(TrafficModel& model, const ProtocolTree* tree, HostCache* names, Options options);
  ~AlarmRuntime();
  AlarmRuntime(const AlarmRuntime&) = delete;
  AlarmRuntime& operator=(const AlarmRuntime&) = delete;

  AlarmState& state() { return *state_; }
  CaptureStepSink& step_sink() { return sink_; }
  RequestListener& request_listener() { return listener_; }

  // Appends the alarms stored in the database.
  void load(DbSession& session);
  // Appends an enabled alarm for one definition (see alarm_def.h); false with
  // a message in error when it is malformed or names an unknown protocol or
  // URL. With a session, a URL is looked up (and added when new) through the
  // name cache.
  bool add_definition(std::string_view text, DbSession* session, std::string& error);

  // Binding starts with the next capture step; the alarm thread runs.
  void start();
  // After capture has ended and the recorder has stopped: fires the URL
  // alarms for accesses announced after the last capture step, acts on the
  // firings queued so far (waiting at most `drain`), then stops the alarm
  // thread. Commands and sounds already started run on.
  void stop(std::chrono::milliseconds drain = std::chrono::milliseconds(5000));

  std::vector<AlarmSummary> summary() { return alarm_summaries(*state_); }

  // True when the hosts of the stored alarms loaded so far have their
  // answers from the name cache; otherwise false, and `later` runs once, on
  // the resolver thread, when they have. A capture file read at full speed
  // is over before a host alarm could bind to its host, so its reading waits
  // for this.
  bool hosts_answered(std::function<void()> later);

 private:
  Options options_;
  ProcessReaper reaper_;
  StreamAlarmLog log_;
  TerminalBeeper beeper_;
  SpawnSoundPlayer sound_;
  ShellCommandRunner command_;
  CaptureAlarmModel model_;
  std::unique_ptr<HostCacheAlarmResolver> resolver_;
  HostCache* names_;
  std::unique_ptr<AlarmState> state_;
  AlarmStepSink sink_;
  AlarmRequestListener listener_;
};

// The url_id of a URL written as text ("http://host[:port]/path"), added to
// the URL store when it is new; 0 when it cannot be parsed or its host not
// resolved.
std::int32_t alarm_url_lookup(DbSession& session, HostCache& names, const std::string& url);

// "Alarms:" and one line per alarm: firings, object, notify string.
std::string alarm_summary_text(const std::vector<AlarmSummary>& alarms);
// A JSON array of {"notify","object","kind","disabled","firings"}.
std::string alarm_summary_json(const std::vector<AlarmSummary>& alarms);

}  // namespace tarnix
