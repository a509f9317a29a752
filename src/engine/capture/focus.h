// The protocol focus as the traffic model sees it: an ordered list of
// protocols with a palette colour each. The focus work owns and edits it; the
// capture thread only reads whichever list is active when it ticks.
#pragma once

#include <memory>
#include <vector>

#include "core/mutex.h"

namespace tarnix {

struct protocol_node;

struct FocusEntry {
  const protocol_node* protocol = nullptr;
  int colour = 0;  // palette index 0..31
};
using FocusList = std::vector<FocusEntry>;

class FocusSource {
 public:
  virtual ~FocusSource() = default;
  // The active focus, or null when there is none. The list handed out never
  // changes; a new focus is a new list.
  virtual std::shared_ptr<const FocusList> active_focus() const = 0;
};

// A focus that another thread can replace at any time.
class SharedFocus final : public FocusSource {
 public:
  std::shared_ptr<const FocusList> active_focus() const override {
    MutexLock g(mutex_);
    return focus_;
  }
  void set(std::shared_ptr<const FocusList> focus) {
    MutexLock g(mutex_);
    focus_ = std::move(focus);
  }

 private:
  mutable Mutex mutex_;
  std::shared_ptr<const FocusList> focus_ GUARDED_BY(mutex_);
};

}  // namespace tarnix
