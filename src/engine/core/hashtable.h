// Fixed 256-bucket chained hash table.
//
// Rules callers rely on (iteration orders shown in windows and reports follow
// from them):
//  - the bucket is the low 8 bits of the table's hash of the key;
//  - new entries go to the head of their chain, so chains are newest first;
//  - iteration is bucket 0..255, each chain from its head;
//  - insert() stores a copy of the value and releases the one it replaces;
//    set() adopts the value given and hands the replaced one back untouched.
// Ownership is expressed by the Value type: a std::unique_ptr value is owned
// and released with its entry, a raw pointer is not.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "core/hash.h"

namespace tarnix {

// Default traits: text keys, string_hash, byte-wise comparison.
template <class Key>
struct StringKeyTraits {
  static std::int32_t hash(std::string_view key) { return string_hash(key); }
  static int compare(std::string_view stored, std::string_view probe) {
    return stored.compare(probe);
  }
};

// Traits for identity keys (pointers): the bucket is the pointer's low bits.
template <class Key>
struct PointerKeyTraits {
  static std::int32_t hash(const Key key) {
    return static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(key));
  }
  static int compare(const Key stored, const Key probe) { return stored == probe ? 0 : 1; }
};

template <class Key, class Value, class Traits = StringKeyTraits<Key>>
class HashTable {
 public:
  static constexpr int kBuckets = 256;

  struct Entry {
    Entry* next;
    Key key;
    Value value;
  };

  HashTable() = default;
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;
  ~HashTable() { clear(); }

  int count() const { return count_; }

  template <class Probe>
  static int bucket_of(const Probe& key) {
    return static_cast<int>(static_cast<std::uint32_t>(Traits::hash(key)) & 0xFFu);
  }

  // Stored value for the key, or null.
  template <class Probe>
  Value* find(const Probe& key) {
    Entry* e = find_entry(key);
    return e ? &e->value : nullptr;
  }
  template <class Probe>
  const Value* find(const Probe& key) const {
    const Entry* e = const_cast<HashTable*>(this)->find_entry(key);
    return e ? &e->value : nullptr;
  }

  // True and a copy of the stored value, or false and a value-initialised
  // out.
  template <class Probe>
  bool lookup(const Probe& key, Value& out) const {
    if (const Value* v = find(key)) {
      out = *v;
      return true;
    }
    out = Value{};
    return false;
  }

  // The table's own stored key (one shared copy of a string), or null.
  template <class Probe>
  const Key* lookup_key(const Probe& key) const {
    const Entry* e = const_cast<HashTable*>(this)->find_entry(key);
    return e ? &e->key : nullptr;
  }

  // Present: the old value is released and a copy stored, returns true.
  // Absent: a new entry at the head of its chain, returns false.
  bool insert(const Key& key, const Value& value) {
    if (Entry* e = find_entry(key)) {
      e->value = value;
      return true;
    }
    push(key, Value(value));
    return false;
  }

  // Present: the given value replaces the stored one, which is handed back
  // through `previous` (when given) instead of being released; returns true.
  // Absent: new entry adopting the value, returns false.
  bool set(const Key& key, Value value, Value* previous = nullptr) {
    if (Entry* e = find_entry(key)) {
      if (previous != nullptr) {
        *previous = std::move(e->value);
      }
      e->value = std::move(value);
      return true;
    }
    push(key, std::move(value));
    return false;
  }

  // Adds an entry whose key the caller knows to be absent, without looking
  // through its bucket first.
  void add_new(const Key& key, Value value) { push(key, std::move(value)); }

  // Removes every entry whose value pred(value) accepts, handing the value
  // to take(value&&) first: one pass over the whole table.
  template <class Pred, class Take>
  void remove_if(Pred&& pred, Take&& take) {
    for (Entry*& head : buckets_) {
      Entry** link = &head;
      while (Entry* e = *link) {
        if (pred(e->value)) {
          *link = e->next;
          take(std::move(e->value));
          delete e;
          --count_;
        } else {
          link = &e->next;
        }
      }
    }
  }

  // Removes the first matching entry and hands its value back (a
  // value-initialised one when there is none).
  template <class Probe>
  Value take(const Probe& key) {
    Entry** link = &buckets_[bucket_of(key)];
    for (Entry* e = *link; e != nullptr; link = &e->next, e = e->next) {
      if (Traits::compare(e->key, key) == 0) {
        *link = e->next;
        Value out = std::move(e->value);
        delete e;
        --count_;
        return out;
      }
    }
    return Value{};
  }

  // Removes the first matching entry (releasing key and value); false when
  // there is none.
  template <class Probe>
  bool remove(const Probe& key) {
    Entry** link = &buckets_[bucket_of(key)];
    for (Entry* e = *link; e != nullptr; link = &e->next, e = e->next) {
      if (Traits::compare(e->key, key) == 0) {
        *link = e->next;
        delete e;
        --count_;
        return true;
      }
    }
    return false;
  }

  // fn(const Key&, Value&) for every entry, buckets 0..255, chain order.
  // fn must not add or remove entries.
  template <class Fn>
  void foreach(Fn&& fn) {
    for (Entry* head : buckets_)
      for (Entry* e = head; e != nullptr; e = e->next) fn(static_cast<const Key&>(e->key), e->value);
  }
  template <class Fn>
  void foreach(Fn&& fn) const {
    for (const Entry* head : buckets_)
      for (const Entry* e = head; e != nullptr; e = e->next) fn(e->key, e->value);
  }

  const Entry* bucket_head(int bucket) const { return buckets_[bucket & 0xFF]; }

  // Releases every key and value, leaving an empty table.
  void clear() {
    for (Entry*& head : buckets_) {
      while (head != nullptr) {
        Entry* next = head->next;
        delete head;
        head = next;
      }
    }
    count_ = 0;
  }

 private:
  template <class Probe>
  Entry* find_entry(const Probe& key) {
    for (Entry* e = buckets_[bucket_of(key)]; e != nullptr; e = e->next)
      if (Traits::compare(e->key, key) == 0) return e;
    return nullptr;
  }

  void push(const Key& key, Value&& value) {
    int b = bucket_of(key);
    buckets_[b] = new Entry{buckets_[b], Key(key), std::move(value)};
    ++count_;
  }

  Entry* buckets_[kBuckets] = {};
  int count_ = 0;
};

}  // namespace tarnix
