#include <algorithm>

#include "naming/host_cache.h"

namespace tarnix {

namespace {

bool same_address(const NetAddress& a, const NetAddress& b) {
  return a.type != nullptr && a.type == b.type && netaddr_compare(a, b) == 0;
}

void drop_seq(std::vector<std::uint64_t>& seqs, std::uint64_t seq) {
  auto it = std::find(seqs.begin(), seqs.end(), seq);
  if (it != seqs.end()) seqs.erase(it);
}

}  // namespace

void MemoryHostIdStore::add_row(Row row) {
  const Seq seq = next_seq_++;
  if (std::optional<HeardKey> k = row.address.type != nullptr ? heard_key(row.address) : std::nullopt)
    by_address_[*k].push_back(seq);
  by_name_[row.name].push_back(seq);
  by_id_[row.id].push_back(seq);
  rows_.emplace(seq, std::move(row));
}

void MemoryHostIdStore::drop_row(Seq seq) {
  auto it = rows_.find(seq);
  if (it == rows_.end()) return;
  const Row& row = it->second;
  // An index left empty goes too: a store that churns through addresses
  // keeps no trace of those it let go of.
  auto drop_from = [seq](auto& index, const auto& key) {
    auto at = index.find(key);
    if (at == index.end()) return;
    drop_seq(at->second, seq);
    if (at->second.empty()) index.erase(at);
  };
  if (std::optional<HeardKey> k = row.address.type != nullptr ? heard_key(row.address) : std::nullopt)
    drop_from(by_address_, *k);
  drop_from(by_name_, row.name);
  drop_from(by_id_, row.id);
  rows_.erase(it);
}

template <class Accept>
const MemoryHostIdStore::Row* MemoryHostIdStore::first_of_address(const NetAddress& address,
                                                                  Accept&& accept) const {
  if (address.type == nullptr) return nullptr;
  const std::optional<HeardKey> k = heard_key(address);
  if (!k) return nullptr;
  auto at = by_address_.find(*k);
  if (at == by_address_.end()) return nullptr;
  // Sequence numbers only grow, and rows are added at the end of each list.
  for (Seq seq : at->second) {
    const Row& row = rows_.at(seq);
    if (same_address(row.address, address) && accept(row)) return &row;
  }
  return nullptr;
}

template <class Accept>
const MemoryHostIdStore::Row* MemoryHostIdStore::first_of_name(const std::string& name,
                                                               Accept&& accept) const {
  auto at = by_name_.find(name);
  if (at == by_name_.end()) return nullptr;
  for (Seq seq : at->second) {
    const Row& row = rows_.at(seq);
    if (accept(row)) return &row;
  }
  return nullptr;
}

std::int32_t MemoryHostIdStore::find_id(const std::string& name, const NetAddress& address) {
  MutexLock lock(mutex_);
  const bool by_name = !name.empty();
  const Row* row = nullptr;
  if (address.type != nullptr)
    row = first_of_address(address, [&](const Row& r) { return !by_name || r.name == name; });
  else if (by_name)
    row = first_of_name(name, [](const Row&) { return true; });
  return row != nullptr ? row->id : 0;
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
  const auto any = [](const Row&) { return true; };
  for (const NetAddress& a : addresses) {
    if (const Row* row = first_of_address(a, any)) {
      id = row->id;
      break;
    }
  }
  const bool named = entry.host && !entry.host->name.empty();
  if (id == 0 && named) {
    if (const Row* row = first_of_name(entry.host->name, any)) id = row->id;
  }
  if (id == 0) id = ++max_id_;

  if (auto rows = by_id_.find(id); rows != by_id_.end()) {
    std::vector<Seq> replaced;
    for (Seq seq : rows->second) {
      const Row& row = rows_.at(seq);
      if (std::any_of(addresses.begin(), addresses.end(),
                      [&](const NetAddress& a) { return same_address(row.address, a); }) ||
          (named && row.name == entry.host->name))
        replaced.push_back(seq);
    }
    for (Seq seq : replaced) drop_row(seq);
  }
  if (entry.host) {
    for (const NetAddress& a : addresses) add_row(Row{id, entry.name, a});
    if (addresses.empty()) add_row(Row{id, entry.name, entry.address});
    for (const std::string& alias : entry.host->aliases) add_row(Row{id, alias, entry.address});
  } else {
    add_row(Row{id, entry.name, entry.address});
  }
  return id;
}

bool MemoryHostIdStore::rename(std::int32_t id, const NetAddress& address, const std::string& name) {
  MutexLock lock(mutex_);
  auto rows = by_id_.find(id);
  if (rows == by_id_.end()) return true;
  std::vector<Seq> renamed;
  for (Seq seq : rows->second)
    if (same_address(rows_.at(seq).address, address)) renamed.push_back(seq);
  for (Seq seq : renamed) {
    Row& row = rows_.at(seq);
    if (auto at = by_name_.find(row.name); at != by_name_.end()) {
      drop_seq(at->second, seq);
      if (at->second.empty()) by_name_.erase(at);
    }
    row.name = name;
    // In its place by the order of storing, which decides which row answers.
    Seqs& seqs = by_name_[row.name];
    seqs.insert(std::upper_bound(seqs.begin(), seqs.end(), seq), seq);
  }
  return true;
}

void MemoryHostIdStore::release(std::int32_t id) {
  MutexLock lock(mutex_);
  auto rows = by_id_.find(id);
  if (rows == by_id_.end()) return;
  const std::vector<Seq> seqs = rows->second;
  for (Seq seq : seqs) drop_row(seq);
}

std::vector<MemoryHostIdStore::Row> MemoryHostIdStore::rows() const {
  MutexLock lock(mutex_);
  std::vector<Row> out;
  out.reserve(rows_.size());
  for (const auto& [seq, row] : rows_) out.push_back(row);
  return out;
}

int MemoryHostIdStore::store_calls() const {
  MutexLock lock(mutex_);
  return store_calls_;
}

}  // namespace tarnix
