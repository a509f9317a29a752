#include "capture/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace tarnix {

namespace {

// Frames asked of the file per call while a batch fills: small enough that
// a batch overshoots its size by little, large enough that the call costs
// nothing per frame.
constexpr int kFramesPerRead = 256;

}  // namespace

ReadAheadSource::ReadAheadSource(std::unique_ptr<PacketSource> inner, double replay_speed)
    : inner_(std::move(inner)),
      link_type_(inner_->link_type()),
      name_(inner_->name()),
      pace_(replay_speed) {
  for (Batch& b : slots_) {
    b.frames.reserve(kBatchFrames);
    b.bytes.resize(kBatchBytes);
  }
  reader_ = std::thread([this] { read_loop(); });
}

ReadAheadSource::~ReadAheadSource() {
  stop_reading_.store(true, std::memory_order_relaxed);
  {
    MutexLock g(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
}

void ReadAheadSource::copy_frame(void* user, const FrameHeader& h, const std::uint8_t* frame) {
  auto& b = *static_cast<Batch*>(user);
  if (b.used + h.caplen > b.bytes.size()) b.bytes.resize(std::max(b.bytes.size() * 2, b.used + h.caplen));
  std::memcpy(b.bytes.data() + b.used, frame, h.caplen);
  b.frames.push_back({h, static_cast<std::uint32_t>(b.used)});
  b.used += h.caplen;
}

void ReadAheadSource::fill(Batch& b) {
  b.frames.clear();
  b.used = 0;
  b.end = 0;
  while (b.frames.size() < kBatchFrames && b.used < kBatchBytes) {
    if (stop_reading_.load(std::memory_order_relaxed)) break;
    int n = 0;
    try {
      n = inner_->dispatch(kFramesPerRead, copy_frame, &b);
    } catch (const std::exception& e) {
      // Out of memory while copying, most likely: the read ends as a
      // damaged one would, with what came before kept.
      b.end = kSourceError;
      b.error = std::string("capture file ") + name_ + " could not be read on: " + e.what();
      break;
    }
    if (n < 0) {
      b.end = n;
      b.error = inner_->error();
      b.stop = inner_->read_stop();
      break;
    }
    // A file source always has a frame or an end; should it answer
    // nothing, what was read goes over rather than wait here.
    if (n == 0 && !b.frames.empty()) break;
    if (n == 0) std::this_thread::yield();
  }
  b.rejected = inner_->filter_rejected();
}

void ReadAheadSource::read_loop() {
  for (std::uint64_t next = 0;; ++next) {
    {
      MutexLock g(mutex_);
      while (!stopping_ && published_ - released_ >= kSlots) g.wait(changed_);
      if (stopping_) return;
    }
    Batch& b = slots_[next % kSlots];
    fill(b);
    if (stop_reading_.load(std::memory_order_relaxed)) return;
    {
      MutexLock g(mutex_);
      ++published_;
    }
    changed_.notify_all();
    if (b.end != 0) return;
  }
}

ReadAheadSource::Batch* ReadAheadSource::take(bool wait) {
  MutexLock g(mutex_);
  if (wait) {
    while (published_ == taken_) g.wait(changed_);
  } else if (published_ == taken_) {
    return nullptr;
  }
  return &slots_[taken_++ % kSlots];
}

void ReadAheadSource::release() {
  current_ = nullptr;
  next_frame_ = 0;
  {
    MutexLock g(mutex_);
    ++released_;
  }
  changed_.notify_all();
}

int ReadAheadSource::dispatch(int max, FrameFn fn, void* user) {
  int n = 0;
  while (n < max && end_ == 0) {
    if (current_ == nullptr) {
      current_ = take(n == 0);
      if (current_ == nullptr) break;
    }
    Batch& b = *current_;
    while (next_frame_ < b.frames.size() && n < max) {
      const FrameRecord& f = b.frames[next_frame_];
      if (pace_.paced() && !pace_.due(ReplayPace::stamp(f.header.time))) return n;
      // Past it before it is handed on: a frame that throws is not handed
      // on again.
      ++next_frame_;
      ++n;
      fn(user, f.header, b.bytes.data() + f.offset);
    }
    if (next_frame_ < b.frames.size()) break;
    rejected_ = b.rejected;
    if (b.end != 0) {
      end_ = b.end;
      stop_ = b.stop;
      error_ = b.error;
    }
    release();
  }
  if (n > 0) return n;
  return end_ != 0 ? end_ : 0;
}

std::chrono::steady_clock::time_point ReadAheadSource::next_due() {
  if (current_ == nullptr || next_frame_ >= current_->frames.size())
    return std::chrono::steady_clock::time_point::max();
  return pace_.when(ReplayPace::stamp(current_->frames[next_frame_].header.time));
}

}  // namespace tarnix
