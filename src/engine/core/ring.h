// The one-second frame window: a circular buffer of the frames of the last
// second of capture time, from which every per-second count comes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/timer.h"

namespace tarnix {

// What the window keeps of a frame; whose it was, the caller keeps beside
// it (see ring_grow_beside).
struct WindowEntry {
  std::uint16_t length = 0;  // length on the wire, kept in 16 bits
  TimeValue time;
};

struct FrameWindow {
  // The window grows while more frames than it holds arrive within one
  // second, so per-second counts stay exact at any rate up to kMaxSlots
  // frames a second (beyond 10 Gbit/s of the smallest frames); only past
  // that are the oldest frames let go early.
  static constexpr int kInitialSlots = 8192;
  static constexpr int kMaxSlots = 1 << 23;
  static constexpr std::uint32_t kSpanUs = 1000000;

  int head = 0;  // slot the next frame goes to
  int tail = 0;  // oldest frame still inside
  int size = 0;  // frames inside; tells a full window from an empty one
  int capacity() const { return static_cast<int>(slots.size()); }
  std::vector<WindowEntry> slots = std::vector<WindowEntry>(kInitialSlots);
};

inline std::unique_ptr<FrameWindow> ring_create() { return std::make_unique<FrameWindow>(); }

// A caller's array kept slot for slot beside a full window that has just
// grown from `old_capacity` (its oldest frame was at `old_tail`): the same
// entries, oldest first from index 0, in an array of the new capacity.
template <class T>
void ring_grow_beside(std::vector<T>& beside, int old_tail, int old_capacity, int new_capacity) {
  std::vector<T> grown(static_cast<std::size_t>(new_capacity));
  for (int i = 0; i < old_capacity; ++i)
    grown[static_cast<std::size_t>(i)] = beside[static_cast<std::size_t>((old_tail + i) % old_capacity)];
  beside.swap(grown);
}

namespace ring_detail {
// Inlined into the frame path: once a frame, it is the path's inner loop.
template <class ExpireFn>
[[gnu::always_inline]] inline void expire_older(FrameWindow& w, const TimeValue& time, ExpireFn& expire) {
  // 64-bit elapsed time: after a silence of more than 71.6 minutes the
  // 32-bit difference wraps and would keep stale slots inside.
  while (w.size > 0 && timer_elapsed_us64(w.slots[static_cast<std::size_t>(w.tail)].time, time) >
                           FrameWindow::kSpanUs) {
    expire(static_cast<const WindowEntry&>(w.slots[static_cast<std::size_t>(w.tail)]));
    if (++w.tail == w.capacity()) w.tail = 0;
    --w.size;
  }
}
}  // namespace ring_detail

// Adds one frame. `count(entry)` adds the new slot to the caller's
// per-second counters; `expire(entry)` takes a leaving slot out of them;
// `grown(old_tail, old_capacity, new_capacity)` tells a caller that keeps an
// array beside the slots that the window has grown (see ring_grow_beside).
// A slot exactly one second older than the newest frame stays inside.
//
// Every frame that leaves the window is expired exactly once, so the
// counters always equal the sum of the slots inside and never drift.
template <class CountFn, class ExpireFn, class GrownFn>
void ring_add(FrameWindow& w, std::uint32_t length, const TimeValue& time, CountFn&& count, ExpireFn&& expire,
              GrownFn&& grown) {
  if (w.size == w.capacity()) {
    ring_detail::expire_older(w, time, expire);
    if (w.size == w.capacity()) {
      if (w.capacity() < FrameWindow::kMaxSlots) {
        const int old_tail = w.tail, old_capacity = w.capacity();
        ring_grow_beside(w.slots, old_tail, old_capacity, old_capacity * 2);
        w.tail = 0;
        w.head = old_capacity;
        grown(old_tail, old_capacity, w.capacity());
      } else {
        expire(static_cast<const WindowEntry&>(w.slots[static_cast<std::size_t>(w.tail)]));
        if (++w.tail == w.capacity()) w.tail = 0;
        --w.size;
      }
    }
  }

  WindowEntry& slot = w.slots[static_cast<std::size_t>(w.head)];
  slot.length = static_cast<std::uint16_t>(length);
  slot.time = time;
  ++w.size;

  count(static_cast<const WindowEntry&>(slot));

  ring_detail::expire_older(w, time, expire);

  if (++w.head == w.capacity()) w.head = 0;
}

// For callers that keep nothing beside the slots.
template <class CountFn, class ExpireFn>
void ring_add(FrameWindow& w, std::uint32_t length, const TimeValue& time, CountFn&& count,
              ExpireFn&& expire) {
  ring_add(w, length, time, count, expire, [](int, int, int) {});
}

}  // namespace tarnix
