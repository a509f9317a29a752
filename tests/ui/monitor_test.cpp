// The panel's charts and statistics, the output area's logs and splitter,
// the duplicate-address window and the database options.
#include <gtest/gtest.h>

#include <QPainter>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/settings.h"
#include "capture/net.h"
#include "db/db_store.h"
#include "ui/monitor/db_opt.h"
#include "ui/monitor/dupip_window.h"
#include "ui/monitor/load.h"
#include "ui/monitor/output.h"
#include "ui/monitor/popup.h"

namespace tarnix::ui {
namespace {

// A chart whose plot is 80 pixels high: 100 high less margin 8 and text 12.
struct Chart {
  std::atomic<std::uint32_t> counter{0};
  StripChart strip;
  Chart() {
    strip.set_source([this] { return &counter; });
    QFont f;
    f.setPixelSize(12);
    strip.set_fonts(&f, nullptr);
    strip.resize(200, 80 + 8 + QFontMetrics(f).height());
  }
};

TEST(StripChart, BarHeightsFollowTheFortyPointScaleAndCountsRestart) {
  struct Case {
    std::uint32_t v;
    int bar;
  } cases[] = {{0, 0}, {20, 40}, {40, 80}, {100, 80}, {1, 2}};
  for (const Case& c : cases) EXPECT_EQ(strip_bar_height(80, c.v), c.bar) << c.v;

  Chart c;
  ASSERT_EQ(c.strip.plot_height(), 80);
  const int x = c.strip.width() - 1;
  c.counter = 20;
  c.strip.sample();
  EXPECT_EQ(c.strip.plot().pixel(x, 79), qRgb(0, 0, 0));
  EXPECT_EQ(c.strip.plot().pixel(x, 40), qRgb(0, 0, 0));
  EXPECT_NE(c.strip.plot().pixel(x, 39), qRgb(0, 0, 0));
  c.counter = 40;
  c.strip.sample();
  EXPECT_EQ(c.strip.plot().pixel(x, 1), qRgb(0, 0, 0)) << "40 and above fill the plot";
  EXPECT_EQ(c.strip.plot().pixel(x - 1, 40), qRgb(0, 0, 0)) << "the earlier bar moved one pixel left";
  EXPECT_NE(c.strip.plot().pixel(x - 1, 39), qRgb(0, 0, 0));
  EXPECT_EQ(c.strip.plot().pixel(10, 20), qRgb(0x32, 0x32, 0xff)) << "grid line at 30";
  EXPECT_EQ(c.counter.load(), 0u) << "request counts restart with each sample";
  // A load stays as it is.
  c.strip.set_reset_after_sample(false);
  c.counter = 37;
  c.strip.sample();
  c.strip.sample();
  EXPECT_EQ(c.strip.last_value(), 37u);
  EXPECT_EQ(c.counter.load(), 37u);
}

TEST(StripChart, TheValueAxisTopsAtAWholeStepAboveThePeak) {
  struct Case {
    std::uint32_t peak, floor, top;
  } cases[] = {{0, 5, 5},    {3, 5, 5},      {6, 5, 10}, {11, 10, 20},
               {37, 10, 50}, {101, 10, 200}, {0, 0, 1},  {UINT32_MAX, 1, UINT32_MAX}};
  for (const Case& c : cases) EXPECT_EQ(chart_axis_top(c.peak, c.floor), c.top) << c.peak;

  // The area under the line grows with the value: the newest samples (the
  // axis top) stand five times as tall as the ones before them.
  Chart c;
  for (int i = 0; i < 60; ++i) {
    c.counter = i >= 54 ? 50 : 10;
    c.strip.sample();
  }
  EXPECT_EQ(c.strip.history().size(), 60u);
  QImage img(c.strip.size(), QImage::Format_RGB32);
  QPainter p(&img);
  c.strip.draw_chart(p, img.rect());
  p.end();
  const auto filled = [&](int x) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y) n += qBlue(img.pixel(x, y)) - qRed(img.pixel(x, y)) > 30 ? 1 : 0;
    return n;
  };
  const int newest = filled(img.width() - 6), older = filled(img.width() - 20);
  EXPECT_GT(older, 2);
  EXPECT_NEAR(double(newest) / older, 5.0, 1.0) << newest << " " << older;
}

TEST(StripChart, TimeMarksSitOnTheNearestWholeMinute) {
  struct Case {
    QTime now;
    int offset;
    const char* text;
  } cases[] = {{QTime(10, 15, 20), -20, "10:15:00 "},
               {QTime(10, 15, 45), 15, "10:16:00 "},
               {QTime(10, 15, 30), -30, "10:15:00 "},
               {QTime(23, 59, 31), 29, "00:00:00 "}};
  for (const Case& c : cases) {
    const TimeMark m = strip_time_mark(c.now);
    EXPECT_EQ(m.offset, c.offset) << c.text;
    EXPECT_EQ(m.text, QString::fromLatin1(c.text));
  }
  // Drawn only after more than 30 samples: the tick at x = width + offset.
  Chart c;
  c.strip.set_clock([] { return QTime(10, 15, 20); });
  const int H = c.strip.plot_height();
  const int x = c.strip.width() - 20;
  c.strip.time_mark();
  EXPECT_NE(c.strip.plot().pixel(x, H + 2), qRgb(0, 0, 0));
  for (int i = 0; i < 31; ++i) c.strip.sample();
  c.strip.time_mark();
  EXPECT_EQ(c.strip.plot().pixel(x, H + 2), qRgb(0, 0, 0));
}

TEST(UrlStats, LoadAboveAHundredIsShownAndStoredAsZero) {
  Net net(nullptr);
  std::uint32_t count = 0;
  net.load_percent = 40;
  url_stats_update_load(net, count);
  net.load_percent = 150;
  url_stats_update_load(net, count);
  EXPECT_EQ(net.load_percent.load(), 0u);
  EXPECT_EQ(net.peak_load, 40u);
  EXPECT_FLOAT_EQ(net.average_load, 20.0f);
  EXPECT_EQ(count, 2u);

  UrlStats stats;
  stats.resize(170, 125);
  stats.set_start_time(1000);
  stats.set_wall_clock([] { return std::time_t(1000 + 3661); });
  net.urls.proxied = 2;
  net.urls.direct = 3;
  net.load_percent = 101;
  stats.refresh(net);
  EXPECT_EQ(stats.figures().runtime, "01:01:01");
  EXPECT_EQ(stats.figures().proxied + stats.figures().direct, 5u);
  EXPECT_EQ(net.load_percent.load(), 0u);
}

// Refreshes come ten a second; those that change nothing shown draw
// nothing. A new palette (a dark theme) is drawn at once, text included.
TEST(UrlStats, DrawsOnlyChangesAndFollowsThePalette) {
  Net net(nullptr);
  UrlStats stats;
  std::time_t now = 1000;
  stats.set_start_time(now);
  stats.set_wall_clock([&] { return now; });
  stats.resize(170, 125);
  stats.show();
  stats.refresh(net);
  const qint64 drawn = stats.image().cacheKey();
  stats.refresh(net);
  EXPECT_EQ(stats.image().cacheKey(), drawn);
  ++now;
  stats.refresh(net);
  EXPECT_NE(stats.image().cacheKey(), drawn);

  QPalette dark = stats.palette();
  dark.setColor(QPalette::Window, QColor(30, 30, 30));
  dark.setColor(QPalette::WindowText, QColor(240, 240, 240));
  stats.setPalette(dark);
  const QImage& shown = stats.image();
  EXPECT_EQ(shown.pixel(0, 0), qRgb(30, 30, 30));
  int light = 0;
  for (int y = 0; y < shown.height(); ++y)
    for (int x = 0; x < shown.width(); ++x) light += qGray(shown.pixel(x, y)) > 160;
  EXPECT_GT(light, 50) << "the text is drawn light on the dark background";
}

RequestRow request(int i) {
  RequestRow r;
  r.url = QStringLiteral("http://h/%1").arg(i);
  return r;
}

TEST(OutputArea, LogsKeepTwoHundredRowsEachByItsOwnRule) {
  app::Settings s;
  OutputArea out(s);
  for (int i = 1; i <= 201; ++i) out.add_request(request(i));
  for (int i = 1; i <= 201; ++i) out.add_alarm(QStringLiteral("alarm %1").arg(i), 0);
  QApplication::processEvents();
  RequestLogModel* req = out.request_model();
  ASSERT_EQ(req->rowCount(), 200);
  EXPECT_EQ(req->row(0).url, "http://h/2") << "the first request's row went";
  AlarmLogModel* al = out.alarm_model();
  ASSERT_EQ(al->rowCount(), 200);
  EXPECT_EQ(al->index(0, 0).data().toString(), "alarm 1") << "the first alarm stays";
  EXPECT_EQ(al->index(1, 0).data().toString(), "alarm 3") << "the second went";
  EXPECT_EQ(al->index(199, 0).data().toString(), "alarm 201");
}

TEST(OutputArea, RequestRowsNameTheirHosts) {
  RecordedRequest r;
  r.client = NetAddress::ipv4(10, 0, 0, 2);
  r.server_name = "www.example";
  r.url = "http://www.example/";
  EXPECT_EQ(request_row(r).server, "www.example");
  r.server_name.clear();
  const RequestRow row = request_row(r);
  EXPECT_EQ(row.client, "Client unresolved");
  EXPECT_EQ(row.server, "Server unresolved");

  app::Settings s;
  OutputArea out(s);
  out.add_request(request_row(r));
  QApplication::processEvents();
  EXPECT_EQ(out.request_menu(1), nullptr) << "over no row nothing opens";
  QString opened;
  out.set_browser([&](const QString& u) { opened = u; });
  QMenu* menu = out.request_menu(0);
  ASSERT_NE(menu, nullptr);
  menu->actions().last()->trigger();
  EXPECT_EQ(opened, "http://www.example/");
  // The watch commands are greyed until someone opens the windows, and for
  // what the row does not know (no server address, no URL id).
  EXPECT_FALSE(menu->actions().first()->isEnabled());
  std::vector<std::pair<int, NetAddress>> watched;
  out.set_watcher([&](int id, const RequestRow& w) { watched.emplace_back(id, w.client_address); });
  menu = out.request_menu(0);
  std::vector<bool> enabled;
  for (QAction* a : menu->actions()) enabled.push_back(a->isEnabled());
  EXPECT_EQ(enabled, (std::vector<bool>{true, true, true, false, false, false, false, true}));
  menu->actions()[1]->trigger();
  ASSERT_EQ(watched.size(), 1u);
  EXPECT_EQ(watched[0].first, kWatchSourceAccessed);
  EXPECT_EQ(netaddr_compare(watched[0].second, r.client), 0);
}

void mouse(QWidget* w, QEvent::Type t, int x) {
  QMouseEvent e(t, QPointF(x, 10), w->mapToGlobal(QPointF(x, 10)), Qt::LeftButton,
                t == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

TEST(OutputArea, SplitterDragStoresItsPercentAndKeepsClearOfTheEdges) {
  app::Settings s;
  s.set_place(QStringLiteral("output split"), 66);
  s.set_place(QStringLiteral("output url3"), 350);
  OutputArea out(s);
  out.resize(900, 120);
  out.show();
  EXPECT_EQ(out.splitter_x(), 594);
  EXPECT_EQ(out.request_view()->columnWidth(3), 350);
  const auto drag = [&](int to) {
    mouse(&out, QEvent::MouseButtonPress, out.splitter_x());
    mouse(&out, QEvent::MouseMove, 400);
    mouse(&out, QEvent::MouseButtonRelease, to);
    EXPECT_FALSE(out.dragging());
    return out.splitter_x();
  };
  EXPECT_EQ(drag(300), 300);
  EXPECT_EQ(s.place(QStringLiteral("output split")), 33);
  EXPECT_EQ(out.request_view()->geometry(), QRect(0, 0, 299, 120));
  EXPECT_EQ(out.alarm_view()->geometry(), QRect(301, 0, 597, 120));
  EXPECT_EQ(drag(5), 30) << "clear of the left edge";
  EXPECT_EQ(drag(899), 870) << "clear of the right edge";
  out.request_view()->setColumnWidth(0, 123);
  out.store_settings();
  EXPECT_EQ(s.place(QStringLiteral("output url0")), 123);
}

NetAddress ether(std::uint8_t last) {
  const std::uint8_t b[6] = {2, 0, 0, 0, 0, last};
  return NetAddress::ether(b);
}

TEST(DupIpWindow, RowsChildrenRemoveAndClose) {
  DupIp dupip;
  int closed = 0;
  auto* w = new DupIpWindow(dupip, nullptr);
  w->set_closed_hook([&] { ++closed; });
  EXPECT_TRUE(dupip.detecting());
  const NetAddress a = NetAddress::ipv4(10, 0, 0, 5), b = NetAddress::ipv4(10, 0, 0, 9);
  dupip.record(a, ether(0xa), ether(0xb));
  dupip.record(a, ether(0xb), ether(0xc));
  dupip.record(b, ether(1), ether(2));
  w->rebuild();
  QStandardItemModel* m = w->model();
  ASSERT_EQ(m->rowCount(), 2);
  int row_a = m->item(0)->text().startsWith("10.0.0.5") ? 0 : 1;
  QStandardItem* ra = m->item(row_a);
  ASSERT_EQ(ra->rowCount(), 3);
  EXPECT_EQ(ra->child(0)->text(), "02:00:00:00:00:0b") << "the new address first";
  EXPECT_EQ(ra->child(1)->text(), "02:00:00:00:00:0a") << "then the recorded one";
  EXPECT_EQ(ra->child(2)->text(), "02:00:00:00:00:0c");
  EXPECT_TRUE(w->tree()->isExpanded(ra->index()));

  w->tree()->setCurrentIndex(ra->child(1)->index());
  w->findChild<QPushButton*>(QStringLiteral("remove"))->click();
  EXPECT_EQ(m->rowCount(), 1);
  EXPECT_FALSE(dupip.find(a).has_value());
  EXPECT_TRUE(dupip.find(b).has_value());
  EXPECT_TRUE(dupip.detecting()) << "Remove leaves detection on";

  QPointer<DupIpWindow> gone = w;
  w->findChild<QPushButton*>(QStringLiteral("close"))->click();
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(dupip.detecting());
  EXPECT_EQ(dupip.count(), 0);
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(gone.isNull());
}

void press(QDialog* d, QDialogButtonBox::StandardButton b) {
  d->findChild<QDialogButtonBox*>()->button(b)->click();
}

// Without a browser the window says so, with the URL to copy.
TEST(BrowseUrl, NoBrowserIsToldInTheWindow) {
  QWidget parent;
  const QString url = QStringLiteral("http://10.77.0.1/index.html");
  for (bool works : {true, false}) {
    QUrl asked;
    EXPECT_EQ(open_url_or_say(url, &parent,
                              [&](const QUrl& u) {
                                asked = u;
                                return works;
                              }),
              works);
    EXPECT_EQ(asked, QUrl(url));
    auto* box = parent.findChild<QMessageBox*>(QStringLiteral("no browser"));
    EXPECT_EQ(box != nullptr, !works);
    if (box != nullptr) {
      EXPECT_TRUE(box->isVisible());
      EXPECT_TRUE(box->informativeText().contains(url));
    }
  }
}

TEST(DbOptions, DayCountsAndTheDialogsButtons) {
  struct Case {
    const char* text;
    int days;
  } cases[] = {{"14", 14}, {"  7 days", 7}, {"-3", 0}, {"abc", 0}, {"", 0}, {"+5", 5}};
  for (const Case& c : cases) EXPECT_EQ(db_opt_days(QString::fromLatin1(c.text)), c.days) << c.text;

  app::Settings s;
  s.db_prune_time = 28;
  std::vector<int> pruned;
  auto open = [&] { return new DbOptionsDialog(s, 28, [&](int n) { pruned.push_back(n); }); };
  auto* d = open();
  EXPECT_EQ(d->findChild<QLineEdit*>("17002")->text(), "28");
  EXPECT_FALSE(d->findChild<QLineEdit*>("17005")->isEnabled());
  d->findChild<QRadioButton*>("17001")->click();
  EXPECT_EQ(s.db_prune_time.get(), 0) << "takes effect at once";
  EXPECT_FALSE(d->findChild<QLineEdit*>("17002")->isEnabled());
  press(d, QDialogButtonBox::Cancel);
  EXPECT_EQ(s.db_prune_time.get(), 28) << "Cancel goes back to the start-up value";
  EXPECT_TRUE(pruned.empty());

  // What is no count of days is refused with a word, and changes nothing.
  d = open();
  d->findChild<QRadioButton*>("17003")->click();
  d->findChild<QCheckBox*>("17006")->click();
  d->findChild<QLineEdit*>("17005")->setText("3");
  for (const char* bad : {"-9", "abc", "", "0", "2000000"}) {
    d->findChild<QLineEdit*>("17002")->setText(QString::fromLatin1(bad));
    press(d, QDialogButtonBox::Ok);
    EXPECT_TRUE(d->problem_text().contains("whole number of days")) << bad;
    EXPECT_EQ(s.db_prune_time.get(), 28) << bad;
    EXPECT_TRUE(pruned.empty()) << bad;
  }
  d->findChild<QLineEdit*>("17002")->setText("14");
  d->findChild<QLineEdit*>("17005")->setText("x");
  press(d, QDialogButtonBox::Ok);
  EXPECT_TRUE(d->problem_text().contains("immediate removal"));
  EXPECT_TRUE(pruned.empty());
  d->findChild<QLineEdit*>("17005")->setText("3");
  press(d, QDialogButtonBox::Ok);
  EXPECT_EQ(s.db_prune_time.get(), 14);
  EXPECT_EQ(pruned, std::vector<int>{3});
  // The boxes take digits only.
  d = open();
  auto* days = d->findChild<QLineEdit*>("17002");
  days->clear();
  QTest::keyClicks(days, "1a2b");
  EXPECT_EQ(days->text(), "12");
  press(d, QDialogButtonBox::Cancel);
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(DbOptions, TheDatabaseChoiceGoesToTheSettingsOnOkOnly) {
  app::Settings s;
  auto open = [&] {
    return new DbOptionsDialog(s, 28, {}, nullptr, QStringLiteral("SQLite file /x/tarnix.db"));
  };
  auto choose_shared = [&](QDialogButtonBox::StandardButton b) {
    auto* d = open();
    EXPECT_FALSE(d->findChild<QLineEdit*>("dbConnect")->isEnabled()) << "the file is chosen";
    d->findChild<QRadioButton*>("dbShared")->click();
    d->findChild<QLineEdit*>("dbConnect")->setText(" host=db.lan dbname=tarnix ");
    d->findChild<QLineEdit*>("dbSensor")->setText("segment-2");
    press(d, b);
  };
  EXPECT_EQ(open()->findChild<QLabel*>("dbInUse")->text(), "In use: SQLite file /x/tarnix.db");
  choose_shared(QDialogButtonBox::Cancel);
  EXPECT_TRUE(s.db_connect.isEmpty()) << "Cancel keeps the choice as it was";
  choose_shared(QDialogButtonBox::Ok);
  EXPECT_EQ(s.db_connect, "host=db.lan dbname=tarnix");
  EXPECT_EQ(s.db_server.get(), 0);
  EXPECT_EQ(s.sensor, "segment-2");

  auto* d = open();
  EXPECT_TRUE(d->findChild<QRadioButton*>("dbShared")->isChecked());
  d->findChild<QRadioButton*>("dbOwnServer")->click();
  press(d, QDialogButtonBox::Ok);
  EXPECT_TRUE(s.db_connect.isEmpty());
  EXPECT_EQ(s.db_server.get(), 1);
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(PruneRunner, RemovesOldAccessesOffTheGuiThreadWhileNewOnesAreWritten) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("t.db").toStdString();
  auto s = db_open_session(path);
  ASSERT_TRUE(s);
  HostCacheEntry server, client;
  server.name = "srv";
  server.address = NetAddress::ipv4(10, 0, 0, 1);
  client.name = "10.0.0.2";
  client.address = NetAddress::ipv4(10, 0, 0, 2);
  server.host_id = db_host_cache_store(*s, server);
  client.host_id = db_host_cache_store(*s, client);
  const std::int32_t url = db_urls_add(*s, server.host_id, "/a", kSchemeHttp, 0);
  const std::time_t now = std::time(nullptr);
  for (int d = 60; d > 30; --d) {
    const TimestampRecord at = TimestampRecord::from_time(now - d * 86400);
    s->set_clock([at] { return at; });
    db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr);
  }
  s->set_clock({});

  QMainWindow main;
  PruneRunner runner(path);
  std::atomic<std::int64_t> removed{-1};
  // The store thread's writes meanwhile, on a connection of their own: its
  // open transaction holds the removal back until it commits.
  ASSERT_TRUE(s->connection().begin().ok());
  ASSERT_TRUE(runner.start(28, [&](std::int64_t n) { removed = n; }));
  EXPECT_FALSE(runner.start(28)) << "one removal at a time";
  for (int i = 0; i < 20; ++i) {
    db_url_hist_add(*s, url, "h", &client, &server, 0, 1, nullptr);
    QApplication::processEvents();
  }
  ASSERT_TRUE(s->connection().commit().ok());
  runner.wait();
  QApplication::processEvents();
  EXPECT_EQ(removed.load(), 30);
  EXPECT_EQ(main.findChildren<QWidget*>(QStringLiteral("PROGRESS")).size(), 0) << "the progress window went";
  auto count = s->connection().prepare("SELECT count(*) FROM url_hist");
  ASSERT_EQ(count->step(), StepResult::kRow);
  EXPECT_EQ(count->column_int64(1), 20) << "every access written meanwhile is kept";
}

}  // namespace
}  // namespace tarnix::ui
