// Host-name cache and its resolver threads.
//
// Any thread may ask for the name of an IPv4 or IPv6 address, the address of a host
// name or the text form of an Ethernet address; the request is queued and one
// of a few resolver threads answers it, keeps the answer as a HostCacheEntry and
// calls the requester's completion with it. Later look-ups are served from
// the cache with the find_* calls, which never wait for the name service.
//
// A name service that does not answer (a dead server in resolv.conf) must not
// hold requesters for the system resolver's own time-outs: a request not
// answered within a bound is answered with what is known (an address by its
// dotted text), and the look-up goes on in the background; a late name then
// replaces the provisional entry under the same host id.
//
// Entries are created only by the resolver, are complete (host id included)
// before any other thread can reach them, never change afterwards and live as
// long as the cache. A `const HostCacheEntry*` may therefore be kept and read from
// any thread without a lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/hash.h"
#include "core/hashtable.h"
#include "core/list.h"
#include "core/mutex.h"
#include "naming/ethers.h"
#include "naming/netaddr.h"

namespace tarnix {

// Copy of a name-service reply; nothing refers to the service's own storage.
struct HostRecord {
  std::string name;                                    // official name, cut at its first blank
  std::vector<std::string> aliases;                    // each cut at its first blank
  std::int16_t addrtype = 2, length = 4;               // as in the reply (2 = IPv4)
  std::vector<std::array<std::uint8_t, 4>> addresses;  // see hostc_copy_record
};

// Builds the copy an entry keeps from a raw reply: names and aliases cut at
// their first blank; of two or more addresses the copy starts at the second,
// a single address is copied as it is.
HostRecord hostc_copy_record(const HostRecord& reply);

// Where a host's name came from. When several sources name one host the
// highest wins: a name the administrator wrote in the ethers file, then the
// name service's answer to a reverse look-up, then what the host said of
// itself (its DHCP host name, then its mDNS/LLMNR answer), and last a DNS
// answer some server gave about it (its own record before a CNAME alias
// of it). A later name of the same source
// replaces an earlier one.
enum class NameSource : std::uint8_t {
  kNone = 0,
  // An A answer reached through a CNAME chain names the address by the name
  // asked for, but only until an answer names it by its own record.
  kDnsAlias = 1,
  kDnsAnswer = 2,
  kMulticast = 3,  // mDNS or LLMNR
  kDhcp = 4,
  kLookup = 5,  // the name service (a reverse look-up)
  kEthers = 6,
};

// "ethers", "reverse", "dhcp", "mdns", "dns"; empty for kNone.
std::string_view name_source_text(NameSource source);

// A name heard on the wire, for an IP address, an Ethernet address or both.
struct HeardName {
  std::string name;
  NameSource source = NameSource::kDnsAnswer;
  // Of any IP kind (an AAAA answer's, once the address kind exists); unset
  // (no type) when the name is for the Ethernet address only.
  NetAddress ip;
  NetAddress ether;  // unset when not known
};

// Heard names are kept by address kind and bytes, so that every kind of
// address, however long (up to 16 bytes), keys the same tables.
struct HeardKey {
  std::uint8_t kind = 0;
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const HeardKey&, const HeardKey&) = default;
};
struct HeardKeyHash {
  std::size_t operator()(const HeardKey& k) const;
};
// Null when the address has no kind or is longer than a key holds.
std::optional<HeardKey> heard_key(const NetAddress& address);

// A host's name as shown, and where it came from.
struct NameAndSource {
  std::string name;  // empty when nothing names the host
  NameSource source = NameSource::kNone;
};

struct HostCacheEntry {
  std::optional<HostRecord> host;  // none when the name service had no answer
  std::string name;                // record name, or dotted/colon text of the address
  std::string short_name;          // record name up to its first '.'; empty without a record
  std::int32_t host_id = 0;        // 0 for Ethernet entries
  NetAddress address;
  // Named by its address only because the name service had not answered in
  // time; the look-up is still out and may replace the entry.
  bool provisional = false;
  NameSource source = NameSource::kNone;  // of name: kLookup with a named record

  bool has_name() const { return host.has_value() && !host->name.empty(); }
};

// Whether a text may be sent to the name service as a host name: labels of
// letters, digits and '-' (not at either end of a label), 1 to 63 characters
// each, separated by single dots, at most 253 characters in all (one final
// dot allowed). Anything heard on the wire is checked with this first.
bool hostc_valid_name(std::string_view text);

// Called on a resolver thread with the entry, or null when there is none
// (a failed look-up by name, an invalid request). What the original design
// passed as two opaque arguments is whatever the lambda captures.
using HostCacheCompletion = std::function<void(const HostCacheEntry* entry)>;

enum HostCacheRequestKind : std::int32_t {
  kHostcByName = 0,
  kHostcByIpv4 = 1,
  kHostcByEther = 2,
  kHostcKindNotSet = 3,
};

// What a record that wants resolving carries (resolve_rec_process).
struct HostCacheRequestDescriptor {
  std::int32_t kind = kHostcKindNotSet;
  NetAddress address;
  std::string name;
};

// The operating system's name service. Implementations are called from the
// resolver threads, several at once, and may block.
class NameService {
 public:
  virtual ~NameService() = default;
  // Raw replies: the cache applies the copy rules itself.
  virtual std::optional<HostRecord> by_address(const std::uint8_t ipv4[4]) = 0;
  virtual std::optional<HostRecord> by_name(const std::string& name) = 0;
  // A service that may not answer for a long time (a silent server in
  // resolv.conf) is asked on a thread of its own, which a stop leaves
  // behind rather than waits for: such a service must outlive every call,
  // past the cache that made it.
  virtual bool may_hang() const { return false; }
  // A reverse look-up of an IPv6 address. A service that cannot make one
  // has no answer, and the address is then named by its text.
  virtual std::optional<HostRecord> by_ipv6_address(const std::uint8_t /*ipv6*/[16]) { return std::nullopt; }
};

// Asks the system resolver (gethostbyaddr_r / gethostbyname_r, so aliases
// come back too).
class SystemNameService final : public NameService {
 public:
  std::optional<HostRecord> by_address(const std::uint8_t ipv4[4]) override;
  std::optional<HostRecord> by_name(const std::string& name) override;
  bool may_hang() const override { return true; }
  std::optional<HostRecord> by_ipv6_address(const std::uint8_t ipv6[16]) override;
};

// The system's name service, alive for the whole process: a look-up that a
// stop left behind may still be inside it when its cache is gone.
NameService& system_name_service();

// Never answers: every address entry is named by its dotted text, every look-up
// by name fails. For users who want no name traffic (--no-resolve); entries and
// host ids are still made.
class NullNameService final : public NameService {
 public:
  std::optional<HostRecord> by_address(const std::uint8_t[4]) override { return std::nullopt; }
  std::optional<HostRecord> by_name(const std::string&) override { return std::nullopt; }
};

// Host identifiers shared with the database's host rows. Called from the
// cache's threads (and ipv4_now's caller) one at a time, never with a table
// lock held.
class HostIdStore {
 public:
  virtual ~HostIdStore() = default;
  virtual std::int32_t find_id(const std::string& name, const NetAddress& address) = 0;  // 0 when unknown
  virtual std::int32_t store(const HostCacheEntry& entry) = 0;                           // new id
  // The rows of a host the name service has no name for, named by what
  // was heard of its address (the cache has checked that no look-up named
  // it). False when it could not be written. A store that keeps no names
  // has nothing to write.
  virtual bool rename(std::int32_t /*id*/, const NetAddress& /*address*/, const std::string& /*name*/) {
    return true;
  }
};

// Keeps host rows in memory: ids from 1 upwards; a known address or name of
// a stored entry gives back the id it was stored under.
class MemoryHostIdStore final : public HostIdStore {
 public:
  std::int32_t find_id(const std::string& name, const NetAddress& address) override;
  std::int32_t store(const HostCacheEntry& entry) override;
  bool rename(std::int32_t id, const NetAddress& address, const std::string& name) override;

  struct Row {
    std::int32_t id;
    std::string name;
    NetAddress address;
  };
  std::vector<Row> rows() const;
  int store_calls() const;

 private:
  std::int32_t find_by_address(const NetAddress& address) const REQUIRES(mutex_);
  std::int32_t find_by_name(const std::string& name) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::vector<Row> rows_ GUARDED_BY(mutex_);
  std::int32_t max_id_ GUARDED_BY(mutex_) = 0;
  int store_calls_ GUARDED_BY(mutex_) = 0;
};

struct HostCacheNameTraits {
  static std::int32_t hash(std::string_view key) { return string_hash_alt(key); }
  static int compare(std::string_view stored, std::string_view probe) { return stored.compare(probe); }
};
struct HostCacheIdTraits {
  static std::int32_t hash(std::int32_t id) { return id; }
  static int compare(std::int32_t stored, std::int32_t probe) { return stored == probe ? 0 : 1; }
};

struct HostCacheOptions {
  // Look-ups in flight at once. Completions come in the order the answers
  // do; with one worker, in the order of the requests.
  int workers = 4;
  // A request still unanswered this long after it was queued is answered
  // with what is known: an address by a provisional entry under its dotted
  // text, a name by none. Zero waits for the name service however long.
  std::chrono::milliseconds answer_within{2000};
  // A name the name service had no answer for is not asked again for this
  // long (at most failed_names_max names are remembered).
  std::chrono::milliseconds failed_name_ttl{60000};
  std::size_t failed_names_max = 4096;
  // Names heard on the wire that are kept (per kind of address); past it the
  // names heard longest ago go first. Heard names waiting for the resolver
  // beyond heard_queue_max are dropped.
  std::size_t heard_max = 16384;
  std::size_t heard_queue_max = 4096;
  // Off: heard names are dropped as they come (the ethers file still names).
  bool heard_names = true;
  // The clock of failed_name_ttl; tests move it.
  std::function<std::chrono::steady_clock::time_point()> now;
};

class HostCache {
 public:
  HostCache(NameService& ns, HostIdStore& ids, HostCacheOptions options = {});
  ~HostCache();  // stops and joins the resolvers
  HostCache(const HostCache&) = delete;
  HostCache& operator=(const HostCache&) = delete;

  // The resolver threads (hostc_resolve). stop() lets the look-ups in
  // progress finish and leaves the rest queued; start() again resumes them.
  // A look-up a service that may hang is still busy with is not waited for:
  // it is left to end on its own, its answer unused, and its requests are
  // queued again, unanswered.
  void start();
  void stop();
  bool running() const;

  // Safe from any thread; they take the table lock only for the look-up.
  // Text that is a whole IPv4 or IPv6 address is that address, anything
  // else a name. The "ipv4" calls take IPv6 addresses as well: both kinds
  // share the address table and the host ids (kinds never compare equal).
  const HostCacheEntry* find_text(std::string_view text) const;
  const HostCacheEntry* find_ipv4(const NetAddress& a) const;
  const HostCacheEntry* find_ether(const NetAddress& a) const;
  // Text containing ':' is an Ethernet address, anything else a name.
  const HostCacheEntry* find_ether_text(std::string_view text) const;
  const HostCacheEntry* find_id(std::int32_t id) const;
  // Every name of the IPv4 by-name table (names and aliases), in table order.
  std::vector<std::string> ipv4_names() const;

  // Queue a request; the caller never waits for the answer. True when
  // queued; an address of the wrong kind (Ethernet for request_ipv4) is not,
  // and its completion is never called. Address text is read as an address.
  bool request_text(std::string_view text, HostCacheCompletion done);
  bool request_ipv4(const NetAddress& a, HostCacheCompletion done);
  bool request_ether(const NetAddress& a, HostCacheCompletion done);
  // The same by descriptor; false (with a message) for a kind other than
  // 0, 1, 2 or an address that does not fit its kind.
  bool resolve_rec_process(const HostCacheRequestDescriptor& d, HostCacheCompletion done);

  // The entry of an IPv4 address now, without waiting: the cached one, or a
  // new provisional one named by the dotted address (its host id stored).
  // For whoever cannot wait any longer for the name service. Null only for
  // an address that is neither IPv4 nor IPv6.
  const HostCacheEntry* ipv4_now(const NetAddress& a);

  // Returns when the queue is empty and no request is in progress, or at
  // once when the resolver is not running. Not from a completion.
  void wait_idle();
  // Returns once every name heard so far is in the tables (or at once when
  // the resolver is not running); look-ups in progress are not waited for.
  void wait_heard();

  // Counts for tests and the status line.
  int entry_count() const;
  int pending() const;

  // --- names beside the name service's -----------------------------------
  // The ethers file and the adapter makers, set before start(). With
  // show_makers the Ethernet label of an address with a known maker is
  // "Maker_xx:yy:zz".
  void set_name_files(std::shared_ptr<const EtherNames> ethers, std::shared_ptr<const Manufacturers> makers,
                      bool show_makers);

  // A name heard on the wire (any thread, the capture thread above all);
  // an empty DHCP name with both addresses is a lease, giving the address
  // the name the adapter's DHCP requests had. Heard names are
  // queued for the resolver, which alone writes the tables; never waits for
  // it. False when heard names are off or the queue is full (dropped).
  bool hear(HeardName heard);

  // The name a host with this IPv4 address (and, when known, Ethernet
  // address) is shown by, of every source, with the winner's source.
  NameAndSource name_of(const NetAddress& ipv4, const NetAddress* ether) const;
  // The one name an entry's host is shown, logged and stored by: the best
  // of its own look-up and what was heard of its address (name_of), else
  // the entry's own name (its address text; source kNone). Empty for null.
  NameAndSource shown_name(const HostCacheEntry* entry) const;
  // The IP address the best heard name `name` names, when one does (the
  // most recently heard of several); unset otherwise.
  NetAddress heard_address(std::string_view name) const;
  // The name of an Ethernet address: the ethers file's, else one its DHCP
  // requests gave; empty for none.
  std::string ether_name(const NetAddress& ether) const;
  // The Ethernet address as shown: "Maker_xx:yy:zz" with show_makers and a
  // known maker, else its colon text.
  std::string ether_label(const NetAddress& ether) const;
  // The adapter's maker, or null.
  const Manufacturers::Maker* maker_of(const NetAddress& ether) const;
  bool show_makers() const { return show_makers_.load(std::memory_order_relaxed); }
  std::size_t heard_count() const;

 private:
  struct Request {
    std::int32_t kind;
    NetAddress address;
    std::string name;
    HostCacheCompletion done;
    std::chrono::steady_clock::time_point deadline{};
    bool answered = false;  // the completion was taken (queue_mutex_)
  };
  using Clock = std::chrono::steady_clock;
  using NameTable = HashTable<std::string, const HostCacheEntry*, HostCacheNameTraits>;
  using AddressTable = HashTable<NetAddress, const HostCacheEntry*, NetAddressKeyTraits>;
  using IdTable = HashTable<std::int32_t, const HostCacheEntry*, HostCacheIdTraits>;

  void queue(std::unique_ptr<Request> r);
  void resolve_loop();
  void deadline_loop();
  // The completion, once: empty when the request was answered already.
  HostCacheCompletion claim(Request& r) REQUIRES(queue_mutex_);
  static void call(HostCacheCompletion& done, const HostCacheEntry* entry);
  // `left` is set when the stop left the name service's answer behind.
  const HostCacheEntry* process(const Request& r, bool& left);
  const HostCacheEntry* by_name(const std::string& name, bool& left);
  const HostCacheEntry* by_ipv4(const NetAddress& a, bool& left);
  // Asks the name service; for one that may hang, on a thread of its own
  // that a stop does not wait for (then `left` is set and there is no reply).
  struct Asking;
  std::optional<HostRecord> ask(std::function<std::optional<HostRecord>(NameService&)> call, bool& left);
  const HostCacheEntry* ether_entry(const NetAddress& a);
  const HostCacheEntry* find_text_locked(std::string_view text) const REQUIRES_SHARED(tables_mutex_);
  // Settles the entry's name and host id, then publishes it (replacing a
  // provisional entry of its address). asked_name is the name a by-name
  // request asked for (empty for address requests).
  const HostCacheEntry* publish_ipv4(std::unique_ptr<HostCacheEntry> e, const std::string& asked_name)
      REQUIRES(register_mutex_);
  // publish_ipv4, then the stored rows of a nameless host take the name
  // heard for its address before the entry was made.
  const HostCacheEntry* register_ipv4(std::unique_ptr<HostCacheEntry> e, const std::string& asked_name)
      REQUIRES(register_mutex_);
  bool name_failed_recently(const std::string& name) REQUIRES(register_mutex_);
  void note_failed_name(const std::string& name) REQUIRES(register_mutex_);
  Clock::time_point now() const { return options_.now ? options_.now() : Clock::now(); }
  friend class HostCacheTestPeer;

  NameService& ns_;
  HostIdStore& ids_;
  HostCacheOptions options_;

  // "HostCache mutex": the queue, the look-ups in flight and the threads' state.
  mutable Mutex queue_mutex_;
  std::condition_variable wake_;  // a request queued, or stopping
  std::condition_variable idle_;
  std::condition_variable deadline_wake_;
  std::deque<std::shared_ptr<Request>> queue_ GUARDED_BY(queue_mutex_);
  // Every request not yet past its deadline check, oldest first (deadlines
  // are queue time plus one bound, so this is also deadline order).
  std::deque<std::shared_ptr<Request>> deadlines_ GUARDED_BY(queue_mutex_);
  // Requests waiting for a look-up another worker is doing, by key.
  std::map<std::string, std::vector<std::shared_ptr<Request>>> in_flight_ GUARDED_BY(queue_mutex_);
  int busy_ GUARDED_BY(queue_mutex_) = 0;
  // Look-ups out on threads of their own, which stop() abandons.
  std::vector<std::shared_ptr<Asking>> asking_ GUARDED_BY(queue_mutex_);
  bool running_ GUARDED_BY(queue_mutex_) = false;
  bool stopping_ GUARDED_BY(queue_mutex_) = false;
  std::vector<std::thread> threads_;

  // Entries are made and published one at a time, so that two workers (or
  // a worker and ipv4_now) never make two entries for one address; the
  // name service is never asked with it held.
  Mutex register_mutex_;
  std::unordered_map<std::string, Clock::time_point> failed_names_ GUARDED_BY(register_mutex_);
  // The name last given to each host id's rows by rename_stored.
  std::unordered_map<std::int32_t, std::string> stored_names_ GUARDED_BY(register_mutex_);

  struct Heard {
    std::string name;
    NameSource source;
    std::uint64_t age;  // when heard, in heard_clock_ ticks
  };
  using HeardTable = std::unordered_map<HeardKey, Heard, HeardKeyHash>;
  // Applies queued heard names (a resolver thread).
  void apply_heard(std::vector<HeardName>& batch);
  // True when the name kept for the key changed.
  bool keep_heard(HeardTable& table, const HeardKey& key, const HeardName& h) REQUIRES(tables_mutex_);
  // Gives the host rows of these addresses the name now shown for them,
  // when no look-up named them.
  void rename_stored(const std::vector<NetAddress>& addresses) REQUIRES(register_mutex_);
  std::vector<HeardName> heard_queue_ GUARDED_BY(queue_mutex_);
  int heard_busy_ GUARDED_BY(queue_mutex_) = 0;  // batches being applied
  std::shared_ptr<const EtherNames> ethers_;
  std::shared_ptr<const Manufacturers> makers_;
  std::atomic<bool> show_makers_{false};

  // The five tables and the entries they share. Written by the resolver only
  // (exclusive, never while the name service or id store is asked); read by
  // everyone (shared).
  mutable SharedMutex tables_mutex_;
  NameTable ipv4_names_ GUARDED_BY(tables_mutex_);
  AddressTable ipv4_addresses_ GUARDED_BY(tables_mutex_);
  NameTable ether_names_ GUARDED_BY(tables_mutex_);
  AddressTable ether_addresses_ GUARDED_BY(tables_mutex_);
  IdTable host_ids_ GUARDED_BY(tables_mutex_);
  std::deque<std::unique_ptr<HostCacheEntry>> entries_ GUARDED_BY(tables_mutex_);
  // Names heard on the wire, by IP address and by Ethernet address.
  HeardTable heard_ip_ GUARDED_BY(tables_mutex_);
  HeardTable heard_ether_ GUARDED_BY(tables_mutex_);
  std::uint64_t heard_clock_ GUARDED_BY(tables_mutex_) = 0;
};

// The name a traffic-model host shows, filled in by a resolver completion
// while other threads draw it: one atomic pointer to an immutable entry.
class HostNameSlot {
 public:
  void set(const HostCacheEntry* e) { entry_.store(e, std::memory_order_release); }
  const HostCacheEntry* entry() const { return entry_.load(std::memory_order_acquire); }
  // Empty until an entry with a named host record arrives.
  std::string_view name() const {
    const HostCacheEntry* e = entry();
    return e != nullptr && e->has_name() ? std::string_view(e->host->name) : std::string_view();
  }
  std::string_view short_name() const {
    const HostCacheEntry* e = entry();
    return e != nullptr && e->has_name() ? std::string_view(e->short_name) : std::string_view();
  }

 private:
  std::atomic<const HostCacheEntry*> entry_{nullptr};
};

}  // namespace tarnix
