#include <algorithm>

#include "naming/host_cache.h"

namespace tarnix {

namespace {

bool same_address(const NetAddress& a, const NetAddress& b) {
  return a.type != nullptr && a.type == b.type && netaddr_compare(a, b) == 0;
}

}  // namespace

std::int32_t MemoryHostIdStore::find_by_address(const NetAddress& address) const {
  for (const Row& row : rows_)
    if (same_address(row.address, address)) return row.id;
  return 0;
}

std::int32_t MemoryHostIdStore::find_by_name(const std::string& name) const {
  for (const Row& row : rows_)
    if (row.name == name) return row.id;
  return 0;
}

std::int32_t MemoryHostIdStore::find_id(const std::string& name, const NetAddress& address) {
  MutexLock lock(mutex_);
  bool by_name = !name.empty();
  bool by_address = address.type != nullptr;
  for (const Row& row : rows_) {
    if (by_name && row.name != name) continue;
    if (by_address && !same_address(row.address, address)) continue;
    if (by_name || by_address) return row.id;
  }
  return 0;
}

// Like the database's host rows: a host already stored under one of its
// addresses (or, failing that, its name) keeps its id and has its rows
// replaced; anything else gets the next id.
std::int32_t MemoryHostIdStore::store(const HostCacheEntry& entry) {
  MutexLock lock(mutex_);
  ++store_calls_;
  std::int32_t id = 0;
  std::vector<NetAddress> addresses;
  if (entry.host) {
    for (const auto& bytes : entry.host->addresses) addresses.push_back(NetAddress::ipv4(bytes.data()));
  }
  if (entry.address.type != nullptr &&
      std::none_of(addresses.begin(), addresses.end(),
                   [&](const NetAddress& a) { return same_address(a, entry.address); })) {
    addresses.push_back(entry.address);
  }
  for (const NetAddress& a : addresses) {
    if ((id = find_by_address(a)) != 0) break;
  }
  if (id == 0 && entry.host && !entry.host->name.empty()) id = find_by_name(entry.host->name);
  if (id == 0) id = ++max_id_;

  std::erase_if(rows_, [&](const Row& row) {
    if (row.id != id) return false;
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](const NetAddress& a) { return same_address(row.address, a); }) ||
           (entry.host && !entry.host->name.empty() && row.name == entry.host->name);
  });
  if (entry.host) {
    for (const NetAddress& a : addresses) rows_.push_back(Row{id, entry.name, a});
    if (addresses.empty()) rows_.push_back(Row{id, entry.name, entry.address});
    for (const std::string& alias : entry.host->aliases) rows_.push_back(Row{id, alias, entry.address});
  } else {
    rows_.push_back(Row{id, entry.name, entry.address});
  }
  return id;
}

bool MemoryHostIdStore::rename(std::int32_t id, const NetAddress& address, const std::string& name) {
  MutexLock lock(mutex_);
  for (Row& row : rows_)
    if (row.id == id && same_address(row.address, address)) row.name = name;
  return true;
}

std::vector<MemoryHostIdStore::Row> MemoryHostIdStore::rows() const {
  MutexLock lock(mutex_);
  return rows_;
}

int MemoryHostIdStore::store_calls() const {
  MutexLock lock(mutex_);
  return store_calls_;
}

}  // namespace tarnix
