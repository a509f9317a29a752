// The capture thread's cycle: take what the source has waiting, tick the
// model, let the caller draw. Paced either by an outside go signal (a map
// that sets it after each paint) or by itself; in both cases a cycle runs at
// least every 250 ms, so a hidden map or a missing display never lets the
// kernel buffer overflow.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/net.h"
#include "capture/source.h"

namespace tarnix {

// How one capture step ended.
enum class CaptureStepResult { kOk, kEnd, kError };

// One capture step on a network: dispatches 255 frames at a time until none
// waits or `budget` has passed, then takes the library's statistics, the
// load percentage and runs the step hook. The network's lock is held for
// each dispatch and for the statistics, never across the whole step.
CaptureStepResult netif_capture(Net& net, PacketSource& source,
                         std::chrono::microseconds budget = std::chrono::milliseconds(50));

// Load in percent of the link speed (fallback when unknown) for the bytes of
// the last second.
std::uint32_t load_percent_of(std::uint64_t bytes_per_second, std::uint64_t link_speed_bps);

class CaptureLoop {
 public:
  enum class Pacing {
    kExternal,  // a cycle per go(), plus one without drawing every 250 ms without one
    kSelf,      // a cycle every `period`
  };
  struct Options {
    Pacing pacing = Pacing::kSelf;
    std::chrono::milliseconds period{100};  // kSelf; at most 250 ms
    std::chrono::microseconds step_budget{std::chrono::milliseconds(50)};
    // A source that always has frames ready (a file read at full speed)
    // runs cycles back to back instead of waiting for the period.
    bool run_flat_out = false;
  };
  // Called after every cycle on the capture thread with the network and
  // whether this cycle answers a go signal (and so should draw). The model
  // may be read here without its lock: this is the writer's thread.
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
  // The go signal: a paint finished, run a drawing cycle.
  void go();
  bool running() const { return thread_.joinable(); }
  std::uint64_t cycles() const { return cycles_.load(); }

 private:
  void run();

  TrafficModel& model_;
  Options options_;
  CycleFn cycle_;
  EndFn end_;

  std::mutex source_mutex_;  // held by a capture step; set_source waits for it
  std::unique_ptr<PacketSource> source_;
  Net* net_ = nullptr;
  bool ended_ = false;

  std::mutex signal_mutex_;
  std::condition_variable signal_cv_;
  bool stop_signal_ = false;
  bool go_signal_ = false;

  std::atomic<std::uint64_t> cycles_{0};
  std::thread thread_;
};

}  // namespace tarnix
