#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "core/hashtable.h"
#include "core/ring.h"
#include "naming/netaddr.h"

namespace tarnix {
namespace {

// Frames at 20,000 a second through the window with the counting it does on
// the capture path.
void BM_FrameWindowAdd(benchmark::State& state) {
  auto w = ring_create();
  long frames = 0, bytes = 0;
  TimeValue t{1000, 0};
  std::uint32_t i = 0;
  for (auto _ : state) {
    t.usec += 50;
    if (t.usec >= 1000000) {
      t.usec -= 1000000;
      ++t.sec;
    }
    ring_add(
        *w, 60 + i % 1400, t,
        [&](const WindowEntry& e) {
          ++frames;
          bytes += e.length;
        },
        [&](const WindowEntry& e) {
          --frames;
          bytes -= e.length;
        });
    ++i;
  }
  benchmark::DoNotOptimize(frames);
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameWindowAdd);

// Host look-ups by IPv4 address in a table of N hosts.
void BM_AddressTableLookup(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  HashTable<NetAddress, int, NetAddressKeyTraits> table;
  std::vector<NetAddress> keys;
  for (int i = 0; i < n; ++i) {
    keys.push_back(NetAddress::ipv4(10, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i & 0xFF), 7));
    table.insert(keys.back(), i);
  }
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.find(keys[k]));
    k = (k + 1) % keys.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddressTableLookup)->Arg(256)->Arg(4096)->Arg(65536);

}  // namespace
}  // namespace tarnix
