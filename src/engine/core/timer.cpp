#include "core/timer.h"

namespace tarnix {

namespace {

bool is_before(const TimeValue& later, const TimeValue& earlier) {
  return later.sec < earlier.sec || (later.sec == earlier.sec && later.usec < earlier.usec);
}

// Seconds and microseconds difference with the microsecond borrow applied.
void difference(const TimeValue& earlier, const TimeValue& later, std::uint32_t& sec,
                std::uint32_t& usec) {
  std::int64_t s = static_cast<std::int64_t>(later.sec) - earlier.sec;
  std::int64_t u = static_cast<std::int64_t>(later.usec) - earlier.usec;
  if (later.usec < earlier.usec) {
    s -= 1;
    u += 1000000;
  }
  sec = static_cast<std::uint32_t>(s);
  usec = static_cast<std::uint32_t>(u);
}

}  // namespace

std::uint32_t timer_elapsed_us(const TimeValue& earlier, const TimeValue& later) {
  if (is_before(later, earlier)) return 0;
  std::uint32_t s, u;
  difference(earlier, later, s, u);
  return s * 1000000u + u;
}

std::uint32_t timer_elapsed_ms(const TimeValue& earlier, const TimeValue& later) {
  if (is_before(later, earlier)) return 0;
  std::uint32_t s, u;
  difference(earlier, later, s, u);
  return s * 1000u + u / 1000u;
}

}  // namespace tarnix
