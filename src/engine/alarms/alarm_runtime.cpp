#include "alarms/alarm_runtime.h"

#include <ctime>

#include "sniff/http.h"

namespace tarnix {

AlarmRuntime::AlarmRuntime(TrafficModel& model, const ProtocolTree* tree, HostCache* names, Options options)
    : options_(std::move(options)),
      log_(options_.log),
      beeper_(stderr),
      sound_(reaper_, options_.diagnostics ? options_.diagnostics : stderr_diagnostics(),
             options_.sound_players),
      command_(reaper_, options_.diagnostics ? options_.diagnostics : stderr_diagnostics(), options_.shell),
      model_(model, tree),
      resolver_(names != nullptr ? std::make_unique<HostCacheAlarmResolver>(*names) : nullptr),
      names_(names),
      state_(alarm_init()),
      sink_(*state_),
      listener_(*state_) {
  AlarmState& st = *state_;
  // Events carry the time of the frames that raised them, so a capture file
  // read later logs when its traffic happened; live the two agree.
  st.clock = [&model] {
    const std::int64_t s = model.capture_second.load(std::memory_order_relaxed);
    return static_cast<std::uint32_t>(s > 0 ? s : std::time(nullptr));
  };
  st.model = &model_;
  st.resolver = resolver_.get();
  st.actions.log = options_.log != nullptr ? &log_ : nullptr;
  st.actions.beeper = options_.beep ? &beeper_ : nullptr;
  st.actions.sound = &sound_;
  st.actions.command = &command_;
  st.actions.firings = options_.firings;
}

AlarmRuntime::~AlarmRuntime() {
  alarm_thread_stop(*state_);
}

void AlarmRuntime::load(DbSession& session) {
  DbAlarmTable table(session);
  MutexLock lock(state_->alarm_mutex);
  alarm_load(*state_, table, state_->loaded);
}

bool AlarmRuntime::add_definition(std::string_view text, DbSession* session, std::string& error) {
  AlarmDefinition def;
  if (!alarm_parse_definition(text, def, error)) return false;
  UrlIdLookup lookup;
  if (session != nullptr && names_ != nullptr)
    lookup = [this, session](const std::string& url) { return alarm_url_lookup(*session, *names_, url); };
  AlarmPtr a = alarm_from_definition(def, &model_, lookup, error);
  if (!a) return false;
  if (session != nullptr) {
    DbAlarmTable table(*session);
    alarm_fill_url_site(*a, table);
  }
  MutexLock lock(state_->alarm_mutex);
  state_->loaded.append(a);
  return true;
}

void AlarmRuntime::start() {
  alarm_pause_evaluation(*state_);
  {
    MutexLock lock(state_->alarm_mutex);
    alarm_queue_all(*state_);
  }
  alarm_resume_evaluation(*state_);
  alarm_thread_start(*state_);
}

bool AlarmRuntime::hosts_answered(std::function<void()> later) {
  return resolver_ == nullptr || resolver_->answered(std::move(later));
}

void AlarmRuntime::stop(std::chrono::milliseconds drain) {
  if (state_->thread.joinable()) alarm_url_step(*state_);
  auto until = std::chrono::steady_clock::now() + drain;
  while (std::chrono::steady_clock::now() < until) {
    {
      MutexLock lock(state_->alarm_mutex);
      // Empty queue and the thread asleep: every firing has been acted on.
      if (state_->events.empty() && !state_->alarm_wake.is_set()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  alarm_thread_stop(*state_);
}

std::int32_t alarm_url_lookup(DbSession& session, HostCache& names, const std::string& url) {
  UrlParts parts;
  if (!db_urls_parse(url, parts) || parts.proxy != 1 || parts.host[0] == '\0') return 0;
  HostCacheRequestDescriptor host;
  host.kind = kHostcByName;
  host.name = parts.host;
  // Keyed as a request for it would be: a name is the site, an address the
  // server with every site on it.
  return db_urls_add_by_name(session, names, &host, parts);
}

namespace {

std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string alarm_summary_text(const std::vector<AlarmSummary>& alarms) {
  std::string out = "Alarms:\n";
  if (alarms.empty()) return out + "    (none)\n";
  for (const AlarmSummary& a : alarms) {
    char line[512];
    std::snprintf(line, sizeof line, "    %8zu  %-36s %s%s\n", a.firings.size(), a.object.c_str(),
                  a.notify.c_str(), a.disabled != 0 ? " (disabled)" : "");
    out += line;
  }
  return out;
}

std::string alarm_summary_json(const std::vector<AlarmSummary>& alarms) {
  std::string out = "[";
  for (std::size_t i = 0; i < alarms.size(); ++i) {
    const AlarmSummary& a = alarms[i];
    if (i != 0) out += ",";
    out += "{\"notify\":" + json_text(a.notify) + ",\"object\":" + json_text(a.object) +
           ",\"kind\":" + json_text(a.kind == kAlarmThreshold ? "threshold" : "occurrence") +
           ",\"disabled\":" + (a.disabled != 0 ? "true" : "false") +
           ",\"firings\":" + std::to_string(a.firings.size()) + "}";
  }
  return out + "]";
}

}  // namespace tarnix
