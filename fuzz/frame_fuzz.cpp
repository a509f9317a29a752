// Any bytes as a run of frames through the frame decoder, the capture
// callback, the frame handler (with the shipped protocol file), the window
// and the tick.
//
// Input: [link type:1] then records of [caplen:2 LE][wire extra:2 LE][time
// step us:2 LE][bytes]. The first byte picks the link layer of every frame
// (its value modulo the number of link types Tarnix reads, Ethernet first).
// The wire length is the captured length plus the extra, so it is never
// shorter than what was captured, as libpcap guarantees.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_model.h"
#include "sniff/frame_view.h"

using namespace tarnix;

namespace {

// The decoder's promise, checked field by field: nothing it names lies past
// the captured bytes. AddressSanitizer would miss a field that points just
// past them but is never read here.
void check_view(const std::uint8_t* frame, std::uint32_t cap, std::uint32_t wire, LinkType link) {
  FrameView v;
  const bool ip = frame_decode(frame, cap, wire, v, link);
  const std::uint8_t* end = frame + cap;
  bool sound = ip == (v.network != NetworkKind::kNone) && v.link_type == link;
  if (v.link_source != nullptr) sound = sound && v.link_source + 6 <= end && v.link_header <= cap;
  if (v.link_destination != nullptr) sound = sound && v.link_destination + 6 <= end;
  if (ip) {
    sound = sound && v.source + v.address_length <= end && v.destination + v.address_length <= end &&
            v.transport == v.link_header + v.ip_header_length;
    if (v.has_ports) sound = sound && v.first_fragment && v.transport + 4 <= cap;
    if (v.payload != 0)
      sound = sound && v.has_ports && v.payload <= cap && v.payload + v.payload_length == cap;
  }
  // The Ethernet-shaped copy the protocol tree reads: within its room, and
  // reading only captured bytes (the frame is an exact-size copy).
  if (ip && link != LinkType::kEthernet) {
    std::unique_ptr<std::uint8_t[]> shaped(new std::uint8_t[cap + kEtherHeaderLength]);
    const std::uint32_t n = frame_ethernet_shape(v, shaped.get(), cap + kEtherHeaderLength);
    sound = sound && n >= kEtherHeaderLength && n <= cap + kEtherHeaderLength;
  }
  if (!sound) __builtin_trap();
}

constexpr int kLinkTypes = static_cast<int>(LinkType::kUnsupported);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::leak_checks_at_exit_only(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ModelWorld& w = fuzz::model_world();
  Net* net = w.net;
  // Time goes on from input to input while the model lives.
  static FrameHeader h;
  if (w.inputs == 1) h.time = {1000, 0};
  MutexLock held(net->lock);
  // Frames are counted as a capture step counts them: repeating classes
  // noted on their links and added up every few frames.
  net->defer_counts = true;
  if (size == 0) return 0;
  h.link = static_cast<LinkType>(data[0] % kLinkTypes);
  std::size_t pos = 1;
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
    check_view(frame.get(), h.caplen, h.len, h.link);
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
