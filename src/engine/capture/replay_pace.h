// A capture file played at a multiple of its recorded pace: each frame is
// due when its recorded offset from the first frame, divided by the speed,
// has passed on the steady clock since the first frame went out.
#pragma once

#include <chrono>
#include <cstdint>

#include "core/timer.h"

namespace tarnix {

class ReplayPace {
 public:
  using clock = std::chrono::steady_clock;

  // speed 0 (or less, or not a number) plays as fast as frames are asked for.
  explicit ReplayPace(double speed) : speed_(speed > 0.0 ? speed : 0.0) {}

  bool paced() const { return speed_ > 0.0; }

  static double stamp(const TimeValue& t) {
    return static_cast<double>(t.sec) + static_cast<double>(t.usec) / 1e6;
  }

  // Whether a frame stamped `t` may go now; the first frame asked about
  // starts the clock and always may.
  bool due(double t) {
    if (!started_) {
      started_ = true;
      first_ = t;
      wall_start_ = clock::now();
      return true;
    }
    const double offset = (t - first_) / speed_;
    if (offset <= 0) return true;
    return clock::now() - wall_start_ >= std::chrono::duration<double>(offset);
  }

  // When a frame stamped `t` becomes due; max() before the clock started
  // (the first frame is due at once when asked) or when not paced.
  clock::time_point when(double t) const {
    using namespace std::chrono;
    if (!paced() || !started_) return clock::time_point::max();
    const double offset = (t - first_) / speed_;
    if (offset <= 0) return wall_start_;
    return wall_start_ + duration_cast<clock::duration>(duration<double>(offset));
  }

 private:
  double speed_;
  bool started_ = false;
  double first_ = 0;
  clock::time_point wall_start_;
};

}  // namespace tarnix
