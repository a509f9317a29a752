#include "capture/capture_thread.h"

namespace tarnix {

namespace {

constexpr int kFramesPerDispatch = 255;
constexpr int kDispatchesPerHold = 4;
constexpr auto kLongestWait = std::chrono::milliseconds(250);

void deliver_ethernet(void* user, const FrameHeader& h, const std::uint8_t* frame) {
  netif_callback(*static_cast<Net*>(user), h, frame);
}

// Not Ethernet: the frame still tells the time, and is filtered out.
void deliver_other(void* user, const FrameHeader& h, const std::uint8_t*) {
  Net& net = *static_cast<Net*>(user);
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
  const FrameFn deliver = source.ethernet() ? deliver_ethernet : deliver_other;
  CaptureStepResult result = CaptureStepResult::kOk;
  for (;;) {
    int n = 0;
    bool budget_spent = false;
    {
      std::lock_guard<std::mutex> g(net.lock);
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
        budget_spent = clock::now() - start >= budget;
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
    std::lock_guard<std::mutex> g(net.lock);
    if (have_stats) {
      net.counters.received = stats.received;
      net.counters.dropped = stats.dropped;
      net.counters.interface_dropped = stats.interface_dropped;
    }
    const std::uint32_t load = load_percent_of(net.window_bytes, source.link_speed_bps());
    net.load_percent.store(load, std::memory_order_relaxed);
  }
  if (CaptureStepSink* step = net.model->hooks.step) step->after_capture_step(net);
  return result;
}

CaptureLoop::CaptureLoop(TrafficModel& model, Options options) : model_(model), options_(options) {
  if (options_.period > kLongestWait) options_.period = kLongestWait;
  if (options_.period.count() < 0) options_.period = std::chrono::milliseconds(0);
}

CaptureLoop::~CaptureLoop() { stop(); }

std::unique_ptr<PacketSource> CaptureLoop::set_source(std::unique_ptr<PacketSource> source, Net* net) {
  std::lock_guard<std::mutex> g(source_mutex_);
  std::swap(source, source_);
  net_ = net;
  ended_ = false;
  if (net_ != nullptr && source_ != nullptr) {
    std::lock_guard<std::mutex> ng(net_->lock);
    net_->link_speed_bps = source_->link_speed_bps();
  }
  return source;
}

void CaptureLoop::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(signal_mutex_);
    stop_signal_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void CaptureLoop::stop() {
  {
    std::lock_guard<std::mutex> g(signal_mutex_);
    stop_signal_ = true;
  }
  signal_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CaptureLoop::go() {
  {
    std::lock_guard<std::mutex> g(signal_mutex_);
    go_signal_ = true;
  }
  signal_cv_.notify_all();
}

void CaptureLoop::run() {
  using clock = std::chrono::steady_clock;
  auto next_cycle = clock::now();
  for (;;) {
    bool draw = false;
    {
      std::unique_lock<std::mutex> lk(signal_mutex_);
      if (stop_signal_) return;
      if (options_.pacing == Pacing::kExternal) {
        signal_cv_.wait_for(lk, kLongestWait, [this] { return stop_signal_ || go_signal_; });
        draw = go_signal_;
      } else {
        bool flat_out;
        {
          std::lock_guard<std::mutex> sg(source_mutex_);
          flat_out = options_.run_flat_out && source_ != nullptr && !ended_;
        }
        if (!flat_out) signal_cv_.wait_until(lk, next_cycle, [this] { return stop_signal_; });
      }
      if (stop_signal_) return;
    }
    next_cycle = clock::now() + options_.period;

    Net* net = nullptr;
    std::string end_error;
    bool just_ended = false;
    {
      std::lock_guard<std::mutex> sg(source_mutex_);
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
      {
        std::lock_guard<std::mutex> g(net->lock);
        net_tick(*net);
      }
      if (cycle_) cycle_(*net, draw);
    }
    if (draw) {
      std::lock_guard<std::mutex> lk(signal_mutex_);
      go_signal_ = false;
    }
    cycles_.fetch_add(1);
    if (just_ended && end_) end_(end_error);
  }
}

}  // namespace tarnix
