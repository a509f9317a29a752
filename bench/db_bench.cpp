// Requests recorded per second into SQLite through the recorder: the
// producer plays the capture thread, the store thread writes in batches.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/recorder.h"
#include "naming/host_cache.h"

namespace tarnix {
namespace {

class BenchDir {
 public:
  BenchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~BenchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file() const { return (path_ / "tarnix.db").string(); }

 private:
  std::filesystem::path path_;
};

struct Rig {
  BenchDir dir;
  NullNameService ns;  // every host known by its address, as with --no-resolve
  std::unique_ptr<DbHostIdStore> ids;
  std::unique_ptr<HostCache> cache;
  std::unique_ptr<UrlRecorder> recorder;
  UrlCounters counters;
  std::vector<std::string> targets;

  Rig() {
    ids = std::make_unique<DbHostIdStore>(db_open_session(dir.file()));
    cache = std::make_unique<HostCache>(ns, *ids);
    ids->set_names(cache.get());
    cache->start();
    recorder = std::make_unique<UrlRecorder>(db_open_session(dir.file(), cache.get()), *cache);
    recorder->start();
    for (int i = 0; i < 1000; ++i)
      targets.push_back("/site/page" + std::to_string(i) + ".html?q=" + std::to_string(i * 7));
    // Every host resolved once, as after the first minutes of a capture.
    for (int i = 0; i < 64; ++i) send(i, "/warm");
    recorder->finish(std::chrono::seconds(30));
  }
  ~Rig() {
    recorder->stop();
    cache->stop();
  }
  void send(int i, const std::string& target) {
    const std::uint8_t client[4] = {10, 0, 1, static_cast<std::uint8_t>(i % 50)};
    const std::uint8_t server[4] = {10, 0, 2, static_cast<std::uint8_t>(i % 10)};
    recorder->record_request(counters, client, server, nullptr, target.c_str());
  }
};

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Whole path: queued by the producer, written and committed by the store
// thread; the clock stops when the last access is committed. On a shared
// machine the wall-clock rate follows the load; per_cpu_second (requests per
// second of CPU used by all threads) does not.
void BM_RecordedRequestsPerSecond(benchmark::State& state) {
  Rig rig;
  const int batch = static_cast<int>(state.range(0));
  std::int64_t total = 0;
  int k = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double cpu0 = process_cpu_seconds();
    for (int i = 0; i < batch; ++i, ++k)
      rig.send(k, rig.targets[static_cast<std::size_t>(k) % rig.targets.size()]);
    rig.recorder->finish(std::chrono::seconds(60));
    cpu += process_cpu_seconds() - cpu0;
    total += batch;
  }
  state.SetItemsProcessed(total);
  state.counters["per_cpu_second"] = cpu > 0 ? static_cast<double>(total) / cpu : 0;
  state.counters["recorded"] = static_cast<double>(rig.recorder->stats().recorded);
}
BENCHMARK(BM_RecordedRequestsPerSecond)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// What one request costs the capture thread: counting, splitting the target
// and queueing, while the store thread writes in the background.
void BM_CaptureThreadCostPerRequest(benchmark::State& state) {
  Rig rig;
  int k = 0;
  for (auto _ : state) {
    rig.send(k, rig.targets[static_cast<std::size_t>(k) % rig.targets.size()]);
    ++k;
  }
  state.SetItemsProcessed(state.iterations());
  rig.recorder->finish(std::chrono::seconds(120));
}
BENCHMARK(BM_CaptureThreadCostPerRequest)->Iterations(200000);

}  // namespace
}  // namespace tarnix
