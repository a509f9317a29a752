// Counted references to host-name cache entries, and the slot a record that
// other threads read keeps one in.
#pragma once

#include <memory>
#include <utility>

#include "core/mutex.h"

namespace tarnix {

struct HostCacheEntry;

// The entry stays valid while the reference is held.
using HostCacheRef = std::shared_ptr<const HostCacheEntry>;

// One reference that one thread stores while others load it (a traffic-model
// host's entry: the resolver's completion stores, the capture, GUI and
// service threads read). Each access holds, for a copy of the reference, one
// of a fixed set of locks chosen by the slot's address, so a slot costs no
// more than the reference itself. std::atomic<std::shared_ptr> would do the
// same, but the standard library here unlocks after a load without a release,
// which leaves the read of the pointer unordered with the next store.
class HostCacheRefSlot {
 public:
  HostCacheRefSlot() = default;
  HostCacheRefSlot(const HostCacheRefSlot&) = delete;
  HostCacheRefSlot& operator=(const HostCacheRefSlot&) = delete;
  ~HostCacheRefSlot() = default;  // nobody else uses a slot being destroyed

  HostCacheRef load() const {
    MutexLock lock(lock_for(this));
    return ref_;
  }
  void store(HostCacheRef ref) {
    {
      MutexLock lock(lock_for(this));
      ref_.swap(ref);
    }
    // The reference let go of (perhaps the entry's last) is dropped with no
    // lock held.
  }

 private:
  static Mutex& lock_for(const void* slot);
  HostCacheRef ref_;
};

}  // namespace tarnix
