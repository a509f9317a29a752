#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/ring.h"
#include "core/sampler.h"
#include "core/timer.h"

namespace tarnix {
namespace {

TEST(Timer, ElapsedWithBorrowAndNegativeIntervals) {
  EXPECT_EQ(timer_elapsed_us({10, 900000}, {11, 100000}), 200000u);
  EXPECT_EQ(timer_elapsed_us({11, 100000}, {10, 900000}), 0u);
  EXPECT_EQ(timer_elapsed_us({10, 500}, {10, 400}), 0u);
  EXPECT_EQ(timer_elapsed_us({10, 0}, {12, 0}), 2000000u);
  EXPECT_EQ(timer_elapsed_ms({10, 999999}, {11, 0}), 0u);
  EXPECT_EQ(timer_elapsed_ms({10, 0}, {19, 999000}), 9999u);
  EXPECT_EQ(timer_elapsed_ms({10, 0}, {20, 0}), 10000u);
  EXPECT_EQ(timer_elapsed_ms({0, 0}, {0, 0}), 0u);
}

TEST(Sampler, AverageClimbsOverTenSamples) {
  Sampler s;
  sampler_reset(s);
  for (int i = 0; i < 3; ++i) sampler_add(s, 10.0);
  EXPECT_DOUBLE_EQ(s.average, 3.0);
  for (int i = 0; i < 7; ++i) sampler_add(s, 10.0);
  EXPECT_DOUBLE_EQ(s.average, 10.0);
  sampler_add(s, 0.0);
  EXPECT_DOUBLE_EQ(s.average, 9.0);
  EXPECT_EQ(s.next, 1);
}

// The rates' samplers keep whole counts; their average must be the general
// sampler's, bit for bit, for counts up to the largest 32-bit value.
TEST(Sampler, CountSamplerAveragesExactlyAsTheGeneralOne) {
  std::mt19937 rng(4);
  Sampler general;
  CountSampler counts;
  for (int i = 0; i < 5000; ++i) {
    std::uint32_t v;
    switch (rng() % 4) {
      case 0: v = 0; break;
      case 1: v = rng() % 5001; break;
      case 2: v = 0xFFFFFFFFu - rng() % 3; break;
      default: v = static_cast<std::uint32_t>(rng()); break;
    }
    sampler_add(general, static_cast<double>(v));
    sampler_add(counts, v);
    ASSERT_EQ(counts.average, general.average) << "sample " << i;
    ASSERT_EQ(counts.next, general.next);
  }
  sampler_reset(counts);
  EXPECT_EQ(counts.average, 0.0);
  sampler_add(counts, 10);
  EXPECT_EQ(counts.average, 1.0);
}

// A window with the per-second counters the capture path keeps beside it.
struct Counted {
  std::unique_ptr<FrameWindow> w = ring_create();
  long frames = 0;
  long bytes = 0;
  int expired = 0;

  void add(std::uint32_t len, TimeValue t) {
    ring_add(
        *w, len, t,
        [&](const WindowEntry& e) {
          ++frames;
          bytes += e.length;
        },
        [&](const WindowEntry& e) {
          --frames;
          bytes -= e.length;
          ++expired;
        });
  }
};

TEST(FrameWindow, SlotExactlyOneSecondOldStays) {
  Counted c;
  c.add(100, {5, 0});
  c.add(100, {6, 0});
  EXPECT_EQ(c.frames, 2);
  EXPECT_EQ(c.expired, 0);
  c.add(100, {6, 1});  // first frame now 1,000,001 us old
  EXPECT_EQ(c.expired, 1);
  EXPECT_EQ(c.frames, 2);
  EXPECT_EQ(c.bytes, 200);
}

TEST(FrameWindow, ThousandFramesThenOneLateFrame) {
  Counted c;
  for (int i = 0; i < 1000; ++i) c.add(100, {100, i * 900});
  EXPECT_EQ(c.frames, 1000);
  EXPECT_EQ(c.bytes, 100000);
  c.add(60, {102, 0});
  EXPECT_EQ(c.frames, 1);
  EXPECT_EQ(c.bytes, 60);
  EXPECT_EQ(c.w->size, 1);
}

TEST(FrameWindow, ExpiresAfterASilenceLongerThanTheMicrosecondRange) {
  Counted c;
  c.add(100, {0, 0});
  // 4295 s later the 32-bit microsecond difference has wrapped to ~0.7 s.
  c.add(100, {4295, 0});
  EXPECT_EQ(c.frames, 1);
  EXPECT_EQ(c.bytes, 100);
  EXPECT_EQ(timer_elapsed_us64({0, 0}, {4295, 0}), 4295000000ull);
  EXPECT_EQ(timer_elapsed_us64({5, 0}, {4, 999999}), 0u);
  EXPECT_EQ(timer_elapsed_us64({4, 999999}, {5, 0}), 1u);
  // Time stamps ages apart, as a damaged file can hold: no overflow, the
  // largest gap.
  EXPECT_EQ(timer_elapsed_us64({0, 0}, {INT64_C(1) << 62, 0}), UINT64_MAX);
  EXPECT_EQ(timer_elapsed_us64({INT64_MIN + 1, 0}, {INT64_MAX, 999999}), UINT64_MAX);
}

TEST(FrameWindow, RecordsLengthAndTime) {
  Counted c;
  c.add(70000, {1, 2});  // length kept in 16 bits
  const WindowEntry& e = c.w->slots[0];
  EXPECT_EQ(e.length, static_cast<std::uint16_t>(70000));
  EXPECT_EQ(e.time, (TimeValue{1, 2}));
  EXPECT_EQ(c.w->head, 1);
}

// More frames within one second than the window holds: it grows, the
// caller's array beside it stays slot for slot, and nothing leaves early.
TEST(FrameWindow, GrowsWithinOneSecondAndKeepsTheArrayBesideIt) {
  Counted c;
  std::vector<int> beside(FrameWindow::kInitialSlots);
  int grown = 0;
  // Start part-way round, so that the growing window is not in order.
  for (int i = 0; i < 3000; ++i) c.add(10, {40, i});
  c.add(10, {45, 0});
  const int n = 3 * FrameWindow::kInitialSlots + 77;
  for (int i = 0; i < n; ++i) {
    ring_add(
        *c.w, 10, {46, i % 1000},
        [&](const WindowEntry& e) {
          beside[static_cast<std::size_t>(&e - c.w->slots.data())] = i;
          ++c.frames;
        },
        [&](const WindowEntry&) { --c.frames, ++c.expired; },
        [&](int tail, int old_cap, int new_cap) {
          ring_grow_beside(beside, tail, old_cap, new_cap);
          ++grown;
        });
  }
  EXPECT_EQ(c.frames, n);  // the frame of second 45 left, none of these
  EXPECT_EQ(c.expired, 3001);
  EXPECT_EQ(grown, 2);
  EXPECT_EQ(c.w->capacity(), 4 * FrameWindow::kInitialSlots);
  // Oldest first from the tail: each slot's entry beside it is its own.
  for (int k = 0; k < c.w->size; ++k)
    ASSERT_EQ(beside[static_cast<std::size_t>((c.w->tail + k) % c.w->capacity())], k) << k;
}

TEST(FrameWindow, WrapsAroundManyTimesOverLongRuns) {
  Counted c;
  // 20 frames a second for 20 minutes: the head wraps several times.
  TimeValue t{0, 0};
  for (int i = 0; i < 24000; ++i) {
    t.usec += 50000;
    if (t.usec >= 1000000) {
      t.usec -= 1000000;
      ++t.sec;
    }
    c.add(1, t);
    // 50 ms apart, a frame exactly one second old still counts: 21 inside.
    ASSERT_EQ(c.frames, i < 20 ? i + 1 : 21) << "frame " << i;
  }
}

}  // namespace
}  // namespace tarnix
