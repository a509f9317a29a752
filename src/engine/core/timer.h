// Capture-time values. Every traffic time is a frame's capture time, never
// the wall clock.
#pragma once

#include <cstdint>

namespace tarnix {

struct TimeValue {
  std::int32_t sec = 0;
  std::int32_t usec = 0;  // 0..999,999

  friend bool operator==(const TimeValue&, const TimeValue&) = default;
};

// Microseconds from earlier to later; 0 when later is earlier. Unsigned
// 32-bit, so it wraps after about 71.6 minutes: meant for short intervals.
std::uint32_t timer_elapsed_us(const TimeValue& earlier, const TimeValue& later);

// The same in 64 bits, for tests that must not wrap after 71.6 minutes.
// Inline: the frame window calls it for every frame.
inline std::uint64_t timer_elapsed_us64(const TimeValue& earlier, const TimeValue& later) {
  if (later.sec < earlier.sec || (later.sec == earlier.sec && later.usec < earlier.usec)) return 0;
  std::int64_t us = (static_cast<std::int64_t>(later.sec) - earlier.sec) * 1000000 +
                    (static_cast<std::int64_t>(later.usec) - earlier.usec);
  return static_cast<std::uint64_t>(us);
}

// Milliseconds from earlier to later (truncated); 0 when later is earlier.
std::uint32_t timer_elapsed_ms(const TimeValue& earlier, const TimeValue& later);

}  // namespace tarnix
