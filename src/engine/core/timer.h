// Capture-time values. Every traffic time is a frame's capture time, never
// the wall clock.
#pragma once

#include <cstdint>

namespace tarnix {

// A frame time that is not known, distinct from every capture time (0, the
// first second of 1970, is a time a capture file can hold).
inline constexpr std::int64_t kNoCaptureTime = INT64_MIN;

struct TimeValue {
  std::int64_t sec = 0;   // seconds since the epoch, before 1970 and after 2038 alike
  std::int32_t usec = 0;  // 0..999,999

  friend bool operator==(const TimeValue&, const TimeValue&) = default;
};

// Microseconds from earlier to later; 0 when later is earlier. Unsigned
// 32-bit, so it wraps after about 71.6 minutes: meant for short intervals.
std::uint32_t timer_elapsed_us(const TimeValue& earlier, const TimeValue& later);

// The same in 64 bits, for tests that must not wrap after 71.6 minutes;
// a gap too long for 64 bits of microseconds (a damaged file's time stamp
// ages away) answers the largest value. Inline: the frame window calls it
// for every frame.
inline std::uint64_t timer_elapsed_us64(const TimeValue& earlier, const TimeValue& later) {
  if (later.sec < earlier.sec || (later.sec == earlier.sec && later.usec < earlier.usec)) return 0;
  // Unsigned: the difference of two far-apart seconds may not fit a signed
  // value, and the microsecond part may be negative (wrapping back).
  const std::uint64_t seconds = static_cast<std::uint64_t>(later.sec) - static_cast<std::uint64_t>(earlier.sec);
  if (seconds >= UINT64_MAX / 1000000 - 1) return UINT64_MAX;
  return seconds * 1000000u + static_cast<std::uint64_t>(static_cast<std::int64_t>(later.usec) - earlier.usec);
}

// Milliseconds from earlier to later (truncated); 0 when later is earlier.
std::uint32_t timer_elapsed_ms(const TimeValue& earlier, const TimeValue& later);

}  // namespace tarnix
