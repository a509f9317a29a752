// One map frame (layout and drawing into the off-screen image, as the capture
// thread makes it) for a network of N hosts and 4N links: the cost that a
// display's frame rate multiplies.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>
#include <memory>
#include <random>

#include "app/settings.h"
#include "capture/classifier.h"
#include "capture/net.h"
#include "ui/map_view.h"
#include "ui/vector/stroke_font.h"

namespace tarnix::ui {
namespace {

std::shared_ptr<StrokeFont> load_font() {
  QString err;
  auto f = StrokeFont::load(QStringLiteral(TARNIX_BINARY_DIR "/data/font.bin"), err);
  return f ? std::make_shared<StrokeFont>(std::move(*f)) : nullptr;
}

void frame(std::uint8_t* f, std::uint32_t src, std::uint32_t dst) {
  std::fill(f, f + 60, 0);
  f[12] = 0x08;
  f[14] = 0x45;
  f[23] = 6;
  for (int i = 0; i < 4; ++i) {
    f[26 + i] = static_cast<std::uint8_t>(src >> (24 - 8 * i));
    f[30 + i] = static_cast<std::uint8_t>(dst >> (24 - 8 * i));
  }
  f[36] = 0, f[37] = 80;
}

void BM_MapFrame(benchmark::State& state) {
  const int hosts = static_cast<int>(state.range(0));
  const bool thin = state.range(1) != 0;
  static auto font = load_font();
  if (!font) {
    state.SkipWithError("no font.bin in the build tree");
    return;
  }
  NullClassifier classifier;
  TrafficModel model(&classifier, nullptr, nullptr);
  model.local_address = NetAddress::ipv4(192, 168, 1, 10);
  model.local_mask = NetAddress::ipv4(255, 255, 255, 0);
  Net* net = net_create(model, "bench");
  // Hosts in ten subnets; each sends to four others, the busiest most.
  auto address = [](int i) {
    return (std::uint32_t(192) << 24) | (std::uint32_t(168) << 16) | (std::uint32_t(i % 10) << 8) |
           std::uint32_t(1 + i / 10 % 250) | 0u;
  };
  std::mt19937 rnd(3);
  std::uint8_t f[60];
  FrameHeader h;
  h.caplen = 60;
  h.time = {1000, 0};
  for (int i = 0; i < hosts; ++i)
    for (int k = 0; k < 4; ++k) {
      frame(f, address(i) + std::uint32_t((i / 2500) << 16), address(int(rnd() % std::uint32_t(hosts))));
      h.len = 60 + static_cast<std::uint32_t>(rnd() % 1400);
      h.time.usec = (h.time.usec + 37) % 1000000;
      netif_callback(*net, h, f);
    }
  for (int t = 0; t < 3; ++t) net_tick(*net);
  // One link in ten busy enough to be drawn wide (up to 20 pixels).
  int nth = 0;
  net->host_list.foreach ([&](Node* n) {
    n->links.foreach ([&](const NetAddress&, std::unique_ptr<Link>& l) {
      if (++nth % 10 == 0) rates_of(*l).bytes.average = double(nth % 20) * 10240 / 0.6;
    });
  });
  // The defaults a new user starts with, as an empty settings file gives them.
  app::Settings s;
  QTemporaryDir dir;
  QSettings store(dir.filePath(QStringLiteral("bench.ini")), QSettings::IniFormat);
  app::settings_load(s, store);
  s.dynamic = 0;  // every host and link drawn, active or not
  s.dynamic_links = 0;
  if (thin) s.max_link_width = 1;
  MapRenderer r(s, font);
  std::array<QRgb, kMapPaletteSize> palette{};
  for (std::size_t k = 0; k < palette.size(); ++k)
    palette[k] = QColor::fromHsv(int(k * 11 % 360), 200, 255).rgb();
  r.set_palette(palette);
  r.request_size(1128, 747);
  r.draw_frame(*net);  // the first frame lays the groups out
  for (auto _ : state) benchmark::DoNotOptimize(r.draw_frame(*net));
  if (const char* save = std::getenv("TARNIX_BENCH_SAVE"))
    r.snapshot().save(QString::fromLocal8Bit(save) +
                      QStringLiteral("/map-%1-%2.png").arg(hosts).arg(thin ? 1 : 0));
  state.counters["hosts"] = static_cast<double>(net->host_list.count());
  state.counters["links"] = static_cast<double>(net->all_links.size());
}
// Second argument: links as wide as their rates make them (0: one in ten
// busy, up to 20 pixels), or all one pixel (1).
BENCHMARK(BM_MapFrame)->ArgsProduct({{500, 1000, 2000, 5000}, {1, 0}})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnix::ui

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
