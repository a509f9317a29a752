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
// before any other thread can reach them and never change afterwards. They
// are shared: every find_* and every completion hands out a HostCacheRef, a
// counted reference, and an entry lives as long as the cache's tables or any
// holder keep it. Whoever keeps an entry past the call that gave it (a host
// of the traffic model, a request waiting to be recorded) keeps the
// reference, never a bare pointer; a `const HostCacheEntry*` is only
// borrowed for the duration of a call.
//
// The tables are bounded (HostCacheOptions::max_entries). Past the bound the
// entries nobody but the tables holds go, least recently found first; an
// entry someone holds stays in the tables however full they are, so that a
// host present in the model keeps its name and every find of it gives the
// same entry. An address whose entry went is looked up afresh the next time
// it is asked about, failed reverse look-ups included. Its host id is handed
// back to the id store (HostIdStore::release) once no entry carries it: a
// store that keeps rows for good (the database) gives the same id again, the
// memory store a new one.
#pragma once

#include <algorithm>
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
#include "naming/host_cache_ref.h"
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
// passed as two opaque arguments is whatever the lambda captures; a
// completion that keeps the entry copies the reference.
using HostCacheCompletion = std::function<void(const HostCacheRef& entry)>;

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
  // No entry of the cache carries the id any more (their addresses left the
  // cache's bound). A store that keeps its rows for good keeps the id, so
  // that an address that comes back gets it again; one that keeps rows only
  // for the cache may let them go.
  virtual void release(std::int32_t /*id*/) {}
};

// Keeps host rows in memory: ids from 1 upwards; a known address or name of
// a stored entry gives back the id it was stored under. Of several rows that
// match, the one stored first answers. Rows are found through indexes by
// address and name, and a released id's rows go: the rows last as long as
// the cache's entries, so an address that comes back after its entry went
// gets a new id.
class MemoryHostIdStore final : public HostIdStore {
 public:
  std::int32_t find_id(const std::string& name, const NetAddress& address) override;
  std::int32_t store(const HostCacheEntry& entry) override;
  bool rename(std::int32_t id, const NetAddress& address, const std::string& name) override;
  void release(std::int32_t id) override;

  struct Row {
    std::int32_t id;
    std::string name;
    NetAddress address;
  };
  // In the order stored.
  std::vector<Row> rows() const;
  int store_calls() const;

 private:
  using Seq = std::uint64_t;  // order of storing
  using Seqs = std::vector<Seq>;
  void add_row(Row row) REQUIRES(mutex_);
  void drop_row(Seq seq) REQUIRES(mutex_);
  // The first stored row of the address (or name) that `accept` takes.
  template <class Accept>
  const Row* first_of_address(const NetAddress& address, Accept&& accept) const REQUIRES(mutex_);
  template <class Accept>
  const Row* first_of_name(const std::string& name, Accept&& accept) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::map<Seq, Row> rows_ GUARDED_BY(mutex_);
  std::unordered_map<HeardKey, Seqs, HeardKeyHash> by_address_ GUARDED_BY(mutex_);
  std::unordered_map<std::string, Seqs> by_name_ GUARDED_BY(mutex_);
  std::unordered_map<std::int32_t, Seqs> by_id_ GUARDED_BY(mutex_);
  Seq next_seq_ GUARDED_BY(mutex_) = 0;
  std::int32_t max_id_ GUARDED_BY(mutex_) = 0;
  int store_calls_ GUARDED_BY(mutex_) = 0;
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
  // Requests waiting for a resolver past which offer_ipv4 queues no more.
  std::size_t host_queue_max = 4096;
  // Off: heard names are dropped as they come (the ethers file still names).
  bool heard_names = true;
  // Entries kept in the tables; past it those nobody holds go, least
  // recently found first. 0: no bound. The program sets it from the model's
  // host bound (see host_cache_bound).
  std::size_t max_entries = 0;
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
  // A find counts as a use for the bound's choice of what goes.
  HostCacheRef find_text(std::string_view text) const;
  HostCacheRef find_ipv4(const NetAddress& a) const;
  HostCacheRef find_ether(const NetAddress& a) const;
  // Text containing ':' is an Ethernet address, anything else a name.
  HostCacheRef find_ether_text(std::string_view text) const;
  HostCacheRef find_id(std::int32_t id) const;
  // Every name of the IPv4 by-name table (names and aliases), in table order.
  std::vector<std::string> ipv4_names() const;

  // Queue a request; the caller never waits for the answer. True when
  // queued; an address of the wrong kind (Ethernet for request_ipv4) is not,
  // and its completion is never called. Address text is read as an address.
  bool request_text(std::string_view text, HostCacheCompletion done);
  bool request_ipv4(const NetAddress& a, HostCacheCompletion done);
  // request_ipv4 for a look-up that may be skipped (a new host of the
  // traffic model): not queued, and false, while host_queue_max requests
  // already wait. A flood of new addresses faster than the name service
  // answers would otherwise grow the queue without end. `again`: an
  // address turned away before, whose refusal is not counted again and
  // whose look-up, queued now, counts as asked after all.
  bool offer_ipv4(const NetAddress& a, HostCacheCompletion done, bool again = false);
  // Look-ups offer_ipv4 turned away, and of those the ones not queued since.
  std::uint64_t offers_refused() const { return offers_refused_.load(std::memory_order_relaxed); }
  std::uint64_t offers_not_asked() const {
    return offers_refused() - offers_asked_later_.load(std::memory_order_relaxed);
  }
  bool request_ether(const NetAddress& a, HostCacheCompletion done);
  // The same by descriptor; false (with a message) for a kind other than
  // 0, 1, 2 or an address that does not fit its kind.
  bool resolve_rec_process(const HostCacheRequestDescriptor& d, HostCacheCompletion done);

  // The entry of an IPv4 address now, without waiting: the cached one, or a
  // new provisional one named by the dotted address (its host id stored).
  // For whoever cannot wait any longer for the name service. Null only for
  // an address that is neither IPv4 nor IPv6.
  HostCacheRef ipv4_now(const NetAddress& a);

  // Returns when the queue is empty and no request is in progress, or at
  // once when the resolver is not running. Not from a completion.
  void wait_idle();
  // Returns once every name heard so far is in the tables (or at once when
  // the resolver is not running); look-ups in progress are not waited for.
  void wait_heard();

  // Counts for tests and the status line.
  int entry_count() const;
  int pending() const;
  // The bound on entries (HostCacheOptions::max_entries), from any thread;
  // it takes effect with the next entry made.
  void set_max_entries(std::size_t n) { max_entries_.store(n, std::memory_order_relaxed); }
  std::size_t max_entries() const { return max_entries_.load(std::memory_order_relaxed); }

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
  NameAndSource shown_name(const HostCacheRef& entry) const { return shown_name(entry.get()); }
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
  // An entry as the tables keep it: the tables' own reference, the name keys
  // it was entered under (so that it leaves them without a search) and when
  // it was last found.
  struct Slot {
    HostCacheRef entry;
    std::vector<std::string> names;
    bool ether = false;
    mutable std::atomic<std::uint64_t> used{0};
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  struct AddressHash {
    std::size_t operator()(const NetAddress& a) const;
  };
  struct AddressEqual {
    bool operator()(const NetAddress& a, const NetAddress& b) const;
  };
  using NameTable = std::unordered_map<std::string, Slot*, TextHash, std::equal_to<>>;
  using AddressTable = std::unordered_map<NetAddress, Slot*, AddressHash, AddressEqual>;
  using IdTable = std::unordered_map<std::int32_t, Slot*>;

  // False, and nothing queued, when `room` requests or more wait already.
  bool queue(std::unique_ptr<Request> r, std::size_t room = SIZE_MAX);
  void resolve_loop();
  void deadline_loop();
  // The completion, once: empty when the request was answered already.
  HostCacheCompletion claim(Request& r) REQUIRES(queue_mutex_);
  static void call(HostCacheCompletion& done, const HostCacheRef& entry);
  // `left` is set when the stop left the name service's answer behind.
  HostCacheRef process(const Request& r, bool& left);
  HostCacheRef by_name(const std::string& name, bool& left);
  HostCacheRef by_ipv4(const NetAddress& a, bool& left);
  // Asks the name service; for one that may hang, on a thread of its own
  // that a stop does not wait for (then `left` is set and there is no reply).
  struct Asking;
  std::optional<HostRecord> ask(std::function<std::optional<HostRecord>(NameService&)> call, bool& left);
  HostCacheRef ether_entry(const NetAddress& a);
  const Slot* find_text_locked(std::string_view text) const REQUIRES_SHARED(tables_mutex_);
  // The slot's entry, its use noted.
  HostCacheRef use(const Slot* slot) const;
  // Settles the entry's name and host id, then publishes it (replacing a
  // provisional entry of its address). asked_name is the name a by-name
  // request asked for (empty for address requests).
  HostCacheRef publish_ipv4(std::shared_ptr<HostCacheEntry> e, const std::string& asked_name)
      REQUIRES(register_mutex_);
  // publish_ipv4, then the stored rows of a nameless host take the name
  // heard for its address before the entry was made.
  HostCacheRef register_ipv4(std::shared_ptr<HostCacheEntry> e, const std::string& asked_name)
      REQUIRES(register_mutex_);
  // A new slot for the entry, in the tables' list (tables lock held).
  Slot* add_slot(HostCacheRef entry, bool ether) REQUIRES(tables_mutex_);
  // Past the bound: drops the least recently found entries nobody holds and
  // hands back to the id store the ids no entry carries any more.
  void trim() REQUIRES(register_mutex_);
  // Enters the slot in the IPv4 name table under the name.
  void add_name(Slot& slot, const std::string& name) REQUIRES(tables_mutex_);
  // Takes the slot out of every table that leads to it.
  void unlink(const Slot& slot) REQUIRES(tables_mutex_);
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
  // everyone (shared). Every entry the tables keep has one slot; a slot no
  // table leads to any more (a provisional entry replaced by its answer)
  // stays until the bound takes it.
  mutable SharedMutex tables_mutex_;
  NameTable ipv4_names_ GUARDED_BY(tables_mutex_);
  AddressTable ipv4_addresses_ GUARDED_BY(tables_mutex_);
  NameTable ether_names_ GUARDED_BY(tables_mutex_);
  AddressTable ether_addresses_ GUARDED_BY(tables_mutex_);
  IdTable host_ids_ GUARDED_BY(tables_mutex_);
  std::vector<std::unique_ptr<Slot>> slots_ GUARDED_BY(tables_mutex_);
  std::atomic<std::size_t> max_entries_{0};
  // Entries made so far: the stamp a find leaves on its slot.
  std::atomic<std::uint64_t> use_clock_{0};
  std::atomic<std::uint64_t> offers_refused_{0};
  std::atomic<std::uint64_t> offers_asked_later_{0};
  // The entry count at which the bound is next looked at.
  std::size_t trim_at_ GUARDED_BY(register_mutex_) = 0;
  // Names heard on the wire, by IP address and by Ethernet address.
  HeardTable heard_ip_ GUARDED_BY(tables_mutex_);
  HeardTable heard_ether_ GUARDED_BY(tables_mutex_);
  std::uint64_t heard_clock_ GUARDED_BY(tables_mutex_) = 0;
};

// The cache's bound for a model bounded to `max_hosts` hosts (0: none):
// room for every present host's entry plus a quarter for the names of hosts
// gone, of URL hosts and of Ethernet adapters, and never under 1,024.
inline std::size_t host_cache_bound(std::size_t max_hosts) {
  if (max_hosts == 0) return 0;
  return std::max<std::size_t>(1024, max_hosts + max_hosts / 4);
}

}  // namespace tarnix
