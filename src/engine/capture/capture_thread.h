// The capture thread: reads frames as soon as the source has them (it waits
// on the adapter's descriptor, never on a fixed sleep), ticks the model on a
// period of its own and, for a display, draws a frame when the last one was
// shown, something changed and the frame interval has passed. Capture never
// waits for paints: a hidden map or a slow display costs no frames.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "capture/net.h"
#include "capture/source.h"
#include "core/mutex.h"

namespace tarnix {

// How one capture step ended.
enum class CaptureStepResult { kOk, kEnd, kError };

// One capture step on a network: dispatches 255 frames at a time until none
// waits or `budget` has passed, then takes the library's statistics, the
// load percentage and runs the step hook. The network's lock is held for
// each dispatch and for the statistics, never across the whole step.
CaptureStepResult netif_capture(Net& net, PacketSource& source,
                         std::chrono::microseconds budget = std::chrono::milliseconds(50)) EXCLUDES(net.lock);

// Load in percent of the link speed (fallback when unknown) for the bytes of
// the last second.
std::uint32_t load_percent_of(std::uint64_t bytes_per_second, std::uint64_t link_speed_bps);

class CaptureLoop {
 public:
  enum class Pacing {
    kExternal,  // draws only when the display has shown the last frame (go)
    kSelf,      // never draws
  };
  struct Options {
    Pacing pacing = Pacing::kSelf;
    // The traffic tick (sampling and ageing) runs on this period of its own,
    // whatever the frames or the display do; at most 250 ms.
    std::chrono::milliseconds period{100};
    std::chrono::microseconds step_budget{std::chrono::milliseconds(50)};
    // A source that always has frames ready (a file read at full speed)
    // runs capture steps back to back, each followed by a tick.
    bool run_flat_out = false;
    // kExternal: the shortest time between two drawing cycles (the
    // display's refresh), and how often a model with no new frames is drawn
    // again while its ticks still change it.
    std::chrono::microseconds frame_interval{16667};
    // kExternal: drawing takes at most this share of the thread's time (a
    // frame that took d waits d * (1 / share - 1) before the next), so a big
    // map on a slow machine lowers the frame rate instead of taking a core.
    double draw_share = 0.25;
  };
  // Called on the capture thread after every tick (draw false) and for
  // every drawing cycle (draw true). The model may be read here without its
  // lock: this is the writer's thread. A drawing cycle that hands nothing to
  // the display calls go() itself, since no paint will.
  using CycleFn = std::function<void(Net& net, bool draw)>;
  // Called once on the capture thread when the source ends (a file) or
  // fails; `error` is empty at a clean end.
  using EndFn = std::function<void(const std::string& error)>;

  explicit CaptureLoop(TrafficModel& model, Options options);
  CaptureLoop(const CaptureLoop&) = delete;
  CaptureLoop& operator=(const CaptureLoop&) = delete;
  ~CaptureLoop();

  void on_cycle(CycleFn fn) { cycle_ = std::move(fn); }
  void on_end(EndFn fn) { end_ = std::move(fn); }

  // Puts a source (and the network it feeds) in place. Safe while running:
  // it waits until no capture step uses the old source, which it returns so
  // that the caller closes it.
  std::unique_ptr<PacketSource> set_source(std::unique_ptr<PacketSource> source, Net* net);

  void start();
  // Sets the stop signal and waits for the thread to end (at most one step).
  void stop();
  // The go signal: the display has shown the last frame; the next drawing
  // cycle may run once something changed and the frame interval has passed.
  void go();
  // Draw at the next chance even when the model did not change (a new
  // size, view, palette or focus). Still waits for go.
  void redraw();
  // Any thread: the shortest time between two drawing cycles from now on.
  void set_frame_interval(std::chrono::microseconds interval);
  bool running() const { return thread_.joinable(); }
  std::uint64_t cycles() const { return cycles_.load(); }
  std::uint64_t drawing_cycles() const { return drawing_cycles_.load(); }

 private:
  void run();
  void wake();

  TrafficModel& model_;
  Options options_;
  CycleFn cycle_;
  EndFn end_;

  Mutex source_mutex_;  // held by a capture step; set_source waits for it
  std::unique_ptr<PacketSource> source_ GUARDED_BY(source_mutex_);
  Net* net_ GUARDED_BY(source_mutex_) = nullptr;
  bool ended_ GUARDED_BY(source_mutex_) = false;

  // Locking: signal_mutex_ guards the three signals; wake_fd_ (an eventfd)
  // interrupts the thread's wait so that it looks at them again.
  Mutex signal_mutex_;
  bool stop_signal_ GUARDED_BY(signal_mutex_) = false;
  bool go_signal_ GUARDED_BY(signal_mutex_) = true;
  bool redraw_signal_ GUARDED_BY(signal_mutex_) = true;
  int wake_fd_ = -1;
  std::atomic<std::int64_t> frame_interval_us_;

  std::atomic<std::uint64_t> cycles_{0};
  std::atomic<std::uint64_t> drawing_cycles_{0};
  std::thread thread_;
};

}  // namespace tarnix
