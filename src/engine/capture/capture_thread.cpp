#include "capture/capture_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace tarnix {

namespace {

constexpr int kFramesPerDispatch = 255;
constexpr int kDispatchesPerHold = 4;
constexpr auto kLongestWait = std::chrono::milliseconds(250);
constexpr auto kPollWithoutDescriptor = std::chrono::milliseconds(10);

// The source calls back on this thread from inside netif_capture's dispatch,
// which holds the network's lock around it; the analysis cannot follow the
// call through the source, so the hold is stated here.
void deliver_frame(void* user, const FrameHeader& h, const std::uint8_t* frame) {
  Net& net = *static_cast<Net*>(user);
  net.lock.assert_held();
  netif_callback(net, h, frame);
}

// A link layer Tarnix cannot read: the frame still tells the time, and is
// filtered out.
void deliver_other(void* user, const FrameHeader& h, const std::uint8_t*) {
  Net& net = *static_cast<Net*>(user);
  net.lock.assert_held();
  net.model->now = h.time;
  ++net.counters.frames_seen;
  ++net.counters.frames_filtered;
}

}  // namespace

std::uint32_t load_percent_of(std::uint64_t bytes_per_second, std::uint64_t link_speed_bps) {
  if (link_speed_bps == 0) link_speed_bps = kFallbackLinkSpeedBps;
  std::uint64_t pct = bytes_per_second * 8u * 100u / link_speed_bps;
  return static_cast<std::uint32_t>(pct > 100 ? 100 : pct);
}

CaptureStepResult netif_capture(Net& net, PacketSource& source, std::chrono::microseconds budget) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const FrameFn deliver = source.link_type() != LinkType::kUnsupported ? deliver_frame : deliver_other;
  CaptureStepResult result = CaptureStepResult::kOk;
  for (;;) {
    int n = 0;
    bool budget_spent = false;
    {
      MutexLock g(net.lock);
      // Counted at the end of the batches, still under the lock (see
      // Net::defer_counts), even when the source throws.
      struct Deferred {
        Net& net;
        explicit Deferred(Net& n) : net(n) { net.defer_counts = true; }
        ~Deferred() {
          net_flush_counts(net);
          net.defer_counts = false;
        }
      } deferred(net);
      // A few batches per hold of the lock: a reader waits a fraction of a
      // millisecond at most, and each link's noted frames are added up once
      // for several batches.
      for (int k = 0; k < kDispatchesPerHold; ++k) {
        n = source.dispatch(kFramesPerDispatch, deliver, &net);
        // Past the model's bound with no victim chosen: the step ends, so
        // that the tick after it chooses some before more records come.
        budget_spent = clock::now() - start >= budget || net_needs_victims(net);
        if (n <= 0 || budget_spent) break;
      }
    }
    if (n == kSourceEnd) {
      result = CaptureStepResult::kEnd;
      break;
    }
    if (n == kSourceError) {
      result = CaptureStepResult::kError;
      break;
    }
    if (n == 0 || budget_spent) break;
  }

  SourceStats stats;
  const bool have_stats = source.stats(stats);
  {
    MutexLock g(net.lock);
    if (have_stats) {
      net.counters.received = stats.received;
      net.counters.dropped = stats.dropped;
      net.counters.interface_dropped = stats.interface_dropped;
    }
    const std::uint32_t load = load_percent_of(net.window_bytes, source.link_speed_bps());
    net.load_percent.store(load, std::memory_order_relaxed);
  }
  if (CaptureStepSink* step = net.model->hooks.step) {
    step->after_capture_step(net);
    if (result != CaptureStepResult::kOk) step->on_source_end(net);
  }
  return result;
}

CaptureLoop::CaptureLoop(TrafficModel& model, Options options)
    : model_(model), options_(options), frame_interval_us_(options.frame_interval.count()) {
  if (options_.period > kLongestWait) options_.period = kLongestWait;
  if (options_.period.count() <= 0) options_.period = std::chrono::milliseconds(1);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CaptureLoop::~CaptureLoop() {
  stop();
  if (wake_fd_ >= 0) close(wake_fd_);
}

std::unique_ptr<PacketSource> CaptureLoop::set_source(std::unique_ptr<PacketSource> source, Net* net) {
  std::unique_ptr<PacketSource> old;
  {
    MutexLock g(source_mutex_);
    std::swap(source, source_);
    old = std::move(source);
    net_ = net;
    ended_ = false;
    if (net_ != nullptr && source_ != nullptr) {
      MutexLock ng(net_->lock);
      net_->link_speed_bps = source_->link_speed_bps();
    }
  }
  // The thread may be waiting on the old source's descriptor.
  wake();
  return old;
}

void CaptureLoop::wake() {
  if (wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t r = write(wake_fd_, &one, sizeof one);
}

void CaptureLoop::start() {
  if (thread_.joinable()) return;
  {
    MutexLock g(signal_mutex_);
    stop_signal_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void CaptureLoop::stop() {
  {
    MutexLock g(signal_mutex_);
    stop_signal_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
}

void CaptureLoop::go() {
  {
    MutexLock g(signal_mutex_);
    go_signal_ = true;
  }
  wake();
}

void CaptureLoop::redraw() {
  {
    MutexLock g(signal_mutex_);
    redraw_signal_ = true;
  }
  wake();
}

void CaptureLoop::set_frame_interval(std::chrono::microseconds interval) {
  frame_interval_us_.store(interval.count() < 0 ? 0 : interval.count());
  wake();
}

void CaptureLoop::run() {
  using clock = std::chrono::steady_clock;
  const bool drawing = options_.pacing == Pacing::kExternal;
  auto next_tick = clock::now() + options_.period;
  // Long enough ago that the first frame may be drawn at once.
  clock::time_point last_draw{};
  // The time from one frame's start to the next that the last frame's
  // drawing time asks for (see draw_share).
  clock::duration draw_pause{0};
  const double share = options_.draw_share > 0 && options_.draw_share <= 1 ? options_.draw_share : 1.0;
  // The frame count and times when frames were last seen to arrive.
  struct {
    const Net* net = nullptr;
    std::uint64_t frames = 0;
    clock::time_point since;
    TimeValue time;
  } quiet;
  // What the last drawn frame showed: frames seen plus tick changes.
  std::uint64_t drawn_state = ~std::uint64_t{0};
  // The frames seen plus tick changes, read before signal_mutex_ is taken,
  // so that the network's lock is never taken inside it.
  auto state_of = [&](const Net* n) -> std::uint64_t {
    if (!drawing || n == nullptr) return 0;
    return n->read([](const Net& m) REQUIRES(m.lock) { return m.counters.frames_seen + m.tick_changes; });
  };
  // When the next frame may be drawn, or max() when none is wanted (no go,
  // or nothing new to show), for a network showing `state`.
  auto draw_due = [&](const Net* n, std::uint64_t state) REQUIRES(signal_mutex_) {
    if (!drawing || n == nullptr || !go_signal_) return clock::time_point::max();
    if (!redraw_signal_ && state == drawn_state) return clock::time_point::max();
    return last_draw + std::max<clock::duration>(std::chrono::microseconds(frame_interval_us_.load()), draw_pause);
  };
  for (;;) {
    // What to wait for: the source's frames, the next tick, the next
    // drawing cycle, a signal.
    int fd = -1;
    bool flat_out = false;
    auto deadline = next_tick;
    Net* net = nullptr;
    {
      MutexLock sg(source_mutex_);
      net = net_ != nullptr ? net_ : net_current(model_);
      if (source_ != nullptr && !ended_) {
        fd = source_->wait_fd();
        flat_out = options_.run_flat_out;
        const auto due = source_->next_due();
        deadline = std::min(deadline, due);
        // Without a descriptor or a time to wait for, the source is asked
        // again soon.
        if (fd < 0 && due == clock::time_point::max())
          deadline = std::min(deadline, clock::now() + kPollWithoutDescriptor);
      }
    }
    bool draw_now = false;
    {
      const std::uint64_t state = state_of(net);
      MutexLock lk(signal_mutex_);
      if (stop_signal_) return;
      const auto due = draw_due(net, state);
      draw_now = due <= clock::now();
      deadline = std::min(deadline, due);
    }

    if (!flat_out && !draw_now) {
      const auto now = clock::now();
      int timeout_ms = 0;
      if (deadline > now)
        timeout_ms = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(std::min<clock::duration>(deadline - now, kLongestWait))
                .count());
      pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
      if (timeout_ms > 0) poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
      if (fds[0].revents & POLLIN) {
        std::uint64_t v;
        [[maybe_unused]] ssize_t r = read(wake_fd_, &v, sizeof v);
      }
    }
    {
      MutexLock lk(signal_mutex_);
      if (stop_signal_) return;
    }

    // Whatever woke the thread, what waits in the source is read now: a
    // non-blocking read of an empty source costs next to nothing.
    std::string end_error;
    bool just_ended = false;
    {
      MutexLock sg(source_mutex_);
      net = net_ != nullptr ? net_ : net_current(model_);
      if (net != nullptr && source_ != nullptr && !ended_) {
        CaptureStepResult r = netif_capture(*net, *source_, options_.step_budget);
        if (r != CaptureStepResult::kOk) {
          ended_ = true;
          just_ended = true;
          if (r == CaptureStepResult::kError) end_error = source_->error().empty() ? "capture failed" : source_->error();
        }
      }
    }
    if (net != nullptr) {
      const auto now = clock::now();
      // A step that passed the model's bound with no victim ready: they are
      // chosen now, not at the next tick (whose pace the rates keep).
      if (!flat_out && now < next_tick) {
        MutexLock g(net->lock);
        if (net_needs_victims(*net)) net_choose_victims(*net);
      }
      if (flat_out || now >= next_tick) {
        {
          MutexLock g(net->lock);
          // No frames since the last look (a quiet network, a file played
          // to its end): the last second's figures fall as time passes,
          // the capture's time carried on by the steady clock.
          if (net != quiet.net || net->counters.frames_seen != quiet.frames) {
            quiet = {net, net->counters.frames_seen, now, model_.now};
          } else {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - quiet.since).count();
            TimeValue t = quiet.time;
            const std::int64_t total = std::int64_t(t.usec) + us;
            t.sec = static_cast<std::int32_t>(t.sec + total / 1000000);
            t.usec = static_cast<std::int32_t>(total % 1000000);
            net_age_window(*net, t);
            net->load_percent.store(load_percent_of(net->window_bytes, net->link_speed_bps),
                                    std::memory_order_relaxed);
          }
          net_tick(*net);
        }
        next_tick = std::max(next_tick + options_.period, now);
        cycles_.fetch_add(1);
        if (cycle_) cycle_(*net, false);
      }
      if (drawing) {
        bool take = false;
        {
          // The go signal is taken here, before drawing: a paint that
          // finishes while this frame is drawn sets it again for the next.
          const std::uint64_t state = state_of(net);
          MutexLock lk(signal_mutex_);
          if (draw_due(net, state) <= clock::now()) {
            go_signal_ = false;
            redraw_signal_ = false;
            drawn_state = state;
            take = true;
          }
        }
        if (take) {
          const auto started = clock::now();
          drawing_cycles_.fetch_add(1);
          if (cycle_) cycle_(*net, true);
          // The next frame starts no sooner than the frame interval, nor
          // than this frame's drawing time divided by the share, after
          // this one started.
          last_draw = started;
          draw_pause = std::chrono::duration_cast<clock::duration>((clock::now() - started) / share);
        }
      }
    }
    if (just_ended && end_) end_(end_error);
  }
}

}  // namespace tarnix
