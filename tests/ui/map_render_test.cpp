// The map drawn from a hand-built traffic model.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QWheelEvent>
#include <cmath>
#include <map>

#include "app/paths.h"
#include "capture/classifier.h"
#include "capture/net.h"
#include "ui/map_questions.h"
#include "ui/map_view.h"
#include "ui/zoom.h"

namespace tarnix::ui {
namespace {

// Names by address; entries are the addresses of the stored names.
class FakeNamer final : public HostNamer {
 public:
  std::map<std::string, std::string> names;
  HostCacheRef find(const NetAddress& a) override {
    auto it = names.find(netaddr_text(a));
    return it == names.end()
               ? nullptr
               : HostCacheRef(HostCacheRef(), reinterpret_cast<const HostCacheEntry*>(&it->second));
  }
  bool request(const NetAddress&, std::function<void(const HostCacheRef&)>) override { return true; }
  std::string_view name_of(const HostCacheEntry* e) const override {
    return e ? std::string_view(*reinterpret_cast<const std::string*>(e)) : std::string_view();
  }
};

std::shared_ptr<StrokeFont> font() {
  QString err;
  auto f = StrokeFont::load(QStringLiteral(TARNIX_BINARY_DIR "/data/font.bin"), err);
  EXPECT_TRUE(f) << err.toStdString();
  return f ? std::make_shared<StrokeFont>(*f) : nullptr;
}

class MapRenderTest : public ::testing::Test {
 protected:
  NullClassifier classifier;
  FakeNamer namer;
  TrafficModel model{&classifier, &namer, nullptr};
  Net* net = nullptr;
  app::Settings s;

  void SetUp() override {
    model.local_address = NetAddress::ipv4(10, 9, 9, 9);
    net = net_create(model, "test");
    s.font_size = 0.5;
    s.link_scale = 0.6;
    s.node_scale = 0.2;
    s.max_node_radius = 0.5;
    s.net_size = 55;
    s.max_link_width = 100;
    s.dynamic = 1;
    s.dynamic_links = 1;
    s.show_name = 1;
    s.bytes = 1;
    s.sample_interval = 1;
  }
  Node* host(int a, int b, int c, int d, bool active = true) {
    Node* n = node_create(
        *net, NetAddress::ipv4(std::uint8_t(a), std::uint8_t(b), std::uint8_t(c), std::uint8_t(d)));
    ip_net_assign(*net, *n);
    n->active = active ? 1 : 0;
    return n;
  }
  static QPointF px(double x, double y, int size) { return {(x + 1.3) / 2.6 * size, (1.3 - y) / 2.6 * size}; }
};

TEST_F(MapRenderTest, TwentyFiveHostsOnOneRing) {
  for (int i = 1; i <= 25; ++i) rates_of(*host(192, 168, 1, i)).bytes.average = 40960;
  MapRenderer r(s, font());
  r.request_size(500, 500);
  ASSERT_TRUE(r.draw_frame(*net));
  Subnet* g = net->subnets.head()->data;
  EXPECT_EQ(g->layout_flag, 25);
  EXPECT_DOUBLE_EQ(g->layout[0], 0.7 * std::cos(M_PI / 2));
  EXPECT_DOUBLE_EQ(g->layout[1], 0.7);
  const double radius = 55.0 / 50 * 20 * 0.02;
  int i = 0;
  const QImage img = r.snapshot();
  g->hosts.foreach ([&](Node* h) {
    const double phi = 2 * M_PI / 25 * i + M_PI / 2;
    EXPECT_NEAR(h->map_x, radius * std::cos(phi) + g->layout[0], 1e-12);
    EXPECT_NEAR(h->map_y, radius * std::sin(phi) + g->layout[1], 1e-12);
    const QPointF p = px(h->map_x, h->map_y, 500);
    EXPECT_GT(qRed(img.pixel(int(p.x()), int(p.y()))), 100) << i;  // white disc
    ++i;
  });
  // Nothing reaches the bottom of the map (labels radiate from the ring down
  // to about y = -0.35).
  for (int y = 420; y < 500; y += 5)
    for (int x = 0; x < 500; x += 5) ASSERT_EQ(qRed(img.pixel(x, y)), 0) << x << "," << y;
}

TEST_F(MapRenderTest, LinksTakeTheirFocusColourAndSkipAgedOutHosts) {
  Node* a = host(10, 1, 0, 1);
  Node* b = host(172, 16, 0, 1);
  Node* c = host(192, 168, 0, 1, /*active=*/false);
  Link* ab = link_create(*net, *a, *b);
  Link* ac = link_create(*net, *a, *c);
  ab->dominant_protocol = 3;
  ab->active = 1;
  ac->dominant_protocol = -1;
  ac->active = 0;
  rates_of(*ab).bytes.average = 100000;  // 5 pixels wide at link scale 0.6
  rates_of(*ac).bytes.average = 100000;
  s.dynamic = 0;  // every host drawn, so c has a place
  s.dynamic_links = 0;
  MapRenderer r(s, font());
  std::array<QRgb, kMapPaletteSize> palette{};
  palette[3] = qRgb(0, 255, 0);
  palette[32] = qRgb(255, 0, 0);
  r.set_palette(palette);
  r.request_size(400, 400);
  ASSERT_TRUE(r.draw_frame(*net));
  auto mid = [&](Node* x, Node* y) { return px((x->map_x + y->map_x) / 2, (x->map_y + y->map_y) / 2, 400); };
  QImage img = r.snapshot();
  QPointF m1 = mid(a, b), m2 = mid(a, c);
  // Wide lines: the middle of each carries the palette colour.
  const QRgb c1 = img.pixel(int(m1.x()), int(m1.y())), c2 = img.pixel(int(m2.x()), int(m2.y()));
  EXPECT_GT(qGreen(c1), 240);
  EXPECT_LT(qRed(c1) + qBlue(c1), 60);
  EXPECT_GT(qRed(c2), 240);
  EXPECT_LT(qGreen(c2) + qBlue(c2), 60);

  // Dynamic hosts: the link to the aged-out host is not drawn, even with
  // cumulative links.
  s.dynamic = 1;
  ASSERT_TRUE(r.draw_frame(*net));
  img = r.snapshot();
  EXPECT_LT(qRed(img.pixel(int(m2.x()), int(m2.y()))), 30);
}

TEST_F(MapRenderTest, DomainLabelsComeFromTheFirstNamedHostOnlyWhenShowingNames) {
  namer.names["10.2.0.2"] = "gateway";
  namer.names["172.20.0.7"] = "www.example.org";
  Node* plain = host(10, 2, 0, 1);
  host(10, 2, 0, 2);
  host(172, 20, 0, 7);
  s.show_name = 0;
  MapRenderer r(s, font());
  r.request_size(300, 300);
  ASSERT_TRUE(r.draw_frame(*net));
  const Subnet* g10 = net->subnets.head()->data;
  const Subnet* g172 = net->subnets.head()->next->data;
  EXPECT_EQ(r.domain_label(g10), nullptr);
  s.show_name = 1;
  ASSERT_TRUE(r.draw_frame(*net));
  ASSERT_NE(r.domain_label(g10), nullptr);
  EXPECT_EQ(*r.domain_label(g10), "");  // a name without '.'
  ASSERT_NE(r.domain_label(g172), nullptr);
  EXPECT_EQ(*r.domain_label(g172), ".example.org");
  // Once derived it stays, even if the host's name changes.
  namer.names["10.2.0.1"] = "alpha.lan";
  plain->name_entry.store(namer.find(plain->address));
  ASSERT_TRUE(r.draw_frame(*net));
  EXPECT_EQ(*r.domain_label(g10), "");
  EXPECT_GT(r.text_width("www"), r.text_width("i"));
}

TEST_F(MapRenderTest, SuspendedAndThinnedFramesDrawNothing) {
  host(10, 3, 0, 1);
  MapRenderer r(s, font());
  r.request_size(0, 200);
  EXPECT_FALSE(r.draw_frame(*net));
  r.request_size(200, 200);
  EXPECT_TRUE(r.draw_frame(*net));
  s.sample_interval = 2;
  std::vector<int> drawn;
  for (int cycle = 1; cycle <= 12; ++cycle)
    if (r.draw_frame(*net)) drawn.push_back(cycle);
  EXPECT_EQ(drawn, (std::vector<int>{6, 12}));
  EXPECT_EQ(r.frames_drawn(), 3u);
}

TEST_F(MapRenderTest, AFrameWithoutHostsIsBackgroundOnly) {
  MapRenderer r(s, font());
  r.request_size(120, 80);
  ASSERT_TRUE(r.draw_frame(*net));
  const QImage img = r.snapshot();
  ASSERT_EQ(img.size(), QSize(120, 80));
  for (int y = 0; y < 80; y += 4)
    for (int x = 0; x < 120; x += 4) ASSERT_EQ(img.pixel(x, y), qRgb(0, 0, 0));
}

TEST_F(MapRenderTest, ZoomRectangleTakesEffectFromTheFrameAfterThePaint) {
  Node* h = host(10, 4, 0, 1);
  rates_of(*h).bytes.average = 1e9;  // the largest disc: radius 0.5 is capped by max node radius
  s.max_node_radius = 0.02;
  MapRenderer r(s, font());
  MapWindow w(r);
  int aspect = -1;
  w.set_aspect_listener([&](int a) { aspect = a; });
  int gos = 0;
  w.set_go([&] { ++gos; });
  w.resize(400, 200);
  w.show();
  EXPECT_EQ(aspect, 200);
  ASSERT_TRUE(r.draw_frame(*net));
  auto lit = [&](double x, double y, double l, double rr, double b, double t) {
    const QImage img = r.snapshot();
    const int px = int((x - l) / (rr - l) * img.width()), py = int((t - y) / (t - b) * img.height());
    return qRed(img.pixel(px, py)) > 100;
  };
  // Full view of a wide window: x spans -2.6..2.6.
  EXPECT_TRUE(lit(h->map_x, h->map_y, -2.6, 2.6, -1.3, 1.3));

  // The paint applies the zoom and then gives the go signal.
  auto paint = [&] {
    const int before = gos;
    QElapsedTimer t;
    t.start();
    w.update();
    while (gos == before && t.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return gos > before;
  };
  // The upper middle of the thumbnail: x -0.65..0.65, y 0..1.3, where the
  // lone group sits (its centre at (0, 0.7)).
  w.set_zoom(25, 0, 75, 50);
  ASSERT_TRUE(paint());
  ASSERT_TRUE(r.draw_frame(*net));
  EXPECT_TRUE(lit(h->map_x, h->map_y, -0.65, 0.65, 0, 1.3));
  EXPECT_FALSE(lit(h->map_x, h->map_y, -2.6, 2.6, -1.3, 1.3));

  w.set_zoom(0, 0, 100, 100);
  ASSERT_TRUE(paint());
  ASSERT_TRUE(r.draw_frame(*net));
  EXPECT_TRUE(lit(h->map_x, h->map_y, -2.6, 2.6, -1.3, 1.3));
}

TEST_F(MapRenderTest, APointOnADrawnHostOrLinkFindsItAndOneBetweenFindsNothing) {
  Node* a = host(10, 1, 0, 1);
  Node* b = host(172, 16, 0, 1);
  Node* c = host(192, 168, 0, 1);
  Link* ab = link_create(*net, *a, *b);
  ab->active = 1;
  ab->bytes = 4000;
  a->bytes_sent = 4000;
  a->frames_sent = 7;
  rates_of(*ab).bytes.average = 100000;
  MapRenderer r(s, font());
  r.request_size(400, 400);
  ASSERT_TRUE(r.draw_frame(*net));
  const auto mid = [&](Node* x, Node* y) {
    return px((x->map_x + y->map_x) / 2, (x->map_y + y->map_y) / 2, 400);
  };
  struct Case {
    const char* what;
    QPointF at;
    MapSpot::Kind kind;
    const Node* host;
  } cases[] = {
      {"on a", px(a->map_x, a->map_y, 400), MapSpot::kHost, a},
      {"beside c", px(c->map_x, c->map_y, 400) + QPointF(2, -1), MapSpot::kHost, c},
      {"on the link", mid(a, b), MapSpot::kLink, a},
      {"between b and c, no link", mid(b, c), MapSpot::kNone, nullptr},
      {"a corner", QPointF(2, 2), MapSpot::kNone, nullptr},
  };
  for (const Case& k : cases) {
    const MapSpot spot = r.spot_at(k.at);
    EXPECT_EQ(spot.kind, k.kind) << k.what;
    EXPECT_EQ(spot.host, k.host) << k.what;
  }
  EXPECT_EQ(r.spot_at(mid(a, b)).link, ab);

  // The tooltips read the records only through the network.
  const QString host_tip = spot_tooltip(*net, r.spot_at(px(a->map_x, a->map_y, 400)));
  EXPECT_TRUE(host_tip.contains("10.1.0.1")) << host_tip.toStdString();
  EXPECT_TRUE(host_tip.contains("Sent: 7 frames")) << host_tip.toStdString();
  EXPECT_TRUE(spot_tooltip(*net, r.spot_at(mid(a, b))).startsWith("10.1.0.1 → 172.16.0.1"));
  // A spot whose address no longer leads to its record tells nothing.
  MapSpot stale = r.spot_at(px(a->map_x, a->map_y, 400));
  stale.key ^= 1;
  EXPECT_TRUE(spot_tooltip(*net, stale).isEmpty());
  EXPECT_EQ(spot_host(*net, stale), nullptr);
}

// IPv6 groups are rings like any other, and their hosts and links answer
// the pointer as IPv4 ones do.
TEST_F(MapRenderTest, Ipv6HostsAndLinksAreDrawnAndFound) {
  auto host6 = [&](const char* text) {
    Node* n = node_create(*net, NetAddress::parse(kAddrIpv6, text));
    ip_net_assign(*net, *n);
    n->active = 1;
    return n;
  };
  Node* a = host6("fd00::1");
  Node* b = host6("2001:db8:1:2::9");
  Node* c = host6("fe80::1");
  Link* ab = link_create(*net, *a, *b);
  ab->active = 1;
  rates_of(*ab).bytes.average = 100000;
  a->frames_sent = 3;
  MapRenderer r(s, font());
  r.request_size(400, 400);
  ASSERT_TRUE(r.draw_frame(*net));
  EXPECT_EQ(net->subnets.count(), 3);
  net->subnets.foreach ([&](Subnet* g) { EXPECT_EQ(g->layout_flag, 1) << g->address_text; });
  const QPointF mid = px((a->map_x + b->map_x) / 2, (a->map_y + b->map_y) / 2, 400);
  EXPECT_EQ(r.spot_at(px(c->map_x, c->map_y, 400)).host, c);
  EXPECT_EQ(r.spot_at(mid).link, ab);
  EXPECT_TRUE(spot_tooltip(*net, r.spot_at(px(a->map_x, a->map_y, 400))).contains("fd00::1"));
  EXPECT_TRUE(spot_tooltip(*net, r.spot_at(mid)).startsWith("fd00::1 → 2001:db8:1:2::9"));
  MapSpot stale = r.spot_at(px(a->map_x, a->map_y, 400));
  stale.key ^= 1;
  EXPECT_EQ(spot_host(*net, stale), nullptr);
}

TEST_F(MapRenderTest, WheelAndDragMoveTheMapAndTheZoomBoxTogether) {
  MapRenderer r(s, font());
  MapWindow w(r);
  w.resize(400, 400);
  ZoomImage thumb;
  thumb.resize(200, 200);
  thumb.show();  // the thumbnail learns its size when shown
  install_map_questions(w, thumb, model, nullptr);
  const auto world = [&](QPointF p) {
    const ViewRect v = w.view();
    return QPointF(v.left + p.x() / 400 * (v.right - v.left), v.top - p.y() / 400 * (v.top - v.bottom));
  };
  // The thumbnail's rectangle as the map's view, in world units.
  const auto thumb_view = [&] {
    const QRect z = thumb.zoom_rect();
    return ViewRect{1.3 * (z.left() / 2.0 - 50) / 50, 1.3 * (z.right() / 2.0 - 50) / 50,
                    1.3 * (50 - z.bottom() / 2.0) / 50, 1.3 * (50 - z.top() / 2.0) / 50};
  };
  const auto wheel = [&](QPointF at, int delta) {
    QWheelEvent e(at, w.mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &e);
  };
  const QPointF pointer(100, 300);
  const QPointF under = world(pointer);
  wheel(pointer, 240);
  EXPECT_TRUE(thumb.zoomed());
  // The point under the pointer stays under it, 0.8 x 0.8 closer.
  EXPECT_NEAR(world(pointer).x(), under.x(), 1e-9);
  EXPECT_NEAR(world(pointer).y(), under.y(), 1e-9);
  EXPECT_NEAR(w.view().right - w.view().left, 2.6 * 0.64, 1e-9);
  const double pixel = 2.6 / 200;  // one thumbnail pixel in world units
  EXPECT_NEAR(thumb_view().left, w.view().left, pixel);
  EXPECT_NEAR(thumb_view().top, w.view().top, pixel);
  EXPECT_NEAR(thumb_view().right, w.view().right, pixel);

  // A drag to the right shows what lay to the left; the thumbnail follows.
  const ViewRect before = w.view();
  w.pan_by(QPointF(40, 0));
  EXPECT_NEAR(w.view().left, before.left - 40.0 / 400 * (before.right - before.left), 1e-9);
  EXPECT_NEAR(thumb_view().left, w.view().left, pixel);

  // Out past the whole map: the whole map, and the thumbnail drops its box.
  wheel(pointer, -120 * 6);
  EXPECT_FALSE(thumb.zoomed());
  EXPECT_EQ(w.view(), full_view(400, 400));
}

}  // namespace
}  // namespace tarnix::ui
