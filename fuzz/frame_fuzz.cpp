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

// Building a network costs far more than feeding it a few frames (its frame
// window and recent-link table are allocated and cleared whole), so one
// model serves a run of inputs, as one capture serves a stream of frames:
// time goes on from input to input and hosts and links carry over. It is
// built afresh every kInputsPerModel inputs, or once it holds kMaxHosts
// hosts, because hosts are never removed and memory would otherwise grow
// without bound. A finding that does not reproduce on its own input alone
// needs the inputs run before it since the last rebuild.
constexpr int kInputsPerModel = 64;
constexpr std::size_t kMaxHosts = 4096;

struct World {
  TouchAll hooks;
  TrafficModel model;
  Net* net;
  FrameHeader header;
  int inputs = 0;
  explicit World(Classifier* classifier)
      : model(classifier, nullptr, nullptr, {&hooks, &hooks, nullptr}), net(net_create(model, "fuzz")) {
    // Frames are counted as a capture step counts them: repeating classes
    // noted on their links and added up every few frames.
    net->defer_counts = true;
    header.time = {1000, 0};
  }
};

World& world() {
  // The classifier's memory of recent frames only spares it walks that
  // would give the same path, so it may outlive the models it serves.
  static PdlClassifier classifier(tree());
  static std::unique_ptr<World> w;
  if (!w || w->inputs == kInputsPerModel || w->net->all_hosts.size() > kMaxHosts) {
    w.reset();
    w = std::make_unique<World>(&classifier);
  }
  ++w->inputs;
  return *w;
}

}  // namespace

// The model kept between inputs makes each input allocate more than it
// frees, which would have the fuzzer search the whole heap for leaks after
// almost every input. Leaks are still looked for when the run ends, after
// every model has been freed; a -detect_leaks given on the command line
// comes later and wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  static char no_leak_checks[] = "-detect_leaks=0";
  args.assign(*argv, *argv + *argc);
  args.insert(args.begin() + (*argc > 0 ? 1 : 0), no_leak_checks);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  Net* net = w.net;
  FrameHeader& h = w.header;
  net->defer_counts = true;
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
