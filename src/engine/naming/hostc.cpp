#include "naming/hostc.h"

#include "core/host_name.h"

#include <cstdio>
#include <exception>
#include <unordered_map>

#include "core/alloc.h"

namespace tarnix {

namespace {

constexpr char kMsgRecInvalid[] = "hostc_resolve_rec_process: invalid                             request\n";
constexpr char kMsgNullRequest[] =
    "hostc_resolve:                         NULL request received from queue\n";
constexpr char kMsgBadKind[] = "hostc_resolve:                                     Request type invalid\n";

std::string cut_at_blank(const std::string& text) {
  return text.substr(0, text.find(' '));
}

NetAddress parse_ipv4(std::string_view text) {
  return NetAddress::parse(kAddrIpv4, std::string(text).c_str());
}

bool is_ether(const NetAddress& a) {
  return a.type == &kEtherAddressType;
}

}  // namespace

HostRecord hostc_copy_record(const HostRecord& reply) {
  HostRecord copy;
  copy.name = cut_at_blank(reply.name);
  copy.aliases.reserve(reply.aliases.size());
  for (const std::string& alias : reply.aliases) copy.aliases.push_back(cut_at_blank(alias));
  copy.addrtype = reply.addrtype;
  copy.length = reply.length;
  // Of several addresses the first is left out; a lone address is kept.
  std::size_t first = reply.addresses.size() >= 2 ? 1 : 0;
  copy.addresses.assign(reply.addresses.begin() + static_cast<std::ptrdiff_t>(first), reply.addresses.end());
  return copy;
}

bool hostc_valid_name(std::string_view text) {
  // A fully qualified name may end in the root's dot; the wire rule is the same.
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  return is_valid_host_name(text);
}

HostCache::HostCache(NameService& ns, HostIdStore& ids, HostCacheOptions options)
    : ns_(ns), ids_(ids), options_(std::move(options)) {
  if (options_.workers < 1) options_.workers = 1;
}

HostCache::~HostCache() {
  stop();
}

void HostCache::start() {
  MutexLock lock(queue_mutex_);
  if (running_) return;
  running_ = true;
  stopping_ = false;
  for (int i = 0; i < options_.workers; ++i) threads_.emplace_back([this] { resolve_loop(); });
  if (options_.answer_within.count() > 0) threads_.emplace_back([this] { deadline_loop(); });
}

void HostCache::stop() {
  std::vector<std::thread> joining;
  {
    MutexLock lock(queue_mutex_);
    if (!running_) return;
    stopping_ = true;
    wake_.notify_all();
    deadline_wake_.notify_all();
    // Asked from a completion: the threads end after it; whoever stops or
    // destroys the cache later joins them.
    for (const std::thread& t : threads_)
      if (std::this_thread::get_id() == t.get_id()) return;
    joining = std::move(threads_);
    threads_.clear();
  }
  for (std::thread& t : joining)
    if (t.joinable()) t.join();
  {
    MutexLock lock(queue_mutex_);
    running_ = false;
    stopping_ = false;
  }
  idle_.notify_all();
}

bool HostCache::running() const {
  MutexLock lock(queue_mutex_);
  return running_ && !stopping_;
}

// --- look-ups -------------------------------------------------------------

const HostcEntry* HostCache::find_text_locked(std::string_view text) const {
  if (is_ipv4_text(text)) {
    const HostcEntry* const* e = ipv4_addresses_.find(parse_ipv4(text));
    return e != nullptr ? *e : nullptr;
  }
  const HostcEntry* const* e = ipv4_names_.find(text);
  return e != nullptr ? *e : nullptr;
}

std::vector<std::string> HostCache::ipv4_names() const {
  ReaderLock lock(tables_mutex_);
  std::vector<std::string> out;
  ipv4_names_.foreach ([&](const std::string& name, const HostcEntry*) { out.push_back(name); });
  return out;
}

const HostcEntry* HostCache::find_text(std::string_view text) const {
  ReaderLock lock(tables_mutex_);
  return find_text_locked(text);
}

const HostcEntry* HostCache::find_ipv4(const NetAddress& a) const {
  if (!a.is_ipv4()) return nullptr;
  ReaderLock lock(tables_mutex_);
  const HostcEntry* const* e = ipv4_addresses_.find(a);
  return e != nullptr ? *e : nullptr;
}

const HostcEntry* HostCache::find_ether(const NetAddress& a) const {
  if (!is_ether(a)) return nullptr;
  ReaderLock lock(tables_mutex_);
  const HostcEntry* const* e = ether_addresses_.find(a);
  return e != nullptr ? *e : nullptr;
}

const HostcEntry* HostCache::find_ether_text(std::string_view text) const {
  if (text.find(':') != std::string_view::npos) {
    return find_ether(NetAddress::parse(kAddrEther, std::string(text).c_str()));
  }
  ReaderLock lock(tables_mutex_);
  const HostcEntry* const* e = ether_names_.find(text);
  return e != nullptr ? *e : nullptr;
}

const HostcEntry* HostCache::find_id(std::int32_t id) const {
  ReaderLock lock(tables_mutex_);
  const HostcEntry* const* e = host_ids_.find(id);
  return e != nullptr ? *e : nullptr;
}

int HostCache::entry_count() const {
  ReaderLock lock(tables_mutex_);
  return static_cast<int>(entries_.size());
}

// --- requests ---------------------------------------------------------------

void HostCache::queue(std::unique_ptr<Request> r) {
  std::shared_ptr<Request> request(std::move(r));
  {
    MutexLock lock(queue_mutex_);
    if (request && options_.answer_within.count() > 0) {
      request->deadline = Clock::now() + options_.answer_within;
      if (deadlines_.empty()) deadline_wake_.notify_one();
      deadlines_.push_back(request);
    }
    queue_.put(std::move(request));
  }
  wake_.notify_one();
}

bool HostCache::request_text(std::string_view text, HostcCompletion done) {
  if (is_ipv4_text(text)) {
    queue(std::make_unique<Request>(Request{kHostcByIpv4, parse_ipv4(text), {}, std::move(done)}));
    return true;
  }
  queue(std::make_unique<Request>(Request{kHostcByName, {}, std::string(text), std::move(done)}));
  return true;
}

bool HostCache::request_ipv4(const NetAddress& a, HostcCompletion done) {
  // An address of another kind would be read as four bytes of something else.
  if (!a.is_ipv4()) return false;
  queue(std::make_unique<Request>(Request{kHostcByIpv4, a, {}, std::move(done)}));
  return true;
}

bool HostCache::request_ether(const NetAddress& a, HostcCompletion done) {
  if (!is_ether(a)) return false;
  queue(std::make_unique<Request>(Request{kHostcByEther, a, {}, std::move(done)}));
  return true;
}

bool HostCache::resolve_rec_process(const HostcRequestDescriptor& d, HostcCompletion done) {
  switch (d.kind) {
    case kHostcByName:
      queue(std::make_unique<Request>(Request{kHostcByName, {}, d.name, std::move(done)}));
      return true;
    case kHostcByIpv4:
      if (!request_ipv4(d.address, std::move(done))) break;
      return true;
    case kHostcByEther:
      if (!request_ether(d.address, std::move(done))) break;
      return true;
    default:
      break;
  }
  std::fputs(kMsgRecInvalid, stderr);
  return false;
}

int HostCache::pending() const {
  MutexLock lock(queue_mutex_);
  return queue_.count() + busy_;
}

void HostCache::wait_idle() {
  MutexLock lock(queue_mutex_);
  while (!((queue_.empty() && busy_ == 0) || !running_ || stopping_)) lock.wait(idle_);
}

// --- the resolvers ------------------------------------------------------------

namespace {

// Requests with the same key share one look-up.
std::string flight_key(std::int32_t kind, const NetAddress& address, const std::string& name) {
  if (kind == kHostcByName) return "n" + name;
  if (kind == kHostcByIpv4 && address.is_ipv4()) return "a" + netaddr_text(address);
  return {};  // answered without the name service
}

}  // namespace

HostcCompletion HostCache::claim(Request& r) {
  if (r.answered) return {};
  r.answered = true;
  return std::move(r.done);
}

void HostCache::call(HostcCompletion& done, const HostcEntry* entry) {
  if (!done) return;
  try {
    done(entry);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "hostc_resolve: completion failed: %s\n", ex.what());
  }
  // Whatever the completion captured goes before anyone sees us idle.
  done = nullptr;
}

void HostCache::resolve_loop() {
  MutexLock lock(queue_mutex_);
  for (;;) {
    while (queue_.empty() && !stopping_) lock.wait(wake_);
    if (stopping_) break;
    std::shared_ptr<Request> r;
    queue_.get(r);
    if (!r) {
      std::fputs(kMsgNullRequest, stderr);
      continue;
    }
    const std::string key = flight_key(r->kind, r->address, r->name);
    if (!key.empty()) {
      auto it = in_flight_.find(key);
      if (it != in_flight_.end()) {
        // Another worker is asking already: its answer is this one's too.
        it->second.push_back(std::move(r));
        continue;
      }
      in_flight_[key].push_back(r);
    }
    ++busy_;
    lock.unlock();
    const HostcEntry* entry = process(*r);
    lock.lock();
    std::vector<std::shared_ptr<Request>> waiting;
    if (!key.empty()) {
      auto it = in_flight_.find(key);
      waiting = std::move(it->second);
      in_flight_.erase(it);
    } else {
      waiting.push_back(r);
    }
    std::vector<HostcCompletion> done;
    for (const std::shared_ptr<Request>& w : waiting) {
      if (HostcCompletion d = claim(*w)) done.push_back(std::move(d));
    }
    lock.unlock();
    for (HostcCompletion& d : done) call(d, entry);
    done.clear();
    waiting.clear();
    r.reset();
    lock.lock();
    --busy_;
    if (queue_.empty() && busy_ == 0) idle_.notify_all();
  }
  idle_.notify_all();
}

// Answers whatever has waited past its bound with what is known; the look-up
// itself stays queued or in flight and fills the cache when it ends.
void HostCache::deadline_loop() {
  MutexLock lock(queue_mutex_);
  while (!stopping_) {
    while (!deadlines_.empty() && deadlines_.front()->answered) deadlines_.pop_front();
    if (deadlines_.empty()) {
      while (!stopping_ && deadlines_.empty()) lock.wait(deadline_wake_);
      continue;
    }
    std::shared_ptr<Request> r = deadlines_.front();
    if (Clock::now() < r->deadline) {
      lock.wait_until(deadline_wake_, r->deadline);
      continue;
    }
    deadlines_.pop_front();
    HostcCompletion done = claim(*r);
    if (!done) continue;
    ++busy_;
    lock.unlock();
    const HostcEntry* entry = nullptr;
    if (r->kind == kHostcByIpv4) entry = ipv4_now(r->address);
    if (r->kind == kHostcByEther) entry = ether_entry(r->address);
    call(done, entry);
    r.reset();
    lock.lock();
    --busy_;
    if (queue_.empty() && busy_ == 0) idle_.notify_all();
  }
}

const HostcEntry* HostCache::process(const Request& r) {
  switch (r.kind) {
    case kHostcByName:
      return by_name(r.name);
    case kHostcByIpv4:
      return by_ipv4(r.address);
    case kHostcByEther:
      return ether_entry(r.address);
    default:
      std::fputs(kMsgBadKind, stderr);
      return nullptr;
  }
}

const HostcEntry* HostCache::by_name(const std::string& name) {
  if (const HostcEntry* old = find_text(name)) return old;
  // Only a host name goes to the name service: whatever else a neighbour
  // writes in a Host field is not asked about (nor is an empty name).
  if (!hostc_valid_name(name)) return nullptr;
  {
    MutexLock reg(register_mutex_);
    if (name_failed_recently(name)) return nullptr;
  }
  std::optional<HostRecord> reply;
  try {
    reply = ns_.by_name(name);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "hostc_resolve: name service failed: %s\n", ex.what());
  }
  MutexLock reg(register_mutex_);
  if (!reply) {
    note_failed_name(name);
    return nullptr;
  }
  if (const HostcEntry* old = find_text(name)) return old;
  auto e = std::make_unique<HostcEntry>();
  e->host = hostc_copy_record(*reply);
  if (!e->host->addresses.empty()) e->address = NetAddress::ipv4(e->host->addresses.front().data());
  return register_ipv4(std::move(e), name);
}

const HostcEntry* HostCache::by_ipv4(const NetAddress& a) {
  const HostcEntry* old = find_ipv4(a);
  if (old != nullptr && !old->provisional) return old;
  std::optional<HostRecord> reply;
  try {
    reply = ns_.by_address(a.bytes);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "hostc_resolve: name service failed: %s\n", ex.what());
  }
  MutexLock reg(register_mutex_);
  old = find_ipv4(a);
  if (old != nullptr && !old->provisional) return old;
  auto e = std::make_unique<HostcEntry>();
  // The entry stays keyed by the address that was asked about, whatever
  // address list the reply carries, so the next request finds it.
  e->address = a;
  if (reply) e->host = hostc_copy_record(*reply);
  e->name = netaddr_text(e->address);
  return register_ipv4(std::move(e), {});
}

const HostcEntry* HostCache::ipv4_now(const NetAddress& a) {
  if (!a.is_ipv4()) return nullptr;
  if (const HostcEntry* old = find_ipv4(a)) return old;
  MutexLock reg(register_mutex_);
  if (const HostcEntry* old = find_ipv4(a)) return old;
  auto e = std::make_unique<HostcEntry>();
  e->address = a;
  e->name = netaddr_text(a);
  e->provisional = true;
  return register_ipv4(std::move(e), {});
}

const HostcEntry* HostCache::ether_entry(const NetAddress& a) {
  if (const HostcEntry* old = find_ether(a)) return old;
  MutexLock reg(register_mutex_);
  if (const HostcEntry* old = find_ether(a)) return old;
  auto e = std::make_unique<HostcEntry>();
  e->address = a;
  e->name = netaddr_text(e->address);
  const HostcEntry* entry = e.get();
  WriterLock lock(tables_mutex_);
  ether_addresses_.set(entry->address, entry);
  ether_names_.set(entry->name, entry);
  entries_.push_back(std::move(e));
  return entry;
}

bool HostCache::name_failed_recently(const std::string& name) {
  auto it = failed_names_.find(name);
  if (it == failed_names_.end()) return false;
  if (now() < it->second) return true;
  failed_names_.erase(it);
  return false;
}

void HostCache::note_failed_name(const std::string& name) {
  if (options_.failed_name_ttl.count() <= 0) return;
  const Clock::time_point t = now();
  if (failed_names_.size() >= options_.failed_names_max) {
    std::erase_if(failed_names_, [&](const auto& kv) { return kv.second <= t; });
    // Still full of live names (a flood of made-up ones): start over rather
    // than grow.
    if (failed_names_.size() >= options_.failed_names_max) failed_names_.clear();
  }
  failed_names_[name] = t + options_.failed_name_ttl;
}

const HostcEntry* HostCache::register_ipv4(std::unique_ptr<HostcEntry> e, const std::string& asked_name) {
  if (e->host && !e->host->name.empty()) {
    e->name = e->host->name;
    e->short_name = strdup_until(e->name, '.');
  } else if (e->name.empty()) {
    // A reply without a name (or without an address) still needs a label.
    e->name = e->address.type != nullptr ? netaddr_text(e->address) : asked_name;
  }

  // The id is settled before the entry is published: readers never see 0
  // turn into something else, and the store is asked without a lock held.
  std::int32_t id = 0;
  try {
    id = ids_.find_id(e->name, e->address);
    if (id == 0) id = ids_.store(*e);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "hostc_resolve: host id store failed: %s\n", ex.what());
    id = 0;
  }
  e->host_id = id;

  const HostcEntry* entry = e.get();
  WriterLock lock(tables_mutex_);
  if (entry->host) {
    if (!entry->host->name.empty()) ipv4_names_.set(entry->host->name, entry);
    for (const std::string& alias : entry->host->aliases) {
      if (!alias.empty() && find_text_locked(alias) == nullptr) ipv4_names_.set(alias, entry);
    }
  }
  // A name that reached its host through a name the reply does not list
  // (a nickname, a search-domain completion) is kept too: otherwise every
  // later request for it would ask again and add one more entry.
  if (!asked_name.empty() && find_text_locked(asked_name) == nullptr) ipv4_names_.set(asked_name, entry);
  if (entry->address.is_ipv4()) {
    const HostcEntry* const* old = ipv4_addresses_.find(entry->address);
    // A provisional entry gives way to the answer; holders of it keep a
    // valid (if nameless) entry under the same host id.
    if (old == nullptr || (*old)->provisional) ipv4_addresses_.set(entry->address, entry);
  }
  if (id != 0) host_ids_.set(id, entry);
  entries_.push_back(std::move(e));
  return entry;
}

}  // namespace tarnix
