// Ranking of at most 50 records, largest value first, kept incrementally.
// The ranking does not own its records; each record keeps its own position
// (-1 when unranked), reached through the Traits:
//   static int compare(const Item*, const Item*)   -1 / 0 / 1 by value
//   static int get_position(const Item*)
//   static void set_position(Item*, int)
//   static std::string name(const Item*)
//   static std::uint64_t value(const Item*)
// Traits may also declare `static constexpr bool kCacheValues = true` when
// compare() orders by value() and every change of a ranked item's value is
// followed by update() for that item: the ranking then keeps each held
// item's value beside it and weighs an item against its neighbours without
// reading their records, which on a busy capture are rarely in the cache.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarnix {

struct TopNEntry {
  bool has_name = false;
  std::string name;
  std::uint64_t value = 0;
};

// compare() for Traits whose value() is a number.
template <class T>
int compare_values(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

template <class Item, class Traits>
class TopN {
 public:
  static constexpr int kCapacity = 50;

  int count() const { return count_; }
  Item* at(int i) const { return (i >= 0 && i < count_) ? items_[i] : nullptr; }

  // Empties the ranking; records keep whatever position they had, as callers
  // that re-insert everything reset those themselves.
  void reset() { count_ = 0; }

  // For an item whose position is -1. A new item goes behind every held item
  // of equal value; a full ranking only takes an item whose value exceeds the
  // smallest held one, which then drops out with position -1.
  int insert(Item* item) {
    int i = count_;
    int result;
    const std::uint64_t v = value_of(item);
    if (i < 0 || i > kCapacity) {
      result = -1;
    } else if (i == 0) {
      place(0, item, v);
      count_ = 1;
      result = 0;
    } else if (compare_at(i - 1, item, v) < 0) {
      if (i == kCapacity) {
        Traits::set_position(items_[i - 1], -1);
      } else {
        place(i, items_[i - 1], values_[i - 1]);
        Traits::set_position(items_[i], i);
        ++count_;
      }
      int j = i - 1;
      while (j >= 1 && compare_at(j - 1, item, v) < 0) {
        place(j, items_[j - 1], values_[j - 1]);
        Traits::set_position(items_[j], j);
        --j;
      }
      place(j, item, v);
      result = j;
    } else if (i < kCapacity) {
      place(i, item, v);
      count_ = i + 1;
      result = i;
    } else {
      result = -1;
    }
    Traits::set_position(item, result);
    return result;
  }

  // For a ranked item whose value has grown: bubbles it up past smaller
  // neighbours. Equal values never swap; nothing moves down.
  void update(Item* item) {
    int n = Traits::get_position(item);
    if (n < 0 || n >= count_ || items_[n] != item) return;
    if constexpr (kCached) {
      // The item's value stays in a register while it moves up: reading it
      // back from the slot just written stalls the comparison.
      const std::uint64_t v = Traits::value(item);
      while (n >= 1 && compare_values(values_[n - 1], v) < 0) {
        place(n, items_[n - 1], values_[n - 1]);
        Traits::set_position(items_[n], n);
        --n;
      }
      place(n, item, v);
      Traits::set_position(item, n);
    } else {
      while (n >= 1 && Traits::compare(items_[n - 1], items_[n]) < 0) {
        std::swap(items_[n - 1], items_[n]);
        Traits::set_position(items_[n], n);
        Traits::set_position(items_[n - 1], n - 1);
        --n;
      }
    }
  }

  // Takes a held item out; those below it move up a place.
  void remove(Item* item) {
    const int n = Traits::get_position(item);
    if (n < 0 || n >= count_ || items_[n] != item) return;
    for (int j = n; j + 1 < count_; ++j) {
      place(j, items_[j + 1], values_[j + 1]);
      Traits::set_position(items_[j], j);
    }
    --count_;
    items_[count_] = nullptr;
    Traits::set_position(item, -1);
  }

  void resort() {
    for (int i = 0; i < count_; ++i) update(items_[i]);
  }

  // One entry per held item in rank order; when fewer than kCapacity are
  // held, an entry with no name and value 0 marks the end.
  std::vector<TopNEntry> snapshot() const {
    std::vector<TopNEntry> out;
    out.reserve(static_cast<std::size_t>(count_) + 1);
    for (int i = 0; i < count_; ++i) out.push_back({true, Traits::name(items_[i]), Traits::value(items_[i])});
    if (count_ < kCapacity) out.push_back({});
    return out;
  }

 private:
  static constexpr bool cached() {
    if constexpr (requires { Traits::kCacheValues; })
      return Traits::kCacheValues;
    else
      return false;
  }
  static constexpr bool kCached = cached();

  static std::uint64_t value_of(const Item* item) {
    if constexpr (kCached)
      return Traits::value(item);
    else
      return 0;
  }
  // The held item at j against `item` (whose value is v when cached).
  int compare_at(int j, const Item* item, std::uint64_t v) const {
    if constexpr (kCached)
      return compare_values(values_[j], v);
    else
      return Traits::compare(items_[j], item);
  }
  void place(int j, Item* item, std::uint64_t v) {
    items_[j] = item;
    values_[j] = v;
  }

  int count_ = 0;
  Item* items_[kCapacity] = {};
  std::uint64_t values_[kCapacity] = {};  // only kept when kCached
};

}  // namespace tarnix
