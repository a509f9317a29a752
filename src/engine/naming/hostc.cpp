#include "naming/hostc.h"

#include <cstdio>
#include <exception>

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

HostCache::HostCache(NameService& ns, HostIdStore& ids) : ns_(ns), ids_(ids) {}

HostCache::~HostCache() {
  stop();
}

void HostCache::start() {
  std::lock_guard lock(queue_mutex_);
  if (running_) return;
  running_ = true;
  stopping_ = false;
  thread_ = std::thread([this] { resolve_loop(); });
}

void HostCache::stop() {
  std::thread joining;
  {
    std::lock_guard lock(queue_mutex_);
    if (!running_) return;
    stopping_ = true;
    // Asked from a completion: the loop ends after it; whoever stops or
    // destroys the cache later joins the thread.
    if (std::this_thread::get_id() == thread_.get_id()) return;
    joining = std::move(thread_);
  }
  wake_.notify_all();
  if (joining.joinable()) joining.join();
  {
    std::lock_guard lock(queue_mutex_);
    running_ = false;
    stopping_ = false;
  }
  idle_.notify_all();
}

bool HostCache::running() const {
  std::lock_guard lock(queue_mutex_);
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
  std::shared_lock lock(tables_mutex_);
  std::vector<std::string> out;
  ipv4_names_.foreach([&](const std::string& name, const HostcEntry*) { out.push_back(name); });
  return out;
}

const HostcEntry* HostCache::find_text(std::string_view text) const {
  std::shared_lock lock(tables_mutex_);
  return find_text_locked(text);
}

const HostcEntry* HostCache::find_ipv4(const NetAddress& a) const {
  if (!a.is_ipv4()) return nullptr;
  std::shared_lock lock(tables_mutex_);
  const HostcEntry* const* e = ipv4_addresses_.find(a);
  return e != nullptr ? *e : nullptr;
}

const HostcEntry* HostCache::find_ether(const NetAddress& a) const {
  if (!is_ether(a)) return nullptr;
  std::shared_lock lock(tables_mutex_);
  const HostcEntry* const* e = ether_addresses_.find(a);
  return e != nullptr ? *e : nullptr;
}

const HostcEntry* HostCache::find_ether_text(std::string_view text) const {
  if (text.find(':') != std::string_view::npos) {
    return find_ether(NetAddress::parse(kAddrEther, std::string(text).c_str()));
  }
  std::shared_lock lock(tables_mutex_);
  const HostcEntry* const* e = ether_names_.find(text);
  return e != nullptr ? *e : nullptr;
}

const HostcEntry* HostCache::find_id(std::int32_t id) const {
  std::shared_lock lock(tables_mutex_);
  const HostcEntry* const* e = host_ids_.find(id);
  return e != nullptr ? *e : nullptr;
}

int HostCache::entry_count() const {
  std::shared_lock lock(tables_mutex_);
  return static_cast<int>(entries_.size());
}

// --- requests ---------------------------------------------------------------

int HostCache::queue(std::unique_ptr<Request> r) {
  int result;
  {
    std::lock_guard lock(queue_mutex_);
    result = queue_.put(std::move(r));
    wake_flag_ = true;
  }
  wake_.notify_one();
  return result;
}

int HostCache::request_text(std::string_view text, HostcCompletion done) {
  if (is_ipv4_text(text)) {
    return queue(std::make_unique<Request>(Request{kHostcByIpv4, parse_ipv4(text), {}, std::move(done)}));
  }
  return queue(std::make_unique<Request>(Request{kHostcByName, {}, std::string(text), std::move(done)}));
}

int HostCache::request_ipv4(const NetAddress& a, HostcCompletion done) {
  // An address of another kind would be read as four bytes of something else.
  if (!a.is_ipv4()) return 0;
  return queue(std::make_unique<Request>(Request{kHostcByIpv4, a, {}, std::move(done)}));
}

int HostCache::request_ether(const NetAddress& a, HostcCompletion done) {
  if (!is_ether(a)) return 0;
  return queue(std::make_unique<Request>(Request{kHostcByEther, a, {}, std::move(done)}));
}

int HostCache::resolve_rec_process(const HostcRequestDescriptor& d, HostcCompletion done) {
  switch (d.kind) {
    case kHostcByName:
      queue(std::make_unique<Request>(Request{kHostcByName, {}, d.name, std::move(done)}));
      return 1;
    case kHostcByIpv4:
      if (request_ipv4(d.address, std::move(done)) == 0) break;
      return 1;
    case kHostcByEther:
      if (request_ether(d.address, std::move(done)) == 0) break;
      return 1;
    default:
      break;
  }
  std::fputs(kMsgRecInvalid, stderr);
  return -1;
}

int HostCache::pending() const {
  std::lock_guard lock(queue_mutex_);
  return queue_.count() + (busy_ ? 1 : 0);
}

void HostCache::wait_idle() {
  std::unique_lock lock(queue_mutex_);
  idle_.wait(lock, [this] { return (queue_.empty() && !busy_) || !running_ || stopping_; });
}

// --- the resolver -----------------------------------------------------------

void HostCache::resolve_loop() {
  std::unique_lock lock(queue_mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return wake_flag_ || stopping_; });
    if (stopping_) break;
    for (;;) {
      std::unique_ptr<Request> r;
      if (queue_.get(r) == 0) {
        // The event is reset under the same hold of the mutex as the empty
        // check, so a request put in between cannot be left waiting.
        wake_flag_ = false;
        break;
      }
      busy_ = true;
      lock.unlock();
      if (!r) {
        std::fputs(kMsgNullRequest, stderr);
      } else {
        const HostcEntry* entry = process(*r);
        if (r->done) {
          try {
            r->done(entry);
          } catch (const std::exception& ex) {
            std::fprintf(stderr, "hostc_resolve: completion failed: %s\n", ex.what());
          }
        }
      }
      // Whatever the completion captured goes before anyone sees us idle.
      r.reset();
      lock.lock();
      busy_ = false;
      if (stopping_) break;
    }
    idle_.notify_all();
    if (stopping_) break;
  }
  idle_.notify_all();
}

const HostcEntry* HostCache::process(const Request& r) {
  switch (r.kind) {
    case kHostcByName: {
      if (const HostcEntry* old = find_text(r.name)) return old;
      // An empty name cannot be looked up; asking would only cost a round trip.
      if (r.name.empty() || r.name == last_failed_name_) return nullptr;
      std::optional<HostRecord> reply;
      try {
        reply = ns_.by_name(r.name);
      } catch (const std::exception& ex) {
        std::fprintf(stderr, "hostc_resolve: name service failed: %s\n", ex.what());
      }
      if (!reply) {
        last_failed_name_ = r.name;
        return nullptr;
      }
      auto e = std::make_unique<HostcEntry>();
      e->host = hostc_copy_record(*reply);
      if (!e->host->addresses.empty()) e->address = NetAddress::ipv4(e->host->addresses.front().data());
      return register_ipv4(std::move(e), r.name);
    }
    case kHostcByIpv4: {
      if (const HostcEntry* old = find_ipv4(r.address)) return old;
      auto e = std::make_unique<HostcEntry>();
      // The entry stays keyed by the address that was asked about, whatever
      // address list the reply carries, so the next request finds it.
      e->address = r.address;
      std::optional<HostRecord> reply;
      try {
        reply = ns_.by_address(r.address.bytes);
      } catch (const std::exception& ex) {
        std::fprintf(stderr, "hostc_resolve: name service failed: %s\n", ex.what());
      }
      if (reply) e->host = hostc_copy_record(*reply);
      e->name = netaddr_text(e->address);
      return register_ipv4(std::move(e), {});
    }
    case kHostcByEther: {
      if (const HostcEntry* old = find_ether(r.address)) return old;
      auto e = std::make_unique<HostcEntry>();
      e->address = r.address;
      e->name = netaddr_text(e->address);
      const HostcEntry* entry = e.get();
      std::unique_lock lock(tables_mutex_);
      ether_addresses_.set(entry->address, entry);
      ether_names_.set(entry->name, entry);
      entries_.push_back(std::move(e));
      return entry;
    }
    default:
      std::fputs(kMsgBadKind, stderr);
      return nullptr;
  }
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
  std::unique_lock lock(tables_mutex_);
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
  if (entry->address.is_ipv4() && ipv4_addresses_.find(entry->address) == nullptr) {
    ipv4_addresses_.set(entry->address, entry);
  }
  if (id != 0) host_ids_.set(id, entry);
  entries_.push_back(std::move(e));
  return entry;
}

}  // namespace tarnix
