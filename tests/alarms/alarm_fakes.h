// Stand-ins for the traffic model, the resolver, the table and the actions,
// so that alarms can be driven pass by pass.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alarms/alarm.h"
#include "alarms/alarm_builder.h"

namespace tarnix::testing {

struct FakeLink {
  NetAddress destination;
  WindowCounts window;
  bool active = true;
};

struct FakeHost {
  NetAddress address;
  WindowCounts window;
  bool active = true;
  std::vector<std::unique_ptr<FakeLink>> links;
};

struct FakeProtocol {
  std::string name;
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
};

struct FakeNet {
  std::vector<std::unique_ptr<FakeHost>> hosts;
  WindowCounts window;
  AlarmRanking ranking;
};

inline NetAddress ip(const char* text) {
  return NetAddress::parse(kAddrIpv4, text);
}

class FakeModel : public AlarmModel {
 public:
  FakeModel() { current = add_net(); }

  FakeNet* add_net() {
    nets.push_back(std::make_unique<FakeNet>());
    return nets.back().get();
  }
  FakeHost* add_host(const char* address, FakeNet* net = nullptr) {
    net = net ? net : current;
    net->hosts.push_back(std::make_unique<FakeHost>());
    net->hosts.back()->address = ip(address);
    return net->hosts.back().get();
  }
  FakeLink* add_link(FakeHost* from, const char* to) {
    from->links.push_back(std::make_unique<FakeLink>());
    from->links.back()->destination = ip(to);
    return from->links.back().get();
  }
  FakeProtocol* add_protocol(const char* name) {
    protocols.push_back(std::make_unique<FakeProtocol>());
    protocols.back()->name = name;
    return protocols.back().get();
  }
  // Counts one frame on the protocol, as classification does.
  static void count(FakeProtocol* p, std::uint64_t frames, std::uint64_t length) {
    p->frames += frames;
    p->bytes += frames * length;
  }

  ModelNet current_net() override { return ModelNet{current}; }
  ModelHost find_host(ModelNet net, const NetAddress& address) override {
    ++find_host_calls;
    auto* n = static_cast<FakeNet*>(net.ptr);
    if (n == nullptr) return {};
    for (auto& h : n->hosts)
      if (h->address == address) return ModelHost{h.get()};
    return {};
  }
  ModelLink find_link(ModelHost source, const NetAddress& destination) override {
    for (auto& l : static_cast<FakeHost*>(source.ptr)->links)
      if (l->destination == destination) return ModelLink{l.get()};
    return {};
  }
  WindowCounts host_window(ModelHost h) override { return static_cast<FakeHost*>(h.ptr)->window; }
  bool host_active(ModelHost h) override { return static_cast<FakeHost*>(h.ptr)->active; }
  WindowCounts link_window(ModelLink l) override { return static_cast<FakeLink*>(l.ptr)->window; }
  bool link_active(ModelLink l) override { return static_cast<FakeLink*>(l.ptr)->active; }
  WindowCounts net_window(ModelNet n) override {
    if (on_net_window) on_net_window();
    return static_cast<FakeNet*>(n.ptr)->window;
  }
  ModelProtocol protocol_lookup(std::string_view name) override {
    for (auto& p : protocols)
      if (p->name == name) return ModelProtocol{p.get()};
    return {};
  }
  std::string protocol_name(ModelProtocol p) override { return static_cast<FakeProtocol*>(p.ptr)->name; }
  std::uint64_t protocol_take_frames(ModelProtocol p) override {
    auto* fp = static_cast<FakeProtocol*>(p.ptr);
    std::uint64_t f = fp->frames;
    fp->frames = 0;
    fp->bytes = 0;
    return f;
  }
  AlarmRanking* alarm_ranking() override { return &current->ranking; }
  void reset_alarm_rankings() override {
    for (auto& n : nets) n->ranking.reset();
  }

  std::vector<std::unique_ptr<FakeNet>> nets;
  FakeNet* current = nullptr;
  std::vector<std::unique_ptr<FakeProtocol>> protocols;
  int find_host_calls = 0;
  std::function<void()> on_net_window;  // runs inside an evaluation pass
};

// Answers requests when told to, like the resolver thread would later.
class FakeResolver : public AlarmResolver {
 public:
  void request_ipv4(const NetAddress& address, std::function<void(const AlarmHost*)> completion) override {
    std::lock_guard<std::mutex> lock(mutex);
    pending.push_back({address, std::move(completion)});
  }
  // Completes every pending request; known addresses get their host id.
  void answer_all() {
    std::deque<Pending> todo;
    {
      std::lock_guard<std::mutex> lock(mutex);
      todo.swap(pending);
    }
    for (auto& p : todo) {
      auto it = ids.find(netaddr_text(p.address));
      if (it == ids.end()) {
        p.completion(nullptr);
        continue;
      }
      AlarmHost host{it->second, p.address, netaddr_text(p.address)};
      p.completion(&host);
    }
  }
  std::size_t pending_count() {
    std::lock_guard<std::mutex> lock(mutex);
    return pending.size();
  }

  struct Pending {
    NetAddress address;
    std::function<void(const AlarmHost*)> completion;
  };
  std::mutex mutex;
  std::deque<Pending> pending;
  std::map<std::string, std::int32_t> ids;  // dotted address -> host id
};

// The table in memory, with the host and URL rows that loading consults.
class FakeTable : public AlarmTable {
 public:
  void load_rows(std::vector<AlarmTableRow>& out) override { out = rows; }
  void save_rows(std::vector<AlarmTableRow>& in) override {
    ++saves;
    rows.clear();
    for (auto& r : in) {
      r.alarm_id = next_id++;
      rows.push_back(r);
    }
  }
  bool host_cache_addr(std::int32_t host_id, NetAddress& address) override {
    auto it = host_addresses.find(host_id);
    if (it == host_addresses.end()) return false;
    address = ip(it->second.c_str());
    return true;
  }
  bool urls_exists(std::int32_t url_id) override {
    return std::find(urls.begin(), urls.end(), url_id) != urls.end();
  }

  std::vector<AlarmTableRow> rows;
  std::map<std::int32_t, std::string> host_addresses;
  std::vector<std::int32_t> urls;
  std::int32_t next_id = 1;
  int saves = 0;
};

// Records every action in the order it happened.
class RecordingActions : public AlarmLog, public Beeper, public SoundPlayer, public CommandRunner {
 public:
  void add_alarm(const Alarm& alarm, std::uint32_t time) override {
    note("log " + alarm.notify + " " + std::to_string(time));
  }
  void beep() override { note("beep"); }
  void play(const std::string& path) override { note("sound " + path); }
  void run(const std::string& command, const AlarmCommandInfo& info) override {
    note("command " + command + " [" + info.notify + "|" + info.object + "|" + info.value + "|" + info.time +
         "]");
  }
  void note(std::string what) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(what));
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    out.swap(events);
    return out;
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
  }
  void install(AlarmState& st) { st.actions = AlarmActionSet{this, this, this, this}; }

  std::mutex mutex;
  std::vector<std::string> events;
};

// The builder's look-ups from tables: known hosts and URLs answer, the rest
// do not; a blocked resolver keeps resolve_host waiting until released.
class FakeBuilderServices : public AlarmBuilderServices {
 public:
  std::vector<std::string> host_names() override { return names; }
  std::optional<AlarmHost> find_host(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cached.find(text);
    if (it == cached.end()) return std::nullopt;
    return it->second;
  }
  std::optional<AlarmHost> resolve_host(const std::string& text) override {
    if (auto h = find_host(text)) return h;
    std::unique_lock<std::mutex> lock(mutex);
    ++resolves;
    released.wait(lock, [&] { return !blocked; });
    auto it = resolvable.find(text);
    if (it == resolvable.end()) return std::nullopt;
    cached[text] = it->second;
    return it->second;
  }
  std::int32_t url_for(const std::string& text) override {
    auto it = urls.find(text);
    return it == urls.end() ? 0 : it->second;
  }
  std::string url_text(std::int32_t url_id) override {
    for (const auto& [text, id] : urls)
      if (id == url_id) return text;
    return {};
  }
  void adjust_url_refs(std::int32_t url_id, int delta) override {
    std::lock_guard<std::mutex> lock(mutex);
    refs[url_id] += delta;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    blocked = false;
    released.notify_all();
  }

  std::mutex mutex;
  std::condition_variable released;
  bool blocked = false;
  int resolves = 0;
  std::vector<std::string> names;
  std::map<std::string, AlarmHost> cached;      // text -> host known at once
  std::map<std::string, AlarmHost> resolvable;  // text -> host after a wait
  std::map<std::string, std::int32_t> urls;     // URL text -> url_id
  std::map<std::int32_t, int> refs;             // url_id -> sum of adjustments
};

}  // namespace tarnix::testing
