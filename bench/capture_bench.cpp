// The whole frame path (capture file, filters, classification against the
// shipped protocol file, hosts, links, protocol trees, window, rankings and
// the per-cycle tick) beside a bare libpcap read of the same file, and the
// memory a host and a link cost.
//
// The capture is generated once per run: 2,000,000 frames of mixed traffic
// among 400 hosts (web, TLS, SSH, DNS, NTP, ICMP, some ARP), with realistic
// wire lengths and the first 96 bytes captured. Its IPv6 twin carries the
// same conversations between IPv6 hosts, frames 20 bytes longer (the longer
// header) and captured as far into the payload.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pcap/pcap.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture/bindings.h"
#include "capture/capture_thread.h"
#include "capture/net.h"
#include "capture/source.h"
#include "pdl/protocol_tree.h"
#include "sniff/dns.h"
#include "sniff/names.h"

namespace tarnix {
namespace {

constexpr int kDefaultFrames = 2'000'000;
// TARNIX_BENCH_FRAMES makes the capture smaller, for profiling under
// valgrind; the figures are meant for the default size.
int frame_count() {
  const char* v = std::getenv("TARNIX_BENCH_FRAMES");
  const int n = v != nullptr ? std::atoi(v) : 0;
  return n > 0 ? n : kDefaultFrames;
}
constexpr int kHosts = 400;
constexpr std::uint32_t kCaptured = 96;
// What an IPv6 header adds to an IPv4 one without options.
constexpr std::uint32_t kIpv6Extra = 20;

struct Generated {
  std::string path;
  bool ipv6 = false;
  explicit Generated(bool v6 = false) : ipv6(v6) {
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/tarnix_capture_bench_" + std::to_string(getpid()) +
           (ipv6 ? "_v6" : "") + ".pcap";
    generate();
  }
  ~Generated() { std::remove(path.c_str()); }

  void generate() {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 600);
    pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
    if (d == nullptr) {
      pcap_close(dead);
      return;
    }
    std::mt19937 rng(12345);
    // Traffic comes in conversations: about 64 run at a time, each between a
    // client and one of a few servers on one service, and each lasts a
    // number of frames before another takes its place. Frames of a
    // conversation go both ways: data one way, acknowledgements the other.
    std::uniform_int_distribution<int> any_host(0, kHosts - 1);
    std::uniform_int_distribution<int> server(0, 19);
    std::uniform_int_distribution<int> pct(0, 99);
    std::uniform_int_distribution<int> slot(0, 63);
    struct Flow {
      int client, srv, left;
      std::uint8_t proto;
      std::uint16_t port;
      bool hello = true;  // a TLS client's first segment is still to come
    };
    auto new_flow = [&] {
      Flow fl{any_host(rng), server(rng), 1 + pct(rng) * 3, 6, 80, true};
      int kind = pct(rng);
      if (kind < 35) {
        fl.proto = 6, fl.port = 80;
      } else if (kind < 65) {
        fl.proto = 6, fl.port = 443;
      } else if (kind < 72) {
        fl.proto = 6, fl.port = 22;
      } else if (kind < 85) {
        fl.proto = 17, fl.port = 53, fl.left = 2;
      } else if (kind < 90) {
        fl.proto = 17, fl.port = 123, fl.left = 2;
      } else if (kind < 95) {
        fl.proto = 1, fl.port = 0, fl.left = 4;
      } else if (kind < 97) {
        fl.proto = 17, fl.port = 5353, fl.left = 1;
      } else {
        fl.proto = 0, fl.port = 0, fl.left = 2;  // ARP
      }
      return fl;
    };
    std::vector<Flow> flows;
    for (int i = 0; i < 64; ++i) flows.push_back(new_flow());
    std::uint8_t f[kCaptured + kIpv6Extra];
    const std::uint32_t captured = ipv6 ? kCaptured + kIpv6Extra : kCaptured;
    // Where the transport header starts.
    const int t = ipv6 ? 54 : 34;
    std::int64_t usec = 0;
    const int frames = frame_count();
    for (int i = 0; i < frames; ++i) {
      std::memset(f, 0, sizeof f);
      Flow& fl = flows[static_cast<std::size_t>(slot(rng))];
      if (--fl.left <= 0) fl = new_flow();
      const bool reply = pct(rng) < 55;
      const int client = fl.client, srv = fl.srv;
      const std::uint8_t proto = fl.proto;
      const std::uint16_t port = fl.port;
      std::uint32_t len =
          (proto == 6 && reply && pct(rng) < 80) ? 1514 : static_cast<std::uint32_t>(60 + pct(rng) * 3);
      const int a = reply ? srv : client, b = reply ? client : srv;
      auto host_ip = [](int h, std::uint8_t* out) {
        out[0] = h < 300 ? 192 : 10;
        out[1] = h < 300 ? 168 : static_cast<std::uint8_t>(h % 7);
        out[2] = static_cast<std::uint8_t>(h / 250);
        out[3] = static_cast<std::uint8_t>(h % 250 + 1);
      };
      // The same hosts in as many /64 groups: fd00:0:0:G::H, fd00:1:0:G::H.
      auto host_ip6 = [](int h, std::uint8_t* out) {
        std::memset(out, 0, 16);
        out[0] = 0xfd;
        out[3] = h < 300 ? 0 : 1;
        out[7] = static_cast<std::uint8_t>(h < 300 ? h / 250 : h % 7);
        out[15] = static_cast<std::uint8_t>(h % 250 + 1);
      };
      f[5] = static_cast<std::uint8_t>(b);
      f[11] = static_cast<std::uint8_t>(a);
      f[0] = f[6] = 0x02;
      if (proto == 0) {
        f[12] = 0x08, f[13] = 0x06;
        len = 60;
      } else if (ipv6) {
        if (len < 1514) len += kIpv6Extra;
        f[12] = 0x86, f[13] = 0xDD;
        f[14] = 0x60;
        f[20] = proto == 1 ? 58 : proto;  // ICMPv6 for ICMP
        f[21] = 64;
        f[18] = static_cast<std::uint8_t>((len - 54) >> 8), f[19] = static_cast<std::uint8_t>(len - 54);
        host_ip6(a, f + 22);
        host_ip6(b, f + 38);
      } else {
        f[12] = 0x08, f[13] = 0x00;
        f[14] = 0x45;
        f[23] = proto;
        host_ip(a, f + 26);
        host_ip(b, f + 30);
      }
      if (proto != 0) {
        std::uint16_t sport = reply ? port : static_cast<std::uint16_t>(30000 + client);
        std::uint16_t dport = reply ? static_cast<std::uint16_t>(30000 + client) : port;
        f[t] = static_cast<std::uint8_t>(sport >> 8), f[t + 1] = static_cast<std::uint8_t>(sport);
        f[t + 2] = static_cast<std::uint8_t>(dport >> 8), f[t + 3] = static_cast<std::uint8_t>(dport);
        if (proto == 6) f[t + 12] = 0x50;
        if (proto == 17) {
          const std::uint32_t udp = len - static_cast<std::uint32_t>(t);
          f[t + 4] = static_cast<std::uint8_t>(udp >> 8), f[t + 5] = static_cast<std::uint8_t>(udp);
        }
        // A DNS server's answer: one A record naming the asking host's
        // server, as the name sniffer meets them.
        if (proto == 17 && port == 53 && reply && !ipv6 && len >= 42 + 46) {
          const std::uint8_t answer[] = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0, 3, 'w', 'w', 'w', 4, 'h',
                                         'o',  's',  't',  3,    'l', 'a', 'n', 0, 0, 1, 0, 1, 0xc0, 0x0c, 0, 1,
                                         0,    1,    0,    0,    0,   60,  0,   4};
          std::memcpy(f + 42, answer, sizeof answer);
          host_ip(b, f + 42 + sizeof answer);
        }
        // Its IPv6 twin: the AAAA answer, its first twelve address bytes
        // captured.
        if (proto == 17 && port == 53 && reply && ipv6 && len >= 62 + 58) {
          const std::uint8_t answer[] = {0x12, 0x34, 0x81, 0x80, 0,   1,   0,   1, 0,   0,   0,   0,  3, 'w',
                                         'w',  'w',  4,    'h',  'o', 's', 't', 3, 'l', 'a', 'n', 0,  0, 28,
                                         0,    1,    0xc0, 0x0c, 0,   28,  0,   1, 0,   0,   0,   60, 0, 16};
          std::memcpy(f + 62, answer, sizeof answer);
          std::uint8_t six[16];
          host_ip6(b, six);
          std::memcpy(f + 62 + sizeof answer, six, captured - 62 - sizeof answer);
        }
        // The start of a ClientHello, cut by the capture before its name,
        // as a capture of the first 96 bytes shows them.
        if (proto == 6 && port == 443 && !reply && fl.hello && len >= 300) {
          fl.hello = false;
          const std::uint8_t start[] = {0x16, 3, 1, 0x06, 0xe0, 1, 0, 0x06, 0xdc, 3, 3};
          std::memcpy(f + t + 20, start, sizeof start);
        }
      }
      usec += 5 + pct(rng) % 20;  // about 70,000 frames a second
      pcap_pkthdr h{};
      h.ts.tv_sec = 1700000000 + usec / 1000000;
      h.ts.tv_usec = usec % 1000000;
      h.len = len;
      h.caplen = len < captured ? len : captured;
      pcap_dump(reinterpret_cast<u_char*>(d), &h, f);
    }
    pcap_dump_close(d);
    pcap_close(dead);
  }
};

const Generated& capture_file() {
  static Generated g;
  return g;
}

const Generated& capture_file_ipv6() {
  static Generated g(true);
  return g;
}

void count_frame(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* n = reinterpret_cast<std::uint64_t*>(user);
  *n += h->len + bytes[0];
}

// The file read through libpcap with a callback that only looks at each
// frame: what any use of the same capture costs at least. Frames read, or -1.
std::int64_t bare_read(const std::string& path, std::string& error) {
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  if (p == nullptr) {
    error = err;
    return -1;
  }
  std::uint64_t sum = 0;
  std::int64_t frames = 0;
  int n;
  while ((n = pcap_dispatch(p, 255, count_frame, reinterpret_cast<u_char*>(&sum))) > 0) frames += n;
  benchmark::DoNotOptimize(sum);
  pcap_close(p);
  return frames;
}

// CPU time of this thread, user and system: what the runs cost the machine,
// without the time other programs (or a virtual machine's neighbours) take
// the processor away in between.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct FullRun {
  std::int64_t frames = -1;
  std::size_t hosts = 0, links = 0;
  std::string error;
};

// The file through the capture source, the capture steps and the model, as
// the capture thread runs them when it keeps up with the traffic: a tick for
// every 100 ms of capture time (ten cycles a second), steps in between.
// Without ticks only the final tick runs: the frame path alone. The model is
// made before and taken down after the timed part, whose CPU time `timed`
// gets.
// The file is read on the same thread unless read_ahead; `wall` times the
// run on the steady clock instead, for runs that use more than one thread.
FullRun full_path(const std::string& path, PdlClassifier& classifier, bool ticks, double& timed,
                  TcpSink* tcp = nullptr, NameSink* names = nullptr, bool read_ahead = false,
                  bool wall = false) {
  FullRun out;
  CaptureHooks hooks;
  hooks.tcp = tcp;
  hooks.names = names;
  auto model = std::make_unique<TrafficModel>(&classifier, nullptr, nullptr, hooks);
  model->local_address = NetAddress::ipv4(192, 168, 0, 1);
  Net* net = net_create(*model, path);
  OpenResult r = open_file_source(path, "", 0, read_ahead);
  if (!r.source) {
    out.error = r.error;
    return out;
  }
  const auto now = [wall] {
    return wall ? std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count()
                : thread_seconds();
  };
  const double start = now();
  TimeValue last_tick = {0, 0};
  for (;;) {
    CaptureStepResult s = netif_capture(*net, *r.source, std::chrono::milliseconds(1));
    if ((ticks && timer_elapsed_ms(last_tick, model->now) >= 100) || s != CaptureStepResult::kOk) {
      MutexLock g(net->lock);
      net_tick(*net);
      last_tick = model->now;
    }
    if (s != CaptureStepResult::kOk) break;
  }
  timed = now() - start;
  out.frames = static_cast<std::int64_t>(net->counters.frames_seen);
  out.hosts = static_cast<std::size_t>(net->hosts.count());
  net->host_list.foreach([&](Node* h) { out.links += static_cast<std::size_t>(h->links.count()); });
  return out;
}

// The shipped protocol file; false, with the benchmark skipped, when it
// does not parse.
bool shipped_protocols(benchmark::State& state, PdlResult& parsed) {
  parsed = pdl_parse(std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl");
  if (!parsed) state.SkipWithError(parsed.error.c_str());
  return static_cast<bool>(parsed);
}

void BM_CaptureBareRead(benchmark::State& state) {
  const std::string& path = capture_file().path;
  std::int64_t frames = 0;
  for (auto _ : state) {
    std::string error;
    const std::int64_t n = bare_read(path, error);
    if (n < 0) {
      state.SkipWithError(error.c_str());
      return;
    }
    frames += n;
  }
  state.SetItemsProcessed(frames);
}
BENCHMARK(BM_CaptureBareRead)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_CaptureFullPath(benchmark::State& state) {
  const std::string& path = capture_file().path;
  PdlResult parsed;
  if (!shipped_protocols(state, parsed)) return;
  PdlClassifier classifier(parsed.tree.get());
  std::int64_t frames = 0;
  std::size_t hosts = 0, links = 0;
  for (auto _ : state) {
    double seconds = 0;
    FullRun run = full_path(path, classifier, state.range(0) != 0, seconds);
    if (run.frames < 0) {
      state.SkipWithError(run.error.c_str());
      return;
    }
    state.SetIterationTime(seconds);
    frames += run.frames;
    hosts = run.hosts;
    links = run.links;
  }
  state.SetItemsProcessed(frames);
  state.counters["hosts"] = static_cast<double>(hosts);
  state.counters["links"] = static_cast<double>(links);
}
BENCHMARK(BM_CaptureFullPath)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

// The same file path with ticks, the file read on the counting thread (0) or
// on a thread of its own (1), on the wall clock: what reading apart from
// counting gains with a second core free. Whole-process figures beside a
// bare read: bench/file_path.sh.
void BM_CaptureFilePathReadAhead(benchmark::State& state) {
  const std::string& path = capture_file().path;
  PdlResult parsed;
  if (!shipped_protocols(state, parsed)) return;
  PdlClassifier classifier(parsed.tree.get());
  std::int64_t frames = 0;
  for (auto _ : state) {
    double seconds = 0;
    FullRun run = full_path(path, classifier, true, seconds, nullptr, nullptr, state.range(0) != 0, true);
    if (run.frames < 0) {
      state.SkipWithError(run.error.c_str());
      return;
    }
    state.SetIterationTime(seconds);
    frames += run.frames;
  }
  state.SetItemsProcessed(frames);
}
BENCHMARK(BM_CaptureFilePathReadAhead)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseManualTime();

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The share itself. Bare reads, frame paths (classification, hosts, links,
// protocol trees, window and rankings, with one tick at the end) and the
// same with a tick every 100 ms of capture time are taken in turn, so that
// a machine that slows down or speeds up between runs weighs on all three
// alike. Counters: the median rate of each kind of run and the shares of
// the bare read's median rate; and the shares of the best runs, the least
// disturbed on a busy machine.
void BM_CaptureShareOfBareRead(benchmark::State& state) {
  const std::string& path = capture_file().path;
  PdlResult parsed;
  if (!shipped_protocols(state, parsed)) return;
  PdlClassifier classifier(parsed.tree.get());
  std::vector<double> bare, with_ticks, frame_path;
  for (auto _ : state) {
    std::string error;
    const double start = thread_seconds();
    const std::int64_t n = bare_read(path, error);
    const double bare_s = thread_seconds() - start;
    if (n < 0) {
      state.SkipWithError(error.c_str());
      return;
    }
    double ticks_s = 0, frame_s = 0;
    FullRun a = full_path(path, classifier, true, ticks_s);
    FullRun b = full_path(path, classifier, false, frame_s);
    if (a.frames != n || b.frames != n) {
      state.SkipWithError("the runs saw different numbers of frames");
      return;
    }
    bare.push_back(static_cast<double>(n) / bare_s);
    with_ticks.push_back(static_cast<double>(n) / ticks_s);
    frame_path.push_back(static_cast<double>(n) / frame_s);
    state.SetIterationTime(bare_s + ticks_s + frame_s);
  }
  const double b = median(bare), t = median(with_ticks), p = median(frame_path);
  state.counters["bare_fps"] = b;
  state.counters["frame_path_fps"] = p;
  state.counters["with_ticks_fps"] = t;
  state.counters["frame_path_share"] = p / b;
  state.counters["with_ticks_share"] = t / b;
  const double best_bare = *std::max_element(bare.begin(), bare.end());
  state.counters["best_frame_path_share"] = *std::max_element(frame_path.begin(), frame_path.end()) / best_bare;
  state.counters["best_with_ticks_share"] = *std::max_element(with_ticks.begin(), with_ticks.end()) / best_bare;
}
BENCHMARK(BM_CaptureShareOfBareRead)->Unit(benchmark::kMillisecond)->Iterations(11)->UseManualTime();

// The same conversations over IPv4 and over IPv6, through the whole path
// with its ticks, taken in turn; `ipv6_share` is the median IPv6 rate
// against the median IPv4 rate.
void BM_CaptureIpv6AgainstIpv4(benchmark::State& state) {
  const std::string& path4 = capture_file().path;
  const std::string& path6 = capture_file_ipv6().path;
  PdlResult parsed;
  if (!shipped_protocols(state, parsed)) return;
  PdlClassifier classifier(parsed.tree.get());
  std::vector<double> v4, v6;
  std::size_t hosts6 = 0, links6 = 0;
  for (auto _ : state) {
    double s4 = 0, s6 = 0;
    FullRun a = full_path(path4, classifier, true, s4);
    FullRun b = full_path(path6, classifier, true, s6);
    if (a.frames < 0 || b.frames != a.frames || b.hosts != a.hosts || b.links != a.links) {
      state.SkipWithError("the IPv6 run did not see the IPv4 run's frames, hosts and links");
      return;
    }
    v4.push_back(static_cast<double>(a.frames) / s4);
    v6.push_back(static_cast<double>(b.frames) / s6);
    hosts6 = b.hosts;
    links6 = b.links;
    state.SetIterationTime(s4 + s6);
  }
  state.counters["ipv4_fps"] = median(v4);
  state.counters["ipv6_fps"] = median(v6);
  state.counters["ipv6_share"] = median(v6) / median(v4);
  state.counters["ipv6_hosts"] = static_cast<double>(hosts6);
  state.counters["ipv6_links"] = static_cast<double>(links6);
}
BENCHMARK(BM_CaptureIpv6AgainstIpv4)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

// What the sniffers find goes nowhere: the cost measured is theirs alone.
struct DiscardRequests final : HttpRequestSink {
  int record_request(UrlCounters&, const NetAddress&, const NetAddress&, const char*, const char*,
                     std::int64_t) override {
    return 1;
  }
};

// The frame path with the HTTP sniffer alone and with the TLS sniffer beside
// it, taken in turn; counters: the median rates and the share of the one
// with TLS in the one without (1 means it costs nothing).
void BM_CaptureTlsSnifferOnOff(benchmark::State& state) {
  const std::string& path = capture_file().path;
  PdlResult parsed;
  if (!shipped_protocols(state, parsed)) return;
  PdlClassifier classifier(parsed.tree.get());
  DiscardRequests discard;
  std::vector<double> off, on;
  std::uint64_t gathered = 0;
  for (auto _ : state) {
    HttpSniffer http(discard);
    TlsSniffer tls(discard);
    SnifferSink http_only(http), both(http, &tls);
    double off_s = 0, on_s = 0;
    FullRun a = full_path(path, classifier, false, off_s, &http_only);
    FullRun b = full_path(path, classifier, false, on_s, &both);
    if (a.frames < 0 || b.frames != a.frames) {
      state.SkipWithError("the runs saw different numbers of frames");
      return;
    }
    off.push_back(static_cast<double>(a.frames) / off_s);
    on.push_back(static_cast<double>(b.frames) / on_s);
    gathered = tls.stats().gathered;
    state.SetIterationTime(off_s + on_s);
  }
  state.counters["off_fps"] = median(off);
  state.counters["on_fps"] = median(on);
  state.counters["on_share"] = median(on) / median(off);
  state.counters["hellos_gathered"] = static_cast<double>(gathered);
}
BENCHMARK(BM_CaptureTlsSnifferOnOff)->Unit(benchmark::kMillisecond)->Iterations(7)->UseManualTime();

// The frame path without and with the sniffer of names heard on the wire
// (DNS, mDNS, LLMNR, DHCP), taken in turn, the cache's resolver draining
// what it hears as it would; `on_share` is the rate with it against the
// rate without.
void BM_CaptureNameSnifferOnOff(benchmark::State& state) {
  const std::string& path = capture_file().path;
  PdlResult parsed;
  if (!shipped_protocols(state, parsed)) return;
  PdlClassifier classifier(parsed.tree.get());
  std::vector<double> off, on;
  std::uint64_t messages = 0;
  for (auto _ : state) {
    NullNameService ns;
    MemoryHostIdStore ids;
    HostCache cache(ns, ids);
    cache.start();
    NameSniffer sniffer(cache);
    double off_s = 0, on_s = 0;
    FullRun a = full_path(path, classifier, false, off_s);
    FullRun b = full_path(path, classifier, false, on_s, nullptr, &sniffer);
    if (a.frames < 0 || b.frames != a.frames) {
      state.SkipWithError("the runs saw different numbers of frames");
      return;
    }
    off.push_back(static_cast<double>(a.frames) / off_s);
    on.push_back(static_cast<double>(b.frames) / on_s);
    messages = sniffer.counts().packets;
    state.SetIterationTime(off_s + on_s);
  }
  state.counters["off_fps"] = median(off);
  state.counters["on_fps"] = median(on);
  state.counters["on_share"] = median(on) / median(off);
  state.counters["name_packets_read"] = static_cast<double>(messages);
}
BENCHMARK(BM_CaptureNameSnifferOnOff)->Unit(benchmark::kMillisecond)->Iterations(7)->UseManualTime();

// One real answer (A through a two-step CNAME chain, with an EDNS record),
// as dnsmasq sent it in the capture the fuzz seeds come from: the parser's
// cost per DNS answer.
void BM_DnsParseRealAnswer(benchmark::State& state) {
  const std::string path =
      std::string(TARNIX_SOURCE_DIR) + "/fuzz/corpus/dns_fuzz/67e7873d1bcdd3576c8ccf97f51397d7f35b8675";
  std::vector<std::uint8_t> answer;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) answer.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
  }
  std::size_t names = 0;
  for (auto _ : state) {
    DnsMessage m;
    dns_parse(answer.data(), answer.size(), m);
    names += m.names.size();
    benchmark::DoNotOptimize(m);
  }
  if (names != static_cast<std::size_t>(state.iterations())) state.SkipWithError("the answer did not parse");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DnsParseRealAnswer);

// Heap bytes in use, from the allocator, and the host and link records'
// slots in use, from their pools (whose blocks earlier benchmarks may have
// left with free slots, which the allocator no longer sees).
std::size_t heap_in_use() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd + RecordPool<Node>::slots_in_use() * RecordPool<Node>::kSlot +
         RecordPool<Link>::slots_in_use() * RecordPool<Link>::kSlot;
}

// Memory of one host (its record, its empty links table, its entries in the
// network's table, list and subnet group) and of one link (its record and a
// five-node protocol tree: ETHERNET/IP/TCP/HTTP plus a UDP sibling),
// measured from the allocator over many of each.
void BM_CaptureMemoryPerRecord(benchmark::State& state) {
  NullClassifier cl;
  const int kMany = 2000;
  double per_host = 0, per_link = 0;
  int fake_protocols[5];
  const protocol_node* p1[] = {reinterpret_cast<const protocol_node*>(&fake_protocols[0]),
                               reinterpret_cast<const protocol_node*>(&fake_protocols[1]),
                               reinterpret_cast<const protocol_node*>(&fake_protocols[2]),
                               reinterpret_cast<const protocol_node*>(&fake_protocols[3]), nullptr};
  const protocol_node* p2[] = {p1[0], p1[1], reinterpret_cast<const protocol_node*>(&fake_protocols[4]), nullptr};
  for (auto _ : state) {
    TrafficModel model(&cl, nullptr, nullptr);
    Net* net = net_create(model, "mem");
    std::vector<Node*> hosts;
    std::size_t before = heap_in_use();
    for (int i = 0; i < kMany; ++i) {
      Node* h = node_create(*net, NetAddress::ipv4(10, static_cast<std::uint8_t>(i / 65536),
                                                   static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i)));
      ip_net_assign(*net, *h);
      hosts.push_back(h);
    }
    std::size_t after_hosts = heap_in_use();
    for (int i = 0; i < kMany; ++i) {
      Link* l = link_create(*net, *hosts[i], *hosts[(i + 1) % kMany]);
      linkstat_add(*l, p1, 100);
      linkstat_add(*l, p2, 100);
    }
    std::size_t after_links = heap_in_use();
    per_host = static_cast<double>(after_hosts - before) / kMany;
    per_link = static_cast<double>(after_links - after_hosts) / kMany;
  }
  state.counters["bytes_per_host"] = per_host;
  state.counters["bytes_per_link"] = per_link;
}
BENCHMARK(BM_CaptureMemoryPerRecord)->Iterations(1);

}  // namespace
}  // namespace tarnix
