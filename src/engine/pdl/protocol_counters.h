// Per-protocol counters. The capture thread adds to them for every frame
// while windows and the alarm evaluation read (and, for occurrence alarms,
// reset) them, so each value is an atomic of its own; no ordering between
// the two values is promised, only that neither tears.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnix {

struct ProtocolCounters {
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> frames{0};

  void add(std::uint64_t length) {
    bytes.fetch_add(length, std::memory_order_relaxed);
    frames.fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t frames_value() const { return frames.load(std::memory_order_relaxed); }
  std::uint64_t bytes_value() const { return bytes.load(std::memory_order_relaxed); }
  void reset() {
    bytes.store(0, std::memory_order_relaxed);
    frames.store(0, std::memory_order_relaxed);
  }
  // Reads the frames counted since the last call and starts again from 0 in
  // one step, so no frame counted in between is lost.
  std::uint64_t take_frames() {
    bytes.store(0, std::memory_order_relaxed);
    return frames.exchange(0, std::memory_order_relaxed);
  }
};

}  // namespace tarnix
