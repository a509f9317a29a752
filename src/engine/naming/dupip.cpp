#include "naming/dupip.h"

#include <algorithm>
#include <ctime>

#include "core/wire_text.h"
#include "naming/host_cache.h"

namespace tarnix {

namespace {

bool is_ether(const NetAddress* a) {
  return a != nullptr && a->type == &kEtherAddressType;
}

std::int32_t wall_clock() {
  return static_cast<std::int32_t>(std::time(nullptr));
}

bool listed(const std::vector<NetAddress>& ethers, const NetAddress& a) {
  for (const NetAddress& e : ethers)
    if (netaddr_compare(e, a) == 0) return true;
  return false;
}

}  // namespace

DupIp::DupIp(DupIpNotifier* notifier, Clock clock)
    : notifier_(notifier), clock_(clock ? std::move(clock) : Clock(wall_clock)) {}

DupIp::~DupIp() = default;

void DupIp::open() {
  MutexLock lock(mutex_);
  if (!table_) table_ = std::make_unique<Table>();
  detecting_.store(true, std::memory_order_release);
}

void DupIp::close() {
  detecting_.store(false, std::memory_order_release);
  std::unique_ptr<Table> old;
  {
    MutexLock lock(mutex_);
    old = std::move(table_);
  }
  // Entries are released outside the lock; nobody else can reach them now.
}

bool DupIp::is_open() const {
  MutexLock lock(mutex_);
  return table_ != nullptr;
}

DupIpReport DupIp::copy_of(const Entry& e) {
  return DupIpReport{e.address, e.last_change, e.ethers};
}

void DupIp::record(const NetAddress* ipv4, const NetAddress* recorded_ether, const NetAddress* new_ether) {
  if (ipv4 == nullptr || !(ipv4->is_ipv4() || ipv4->is_ipv6()) || !is_ether(new_ether)) return;
  std::int32_t now = clock_();
  DupIpReport report;
  bool found_new = false;
  bool grew = false;
  {
    MutexLock lock(mutex_);
    if (!table_) return;
    std::unique_ptr<Entry>* slot = table_->find(*ipv4);
    Entry* e;
    if (slot != nullptr) {
      e = slot->get();
      if (!listed(e->ethers, *new_ether)) {
        e->ethers.push_back(*new_ether);
        grew = true;
      }
    } else {
      auto fresh = std::make_unique<Entry>();
      fresh->address = *ipv4;
      fresh->ethers.push_back(*new_ether);
      // The same address twice would show one station as two.
      if (is_ether(recorded_ether) && !listed(fresh->ethers, *recorded_ether)) {
        fresh->ethers.push_back(*recorded_ether);
      }
      e = fresh.get();
      table_->set(*ipv4, std::move(fresh));
      found_new = true;
    }
    e->last_change = now;
    if ((found_new || grew) && notifier_ != nullptr) report = copy_of(*e);
  }
  if (notifier_ != nullptr) {
    if (found_new)
      notifier_->duplicate_found(report);
    else if (grew)
      notifier_->duplicate_grew(report);
  }
}

bool DupIp::remove(const NetAddress& ipv4) {
  MutexLock lock(mutex_);
  if (!table_ || !(ipv4.is_ipv4() || ipv4.is_ipv6())) return false;
  return table_->remove(ipv4) == 1;
}

std::vector<DupIpReport> DupIp::snapshot() const {
  std::vector<DupIpReport> out;
  MutexLock lock(mutex_);
  if (!table_) return out;
  out.reserve(static_cast<std::size_t>(table_->count()));
  table_->foreach ([&](const NetAddress&, const std::unique_ptr<Entry>& e) { out.push_back(copy_of(*e)); });
  return out;
}

std::optional<DupIpReport> DupIp::find(const NetAddress& ipv4) const {
  MutexLock lock(mutex_);
  if (!table_ || !(ipv4.is_ipv4() || ipv4.is_ipv6())) return std::nullopt;
  const std::unique_ptr<Entry>* e = table_->find(ipv4);
  if (e == nullptr) return std::nullopt;
  return copy_of(**e);
}

int DupIp::count() const {
  MutexLock lock(mutex_);
  return table_ ? table_->count() : 0;
}

std::string DupIp::listing(const HostCache* names) const {
  std::string out;
  for (const DupIpReport& r : snapshot()) {
    out += dupip_row_text(r.address, dupip_host_name(names, r.address));
    out += '\n';
    for (const NetAddress& e : r.ethers) {
      out += "    ";
      out += netaddr_text(e);
      out += '\n';
    }
  }
  return out;
}

std::string dupip_row_text(const NetAddress& ipv4, std::string_view name) {
  std::string row = netaddr_text(ipv4);
  if (name.empty()) return row;
  if (row.size() < kDupIpNameColumn) row.resize(kDupIpNameColumn, ' ');
  // A long name is cut where the row ends rather than written past it.
  row.append(name.substr(0, kDupIpRowChars - std::min(row.size(), kDupIpRowChars)));
  return row;
}

std::string dupip_host_name(const HostCache* names, const NetAddress& ipv4) {
  if (names == nullptr) return {};
  // Every source the cache has: a name heard on the wire too.
  return names->name_of(ipv4, nullptr).name;
}

std::string dupip_ether_row_text(const HostCache* names, const NetAddress& ether) {
  if (names == nullptr) return netaddr_text(ether);
  std::string name = names->ether_name(ether);
  if (name.empty() && names->show_makers()) {
    name = names->ether_label(ether);
    if (name == netaddr_text(ether)) name.clear();  // no maker known
  }
  return dupip_row_text(ether, name);
}

std::string LogDupIpNotifier::line(const DupIpReport& report, std::string_view name) {
  std::string out = "duplicate IP address " + netaddr_text(report.address);
  if (!name.empty()) {
    // A reverse answer is whatever the address's owner put in its zone.
    out += " (";
    out += escape_text(name);
    out += ')';
  }
  out += ':';
  for (const NetAddress& e : report.ethers) {
    out += ' ';
    out += netaddr_text(e);
  }
  out += '\n';
  return out;
}

void LogDupIpNotifier::duplicate_found(const DupIpReport& report) {
  std::string text = line(report, dupip_host_name(names_, report.address));
  MutexLock lock(mutex_);
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
}

void LogDupIpNotifier::duplicate_grew(const DupIpReport& report) {
  duplicate_found(report);
}

}  // namespace tarnix
