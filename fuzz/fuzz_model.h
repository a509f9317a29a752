// The traffic model the frame-level targets feed: the shipped protocol
// file, a classifier and one network, with hooks that read every byte they
// are handed, so that a segment running past its frame shows up under
// AddressSanitizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/bindings.h"
#include "capture/net.h"
#include "pdl/protocol_tree.h"
#include "sniff/frame_view.h"

namespace tarnix::fuzz {

struct TouchAll : TcpSink, DuplicateSink {
  std::uint32_t sum = 0;
  void tcp_segment(const TcpSegment& s) override {
    for (std::size_t i = 0; i < s.captured; ++i) sum += s.tcp[i];
    sum += s.source_ipv4[0] + s.destination_ipv4[3];
    const FrameView& f = *s.frame;
    for (std::uint32_t i = 0; i < f.payload_length; ++i) sum += f.payload_bytes()[i];
  }
  bool detecting() const override { return true; }
  void report(const NetAddress&, const NetAddress&, const NetAddress&) override { ++sum; }
};

inline const ProtocolTree* shipped_tree() {
  static PdlResult parsed = pdl_parse(std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl");
  return parsed.tree.get();
}

// Building a network costs far more than feeding it a few frames (its frame
// window and recent-link table are allocated and cleared whole), so one
// model serves a run of inputs, as one capture serves a stream of frames:
// hosts and links carry over. It is built afresh every kInputsPerModel
// inputs, or once it holds kMaxHosts hosts, because hosts are never removed
// and memory would otherwise grow without bound. A finding that does not
// reproduce on its own input alone needs the inputs run before it since the
// last rebuild.
struct ModelWorld {
  static constexpr int kInputsPerModel = 64;
  static constexpr std::size_t kMaxHosts = 4096;

  TouchAll hooks;
  TrafficModel model;
  Net* net;
  int inputs = 0;
  explicit ModelWorld(Classifier* classifier)
      : model(classifier, nullptr, nullptr, {&hooks, &hooks, nullptr}), net(net_create(model, "fuzz")) {}
};

// The world for the next input.
inline ModelWorld& model_world() {
  // The classifier's memory of recent frames only spares it walks that
  // would give the same path, so it may outlive the models it serves.
  static PdlClassifier classifier(shipped_tree());
  static std::unique_ptr<ModelWorld> w;
  if (!w || w->inputs == ModelWorld::kInputsPerModel ||
      w->net->read([](const Net& n) REQUIRES(n.lock) { return n.all_hosts.size(); }) > ModelWorld::kMaxHosts) {
    w.reset();
    w = std::make_unique<ModelWorld>(&classifier);
  }
  ++w->inputs;
  return *w;
}

// For LLVMFuzzerInitialize: the model kept between inputs makes each input
// allocate more than it frees, which would have the fuzzer search the whole
// heap for leaks after almost every input. Leaks are still looked for when
// the run ends, after every model has been freed; a -detect_leaks given on
// the command line comes later and wins.
inline void leak_checks_at_exit_only(int* argc, char*** argv) {
  static std::vector<char*> args;
  static char no_leak_checks[] = "-detect_leaks=0";
  args.assign(*argv, *argv + *argc);
  args.insert(args.begin() + (*argc > 0 ? 1 : 0), no_leak_checks);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
}

}  // namespace tarnix::fuzz
