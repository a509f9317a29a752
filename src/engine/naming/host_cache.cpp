#include "naming/host_cache.h"

#include "core/host_name.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "core/alloc.h"

namespace tarnix {

namespace {

constexpr char kMsgRecInvalid[] = "hostc_resolve_rec_process: invalid                             request\n";
constexpr char kMsgNullRequest[] =
    "hostc_resolve:                         NULL request received from queue\n";
// How long a heard name may wait for a resolver to pick it up, and the
// queue length at which the capture side wakes one at once.
constexpr std::chrono::milliseconds kHeardPickUp{100};
constexpr std::size_t kHeardWakeAt = 256;

constexpr char kMsgBadKind[] = "hostc_resolve:                                     Request type invalid\n";

std::string cut_at_blank(const std::string& text) {
  return text.substr(0, text.find(' '));
}

NetAddress parse_ipv4(std::string_view text) {
  return NetAddress::parse(kAddrIpv4, std::string(text).c_str());
}

// The address a text is, when it is one: an IPv4 or IPv6 address. Names
// never contain ':', so no name is read as an IPv6 address.
bool address_of_text(std::string_view text, NetAddress& out) {
  if (is_ipv4_text(text)) {
    out = parse_ipv4(text);
    return true;
  }
  if (is_ipv6_text(text)) {
    out = NetAddress::parse(kAddrIpv6, std::string(text).c_str());
    return true;
  }
  return false;
}

bool is_ether(const NetAddress& a) {
  return a.type == &kEtherAddressType;
}

// An address of any kind but Ethernet that a heard-name key holds.
bool is_ip(const NetAddress& a) {
  return a.type != nullptr && !is_ether(a) && a.type->length > 0 &&
         static_cast<std::size_t>(a.type->length) <= HeardKey{}.bytes.size();
}

}  // namespace

Mutex& HostCacheRefSlot::lock_for(const void* slot) {
  // Enough locks that slots of different hosts seldom share one; records are
  // at least 64 bytes apart, so the low bits say little.
  static Mutex locks[64];
  const auto at = reinterpret_cast<std::uintptr_t>(slot);
  return locks[((at >> 6) ^ (at >> 12)) % 64];
}

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

// A look-up on a thread of its own, handed back, or left behind by a stop.
struct HostCache::Asking {
  Mutex mutex;
  std::condition_variable cv;
  bool done GUARDED_BY(mutex) = false;
  bool abandoned GUARDED_BY(mutex) = false;
  std::optional<HostRecord> reply GUARDED_BY(mutex);
};

HostCache::HostCache(NameService& ns, HostIdStore& ids, HostCacheOptions options)
    : ns_(ns), ids_(ids), options_(std::move(options)), max_entries_(options_.max_entries) {
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
    // A silent name server would hold the stop for its resolver's own
    // time-out (10 s and more): those look-ups end on their own.
    for (const std::shared_ptr<Asking>& a : asking_) {
      MutexLock ask_lock(a->mutex);
      a->abandoned = true;
      a->cv.notify_all();
    }
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

std::size_t HostCache::AddressHash::operator()(const NetAddress& a) const {
  const std::size_t kind = a.type != nullptr ? static_cast<std::size_t>(a.type->index) : 0;
  return static_cast<std::uint32_t>(netaddr_hash(a)) ^ (kind << 29);
}

bool HostCache::AddressEqual::operator()(const NetAddress& a, const NetAddress& b) const {
  return a.type == b.type && netaddr_compare(a, b) == 0;
}

HostCacheRef HostCache::use(const Slot* slot) const {
  if (slot == nullptr) return nullptr;
  // Relaxed: the stamp only orders what the bound lets go first.
  slot->used.store(use_clock_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  return slot->entry;
}

const HostCache::Slot* HostCache::find_text_locked(std::string_view text) const {
  if (NetAddress a; address_of_text(text, a)) {
    auto it = ipv4_addresses_.find(a);
    return it != ipv4_addresses_.end() ? it->second : nullptr;
  }
  auto it = ipv4_names_.find(text);
  return it != ipv4_names_.end() ? it->second : nullptr;
}

std::vector<std::string> HostCache::ipv4_names() const {
  ReaderLock lock(tables_mutex_);
  std::vector<std::string> out;
  out.reserve(ipv4_names_.size());
  for (const auto& [name, slot] : ipv4_names_) out.push_back(name);
  return out;
}

HostCacheRef HostCache::find_text(std::string_view text) const {
  ReaderLock lock(tables_mutex_);
  return use(find_text_locked(text));
}

HostCacheRef HostCache::find_ipv4(const NetAddress& a) const {
  if (!is_ip_address(a)) return nullptr;
  ReaderLock lock(tables_mutex_);
  auto it = ipv4_addresses_.find(a);
  return it != ipv4_addresses_.end() ? use(it->second) : nullptr;
}

HostCacheRef HostCache::find_ether(const NetAddress& a) const {
  if (!is_ether(a)) return nullptr;
  ReaderLock lock(tables_mutex_);
  auto it = ether_addresses_.find(a);
  return it != ether_addresses_.end() ? use(it->second) : nullptr;
}

HostCacheRef HostCache::find_ether_text(std::string_view text) const {
  if (text.find(':') != std::string_view::npos) {
    return find_ether(NetAddress::parse(kAddrEther, std::string(text).c_str()));
  }
  ReaderLock lock(tables_mutex_);
  auto it = ether_names_.find(text);
  return it != ether_names_.end() ? use(it->second) : nullptr;
}

HostCacheRef HostCache::find_id(std::int32_t id) const {
  ReaderLock lock(tables_mutex_);
  auto it = host_ids_.find(id);
  return it != host_ids_.end() ? use(it->second) : nullptr;
}

int HostCache::entry_count() const {
  ReaderLock lock(tables_mutex_);
  return static_cast<int>(slots_.size());
}

// --- requests ---------------------------------------------------------------

bool HostCache::queue(std::unique_ptr<Request> r, std::size_t room) {
  std::shared_ptr<Request> request(std::move(r));
  {
    MutexLock lock(queue_mutex_);
    if (queue_.size() >= room) return false;
    if (request && options_.answer_within.count() > 0) {
      request->deadline = Clock::now() + options_.answer_within;
      if (deadlines_.empty()) deadline_wake_.notify_one();
      deadlines_.push_back(request);
    }
    queue_.push_back(std::move(request));
  }
  wake_.notify_one();
  return true;
}

bool HostCache::request_text(std::string_view text, HostCacheCompletion done) {
  if (NetAddress a; address_of_text(text, a)) {
    queue(std::make_unique<Request>(Request{kHostcByIpv4, a, {}, std::move(done)}));
    return true;
  }
  queue(std::make_unique<Request>(Request{kHostcByName, {}, std::string(text), std::move(done)}));
  return true;
}

bool HostCache::request_ipv4(const NetAddress& a, HostCacheCompletion done) {
  // An Ethernet address would be read as the bytes of something else.
  if (!is_ip_address(a)) return false;
  queue(std::make_unique<Request>(Request{kHostcByIpv4, a, {}, std::move(done)}));
  return true;
}

bool HostCache::offer_ipv4(const NetAddress& a, HostCacheCompletion done, bool again) {
  if (!is_ip_address(a)) return false;
  const bool queued = queue(std::make_unique<Request>(Request{kHostcByIpv4, a, {}, std::move(done)}),
                            options_.host_queue_max);
  if (queued && again) offers_asked_later_.fetch_add(1, std::memory_order_relaxed);
  if (!queued && !again) offers_refused_.fetch_add(1, std::memory_order_relaxed);
  return queued;
}

bool HostCache::request_ether(const NetAddress& a, HostCacheCompletion done) {
  if (!is_ether(a)) return false;
  queue(std::make_unique<Request>(Request{kHostcByEther, a, {}, std::move(done)}));
  return true;
}

bool HostCache::resolve_rec_process(const HostCacheRequestDescriptor& d, HostCacheCompletion done) {
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
  return static_cast<int>(queue_.size()) + static_cast<int>(heard_queue_.size()) + busy_;
}

void HostCache::wait_heard() {
  MutexLock lock(queue_mutex_);
  if (!running_ || stopping_) return;
  wake_.notify_one();
  while (!((heard_queue_.empty() && heard_busy_ == 0) || !running_ || stopping_)) lock.wait(idle_);
}

void HostCache::wait_idle() {
  MutexLock lock(queue_mutex_);
  while (!((queue_.empty() && heard_queue_.empty() && busy_ == 0) || !running_ || stopping_))
    lock.wait(idle_);
}

// --- the resolvers ------------------------------------------------------------

namespace {

// Requests with the same key share one look-up.
std::string flight_key(std::int32_t kind, const NetAddress& address, const std::string& name) {
  // Built by appending: GCC 12 at -O3 warns (falsely, -Wrestrict) about
  // "a" + a temporary string once this is inlined into the resolver loop.
  std::string key;
  if (kind == kHostcByName) {
    key = "n";
    key += name;
  } else if (kind == kHostcByIpv4 && is_ip_address(address)) {
    key = "a";
    key += netaddr_text(address);
  }
  return key;  // empty: answered without the name service
}

}  // namespace

HostCacheCompletion HostCache::claim(Request& r) {
  if (r.answered) return {};
  r.answered = true;
  return std::move(r.done);
}

void HostCache::call(HostCacheCompletion& done, const HostCacheRef& entry) {
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
    // Heard names are picked up on the next turn, within kHeardPickUp.
    if (queue_.empty() && heard_queue_.empty() && !stopping_) {
      lock.wait_for(wake_, kHeardPickUp);
      continue;
    }
    if (stopping_) break;
    if (!heard_queue_.empty()) {
      std::vector<HeardName> batch;
      batch.swap(heard_queue_);
      ++busy_;
      ++heard_busy_;
      lock.unlock();
      apply_heard(batch);
      lock.lock();
      --busy_;
      --heard_busy_;
      idle_.notify_all();
      continue;
    }
    std::shared_ptr<Request> r;
    take_front(queue_, r);
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
    bool left = false;
    HostCacheRef entry = process(*r, left);
    lock.lock();
    std::vector<std::shared_ptr<Request>> waiting;
    if (!key.empty()) {
      auto it = in_flight_.find(key);
      waiting = std::move(it->second);
      in_flight_.erase(it);
    } else {
      waiting.push_back(r);
    }
    if (left) {
      // Not answered, only stopped: asked again after the next start().
      for (std::shared_ptr<Request>& w : waiting) queue_.push_back(std::move(w));
      waiting.clear();
    }
    std::vector<HostCacheCompletion> done;
    for (const std::shared_ptr<Request>& w : waiting) {
      if (HostCacheCompletion d = claim(*w)) done.push_back(std::move(d));
    }
    lock.unlock();
    for (HostCacheCompletion& d : done) call(d, entry);
    done.clear();
    entry.reset();
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
    HostCacheCompletion done = claim(*r);
    if (!done) continue;
    ++busy_;
    lock.unlock();
    HostCacheRef entry;
    if (r->kind == kHostcByIpv4) entry = ipv4_now(r->address);
    if (r->kind == kHostcByEther) entry = ether_entry(r->address);
    call(done, entry);
    r.reset();
    lock.lock();
    --busy_;
    if (queue_.empty() && busy_ == 0) idle_.notify_all();
  }
}

namespace {

std::optional<HostRecord> ask_caught(const std::function<std::optional<HostRecord>(NameService&)>& call,
                                     NameService& ns) {
  try {
    return call(ns);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "hostc_resolve: name service failed: %s\n", ex.what());
  }
  return std::nullopt;
}

}  // namespace

std::optional<HostRecord> HostCache::ask(std::function<std::optional<HostRecord>(NameService&)> call,
                                         bool& left) {
  left = false;
  if (!ns_.may_hang()) return ask_caught(call, ns_);
  auto asking = std::make_shared<Asking>();
  {
    MutexLock lock(queue_mutex_);
    if (stopping_) {
      left = true;
      return std::nullopt;
    }
    asking_.push_back(asking);
  }
  // The thread holds only the service (which outlives every call) and its
  // own hand-over, never the cache: it may end long after the cache.
  try {
    std::thread([asking, &ns = ns_, call] {
      std::optional<HostRecord> reply = ask_caught(call, ns);
      MutexLock lock(asking->mutex);
      asking->reply = std::move(reply);
      asking->done = true;
      asking->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: ask here, as a service that never hangs is.
    MutexLock lock(asking->mutex);
    asking->reply = ask_caught(call, ns_);
    asking->done = true;
  }
  std::optional<HostRecord> reply;
  {
    MutexLock lock(asking->mutex);
    while (!asking->done && !asking->abandoned) lock.wait(asking->cv);
    left = !asking->done;
    reply = std::move(asking->reply);
  }
  MutexLock lock(queue_mutex_);
  std::erase(asking_, asking);
  return reply;
}

HostCacheRef HostCache::process(const Request& r, bool& left) {
  switch (r.kind) {
    case kHostcByName:
      return by_name(r.name, left);
    case kHostcByIpv4:
      return by_ipv4(r.address, left);
    case kHostcByEther:
      return ether_entry(r.address);
    default:
      std::fputs(kMsgBadKind, stderr);
      return nullptr;
  }
}

HostCacheRef HostCache::by_name(const std::string& name, bool& left) {
  if (HostCacheRef old = find_text(name)) return old;
  // Only a host name goes to the name service: whatever else a neighbour
  // writes in a Host field is not asked about (nor is an empty name).
  if (!hostc_valid_name(name)) return nullptr;
  {
    MutexLock reg(register_mutex_);
    if (name_failed_recently(name)) return nullptr;
  }
  std::optional<HostRecord> reply = ask([name](NameService& ns) { return ns.by_name(name); }, left);
  if (left) return nullptr;
  MutexLock reg(register_mutex_);
  if (!reply) {
    note_failed_name(name);
    return nullptr;
  }
  if (HostCacheRef old = find_text(name)) return old;
  auto e = std::make_shared<HostCacheEntry>();
  e->host = hostc_copy_record(*reply);
  if (!e->host->addresses.empty()) e->address = NetAddress::ipv4(e->host->addresses.front().data());
  return register_ipv4(std::move(e), name);
}

HostCacheRef HostCache::by_ipv4(const NetAddress& a, bool& left) {
  HostCacheRef old = find_ipv4(a);
  if (old != nullptr && !old->provisional) return old;
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), a.bytes, bytes.size());
  const bool ipv6 = a.is_ipv6();
  std::optional<HostRecord> reply = ask(
      [bytes, ipv6](NameService& ns) {
        return ipv6 ? ns.by_ipv6_address(bytes.data()) : ns.by_address(bytes.data());
      },
      left);
  if (left) return nullptr;
  MutexLock reg(register_mutex_);
  old = find_ipv4(a);
  if (old != nullptr && !old->provisional) return old;
  old.reset();
  auto e = std::make_shared<HostCacheEntry>();
  // The entry stays keyed by the address that was asked about, whatever
  // address list the reply carries, so the next request finds it.
  e->address = a;
  if (reply) e->host = hostc_copy_record(*reply);
  e->name = netaddr_text(e->address);
  return register_ipv4(std::move(e), {});
}

HostCacheRef HostCache::ipv4_now(const NetAddress& a) {
  if (!is_ip_address(a)) return nullptr;
  if (HostCacheRef old = find_ipv4(a)) return old;
  MutexLock reg(register_mutex_);
  if (HostCacheRef old = find_ipv4(a)) return old;
  auto e = std::make_shared<HostCacheEntry>();
  e->address = a;
  e->name = netaddr_text(a);
  e->provisional = true;
  return register_ipv4(std::move(e), {});
}

HostCacheRef HostCache::ether_entry(const NetAddress& a) {
  if (HostCacheRef old = find_ether(a)) return old;
  MutexLock reg(register_mutex_);
  if (HostCacheRef old = find_ether(a)) return old;
  auto e = std::make_shared<HostCacheEntry>();
  e->address = a;
  const std::string colon = netaddr_text(e->address);
  HostCacheRef entry = e;
  {
    WriterLock lock(tables_mutex_);
    // The administrator's name for the adapter, when the ethers file has one.
    const std::string_view admin = ethers_ ? ethers_->name_of(a) : std::string_view();
    e->name = admin.empty() ? colon : std::string(admin);
    if (!admin.empty()) e->source = NameSource::kEthers;
    Slot* slot = add_slot(entry, true);
    ether_addresses_[entry->address] = slot;
    ether_names_[colon] = slot;
    slot->names.push_back(colon);
    if (!admin.empty() && ether_names_.try_emplace(e->name, slot).second) slot->names.push_back(e->name);
  }
  trim();
  return entry;
}

HostCache::Slot* HostCache::add_slot(HostCacheRef entry, bool ether) {
  auto slot = std::make_unique<Slot>();
  slot->entry = std::move(entry);
  slot->ether = ether;
  slot->used.store(use_clock_.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  slots_.push_back(std::move(slot));
  return slots_.back().get();
}

void HostCache::add_name(Slot& slot, const std::string& name) {
  ipv4_names_[name] = &slot;
  slot.names.push_back(name);
}

void HostCache::unlink(const Slot& slot) {
  const HostCacheEntry& e = *slot.entry;
  NameTable& names = slot.ether ? ether_names_ : ipv4_names_;
  for (const std::string& name : slot.names) {
    auto it = names.find(name);
    if (it != names.end() && it->second == &slot) names.erase(it);
  }
  AddressTable& addresses = slot.ether ? ether_addresses_ : ipv4_addresses_;
  if (auto it = addresses.find(e.address); it != addresses.end() && it->second == &slot) addresses.erase(it);
  if (auto it = host_ids_.find(e.host_id); it != host_ids_.end() && it->second == &slot) host_ids_.erase(it);
}

void HostCache::trim() {
  const std::size_t bound = max_entries_.load(std::memory_order_relaxed);
  std::vector<std::unique_ptr<Slot>> leaving;
  std::vector<std::int32_t> released;
  {
    WriterLock lock(tables_mutex_);
    if (bound == 0 || slots_.size() <= std::max(bound, trim_at_)) return;
    // Down to seven eighths of the bound, so that the next look comes an
    // eighth of the bound later: one pass over the slots per many entries
    // made, not one per entry.
    const std::size_t target = bound - bound / 8;
    // Under the writer lock no find can hand out another reference: an
    // entry whose only reference is the slot's has no holder, and gets none.
    std::vector<std::pair<std::uint64_t, std::size_t>> free;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i]->entry.use_count() == 1)
        free.emplace_back(slots_[i]->used.load(std::memory_order_relaxed), i);
    }
    const std::size_t drop = std::min(free.size(), slots_.size() > target ? slots_.size() - target : 0);
    if (drop < free.size()) {
      std::nth_element(free.begin(), free.begin() + static_cast<std::ptrdiff_t>(drop), free.end());
      free.resize(drop);
    }
    std::unordered_set<std::int32_t> ids;
    for (const auto& [used, i] : free) {
      unlink(*slots_[i]);
      if (slots_[i]->entry->host_id != 0) ids.insert(slots_[i]->entry->host_id);
      leaving.push_back(std::move(slots_[i]));
    }
    std::erase(slots_, nullptr);
    // An id another entry still carries (the same host found by name and by
    // address, an answer that replaced a provisional entry) stays.
    for (const std::unique_ptr<Slot>& s : slots_) {
      if (ids.empty()) break;
      ids.erase(s->entry->host_id);
    }
    released.assign(ids.begin(), ids.end());
    // Held entries past the bound are looked at again only after another
    // eighth of it: the pass over them would find the same.
    trim_at_ = slots_.size() > target ? slots_.size() + std::max<std::size_t>(16, bound / 8) : 0;
  }
  for (std::int32_t id : released) {
    stored_names_.erase(id);
    try {
      ids_.release(id);
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "hostc_resolve: host id store failed: %s\n", ex.what());
    }
  }
  // The entries themselves are freed here, with no table lock held.
  leaving.clear();
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

// --- names beside the name service's -------------------------------------------

std::string_view name_source_text(NameSource source) {
  switch (source) {
    case NameSource::kEthers:
      return "ethers";
    case NameSource::kLookup:
      return "reverse";
    case NameSource::kDhcp:
      return "dhcp";
    case NameSource::kMulticast:
      return "mdns";
    case NameSource::kDnsAnswer:
    case NameSource::kDnsAlias:
      return "dns";
    case NameSource::kNone:
      break;
  }
  return {};
}

std::optional<HeardKey> heard_key(const NetAddress& a) {
  if (a.type == nullptr || a.type->length <= 0) return std::nullopt;
  HeardKey k;
  const auto n = static_cast<std::size_t>(a.type->length);
  if (n > k.bytes.size()) return std::nullopt;
  k.kind = static_cast<std::uint8_t>(a.type->index);
  std::copy_n(a.bytes, n, k.bytes.begin());
  return k;
}

std::size_t HeardKeyHash::operator()(const HeardKey& k) const {
  // FNV-1a over the kind and the bytes.
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&h](std::uint8_t b) {
    h ^= b;
    h *= 1099511628211ull;
  };
  mix(k.kind);
  for (std::uint8_t b : k.bytes) mix(b);
  return static_cast<std::size_t>(h);
}

void HostCache::set_name_files(std::shared_ptr<const EtherNames> ethers,
                               std::shared_ptr<const Manufacturers> makers, bool show_makers) {
  WriterLock lock(tables_mutex_);
  ethers_ = std::move(ethers);
  makers_ = std::move(makers);
  show_makers_.store(show_makers, std::memory_order_relaxed);
}

bool HostCache::hear(HeardName heard) {
  if (!options_.heard_names) return false;
  if (!heard.name.empty() && heard.name.back() == '.') heard.name.pop_back();
  if (heard.name.empty()) {
    // A lease: the adapter's DHCP name goes to the address it was given.
    if (heard.source != NameSource::kDhcp || !is_ip(heard.ip) || !is_ether(heard.ether)) return false;
  } else if (!is_valid_host_name(heard.name)) {
    return false;  // whatever a neighbour claims is shown only if it is a host name
  }
  if (!is_ip(heard.ip) && !is_ether(heard.ether)) return false;
  std::size_t queued;
  {
    MutexLock lock(queue_mutex_);
    if (heard_queue_.size() >= options_.heard_queue_max) return false;
    heard_queue_.push_back(std::move(heard));
    queued = heard_queue_.size();
  }
  // The resolvers look at heard names every kHeardPickUp anyway: a wake-up
  // per name would cost the capture thread a system call and a thread
  // switch each. Only a queue filling up is worth one.
  if (queued >= kHeardWakeAt) wake_.notify_one();
  return true;
}

bool HostCache::keep_heard(HeardTable& table, const HeardKey& key, const HeardName& h) {
  auto it = table.find(key);
  if (it != table.end()) {
    // A lesser source never replaces a better name; the same source does.
    if (it->second.source > h.source) return false;
    const bool changed = it->second.name != h.name || it->second.source != h.source;
    it->second = Heard{h.name, h.source, ++heard_clock_};
    return changed;
  }
  if (options_.heard_max == 0) return false;
  if (table.size() >= options_.heard_max) {
    // Full: the eighth heard longest ago goes, so a flood of made-up names
    // costs one sort per many names rather than one scan per name.
    std::vector<std::uint64_t> ages;
    ages.reserve(table.size());
    for (const auto& [k, v] : table) ages.push_back(v.age);
    const std::size_t drop = std::max<std::size_t>(1, table.size() / 8);
    std::nth_element(ages.begin(), ages.begin() + static_cast<std::ptrdiff_t>(drop - 1), ages.end());
    const std::uint64_t cut = ages[drop - 1];
    std::erase_if(table, [cut](const auto& kv) { return kv.second.age <= cut; });
  }
  table.emplace(key, Heard{h.name, h.source, ++heard_clock_});
  return true;
}

void HostCache::apply_heard(std::vector<HeardName>& batch) {
  // Addresses whose heard name changed: their stored host rows may follow.
  std::vector<NetAddress> changed;
  {
    WriterLock lock(tables_mutex_);
    for (const HeardName& h : batch) {
      const std::optional<HeardKey> ip = heard_key(h.ip);
      if (h.name.empty()) {
        auto it = heard_ether_.find(*heard_key(h.ether));
        if (it != heard_ether_.end() && it->second.source == NameSource::kDhcp &&
            keep_heard(heard_ip_, *ip, HeardName{it->second.name, NameSource::kDhcp, h.ip, {}}))
          changed.push_back(h.ip);
        continue;
      }
      if (is_ip(h.ip) && keep_heard(heard_ip_, *ip, h)) changed.push_back(h.ip);
      if (is_ether(h.ether)) keep_heard(heard_ether_, *heard_key(h.ether), h);
    }
  }
  if (changed.empty()) return;
  MutexLock reg(register_mutex_);
  rename_stored(changed);
}

void HostCache::rename_stored(const std::vector<NetAddress>& addresses) {
  for (const NetAddress& a : addresses) {
    // Read afresh under the register lock: whichever thread gets here last
    // writes the name that is current, and a look-up's name (registered
    // under the same lock) is never overwritten.
    const HostCacheRef e = find_ipv4(a);
    if (e == nullptr || e->host_id == 0 || e->has_name()) continue;
    const NameAndSource shown = name_of(a, nullptr);
    if (shown.source == NameSource::kNone || shown.source >= NameSource::kLookup) continue;
    auto [it, added] = stored_names_.try_emplace(e->host_id, shown.name);
    if (!added) {
      if (it->second == shown.name) continue;
      it->second = shown.name;
    }
    bool written = false;
    try {
      written = ids_.rename(e->host_id, a, shown.name);
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "hostc_resolve: host id store failed: %s\n", ex.what());
    }
    // Tried again with the next name heard for the address.
    if (!written) stored_names_.erase(e->host_id);
  }
}

std::size_t HostCache::heard_count() const {
  ReaderLock lock(tables_mutex_);
  return heard_ip_.size() + heard_ether_.size();
}

NameAndSource HostCache::name_of(const NetAddress& ipv4, const NetAddress* ether) const {
  NameAndSource best;
  auto consider = [&best](std::string_view name, NameSource source) {
    if (!name.empty() && source >= best.source && (best.name.empty() || source > best.source)) {
      best.name = std::string(name);
      best.source = source;
    }
  };
  const bool has_ether = ether != nullptr && is_ether(*ether) &&
                         !(ether->bytes[0] == 0 && ether->bytes[1] == 0 && ether->bytes[2] == 0 &&
                           ether->bytes[3] == 0 && ether->bytes[4] == 0 && ether->bytes[5] == 0);
  ReaderLock lock(tables_mutex_);
  if (has_ether && ethers_) consider(ethers_->name_of(*ether), NameSource::kEthers);
  if (is_ip_address(ipv4)) {
    if (auto it = ipv4_addresses_.find(ipv4); it != ipv4_addresses_.end() && it->second->entry->has_name())
      consider(it->second->entry->host->name, NameSource::kLookup);
  }
  if (is_ip(ipv4)) {
    if (auto it = heard_ip_.find(*heard_key(ipv4)); it != heard_ip_.end())
      consider(it->second.name, it->second.source);
  }
  // What an adapter's DHCP requests called it names the address it uses.
  if (has_ether) {
    if (auto it = heard_ether_.find(*heard_key(*ether)); it != heard_ether_.end())
      consider(it->second.name, it->second.source);
  }
  return best;
}

NameAndSource HostCache::shown_name(const HostCacheEntry* entry) const {
  if (entry == nullptr) return {};
  NameAndSource best = name_of(entry->address, nullptr);
  // An entry found by the name a request asked for may carry a look-up name
  // its address's own entry lacks.
  if (entry->has_name() && best.source < NameSource::kLookup) best = {entry->host->name, NameSource::kLookup};
  if (best.name.empty()) best = {entry->name, NameSource::kNone};
  return best;
}

NetAddress HostCache::heard_address(std::string_view name) const {
  if (name.empty()) return {};
  const std::string_view wanted = name.back() == '.' ? name.substr(0, name.size() - 1) : name;
  ReaderLock lock(tables_mutex_);
  const Heard* found = nullptr;
  const HeardKey* key = nullptr;
  for (const auto& [k, h] : heard_ip_) {
    if (h.name != wanted || (found != nullptr && found->age > h.age)) continue;
    found = &h;
    key = &k;
  }
  if (key == nullptr) return {};
  const AddressType* type = address_type_for(key->kind);
  if (type == nullptr) return {};
  NetAddress a;
  a.type = type;
  std::copy_n(key->bytes.begin(), static_cast<std::size_t>(type->length), a.bytes);
  return a;
}

std::string HostCache::ether_name(const NetAddress& ether) const {
  if (!is_ether(ether)) return {};
  ReaderLock lock(tables_mutex_);
  if (ethers_) {
    const std::string_view n = ethers_->name_of(ether);
    if (!n.empty()) return std::string(n);
  }
  auto it = heard_ether_.find(*heard_key(ether));
  return it != heard_ether_.end() ? it->second.name : std::string();
}

std::string HostCache::ether_label(const NetAddress& ether) const {
  if (!is_ether(ether)) return {};
  ReaderLock lock(tables_mutex_);
  if (show_makers() && makers_) return makers_->label(ether);
  return netaddr_text(ether);
}

const Manufacturers::Maker* HostCache::maker_of(const NetAddress& ether) const {
  ReaderLock lock(tables_mutex_);
  return makers_ ? makers_->find(ether) : nullptr;
}

HostCacheRef HostCache::publish_ipv4(std::shared_ptr<HostCacheEntry> e, const std::string& asked_name) {
  if (e->host && !e->host->name.empty()) {
    e->source = NameSource::kLookup;
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

  const HostCacheRef entry = std::move(e);
  {
    WriterLock lock(tables_mutex_);
    Slot* slot = add_slot(entry, false);
    if (entry->host) {
      if (!entry->host->name.empty()) add_name(*slot, entry->host->name);
      for (const std::string& alias : entry->host->aliases) {
        if (!alias.empty() && find_text_locked(alias) == nullptr) add_name(*slot, alias);
      }
    }
    // A name that reached its host through a name the reply does not list
    // (a nickname, a search-domain completion) is kept too: otherwise every
    // later request for it would ask again and add one more entry.
    if (!asked_name.empty() && find_text_locked(asked_name) == nullptr) add_name(*slot, asked_name);
    if (is_ip_address(entry->address)) {
      auto [old, added] = ipv4_addresses_.try_emplace(entry->address, slot);
      // A provisional entry gives way to the answer; holders of it keep a
      // valid (if nameless) entry under the same host id.
      if (!added && old->second->entry->provisional) old->second = slot;
    }
    if (id != 0) host_ids_[id] = slot;
  }
  return entry;
}

HostCacheRef HostCache::register_ipv4(std::shared_ptr<HostCacheEntry> e, const std::string& asked_name) {
  HostCacheRef entry = publish_ipv4(std::move(e), asked_name);
  // A name heard before the host's entry was made reaches its rows now.
  if (entry->host_id != 0 && !entry->has_name()) rename_stored({entry->address});
  trim();
  return entry;
}

}  // namespace tarnix
