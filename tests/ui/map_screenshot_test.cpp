// Plays a capture through the whole desktop program (offscreen) and checks
// the drawn map against the layout: rings, discs and links where the layout
// puts them. Set TARNIX_SCREENSHOT=/path/map.png to keep the picture.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>
#include <map>
#include <set>

#include "app/startup.h"
#include "capture/net.h"
#include "ui/main_window.h"
#include "ui/map_layout.h"
#include "ui/map_view.h"
#include "ui/runtime.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

void put16(QByteArray& b, int v) {
  b.append(char((v >> 8) & 0xff));
  b.append(char(v & 0xff));
}
void put32le(QByteArray& b, quint32 v) {
  for (int i = 0; i < 4; ++i) b.append(char((v >> (8 * i)) & 0xff));
}

// One Ethernet/IPv4/TCP-or-UDP frame of `size` bytes.
QByteArray frame(const quint8 src[4], const quint8 dst[4], bool tcp, int sport, int dport, int size) {
  QByteArray f;
  const char dmac[6] = {2, 0, 0, 0, char(dst[2]), char(dst[3])};
  const char smac[6] = {2, 0, 0, 0, char(src[2]), char(src[3])};
  f.append(dmac, 6);
  f.append(smac, 6);
  put16(f, 0x0800);
  f.append(char(0x45));
  f.append(char(0));
  put16(f, size - 14);
  put16(f, 0);
  put16(f, 0x4000);
  f.append(char(64));
  f.append(char(tcp ? 6 : 17));
  put16(f, 0);
  f.append(reinterpret_cast<const char*>(src), 4);
  f.append(reinterpret_cast<const char*>(dst), 4);
  put16(f, sport);
  put16(f, dport);
  if (tcp) {
    put32le(f, 1);
    put32le(f, 0);
    f.append(char(0x50));
    f.append(char(0x18));
    put16(f, 1024);
    put16(f, 0);
    put16(f, 0);
  } else {
    put16(f, size - 34);
    put16(f, 0);
  }
  f.append(QByteArray(size - f.size(), 'x'));
  return f;
}

struct Conversation {
  quint8 a[4], b[4];
  bool tcp;
  int port;
};

// Three subnets, fifteen hosts; three seconds of traffic.
QByteArray capture_file() {
  QByteArray pcap;
  put32le(pcap, 0xa1b2c3d4);
  pcap.append(char(2)).append(char(0)).append(char(4)).append(char(0));
  put32le(pcap, 0);
  put32le(pcap, 0);
  put32le(pcap, 65535);
  put32le(pcap, 1);
  const Conversation talks[] = {
      {{192, 168, 5, 1}, {192, 168, 5, 2}, true, 80}, {{192, 168, 5, 3}, {172, 16, 1, 1}, true, 443},
      {{192, 168, 5, 4}, {10, 0, 0, 1}, false, 53},   {{172, 16, 1, 2}, {172, 16, 1, 3}, true, 22},
      {{172, 16, 1, 4}, {10, 0, 0, 2}, true, 25},     {{10, 0, 0, 3}, {10, 0, 0, 4}, false, 123},
      {{192, 168, 5, 5}, {172, 16, 1, 5}, true, 80},  {{192, 168, 5, 6}, {10, 0, 0, 1}, true, 80},
  };
  const quint32 start = 1700000000;
  int n = 0;
  for (int step = 0; step < 300; ++step) {
    const Conversation& c = talks[step % 8];
    const bool reply = (step / 8) % 2 == 1;
    QByteArray f = reply ? frame(c.b, c.a, c.tcp, c.port, 40000 + step % 8, 1200)
                         : frame(c.a, c.b, c.tcp, 40000 + step % 8, c.port, 1400);
    const quint32 usec = quint32(step) * 10000;  // 3 s in all
    put32le(pcap, start + usec / 1000000);
    put32le(pcap, usec % 1000000);
    put32le(pcap, quint32(f.size()));
    put32le(pcap, quint32(f.size()));
    pcap.append(f);
    ++n;
  }
  return pcap;
}

bool lit_near(const QImage& img, QPointF p, int radius, int threshold = 90) {
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx) {
      const int x = int(std::lround(p.x())) + dx, y = int(std::lround(p.y())) + dy;
      if (x < 0 || y < 0 || x >= img.width() || y >= img.height()) continue;
      const QRgb c = img.pixel(x, y);
      if (qRed(c) + qGreen(c) + qBlue(c) > threshold) return true;
    }
  return false;
}

TEST(MapScreenshot, PlayedCaptureDrawsRingsDiscsAndLinksWhereTheLayoutPutsThem) {
  QTemporaryDir home;
  testing::use_home(home);
  const QString pcap_path = home.filePath("three-subnets.pcap");
  {
    QFile f(pcap_path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(capture_file());
  }

  app::RecordingMessenger messages;
  RuntimeOptions options;
  options.capture_file = pcap_path;
  options.replay_speed = 0;
  options.skip_database = true;
  options.resolve_names = false;
  DesktopRuntime runtime(messages, options);
  ASSERT_EQ(app::run_startup(runtime, messages), 0) << messages.texts().join(" | ").toStdString();
  EXPECT_TRUE(messages.shown.empty()) << messages.texts().join(" | ").toStdString();
  MainWindow* w = runtime.main_window();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->windowTitle(), "Tarnix — three-subnets.pcap (capture file)");
  w->resize(1100, 850);
  QApplication::processEvents();
  MapWindow* map = runtime.map_window();
  const int mw = map->width(), mh = map->height();
  ASSERT_EQ(mw, w->centralWidget()->width() - 300);
  ASSERT_EQ(mh, w->centralWidget()->height() - 120);
  ASSERT_GT(mh, 300);

  // Let paints pace the capture until the file is done and a few frames more.
  QElapsedTimer t;
  t.start();
  bool ended = false;
  std::uint64_t drawn_at_end = 0;
  while (t.elapsed() < 20000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    map->update();
    if (runtime.source_ended() && !ended) {
      ended = true;
      drawn_at_end = runtime.renderer()->frames_drawn();
    }
    if (ended && runtime.renderer()->frames_drawn() > drawn_at_end + 5) break;
  }
  ASSERT_TRUE(runtime.source_ended());
  ASSERT_GT(runtime.renderer()->frames_drawn(), drawn_at_end + 5);
  runtime.stop_capture();  // the model is now still: read it without racing
  const QImage img = runtime.renderer()->snapshot();
  ASSERT_EQ(img.size(), QSize(mw, mh));
  if (qEnvironmentVariableIsSet("TARNIX_SCREENSHOT")) img.save(qEnvironmentVariable("TARNIX_SCREENSHOT"));

  const ViewRect v = full_view(mw, mh);
  auto px = [&](double x, double y) {
    return QPointF((x - v.left) / (v.right - v.left) * mw, (v.top - y) / (v.top - v.bottom) * mh);
  };
  Net* net = net_current(runtime.model());
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->subnets.count(), 3);
  EXPECT_EQ(net->host_list.count(), 15);

  // Every group: its centre on the 0.7 circle, its ring through its hosts,
  // the middle of the ring dark.
  int groups = 0;
  net->subnets.foreach ([&](Subnet* g) {
    ++groups;
    const double cx = g->layout[0], cy = g->layout[1];
    EXPECT_NEAR(std::hypot(cx, cy), 0.7, 1e-9);
    const double r = ring_radius(55, g->host_count);
    EXPECT_EQ(g->layout_flag, g->host_count);
    int i = 0;
    g->hosts.foreach ([&](Node* h) {
      EXPECT_NEAR(std::hypot(h->map_x - cx, h->map_y - cy), r, 1e-9) << h->address_text().c_str();
      EXPECT_TRUE(lit_near(img, px(h->map_x, h->map_y), 2)) << "disc of " << h->address_text().c_str();
      // Half-way to the next host the ring itself is drawn.
      const double theta = std::atan2(h->map_y - cy, h->map_x - cx) + M_PI / g->host_count;
      EXPECT_TRUE(lit_near(img, px(cx + r * std::cos(theta), cy + r * std::sin(theta)), 2))
          << "ring of " << g->address_text << " after host " << i;
      ++i;
    });
    // The middle of the ring holds at most the domain label, never a disc;
    // with addresses as labels and no names here, only the group's address
    // may be written there when it fits.
    const QPointF centre = px(cx, cy);
    EXPECT_FALSE(lit_near(img, centre + QPointF(0, r * mh / (v.top - v.bottom) * 0.8), 0)) << g->address_text;
  });
  EXPECT_EQ(groups, 3);

  // Links: the middle of each link between groups is coloured, not white
  // (rings and discs) and not black.
  int links_checked = 0;
  net->host_list.foreach ([&](Node* h) {
    h->links.foreach ([&](const NetAddress&, std::unique_ptr<Link>& l) {
      const Node* d = l->destination;
      if (std::hypot(d->map_x - h->map_x, d->map_y - h->map_y) < 0.5) return;  // same ring: crowded
      const QPointF mid = px((h->map_x + d->map_x) / 2, (h->map_y + d->map_y) / 2);
      bool coloured = false;
      for (int dy = -2; dy <= 2 && !coloured; ++dy)
        for (int dx = -2; dx <= 2 && !coloured; ++dx) {
          const QRgb c = img.pixel(int(mid.x()) + dx, int(mid.y()) + dy);
          coloured =
              (qRed(c) + qGreen(c) + qBlue(c) > 90) && !(qRed(c) > 240 && qGreen(c) > 240 && qBlue(c) > 240);
        }
      EXPECT_TRUE(coloured) << h->address_text().c_str() << " -> " << d->address_text().c_str();
      ++links_checked;
    });
  });
  EXPECT_GE(links_checked, 8);

  // A corner far from every ring stays background.
  EXPECT_FALSE(lit_near(img, QPointF(5, 5), 3));

  w->close();  // the shut-down sequence: settings saved, focus file written
  EXPECT_TRUE(QFile::exists(home.filePath("config/Halvard Software/Tarnix.ini")));
  EXPECT_TRUE(QFile::exists(home.filePath("data/tarnix/cfdump.bin")));
}

// Resizing, zooming and minimising while a capture plays at full speed: the
// view changes reach the capture thread only between frames (run this one
// under ThreadSanitizer too).
TEST(MapScreenshot, ResizeAndZoomWhileCapturePlays) {
  QTemporaryDir home;
  testing::use_home(home);
  const QString pcap_path = home.filePath("loop.pcap");
  {
    QFile f(pcap_path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(capture_file());
  }
  app::RecordingMessenger messages;
  RuntimeOptions options;
  options.capture_file = pcap_path;
  options.replay_speed = 0;
  options.skip_database = true;
  options.resolve_names = false;
  DesktopRuntime runtime(messages, options);
  ASSERT_EQ(app::run_startup(runtime, messages), 0);
  MainWindow* w = runtime.main_window();
  MapWindow* map = runtime.map_window();
  for (int round = 0; round < 40; ++round) {
    w->resize(700 + 13 * round, 500 + 7 * (round % 9));
    if (round % 5 == 0) map->set_zoom(10, 10, 60, 60);
    if (round % 7 == 0) map->set_zoom(0, 0, 100, 100);
    if (round == 20) {
      // A map of no height suspends drawing; the capture still runs.
      map->resize(map->width(), 0);
      EXPECT_TRUE(map->suspended());
    }
    for (int i = 0; i < 5; ++i) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      map->update();
    }
    if (round == 20) {
      // Replaying the file keeps frames coming on another network.
      EXPECT_TRUE(runtime.play_file(pcap_path, 0));
    }
  }
  w->resize(900, 700);
  QApplication::processEvents();
  const std::uint64_t before = runtime.renderer()->frames_drawn();
  QElapsedTimer t;
  t.start();
  while (runtime.renderer()->frames_drawn() < before + 3 && t.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    map->update();
  }
  EXPECT_GE(runtime.renderer()->frames_drawn(), before + 3);
  EXPECT_EQ(runtime.renderer()->snapshot().size(), map->size());
  w->close();
}

// File > Open Capture File...: the dialog's choice of file and speed.
TEST(MapScreenshot, OpenCaptureFileCommandPlaysTheChosenFile) {
  QTemporaryDir home;
  testing::use_home(home);
  const QString first = home.filePath("first.pcap"), second = home.filePath("second.pcap");
  for (const QString& p : {first, second}) {
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(capture_file());
  }
  app::RecordingMessenger messages;
  RuntimeOptions options;
  options.capture_file = first;
  options.skip_database = true;
  options.resolve_names = false;
  DesktopRuntime runtime(messages, options);
  ASSERT_EQ(app::run_startup(runtime, messages), 0);
  MainWindow* w = runtime.main_window();
  QAction* open = w->command(kCmdOpenCaptureFile);
  ASSERT_TRUE(open->isEnabled());
  EXPECT_FALSE(w->command(kCmdAdapter)->isEnabled());  // no adapters while playing a file from the start

  bool chose_fast = false;
  auto fill = [&](const QString& path) {
    testing::on_next_modal([&, path](QWidget* d) {
      EXPECT_EQ(d->windowTitle(), "Open Capture File");
      d->findChild<QLineEdit*>("path")->setText(path);
      auto* fast = d->findChild<QRadioButton*>("fast");
      fast->setChecked(true);
      chose_fast = fast->isChecked();
      static_cast<QDialog*>(d)->accept();
    });
  };
  fill(second);
  open->trigger();
  EXPECT_TRUE(chose_fast);
  EXPECT_EQ(w->windowTitle(), "Tarnix — second.pcap (capture file)");
  EXPECT_TRUE(testing::play_to_end(runtime, 10000));
  runtime.stop_capture();
  Net* net = net_current(runtime.model());
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->name, second.toStdString());
  EXPECT_EQ(net->host_list.count(), 15);

  // A file that is not a capture: the message, and nothing changes.
  fill(home.filePath("first.pcap.missing"));
  open->trigger();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "Could not open the capture file");
  EXPECT_EQ(w->windowTitle(), "Tarnix — second.pcap (capture file)");
  w->close();
}

}  // namespace
}  // namespace tarnix::ui
