// How the traffic model grows: the cost of each new host as a network fills
// up (a scan or a spoofed-source flood meets this on the capture thread).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "capture/bindings.h"
#include "capture/net.h"
#include "naming/host_cache.h"

namespace tarnix {
namespace {

// A classifier that names no protocol: the host records are what is measured.
class NoClass final : public Classifier {
 public:
  int classify(const std::uint8_t*, std::size_t, std::uint32_t, const protocol_node** path) override {
    path[0] = nullptr;
    return 0;
  }
  std::string_view name_of(const protocol_node*) const override { return {}; }
  std::string_view description_of(const protocol_node*) const override { return {}; }
};

std::vector<std::uint8_t> frame_from(std::uint32_t src) {
  std::vector<std::uint8_t> f(60, 0);
  f[12] = 0x08;
  f[14] = 0x45;
  f[23] = 17;
  f[26] = 10;
  f[27] = static_cast<std::uint8_t>(src >> 16);
  f[28] = static_cast<std::uint8_t>(src >> 8);
  f[29] = static_cast<std::uint8_t>(src);
  f[30] = 10, f[33] = 1;
  f[34] = 0x30, f[36] = 0x30;  // ports 12288: not filtered
  return f;
}

// The same from fd00::SRC to fd00::1: one /64 group.
std::vector<std::uint8_t> frame_from6(std::uint32_t src) {
  std::vector<std::uint8_t> f(80, 0);
  f[12] = 0x86, f[13] = 0xDD;
  f[14] = 0x60;
  f[19] = 26;  // payload length
  f[20] = 17;
  f[22] = 0xfd;
  f[35] = static_cast<std::uint8_t>(src >> 16);
  f[36] = static_cast<std::uint8_t>(src >> 8);
  f[37] = static_cast<std::uint8_t>(src);
  f[38] = 0xfd, f[53] = 1;
  f[54] = 0x30, f[56] = 0x30;  // ports 12288: not filtered
  f[59] = 26;
  return f;
}

// N new hosts in random order, all of one subnet group (10/8 seen from a
// machine outside it), each sending one frame to the same server, with the
// name cache asked for every new host as the capture thread asks it. Items
// are hosts: the time per item should not grow with N.
void new_hosts(benchmark::State& state, std::vector<std::uint8_t> (*frame_of)(std::uint32_t)) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::uint32_t> order(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i + 2);
  std::shuffle(order.begin(), order.end(), std::mt19937(42));
  std::vector<std::vector<std::uint8_t>> frames;
  frames.reserve(order.size());
  for (std::uint32_t a : order) frames.push_back(frame_of(a));
  NoClass classifier;
  for (auto _ : state) {
    state.PauseTiming();
    NullNameService ns;
    MemoryHostIdStore ids;
    auto cache = std::make_unique<HostCache>(ns, ids);  // not started: requests queue
    HostCacheNamer namer(*cache);
    // A second argument of 0: no name cache, the model alone.
    const bool names = state.range(1) != 0;
    auto model = std::make_unique<TrafficModel>(&classifier, names ? &namer : nullptr, nullptr);
    model->local_address = NetAddress::ipv4(192, 168, 1, 10);
    model->local_mask = NetAddress::ipv4(255, 255, 255, 0);
    Net* net = net_create(*model, "bench");
    state.ResumeTiming();
    FrameHeader h;
    h.time = {1000, 0};
    for (const auto& f : frames) {
      h.caplen = h.len = static_cast<std::uint32_t>(f.size());
      netif_callback(*net, h, f.data());
      if (++h.time.usec == 1000000) h.time = {h.time.sec + 1, 0};
    }
    benchmark::DoNotOptimize(net->host_list.count());
    state.PauseTiming();
    model.reset();
    cache.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_NewHostsInOneGroup(benchmark::State& state) {
  new_hosts(state, frame_from);
}
BENCHMARK(BM_NewHostsInOneGroup)
    ->Args({10000, 1})
    ->Args({40000, 1})
    ->Args({100000, 1})
    ->Args({10000, 0})
    ->Args({40000, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The same for IPv6 hosts; 40,000 should take at most six times what
// 10,000 take.
void BM_NewIpv6Hosts(benchmark::State& state) {
  new_hosts(state, frame_from6);
}
BENCHMARK(BM_NewIpv6Hosts)
    ->Args({10000, 1})
    ->Args({40000, 1})
    ->Args({10000, 0})
    ->Args({40000, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace tarnix
