#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "naming/dupip.h"
#include "naming/host_cache.h"

namespace tarnix {
namespace {

// Answers at once, naming every other address.
class InstantNameService : public NameService {
 public:
  std::optional<HostRecord> by_address(const std::uint8_t a[4]) override {
    if (a[3] % 2 != 0) return std::nullopt;
    HostRecord r;
    r.name = "host" + std::to_string(a[2] * 256 + a[3]) + ".example.com";
    r.addresses.push_back({a[0], a[1], a[2], a[3]});
    return r;
  }
  std::optional<HostRecord> by_name(const std::string&) override { return std::nullopt; }
};

NetAddress addr(int i) {
  return NetAddress::ipv4(10, 0, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256));
}

struct FilledCache {
  explicit FilledCache(int hosts) {
    cache.start();
    for (int i = 0; i < hosts; ++i) cache.request_ipv4(addr(i), nullptr);
    cache.wait_idle();
  }
  InstantNameService ns;
  MemoryHostIdStore ids;
  HostCache cache{ns, ids};
};

// What host creation on the capture thread pays per new host: one cache
// look-up, hit or miss, with 2,000 entries in the tables.
void BM_HostcFindIpv4(benchmark::State& state) {
  FilledCache f(2000);
  const bool hit = state.range(0) != 0;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.cache.find_ipv4(hit ? addr(i % 2000) : NetAddress::ipv4(172, 16, 0, 1)));
    ++i;
  }
}
BENCHMARK(BM_HostcFindIpv4)->Arg(1)->Arg(0);

// The same look-up while the resolver keeps inserting new entries.
void BM_HostcFindIpv4WhileResolving(benchmark::State& state) {
  FilledCache f(2000);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    for (int i = 2000; !stop.load(); ++i) {
      f.cache.request_ipv4(addr(i % 60000), nullptr);
      if (i % 256 == 0) f.cache.wait_idle();
    }
  });
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.cache.find_ipv4(addr(i % 2000)));
    ++i;
  }
  stop = true;
  feeder.join();
}
BENCHMARK(BM_HostcFindIpv4WhileResolving);

// Cost of queueing a request (what the capture thread pays for an uncached host).
void BM_HostcRequestQueue(benchmark::State& state) {
  InstantNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);  // not started: measures the queue alone
  for (auto _ : state) cache.request_ipv4(addr(1), nullptr);
  cache.start();  // outside the timed loop: drain what was queued
  cache.wait_idle();
}
BENCHMARK(BM_HostcRequestQueue);

// Full round trip: request, resolver wakes up, answers from the cache,
// completion runs.
void BM_HostcRoundTrip(benchmark::State& state) {
  FilledCache f(16);
  std::mutex m;
  std::condition_variable cv;
  bool answered = false;
  for (auto _ : state) {
    f.cache.request_ipv4(addr(3), [&](const HostCacheRef&) {
      std::lock_guard lock(m);
      answered = true;
      cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return answered; });
    answered = false;
  }
}
BENCHMARK(BM_HostcRoundTrip)->UseRealTime();

// New entries per second through the resolver with an instant name service
// and the in-memory id store (the store's linear scan grows with the hosts).
void BM_HostcResolveNew(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto f = std::make_unique<FilledCache>(0);
    state.ResumeTiming();
    for (int i = 0; i < state.range(0); ++i) f->cache.request_ipv4(addr(i), nullptr);
    f->cache.wait_idle();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HostcResolveNew)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

// The capture thread's report for a frame from an address already listed.
void BM_DupIpRecordKnown(benchmark::State& state) {
  DupIp dup;
  dup.open();
  const std::uint8_t a[6] = {2, 0, 0, 0, 0, 0xa}, b[6] = {2, 0, 0, 0, 0, 0xb};
  NetAddress ip = NetAddress::ipv4(10, 0, 0, 5), ea = NetAddress::ether(a), eb = NetAddress::ether(b);
  dup.record(ip, ea, eb);
  for (auto _ : state) {
    dup.record(ip, ea, eb);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DupIpRecordKnown);

}  // namespace
}  // namespace tarnix
