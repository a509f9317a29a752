// Slots for the model's many records of one type, cut from large blocks.
//
// A host or link record is aligned to a cache line; the general allocator
// serves such a request with its own header and the slack of aligning it,
// which on a network of a hundred thousand hosts is megabytes of nothing.
// Slots here sit back to back at the record's own alignment. A released slot
// goes to the pool's free list, not back to the system: the model's bound
// keeps the number of records, and so the pool, from growing past it.
//
// Under AddressSanitizer records come from the general allocator, so that a
// read of a released record is still caught there.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "core/mutex.h"

#if defined(__SANITIZE_ADDRESS__)
#define TARNIX_RECORD_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNIX_RECORD_POOL 0
#endif
#endif
#ifndef TARNIX_RECORD_POOL
#define TARNIX_RECORD_POOL 1
#endif

namespace tarnix {

template <class Record>
class RecordPool {
 public:
  static constexpr std::size_t kSlot = sizeof(Record);  // a multiple of its alignment
  static constexpr std::size_t kAlign = alignof(Record) < alignof(void*) ? alignof(void*) : alignof(Record);
  static constexpr std::size_t kSlotsPerBlock =
      kSlot >= (std::size_t{64} << 10) ? 1 : (std::size_t{64} << 10) / kSlot;

  static void* take(std::size_t size) {
    if (!TARNIX_RECORD_POOL || size != kSlot) return ::operator new (size, std::align_val_t{kAlign});
    RecordPool& p = pool();
    MutexLock held(p.mutex_);
    if (p.free_ == nullptr) p.add_block();
    FreeSlot* s = p.free_;
    p.free_ = s->next;
    ++p.in_use_;
    return s;
  }

  // Slots taken from the pool's blocks and not given back: none when
  // records come from the general allocator, which then counts them.
  static std::size_t slots_in_use() {
    RecordPool& p = pool();
    MutexLock held(p.mutex_);
    return p.in_use_;
  }

  static void give(void* slot, std::size_t size) noexcept {
    if (slot == nullptr) return;
    if (!TARNIX_RECORD_POOL || size != kSlot) {
      ::operator delete (slot, std::align_val_t{kAlign});
      return;
    }
    RecordPool& p = pool();
    MutexLock held(p.mutex_);
    p.free_ = new (slot) FreeSlot{p.free_};
    --p.in_use_;
  }

 private:
  struct FreeSlot {
    FreeSlot* next;
  };

  static RecordPool& pool() {
    // Never destroyed: records of static objects may be released after
    // other statics are gone.
    static RecordPool* p = new RecordPool;
    return *p;
  }

  void add_block() REQUIRES(mutex_) {
    auto* block = static_cast<std::byte*>(::operator new (kSlot* kSlotsPerBlock, std::align_val_t{kAlign}));
    blocks_.push_back(block);
    for (std::size_t i = kSlotsPerBlock; i-- > 0;) free_ = new (block + i * kSlot) FreeSlot{free_};
  }

  Mutex mutex_;
  FreeSlot* free_ GUARDED_BY(mutex_) = nullptr;
  std::size_t in_use_ GUARDED_BY(mutex_) = 0;
  std::vector<std::byte*> blocks_ GUARDED_BY(mutex_);  // kept for the leak checker
};

}  // namespace tarnix

// In a record type: its records come from RecordPool<Type>.
#define TARNIX_POOLED_RECORD(Type)                                                    \
  static void* operator new(std::size_t size) {                                       \
    return ::tarnix::RecordPool<Type>::take(size);                                    \
  }                                                                                   \
  static void* operator new(std::size_t size, std::align_val_t) {                     \
    return ::tarnix::RecordPool<Type>::take(size);                                    \
  }                                                                                   \
  static void operator delete(void* p, std::size_t size) noexcept {                   \
    ::tarnix::RecordPool<Type>::give(p, size);                                        \
  }                                                                                   \
  static void operator delete(void* p, std::size_t size, std::align_val_t) noexcept { \
    ::tarnix::RecordPool<Type>::give(p, size);                                        \
  }
