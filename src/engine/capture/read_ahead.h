// A capture file read on a thread of its own. The reader copies frames into
// a small ring of batches, each a few hundred kilobytes of frame bytes and a
// list of frame records; the thread that counts takes whole batches and
// hands their frames on. The counting thread waits only when the ring is
// empty, the reader only when it is full: neither runs ahead without bound,
// and a file costs no allocation per frame.
//
// The frames, their order, the end of the file (clean, cut short or
// damaged), the capture filter's count and the replay pace are those of the
// source read directly.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/replay_pace.h"
#include "capture/source.h"
#include "core/mutex.h"

namespace tarnix {

class ReadAheadSource final : public PacketSource {
 public:
  // How far the reader may run ahead: kSlots batches, each closed at
  // kBatchBytes of frame bytes or kBatchFrames frames, whichever first.
  static constexpr std::size_t kSlots = 8;
  static constexpr std::size_t kBatchBytes = 256 * 1024;
  static constexpr std::size_t kBatchFrames = 2048;

  // One frame as the reader found it. Its header carries its link type, so
  // that a file whose frames differ in it can be read ahead too.
  struct FrameRecord {
    FrameHeader header;
    std::uint32_t offset = 0;  // of its bytes in the batch
  };

  // `inner` is read unpaced on the reader thread from now on and is not
  // touched by anyone else. The pace is kept here: replay_speed as for
  // open_file_source.
  ReadAheadSource(std::unique_ptr<PacketSource> inner, double replay_speed);
  ~ReadAheadSource() override;
  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  // Waits for the reader only when nothing is ready and nothing was handed
  // over yet, as a direct read waits for the disk.
  int dispatch(int max, FrameFn fn, void* user) override;
  bool stats(SourceStats&) override { return false; }
  LinkType link_type() const override { return link_type_; }
  const std::string& name() const override { return name_; }
  std::uint64_t filter_rejected() const override { return rejected_; }
  std::chrono::steady_clock::time_point next_due() override;
  std::optional<std::uint64_t> cut_short_after() const override {
    if (stop_ && stop_->cut_short) return stop_->frames;
    return std::nullopt;
  }
  std::optional<CaptureReadStop> read_stop() const override { return stop_; }

 private:
  struct Batch {
    std::vector<FrameRecord> frames;
    std::vector<std::uint8_t> bytes;  // grown for a frame too large, never shrunk
    std::size_t used = 0;
    std::uint64_t rejected = 0;  // the filter's count once this batch was read
    int end = 0;                 // 0, or the source's kSourceEnd / kSourceError after it
    std::string error;
    std::optional<CaptureReadStop> stop;
  };

  void read_loop();
  void fill(Batch& b);
  static void copy_frame(void* user, const FrameHeader& h, const std::uint8_t* frame);
  // The next batch the reader finished, or null; waits for it when `wait`.
  Batch* take(bool wait);
  void release();

  std::unique_ptr<PacketSource> inner_;  // the reader thread's alone
  LinkType link_type_;
  std::string name_;
  ReplayPace pace_;

  std::array<Batch, kSlots> slots_;
  // A slot belongs to the reader from its release until it is published,
  // then to the counting thread until released: the counts below, under
  // mutex_, pass it from one to the other.
  Mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t published_ GUARDED_BY(mutex_) = 0;
  std::uint64_t released_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::atomic<bool> stop_reading_{false};

  // The counting thread's own.
  std::uint64_t taken_ = 0;
  Batch* current_ = nullptr;
  std::size_t next_frame_ = 0;
  std::uint64_t rejected_ = 0;
  int end_ = 0;
  std::optional<CaptureReadStop> stop_;

  std::thread reader_;
};

}  // namespace tarnix
