// Requests recorded per second into SQLite and into PostgreSQL from the same
// captures of real traffic (curl direct and through a proxy, and a browsing
// session), replayed through the sniffer and the recorder as a capture feeds
// them. The PostgreSQL server is the one of $TARNIX_TEST_PG, else a private
// one started in a temporary folder; the figure includes every round trip to
// it over its socket.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../tests/db/pg_test_server.h"
#include "db/recorder.h"
#include "naming/hostc.h"

namespace tarnix {
namespace {

struct Frame {
  std::vector<std::uint8_t> bytes;
  std::uint32_t wire = 0;
};

std::vector<Frame> load_frames() {
  std::vector<Frame> frames;
  for (const char* file : {"/tests/db/data/curl_tinyproxy.pcap", "/tests/ui/data/http_top.pcap"}) {
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_open_offline((std::string(TARNIX_SOURCE_DIR) + file).c_str(), err);
    if (p == nullptr) continue;
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    while (pcap_next_ex(p, &h, &d) == 1) {
      if (h->caplen < 34 || d[12] != 0x08 || d[13] != 0x00 || d[23] != 6) continue;
      frames.push_back(Frame{std::vector<std::uint8_t>(d, d + h->caplen), h->len});
    }
    pcap_close(p);
  }
  return frames;
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Arg 0: SQLite file; 1: PostgreSQL server. Each iteration replays the
// captures `kReplays` times and waits until the last access is committed.
void BM_RecordedRequestsPerEngine(benchmark::State& state) {
  constexpr int kReplays = 200;
  const bool pg = state.range(0) == 1;
  std::string where;
  std::string tmp;
  if (pg) {
    auto& server = testing_support::PgTestServer::get();
    if (!server.available()) {
      state.SkipWithError(server.why().c_str());
      return;
    }
    where = server.fresh_database();
  } else {
    tmp = (std::filesystem::temp_directory_path() / "tarnix-bench-XXXXXX").string();
    if (::mkdtemp(tmp.data()) == nullptr) {
      state.SkipWithError("no temporary folder");
      return;
    }
    where = tmp + "/tarnix.db";
  }
  const std::vector<Frame> frames = load_frames();
  {
    NullNameService ns;  // hosts known by their addresses, as with --no-resolve
    DbHostIdStore ids(db_open_session(where));
    HostCache cache(ns, ids);
    ids.set_names(&cache);
    cache.start();
    UrlRecorder recorder(db_open_session(where, &cache), cache);
    recorder.start();
    UrlCounters counters;
    std::int64_t total = 0;
    double cpu = 0;
    for (auto _ : state) {
      const double cpu0 = process_cpu_seconds();
      const std::uint64_t before = counters.seen.load();
      for (int r = 0; r < kReplays; ++r) {
        HttpSniffer sniffer(recorder);
        for (const Frame& f : frames) {
          const std::uint8_t* d = f.bytes.data();
          const std::size_t ihl = static_cast<std::size_t>(d[14] & 0x0f) * 4;
          if (f.bytes.size() < 14 + ihl) continue;
          sniffer.handle_segment(d + 14 + ihl, f.bytes.size() - 14 - ihl, f.wire - 14 - ihl, d + 26, d + 30,
                                 counters);
        }
      }
      recorder.finish(std::chrono::seconds(120));
      cpu += process_cpu_seconds() - cpu0;
      total += static_cast<std::int64_t>(counters.seen.load() - before);
    }
    state.SetItemsProcessed(total);
    state.counters["per_cpu_second"] = cpu > 0 ? static_cast<double>(total) / cpu : 0;
    state.counters["recorded"] = static_cast<double>(recorder.stats().recorded);
    state.SetLabel(pg ? "postgresql" : "sqlite");
    recorder.stop();
    cache.stop();
  }
  if (!tmp.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
  }
}
BENCHMARK(BM_RecordedRequestsPerEngine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace tarnix
