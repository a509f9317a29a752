#include "alarms/alarm.h"

#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <limits>

namespace tarnix {

void Alarm::set_host(int which, const AlarmHost& host) {
  auto copy = std::make_unique<AlarmHost>(host);
  MutexLock lock(hosts_mutex_);
  // Earlier hosts stay allocated until the record goes: a reader on another
  // thread may still be looking at one.
  hosts_[which - 1].store(copy.get(), std::memory_order_release);
  host_storage_.push_back(std::move(copy));
}

void Alarm::clear_host(int which) {
  MutexLock lock(hosts_mutex_);
  hosts_[which - 1].store(nullptr, std::memory_order_release);
  pending_host_id[which - 1] = 0;
}

int AlarmTopTraits::compare(const Alarm* a, const Alarm* b) {
  return compare_values(value(a), value(b));
}

AlarmState::~AlarmState() {
  alarm_thread_stop(*this);
}

std::unique_ptr<AlarmState> alarm_init() {
  auto st = std::make_unique<AlarmState>();
  st->clock = [] { return static_cast<std::uint32_t>(std::time(nullptr)); };
  return st;
}

namespace {

// The table keeps the threshold as a double; anything that is not a number
// in the 32-bit range is brought into it rather than converted with
// undefined results.
std::uint32_t threshold_from_double(double value) {
  if (!(value > 0)) return 0;  // also NaN
  if (value >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(value);
}

ModelNet net_of(AlarmState& st, const Alarm& a) {
  return a.owner ? a.owner : st.model->current_net();
}

bool eval_enter(AlarmState& st) {
  MutexLock lock(st.gate_mutex);
  if (st.alarm_suspend.is_set()) return false;
  st.alarm_idle.reset();
  return true;
}

void eval_leave(AlarmState& st) {
  st.alarm_idle.set();
}

// Binds what the alarm watches; true when it can move to the active list.
bool try_bind(AlarmState& st, Alarm& a) {
  switch (a.object_type) {
    case kAlarmHost: {
      if (a.bound_host1) return true;
      const AlarmHost* h1 = a.host(1);
      if (h1 == nullptr) return false;
      ModelHost node = st.model->find_host(net_of(st, a), h1->address);
      if (!node) return false;
      st.model->hold(node);
      a.bound_host1 = node;
      return true;
    }
    case kAlarmLink: {
      if (a.bound_link) return true;
      const AlarmHost* h1 = a.host(1);
      const AlarmHost* h2 = a.host(2);
      if (h1 == nullptr || h2 == nullptr) return false;
      ModelNet net = net_of(st, a);
      ModelHost n1 = st.model->find_host(net, h1->address);
      ModelHost n2 = st.model->find_host(net, h2->address);
      if (!n1 || !n2) return false;
      ModelLink link = st.model->find_link(n1, h2->address);
      if (!link) return false;
      st.model->hold(n1);
      st.model->hold(n2);
      st.model->hold(link);
      a.bound_host1 = n1;
      a.bound_host2 = n2;
      a.bound_link = link;
      return true;
    }
    case kAlarmProtocol:
      return static_cast<bool>(a.protocol);
    case kAlarmNetwork:
      return true;
    case kAlarmUrl:
      if (a.url_id == 0) return false;
      a.last_access.store(0, std::memory_order_relaxed);
      return true;
    default:
      return false;
  }
}

bool test_alarm(AlarmState& st, Alarm& a, std::uint32_t* measured) {
  AlarmModel& m = *st.model;
  switch (a.object_type) {
    case kAlarmHost:
      if (!a.bound_host1) return false;
      if (a.kind == kAlarmOccurrence) {
        *measured = 1;
        return m.host_active(a.bound_host1);
      }
      if (a.kind == kAlarmThreshold) return alarm_threshold_test(a, m.host_window(a.bound_host1), measured);
      return false;
    case kAlarmLink:
      if (!a.bound_link) return false;
      if (a.kind == kAlarmOccurrence) {
        *measured = 1;
        return m.link_active(a.bound_link);
      }
      if (a.kind == kAlarmThreshold) return alarm_threshold_test(a, m.link_window(a.bound_link), measured);
      return false;
    case kAlarmNetwork:
      if (a.kind == kAlarmThreshold) return alarm_threshold_test(a, m.net_window(net_of(st, a)), measured);
      return false;
    case kAlarmProtocol: {
      if (a.kind != kAlarmOccurrence || !a.protocol) return false;
      // Cleared on every pass, fired or not, so the next pass sees only the
      // frames counted in between.
      std::uint64_t frames = m.protocol_take_frames(a.protocol);
      *measured = frames > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(frames);
      return frames > 0;
    }
    default:  // URL alarms fire from the URL queue
      return false;
  }
}

// Every recorded access of a watched URL fires its enabled occurrence alarms
// once and becomes their last access.
void drain_url_queue(AlarmState& st) {
  for (;;) {
    UrlNotification note;
    {
      MutexLock lock(st.url_mutex);
      if (!take_front(st.urls, note)) break;
    }
    st.active.foreach ([&](const AlarmPtr& a) {
      if (a->disabled != 0 || a->object_type != kAlarmUrl || a->kind != kAlarmOccurrence) return;
      if (a->url_id != note.url_id) {
        const UrlSite* watched = a->url_site.get();
        if (watched == nullptr || watched->url_id != a->url_id || !note.site ||
            !alarm_url_site_hears(*watched, *note.site))
          return;
      }
      a->last_access.store(note.url_hist_id, std::memory_order_relaxed);
      alarm_fire(st, a, static_cast<std::uint32_t>(note.url_hist_id), note.time, false);
    });
  }
}

// A name asked for that is an address asks for the server, not a site.
bool names_site(std::string_view vhost) {
  if (vhost.size() > 2 && vhost.front() == '[' && vhost.back() == ']')
    vhost = vhost.substr(1, vhost.size() - 2);
  return !vhost.empty() && !is_ipv4_text(vhost) && !is_ipv6_text(vhost);
}

}  // namespace

bool alarm_url_site_hears(const UrlSite& watched, const UrlSite& seen) {
  if (watched.scheme != seen.scheme || watched.port != seen.port || watched.path != seen.path) return false;
  if (!names_site(watched.vhost)) return seen.host_id == watched.host_id;
  if (seen.vhost == watched.vhost) return true;
  return !names_site(seen.vhost) && seen.host_id == watched.host_id;
}

void alarm_fill_url_site(Alarm& alarm, AlarmTable& table) {
  if (alarm.object_type != kAlarmUrl || alarm.url_id == 0) return;
  if (alarm.url_site && alarm.url_site->url_id == alarm.url_id) return;
  auto site = std::make_shared<UrlSite>();
  if (table.url_site(alarm.url_id, *site))
    alarm.url_site = std::move(site);
  else
    alarm.url_site.reset();
}

bool alarm_threshold_test(const Alarm& alarm, WindowCounts counts, std::uint32_t* measured) {
  const std::uint64_t frames = counts.frames;
  const std::uint64_t bytes = counts.bytes;
  std::uint64_t value;
  std::uint64_t limit = alarm.threshold;
  std::uint64_t shown;
  switch (alarm.unit) {
    case kAlarmPackets:
      value = frames;
      shown = frames;
      break;
    case kAlarmKilobytes:
      value = bytes;
      limit *= 1024u;
      shown = bytes / 1024u;
      break;
    case kAlarmPercent:
      // Share of a 10 Mbit/s channel, each frame with 24 bytes of framing.
      value = (bytes * 800u + frames * 19200u) / 10000000u;
      shown = value;
      break;
    default:
      return false;
  }
  if (measured != nullptr) *measured = shown > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(shown);
  if (alarm.direction == kAlarmHigh) return value >= limit;
  if (alarm.direction == kAlarmLow) return value < limit;
  return false;
}

void alarm_load(AlarmState& st, AlarmTable& table, AlarmList& loaded) {
  std::vector<AlarmTableRow> rows;
  table.load_rows(rows);
  for (const AlarmTableRow& row : rows) {
    auto a = std::make_shared<Alarm>();
    loaded.append(a);
    a->alarm_id = row.alarm_id;
    a->object_type = row.object_type;
    a->kind = row.kind;
    const std::int32_t ids[2] = {row.host1_id, row.host2_id};
    for (int which = 1; which <= 2; ++which) {
      std::int32_t id = ids[which - 1];
      if (id == 0) continue;
      a->pending_host_id[which - 1] = id;
      NetAddress address;
      if (st.resolver == nullptr || !table.host_cache_addr(id, address)) continue;
      // The completion may come after the set has been replaced; it then
      // finds no record and does nothing.
      std::weak_ptr<Alarm> weak = a;
      st.resolver->request_ipv4(address, [weak, which](const AlarmHost* host) {
        if (host == nullptr) return;
        if (AlarmPtr alarm = weak.lock()) alarm->set_host(which, *host);
      });
    }
    if (st.model != nullptr) a->owner = st.model->current_net();
    a->protocol_name = row.protocol;
    if (!row.protocol.empty() && st.model != nullptr) a->protocol = st.model->protocol_lookup(row.protocol);
    a->reserved = row.reserved;
    a->threshold = threshold_from_double(row.threshold);
    a->direction = row.direction;
    a->unit = row.unit;
    a->notify = row.notify;
    a->disabled = row.disabled;
    a->url_id = (row.url_id != 0 && table.urls_exists(row.url_id)) ? row.url_id : 0;
    alarm_fill_url_site(*a, table);
    a->sound_file = row.sound_file;
    a->play_sound = row.play_sound;
    a->command = row.command;
    a->run_command = row.run_command;
    a->reserved2 = row.reserved2;
    a->delivery = row.delivery;
  }
}

AlarmTableRow alarm_to_row(AlarmState& st, const Alarm& a) {
  AlarmTableRow row;
  row.object_type = a.object_type;
  row.kind = a.kind;
  const AlarmHost* h1 = a.host(1);
  const AlarmHost* h2 = a.host(2);
  row.host1_id = (h1 != nullptr && h1->host_id != 0) ? h1->host_id : a.pending_host_id[0];
  row.host2_id = (h2 != nullptr && h2->host_id != 0) ? h2->host_id : a.pending_host_id[1];
  row.protocol = (a.protocol && st.model != nullptr) ? st.model->protocol_name(a.protocol) : a.protocol_name;
  row.reserved = a.reserved;
  row.threshold = a.threshold;
  row.direction = a.direction;
  row.unit = a.unit;
  row.notify = a.notify;
  row.disabled = a.disabled;
  row.url_id = a.url_id;
  row.sound_file = a.sound_file;
  row.play_sound = a.play_sound;
  row.command = a.command;
  row.run_command = a.run_command;
  row.reserved2 = a.reserved2;
  row.delivery = a.delivery;
  return row;
}

void alarm_save(AlarmState& st, AlarmTable& table, const AlarmList& loaded) {
  std::vector<AlarmTableRow> rows;
  loaded.foreach ([&](const AlarmPtr& a) { rows.push_back(alarm_to_row(st, *a)); });
  table.save_rows(rows);
  std::size_t i = 0;
  loaded.foreach ([&](const AlarmPtr& a) {
    if (rows[i].alarm_id != 0) a->alarm_id = rows[i].alarm_id;
    ++i;
  });
}

void alarm_queue_all(AlarmState& st) {
  // Starting afresh keeps an alarm from being listed twice when this runs
  // again over the same set.
  st.waiting.clear();
  st.active.clear();
  st.loaded.foreach ([&](const AlarmPtr& a) {
    if (a->object_type >= kAlarmHost && a->object_type <= kAlarmUrl) st.waiting.append(a);
  });
}

void alarm_bind_step(AlarmState& st) {
  if (!eval_enter(st)) return;
  if (st.model != nullptr) {
    AlarmList::Node* n = st.waiting.head();
    while (n != nullptr) {
      AlarmPtr a = n->data;
      if (a->disabled == 0 && try_bind(st, *a)) {
        st.active.append(a);
        n = st.waiting.remove(a);
      } else {
        n = n->next;
      }
    }
  }
  eval_leave(st);
}

void alarm_eval_step(AlarmState& st) {
  if (!eval_enter(st)) return;
  if (st.model != nullptr) {
    st.active.foreach ([&](const AlarmPtr& a) {
      if (a->disabled != 0) {
        a->holding = false;
        return;
      }
      std::uint32_t measured = 0;
      const bool fires = test_alarm(st, *a, &measured);
      if (fires) alarm_fire(st, a, measured, 0, !a->holding);
      a->holding = fires;
    });
  }
  drain_url_queue(st);
  eval_leave(st);
}

void alarm_url_step(AlarmState& st) {
  if (!eval_enter(st)) return;
  drain_url_queue(st);
  eval_leave(st);
}

bool AlarmCadence::due(std::int64_t capture_second, std::chrono::steady_clock::time_point now) {
  if (capture_second != seen_) {
    // Time that goes back is another capture (a file played again): its
    // seconds count afresh.
    if (capture_second < seen_) passed_ = std::numeric_limits<std::int64_t>::min();
    seen_ = capture_second;
    seen_at_ = now;
  }
  const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - seen_at_).count();
  const std::int64_t second = seen_ + (quiet > 0 ? quiet : 0);
  if (second <= passed_) return false;
  passed_ = second;
  return true;
}

void alarm_fire(AlarmState& st, const AlarmPtr& alarm, std::uint32_t value, std::uint32_t when,
                bool entering) {
  if (when == 0) when = st.clock ? st.clock() : static_cast<std::uint32_t>(std::time(nullptr));
  AlarmEvent event{alarm, when, value, entering};
  {
    MutexLock lock(st.alarm_mutex);
    st.events.push_back(std::move(event));
  }
  st.alarm_wake.set();
}

void alarm_url_notify(AlarmState& st, std::int32_t url_id, std::int32_t url_hist_id, std::uint32_t seen_at,
                      const UrlSite* site) {
  UrlNotification note{url_id, url_hist_id, seen_at, std::nullopt};
  if (site != nullptr) note.site = *site;
  MutexLock lock(st.url_mutex);
  st.urls.push_back(std::move(note));
}

AlarmPtr alarm_copy(const Alarm& a) {
  auto c = std::make_shared<Alarm>();
  c->object_type = a.object_type;
  c->kind = a.kind;
  for (int which = 1; which <= 2; ++which)
    if (const AlarmHost* h = a.host(which)) c->set_host(which, *h);
  c->pending_host_id[0] = a.pending_host_id[0];
  c->pending_host_id[1] = a.pending_host_id[1];
  c->owner = a.owner;
  c->protocol = a.protocol;
  c->protocol_name = a.protocol_name;
  c->reserved = a.reserved;
  c->threshold = a.threshold;
  c->direction = a.direction;
  c->unit = a.unit;
  c->notify = a.notify;
  c->disabled = a.disabled;
  c->url_id = a.url_id;
  c->url_site = a.url_site;
  c->last_access.store(a.last_access.load(std::memory_order_relaxed), std::memory_order_relaxed);
  c->sound_file = a.sound_file;
  c->play_sound = a.play_sound;
  c->command = a.command;
  c->run_command = a.run_command;
  c->delivery = a.delivery;
  c->activations = a.activations;
  return c;
}

AlarmList alarm_copy_set(AlarmState& st) {
  MutexLock lock(st.alarm_mutex);
  AlarmList copies;
  st.loaded.foreach ([&](const AlarmPtr& a) { copies.append(alarm_copy(*a)); });
  return copies;
}

void alarm_pause_evaluation(AlarmState& st) {
  {
    MutexLock lock(st.gate_mutex);
    ++st.pause_count;
    st.alarm_suspend.set();
  }
  st.alarm_idle.wait();
}

void alarm_resume_evaluation(AlarmState& st) {
  MutexLock lock(st.gate_mutex);
  if (st.pause_count > 0 && --st.pause_count == 0) st.alarm_suspend.reset();
}

void alarm_replace_set(AlarmState& st, AlarmList replacement, AlarmTable* table) {
  // The new set is the caller's alone until it goes in: it is written to the
  // database first, so that nobody who takes the alarm mutex (a window's
  // refresh, the alarm thread) waits for the database.
  if (table != nullptr) {
    replacement.foreach ([&](const AlarmPtr& a) { alarm_fill_url_site(*a, *table); });
    alarm_save(st, *table, replacement);
  }
  alarm_pause_evaluation(st);
  {
    MutexLock lock(st.alarm_mutex);
    st.waiting.clear();
    st.active.clear();
    st.loaded.foreach ([](const AlarmPtr& a) {
      a->retired = true;
      a->top_position = -1;
    });
    // Old records still named by queued events live on until those are done.
    st.loaded = std::move(replacement);
    if (st.model != nullptr) st.model->reset_alarm_rankings();
    if (AlarmRanking* ranking = st.model != nullptr ? st.model->alarm_ranking() : nullptr) {
      st.loaded.foreach ([&](const AlarmPtr& a) {
        a->top_position = -1;
        ranking->insert(a.get());
      });
    }
    alarm_queue_all(st);
  }
  alarm_resume_evaluation(st);
}

void alarm_perform_actions(AlarmState& st, const AlarmEvent& event) {
  Alarm& a = *event.alarm;
  if (st.actions.log != nullptr) st.actions.log->add_alarm(a, event.time);
  {
    MutexLock lock(st.alarm_mutex);
    a.activations->times.push_back(event.time);
  }
  // A condition that holds for minutes must not start a process every
  // second: the costly actions wait out their interval (time going back
  // means another capture, which starts afresh).
  const bool costly = (a.play_sound == 1 && !a.sound_file.empty()) ||
                      (a.run_command == 1 && !a.command.empty()) || !a.delivery.empty();
  const bool act = costly && (event.entering || !a.acted || event.time < a.acted_at ||
                              event.time - a.acted_at >= st.action_interval);
  if (act) {
    a.acted = true;
    a.acted_at = event.time;
  }
  if (act && a.play_sound == 1 && !a.sound_file.empty() && st.actions.sound != nullptr)
    st.actions.sound->play(a.sound_file);
  if (act && a.run_command == 1 && !a.command.empty() && st.actions.command != nullptr) {
    AlarmCommandInfo info{a.notify, alarm_object_text(a), std::to_string(event.value),
                          std::to_string(event.time)};
    st.actions.command->run(a.command, info);
  }
  if (st.actions.firings != nullptr)
    st.actions.firings->on_firing(AlarmFiring{a.notify, alarm_object_text(a), a.delivery, event.time,
                                              event.value, act && !a.delivery.empty()});
  MutexLock lock(st.alarm_mutex);
  if (a.retired || st.model == nullptr) return;
  if (AlarmRanking* ranking = st.model->alarm_ranking()) {
    if (a.top_position == -1)
      ranking->insert(&a);
    else
      ranking->update(&a);
  }
}

namespace {

// Sounds, commands and logging must never take time from capture: the
// thread takes the highest nice value, the weakest claim on a CPU. Not the
// idle class, which on a busy machine may never run the thread at all, and
// the firings still waiting at shut-down would be lost.
void alarm_thread_lower_priority() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

}  // namespace

void alarm_thread(AlarmState& st) {
  alarm_thread_lower_priority();
  while (!st.stop.load()) {
    st.alarm_wake.wait();
    if (st.stop.load()) break;
    if (st.actions.beeper != nullptr) st.actions.beeper->beep();
    for (;;) {
      AlarmEvent event;
      {
        MutexLock lock(st.alarm_mutex);
        if (!take_front(st.events, event)) {
          // Reset under the mutex that every put holds, so a firing queued
          // after this point sets the event again and is not slept through.
          st.alarm_wake.reset();
          break;
        }
      }
      if (event.alarm) alarm_perform_actions(st, event);
      if (st.stop.load()) break;
    }
    std::this_thread::yield();
  }
}

void alarm_thread_start(AlarmState& st) {
  if (st.thread.joinable()) return;
  st.stop.store(false);
  st.thread = std::thread([&st] { alarm_thread(st); });
}

void alarm_thread_stop(AlarmState& st) {
  if (!st.thread.joinable()) return;
  st.stop.store(true);
  st.alarm_wake.set();
  st.thread.join();
}

std::string alarm_object_text(const Alarm& a) {
  auto host_text = [&](int which) {
    const AlarmHost* h = a.host(which);
    return h != nullptr ? netaddr_text(h->address) : std::string("(unresolved)");
  };
  switch (a.object_type) {
    case kAlarmHost:
      return "host " + host_text(1);
    case kAlarmLink:
      return "link " + host_text(1) + " -> " + host_text(2);
    case kAlarmProtocol:
      return "protocol " + a.protocol_name;
    case kAlarmNetwork:
      return "network";
    case kAlarmUrl:
      if (a.url_site && a.url_site->url_id == a.url_id && !a.url_site->text.empty())
        return "url " + a.url_site->text;
      return "url " + std::to_string(a.url_id);
    default:
      return "object " + std::to_string(a.object_type);
  }
}

std::vector<AlarmSummary> alarm_summaries(AlarmState& st) {
  MutexLock lock(st.alarm_mutex);
  std::vector<AlarmSummary> out;
  st.loaded.foreach ([&](const AlarmPtr& a) {
    out.push_back({a->notify, alarm_object_text(*a), a->kind, a->disabled, a->activations->times});
  });
  return out;
}

std::vector<TopNEntry> alarm_top_snapshot(AlarmState& st) {
  MutexLock lock(st.alarm_mutex);
  AlarmRanking* ranking = st.model != nullptr ? st.model->alarm_ranking() : nullptr;
  return ranking != nullptr ? ranking->snapshot() : std::vector<TopNEntry>{};
}

}  // namespace tarnix
