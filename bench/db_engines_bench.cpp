// Requests recorded per second into SQLite and into PostgreSQL from the same
// captures of real traffic (curl direct and through a proxy, and a browsing
// session), replayed through the sniffer and the recorder as a capture feeds
// them; and from generated LAN traffic: many clients asking many servers for
// many paths, handed to the recorder as the sniffer hands them. The
// PostgreSQL server is the one of $TARNIX_TEST_PG, else a private one
// started in a temporary folder; the figure includes every round trip to it
// over its socket.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/db/pg_test_server.h"
#include "db/recorder.h"
#include "naming/host_cache.h"

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

// Where each engine's database is made for one benchmark; empty (and the
// benchmark skipped) when there is none.
struct BenchDatabase {
  std::string where, tmp;
  explicit BenchDatabase(benchmark::State& state) {
    if (state.range(0) == 1) {
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
  }
  ~BenchDatabase() {
    std::error_code ec;
    if (!tmp.empty()) std::filesystem::remove_all(tmp, ec);
  }
};

// Runs `feed` once per iteration against a recorder over the database and
// waits until the last access is committed.
template <class Feed>
void run_recorder(benchmark::State& state, const std::string& where, Feed feed) {
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
    feed(recorder, counters);
    recorder.finish(std::chrono::seconds(300));
    cpu += process_cpu_seconds() - cpu0;
    total += static_cast<std::int64_t>(counters.seen.load() - before);
  }
  state.SetItemsProcessed(total);
  state.counters["per_cpu_second"] = cpu > 0 ? static_cast<double>(total) / cpu : 0;
  state.counters["recorded"] = static_cast<double>(recorder.stats().recorded);
  state.SetLabel(state.range(0) == 1 ? "postgresql" : "sqlite");
  recorder.stop();
  cache.stop();
}

// Arg 0: SQLite file; 1: PostgreSQL server. Each iteration replays the
// captures `kReplays` times.
void BM_RecordedRequestsPerEngine(benchmark::State& state) {
  constexpr int kReplays = 1000;
  BenchDatabase db(state);
  if (db.where.empty()) return;
  const std::vector<Frame> frames = load_frames();
  run_recorder(state, db.where, [&](UrlRecorder& recorder, UrlCounters& counters) {
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
  });
}
BENCHMARK(BM_RecordedRequestsPerEngine)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// A LAN's worth of traffic: 1,000 clients, 250 servers (each asked by its
// address, one in five on a second port) of 40 pages each; 50,000 requests
// an iteration, the first meeting every host and most URLs for the first
// time.
void BM_GeneratedRequestsPerEngine(benchmark::State& state) {
  constexpr int kRequests = 50000;
  BenchDatabase db(state);
  if (db.where.empty()) return;
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  run_recorder(state, db.where, [&](UrlRecorder& recorder, UrlCounters& counters) {
    char host[32], target[48];
    for (int i = 0; i < kRequests; ++i) {
      const std::uint32_t c = next() % 1000, v = next() % 250, p = next() % 40;
      const std::uint8_t client[4] = {10, 1, static_cast<std::uint8_t>(c / 250),
                                      static_cast<std::uint8_t>(c % 250)};
      const std::uint8_t server[4] = {10, 2, 0, static_cast<std::uint8_t>(v)};
      std::snprintf(host, sizeof host, v % 5 == 0 ? "10.2.0.%u:8080" : "10.2.0.%u", v);
      std::snprintf(target, sizeof target, "/site/%u/page%u.html", v, p);
      recorder.record_request(counters, client, server, host, target, 1700000000 + i / 1000);
    }
  });
}
BENCHMARK(BM_GeneratedRequestsPerEngine)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
}  // namespace tarnix
