// The one-second frame window: a fixed circular buffer of the frames of the
// last second of capture time, from which every per-second count comes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/timer.h"

namespace tarnix {

struct WindowEntry {
  std::uint8_t src[4] = {};  // IPv4 source (frame bytes 26..29)
  std::uint8_t dst[4] = {};  // IPv4 destination (frame bytes 30..33)
  std::uint16_t length = 0;  // length on the wire, kept in 16 bits
  TimeValue time;
};

struct FrameWindow {
  static constexpr int kSlots = 5000;
  static constexpr std::uint32_t kSpanUs = 1000000;

  int head = 0;  // slot the next frame goes to
  int tail = 0;  // oldest frame still inside
  int size = 0;  // frames inside; tells a full window from an empty one
  WindowEntry slots[kSlots];
};

inline std::unique_ptr<FrameWindow> ring_create() { return std::make_unique<FrameWindow>(); }

// Adds one frame. `count(entry)` adds the new slot to the caller's
// per-second counters; `expire(entry)` takes a leaving slot out of them.
// A slot exactly one second older than the newest frame stays inside.
//
// More than kSlots frames within one second: the oldest slot is expired
// (leaves the counters) before it is overwritten, so the counters always
// equal the sum of the slots inside and never drift.
template <class CountFn, class ExpireFn>
void ring_add(FrameWindow& w, const std::uint8_t* frame, std::size_t caplen, std::uint32_t length,
              const TimeValue& time, CountFn&& count, ExpireFn&& expire) {
  if (w.size == FrameWindow::kSlots) {
    expire(static_cast<const WindowEntry&>(w.slots[w.tail]));
    if (++w.tail == FrameWindow::kSlots) w.tail = 0;
    --w.size;
  }

  WindowEntry& slot = w.slots[w.head];
  if (caplen >= 34) {
    std::memcpy(slot.src, frame + 26, 4);
    std::memcpy(slot.dst, frame + 30, 4);
  } else {
    std::memset(slot.src, 0, 4);
    std::memset(slot.dst, 0, 4);
    if (caplen >= 30) std::memcpy(slot.src, frame + 26, 4);
  }
  slot.length = static_cast<std::uint16_t>(length);
  slot.time = time;
  ++w.size;

  count(static_cast<const WindowEntry&>(slot));

  // 64-bit elapsed time: after a silence of more than 71.6 minutes the
  // 32-bit difference wraps and would keep stale slots inside.
  while (w.size > 0 && timer_elapsed_us64(w.slots[w.tail].time, time) > FrameWindow::kSpanUs) {
    expire(static_cast<const WindowEntry&>(w.slots[w.tail]));
    if (++w.tail == FrameWindow::kSlots) w.tail = 0;
    --w.size;
  }

  if (++w.head == FrameWindow::kSlots) w.head = 0;
}

}  // namespace tarnix
