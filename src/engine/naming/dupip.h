// Duplicate IPv4 address detection: hosts whose frames arrive from more than
// one Ethernet address.
//
// The frame handler (capture thread) reads the detection switch and reports
// through record(); the window or the headless program opens, lists, removes
// and closes on their own threads. The table and its entries are only touched
// under the object's lock; readers get copies.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hashtable.h"
#include "core/mutex.h"
#include "naming/netaddr.h"

namespace tarnix {

class HostCache;

// Copy of one duplicate entry.
struct DupIpReport {
  NetAddress address;              // the IPv4 address claimed
  std::int32_t last_change = 0;    // calendar seconds of the latest report for it
  std::vector<NetAddress> ethers;  // distinct Ethernet addresses, in the order first reported
};

// Told about findings, on the thread that reports the frame; must not block.
class DupIpNotifier {
 public:
  virtual ~DupIpNotifier() = default;
  // First report for an address: the desktop beeps, the headless program prints.
  virtual void duplicate_found(const DupIpReport& report) = 0;
  // One more Ethernet address for an address already listed (no beep).
  virtual void duplicate_grew(const DupIpReport&) {}
};

class DupIp {  // dupip
 public:
  using Clock = std::function<std::int32_t()>;
  // clock gives calendar seconds; the wall clock when empty.
  explicit DupIp(DupIpNotifier* notifier = nullptr, Clock clock = {});
  DupIp(const DupIp&) = delete;
  DupIp& operator=(const DupIp&) = delete;
  ~DupIp();

  // Creates the table and switches detection on; when already open nothing
  // is reset.
  void open();
  // Switches detection off and forgets everything found.
  void close();
  bool is_open() const;

  // The switch the frame handler tests before it compares Ethernet addresses.
  bool detecting() const { return detecting_.load(std::memory_order_acquire); }

  // A known IPv4 or IPv6 source seen from an Ethernet address other than
  // the one recorded for it. Does nothing while closed or without an IP
  // address or a new Ethernet address.
  void record(const NetAddress* ipv4, const NetAddress* recorded_ether, const NetAddress* new_ether);
  void record(const NetAddress& ipv4, const NetAddress& recorded_ether, const NetAddress& new_ether) {
    record(&ipv4, &recorded_ether, &new_ether);
  }

  // Forgets one address: true when it was listed.
  bool remove(const NetAddress& ipv4);

  // Every entry, in table order (what the window lists).
  std::vector<DupIpReport> snapshot() const;
  std::optional<DupIpReport> find(const NetAddress& ipv4) const;
  int count() const;

  // Printable listing: each address row (dupip_row_text, named from the
  // cache when it knows a name) followed by its Ethernet addresses, one per
  // line, indented by four blanks. names may be null.
  std::string listing(const HostCache* names) const;

 private:
  struct Entry {
    std::int32_t last_change = 0;
    NetAddress address;
    std::vector<NetAddress> ethers;
  };
  using Table = HashTable<NetAddress, std::unique_ptr<Entry>, NetAddressKeyTraits>;
  static DupIpReport copy_of(const Entry& e);

  DupIpNotifier* notifier_;
  Clock clock_;
  std::atomic<bool> detecting_{false};
  mutable Mutex mutex_;
  std::unique_ptr<Table> table_ GUARDED_BY(mutex_);  // exists only while open
};

// The window's row for an address: its dotted text, and when a name is known
// the name from column 20 on, within 79 characters.
std::string dupip_row_text(const NetAddress& ipv4, std::string_view name);
constexpr std::size_t kDupIpNameColumn = 20;
constexpr std::size_t kDupIpRowChars = 79;

// The name the cache has for an address, or empty.
std::string dupip_host_name(const HostCache* names, const NetAddress& ipv4);
// An Ethernet row of the window: the colon text and, from the same column as
// host names, the adapter's name (ethers file, DHCP) or, when makers are
// shown, "Maker_xx:yy:zz".
std::string dupip_ether_row_text(const HostCache* names, const NetAddress& ether);

// One line per finding, for a program without a window:
//   "duplicate IP address 10.0.0.5 (name): 02:00:00:00:00:0b 02:00:00:00:00:0a\n"
// ("(name)" only when the cache knows one).
class LogDupIpNotifier final : public DupIpNotifier {
 public:
  explicit LogDupIpNotifier(std::FILE* out, const HostCache* names = nullptr) : out_(out), names_(names) {}
  void duplicate_found(const DupIpReport& report) override;
  void duplicate_grew(const DupIpReport& report) override;
  static std::string line(const DupIpReport& report, std::string_view name);

 private:
  std::FILE* out_;
  const HostCache* names_;
  Mutex mutex_;
};

}  // namespace tarnix
