#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pdl/protocol_tree.h"

namespace tarnix {
namespace {

std::vector<std::uint8_t> frame(std::uint16_t ether_type, std::uint8_t ip_protocol, std::uint16_t src_port,
                                std::uint16_t dst_port, std::size_t length) {
  std::vector<std::uint8_t> f(length, 0);
  f[12] = static_cast<std::uint8_t>(ether_type >> 8);
  f[13] = static_cast<std::uint8_t>(ether_type);
  if (ether_type == 0x0800 && length >= 38) {
    f[14] = 0x45;
    f[23] = ip_protocol;
    f[34] = static_cast<std::uint8_t>(src_port >> 8);
    f[35] = static_cast<std::uint8_t>(src_port);
    f[36] = static_cast<std::uint8_t>(dst_port >> 8);
    f[37] = static_cast<std::uint8_t>(dst_port);
  }
  return f;
}

// A busy office LAN of today: mostly TLS over TCP and QUIC, name look-ups,
// file sharing, local discovery chatter, and a share of flows on ports the
// file does not know. Client ports are ephemeral; about half the frames are
// replies, so the well-known port is as often the source as the destination.
std::vector<std::vector<std::uint8_t>> frame_mix() {
  struct Kind {
    int weight;
    std::uint16_t ether_type;
    std::uint8_t ip;
    std::uint16_t port;  // 0: unknown on both sides
    std::size_t length;
  };
  const Kind kinds[] = {
      {30, 0x0800, 6, 443, 1400},  {10, 0x0800, 17, 443, 1250}, {8, 0x0800, 6, 80, 600},
      {8, 0x0800, 17, 53, 90},     {6, 0x0800, 6, 445, 1400},   {4, 0x0800, 6, 22, 120},
      {2, 0x0800, 6, 3389, 300},   {3, 0x0800, 17, 5353, 200},  {2, 0x0800, 17, 1900, 300},
      {1, 0x0800, 17, 123, 90},    {1, 0x0800, 17, 67, 342},    {2, 0x0800, 17, 138, 240},
      {10, 0x0800, 6, 0, 800},     {5, 0x0800, 17, 0, 200},     {3, 0x0800, 1, 0, 98},
      {1, 0x0800, 2, 0, 60},       {4, 0x0806, 0, 0, 60},
  };
  std::mt19937 rng(7);
  std::vector<std::vector<std::uint8_t>> mix;
  for (const Kind& k : kinds) {
    for (int i = 0; i < k.weight * 10; ++i) {
      auto ephemeral = static_cast<std::uint16_t>(32768 + rng() % 28000);
      std::uint16_t known = k.port != 0 ? k.port : static_cast<std::uint16_t>(32768 + rng() % 28000);
      bool reply = (rng() & 1) != 0;
      mix.push_back(frame(k.ether_type, k.ip, reply ? known : ephemeral, reply ? ephemeral : known, k.length));
    }
  }
  std::shuffle(mix.begin(), mix.end(), rng);
  return mix;
}

void BM_ProtocolClassifyFrameMix(benchmark::State& state) {
  PdlResult parsed = pdl_parse(TARNIX_SOURCE_DIR "/data/protocol.pdl");
  if (!parsed) {
    state.SkipWithError(parsed.error.c_str());
    return;
  }
  const auto mix = frame_mix();
  ProtocolPath path;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& f = mix[i];
    if (++i == mix.size()) i = 0;
    benchmark::DoNotOptimize(protocol_classify(parsed.tree.get(), f.data(), f.size(), f.size(), path));
    benchmark::DoNotOptimize(path.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ProtocolClassifyFrameMix);

void BM_PdlParseShippedFile(benchmark::State& state) {
  for (auto _ : state) {
    PdlResult parsed = pdl_parse(TARNIX_SOURCE_DIR "/data/protocol.pdl");
    if (!parsed) {
      state.SkipWithError(parsed.error.c_str());
      return;
    }
    benchmark::DoNotOptimize(parsed.tree.get());
  }
}
BENCHMARK(BM_PdlParseShippedFile)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnix
