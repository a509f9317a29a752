// Any bytes as a capture file (pcap or pcapng), read through the file source
// by the capture step into the model, as the headless program reads --read.
// The source must hand over only bytes that lie in the file, each frame's
// captured bytes readable to the end, and come to an end or an error: a
// source that delivers nothing and never ends would stall the capture
// thread for good.
//
// Input: [flags:1][file]. Bit 0 of the flags sets a capture filter, which
// makes the source read frame by frame instead of in libpcap's batches.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture/capture_thread.h"
#include "capture/source.h"
#include "fuzz_model.h"

namespace {

using namespace tarnix;

// Passes the source's frames on, reading each to its last captured byte and
// counting what it delivered.
class Checked final : public PacketSource {
 public:
  explicit Checked(PacketSource& inner) : inner_(inner) {}
  int dispatch(int max, FrameFn fn, void* user) override {
    Pass pass{this, fn, user};
    const int n = inner_.dispatch(max, &Checked::check, &pass);
    if (n > max || (n < 0 && n != kSourceEnd && n != kSourceError)) std::abort();
    if (n >= 0 && n != pass.frames) std::abort();
    if (n < 0) ended = true;
    return n;
  }
  bool stats(SourceStats& out) override { return inner_.stats(out); }
  LinkType link_type() const override { return inner_.link_type(); }
  const std::string& name() const override { return inner_.name(); }

  bool ended = false;
  std::uint64_t captured = 0;
  std::uint32_t sum = 0;

 private:
  struct Pass {
    Checked* self;
    FrameFn fn;
    void* user;
    int frames = 0;
  };
  static void check(void* user, const FrameHeader& h, const std::uint8_t* frame) {
    auto* pass = static_cast<Pass*>(user);
    if (frame == nullptr && h.caplen != 0) std::abort();
    for (std::uint32_t i = 0; i < h.caplen; ++i) pass->self->sum += frame[i];
    pass->self->captured += h.caplen;
    ++pass->frames;
    pass->fn(pass->user, h, frame);
  }

  PacketSource& inner_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::leak_checks_at_exit_only(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  ++data;
  --size;
  // The file lives in memory; libpcap opens it by name like any other.
  const int fd = memfd_create("capture_file_fuzz", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  OpenResult opened = open_file_source(path, (flags & 1) ? "ip or arp" : "", 0.0);
  if (!opened.source) {
    if (opened.error.empty()) std::abort();  // a refused file says why
    close(fd);
    return 0;
  }

  fuzz::ModelWorld& w = fuzz::model_world();
  Checked source(*opened.source);
  // Each step reads 4 batches of 255 frames at most, and a record takes at
  // least 16 bytes of the file: past this many steps the source is stuck.
  const std::size_t max_steps = size / (16 * 255 * 4) + 8;
  CaptureStepResult r = CaptureStepResult::kOk;
  for (std::size_t step = 0; step < max_steps && r == CaptureStepResult::kOk; ++step) {
    r = netif_capture(*w.net, source, std::chrono::seconds(10));
    MutexLock held(w.net->lock);
    net_tick(*w.net);
  }
  if (r == CaptureStepResult::kOk || !source.ended) std::abort();
  if (r == CaptureStepResult::kError && opened.source->error().empty()) std::abort();  // and says why
  // Whatever a frame holds came from the file.
  if (source.captured > size) std::abort();
  // Once ended, the source stays ended.
  if (opened.source->dispatch(
          255, [](void*, const FrameHeader&, const std::uint8_t*) { std::abort(); }, nullptr) > 0)
    std::abort();
  opened.source.reset();
  close(fd);
  return 0;
}
