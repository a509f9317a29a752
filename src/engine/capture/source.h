// Where frames come from: a live adapter or a capture file, both through
// libpcap. A source never blocks: dispatch() hands over what is waiting now
// and returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/net.h"

namespace tarnix {

// Called once per frame: capture time, captured and wire lengths, bytes.
using FrameFn = void (*)(void* user, const FrameHeader& header, const std::uint8_t* frame);

// What dispatch() reports besides a frame count.
enum : int {
  kSourceError = -1,  // see error(); the next call may work again
  kSourceEnd = -2,    // a capture file has no more frames
};

// Where and why a capture file stopped being read before its end. The
// frames before it were delivered and stand.
struct CaptureReadStop {
  std::uint64_t frames = 0;  // frames read before the stop
  std::int64_t offset = -1;  // bytes of the file read when it stopped; -1 when unknown
  std::string reason;        // the capture library's own words
  // The file ends inside its last record, as a capture that was stopped
  // while writing does: not damage, and the run still succeeds. Anything
  // else (an impossible record length, a bad block) is damage: a file
  // source then ends with kSourceError and error() says it.
  bool cut_short = false;
};

struct SourceStats {
  std::uint64_t received = 0;
  std::uint64_t dropped = 0;            // by the kernel, buffer full
  std::uint64_t interface_dropped = 0;  // by the interface or its driver
};

class PacketSource {
 public:
  virtual ~PacketSource() = default;
  // Hands at most `max` waiting frames to fn; returns how many, 0 when none
  // waits, or kSourceError / kSourceEnd.
  virtual int dispatch(int max, FrameFn fn, void* user) = 0;
  // Library statistics; false when the source has none (capture files).
  virtual bool stats(SourceStats& out) = 0;
  // The link layer of the frames it hands over (each frame's header says
  // it again, for a file that mixes them). A source whose frames Tarnix
  // cannot read is never opened.
  virtual LinkType link_type() const { return LinkType::kEthernet; }
  // Adapter name, or the file's path.
  virtual const std::string& name() const = 0;
  // Bits per second of the link, 0 when unknown.
  virtual std::uint64_t link_speed_bps() const { return 0; }
  // Frames the capture filter turned away, where the source can tell.
  virtual std::uint64_t filter_rejected() const { return 0; }
  // A descriptor that polls readable when frames wait (a live adapter), or
  // -1: the reader then asks again on its own schedule.
  virtual int wait_fd() const { return -1; }
  // When the next frame becomes available, where the source knows (a file
  // played at its recorded pace); time_point::max() when it does not.
  virtual std::chrono::steady_clock::time_point next_due() { return std::chrono::steady_clock::time_point::max(); }
  // A capture file whose last record is short: how many frames came before
  // it. Empty for a whole file and for adapters. Read once the source ended.
  virtual std::optional<std::uint64_t> cut_short_after() const { return std::nullopt; }
  // Why a capture file stopped before its end (a short last record, or a
  // damaged record). Empty for a whole file and for adapters. Read once the
  // source ended, on the thread that reads it or after that thread stopped.
  virtual std::optional<CaptureReadStop> read_stop() const { return std::nullopt; }
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// "capture file cut short after N frames", for the summary and the status line.
std::string capture_cut_short_text(std::uint64_t frames);
// "capture file F damaged after N frames (read up to byte B): <libpcap's
// message>", one line for the summary, the status line and a message box.
std::string capture_read_stop_text(const std::string& file, const CaptureReadStop& stop);

struct OpenResult {
  std::unique_ptr<PacketSource> source;  // null on failure
  std::string error;                     // one line a user can act on
};

// The kernel buffer of a live adapter unless the user sets another: at
// 1 Gbit/s of full-sized frames it holds about half a second, so a drawing
// cycle or a busy moment on the machine never costs frames.
constexpr int kDefaultKernelBufferMb = 64;

// Whole frames are captured: the kernel ring is filled by captured length, so
// short frames cost no more, and a long request line is not cut.
inline constexpr int kLiveSnapLength = 262144;

// Opens an adapter: promiscuous, snapshot length kLiveSnapLength, a kernel buffer of
// `buffer_mb` megabytes, non-blocking, with a descriptor to wait on.
// `filter` (may be empty) is a BPF expression.
OpenResult open_live_source(const std::string& device, const std::string& filter,
                            int buffer_mb = kDefaultKernelBufferMb);

// Opens a pcap or pcapng file, gzip-compressed or not (told by its first
// bytes, not its name). replay_speed 0 delivers frames as fast as they are
// asked for; X > 0 delivers each frame when its recorded offset from the
// first frame, divided by X, has passed. With read_ahead the file is read
// and decompressed on a thread of its own a bounded way ahead of the
// frames asked for; without, by the thread that asks, as it asks.
OpenResult open_file_source(const std::string& path, const std::string& filter, double replay_speed,
                            bool read_ahead = true);

// The link type Tarnix reads for a capture library link type (DLT_*), or
// kUnsupported.
LinkType link_type_of_dlt(int dlt);
// "<name> (<description>)" of a capture library link type, for messages.
std::string dlt_text(int dlt);

// Link speed the system reports for an adapter (/sys/class/net/<if>/speed,
// in Mbit/s), or 0 when it reports none (virtual, wireless or down links).
std::uint64_t adapter_link_speed_bps(const std::string& device);

// What load percentages are measured against when the link speed is unknown.
constexpr std::uint64_t kFallbackLinkSpeedBps = 100'000'000;

}  // namespace tarnix
