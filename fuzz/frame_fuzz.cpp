// Any bytes as a run of frames through the capture callback, the frame
// handler (with the shipped protocol file), the window and the tick.
//
// Input: records of [caplen:2 LE][wire extra:2 LE][time step us:2 LE][bytes].
// The wire length is the captured length plus the extra, so it is never
// shorter than what was captured, as libpcap guarantees.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "capture/bindings.h"
#include "capture/net.h"
#include "pdl/pd.h"

namespace {

using namespace tarnix;

// Reads every byte it is given, so that a segment running past the frame
// shows up under AddressSanitizer.
struct TouchAll : TcpSink, DuplicateSink {
  std::uint32_t sum = 0;
  void tcp_segment(const TcpSegment& s) override {
    for (std::size_t i = 0; i < s.captured; ++i) sum += s.tcp[i];
    sum += s.source_ipv4[0] + s.destination_ipv4[3];
  }
  bool detecting() const override { return true; }
  void report(const NetAddress&, const NetAddress&, const NetAddress&) override { ++sum; }
};

const ProtocolTree* tree() {
  static PdlResult parsed = pdl_parse(std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl");
  return parsed.tree.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PdlClassifier classifier(tree());
  TouchAll hooks;
  TrafficModel model(&classifier, nullptr, nullptr, {&hooks, &hooks, nullptr});
  Net* net = net_create(model, "fuzz");
  // Frames are counted as a capture step counts them: repeating classes
  // noted on their links and added up every few frames.
  net->defer_counts = true;
  FrameHeader h;
  h.time = {1000, 0};
  std::size_t pos = 0;
  int frames = 0;
  while (pos + 6 <= size) {
    std::uint32_t cap = data[pos] | (data[pos + 1] << 8);
    std::uint32_t extra = data[pos + 2] | (data[pos + 3] << 8);
    std::uint32_t step = data[pos + 4] | (data[pos + 5] << 8);
    pos += 6;
    if (cap > size - pos) cap = static_cast<std::uint32_t>(size - pos);
    // An exact-size copy, so that any read past the captured bytes is caught.
    std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[cap ? cap : 1]);
    if (cap) std::memcpy(frame.get(), data + pos, cap);
    pos += cap;
    h.time.usec += static_cast<std::int32_t>(step * 16);
    while (h.time.usec >= 1000000) {
      h.time.usec -= 1000000;
      ++h.time.sec;
    }
    h.caplen = cap;
    h.len = cap + extra;
    netif_callback(*net, h, frame.get());
    ++frames;
    if (frames % 7 == 0) net_flush_counts(*net);
    if (frames % 16 == 0) net_tick(*net);
  }
  net_flush_counts(*net);
  net->defer_counts = false;
  net_tick(*net);
  return 0;
}
