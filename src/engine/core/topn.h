// Ranking of at most 50 records, largest value first, kept incrementally.
// The ranking does not own its records; each record keeps its own position
// (-1 when unranked), reached through the Traits:
//   static int compare(const Item*, const Item*)   -1 / 0 / 1 by value
//   static int get_position(const Item*)
//   static void set_position(Item*, int)
//   static std::string name(const Item*)
//   static std::uint64_t value(const Item*)
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
    if (i < 0 || i > kCapacity) {
      result = -1;
    } else if (i == 0) {
      items_[0] = item;
      count_ = 1;
      result = 0;
    } else if (Traits::compare(items_[i - 1], item) < 0) {
      if (i == kCapacity) {
        Traits::set_position(items_[i - 1], -1);
      } else {
        items_[i] = items_[i - 1];
        Traits::set_position(items_[i], i);
        ++count_;
      }
      int j = i - 1;
      while (j >= 1 && Traits::compare(items_[j - 1], item) < 0) {
        items_[j] = items_[j - 1];
        Traits::set_position(items_[j], j);
        --j;
      }
      items_[j] = item;
      result = j;
    } else if (i < kCapacity) {
      items_[i] = item;
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
    if (n <= 0 || n >= count_ || items_[n] != item) return;
    while (n >= 1 && Traits::compare(items_[n - 1], items_[n]) < 0) {
      std::swap(items_[n - 1], items_[n]);
      Traits::set_position(items_[n], n);
      Traits::set_position(items_[n - 1], n - 1);
      --n;
    }
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
  int count_ = 0;
  Item* items_[kCapacity] = {};
};

// compare() for Traits whose value() is a number.
template <class T>
int compare_values(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace tarnix
