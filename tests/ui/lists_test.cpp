// The top-N lists and watch windows on a capture of real HTTP traffic
// (tests/ui/data/make_http_top.sh: three clients, two busybox web servers,
// tinyproxy) played through the desktop program into a real database. The
// expected counts come from tshark (see tests/cli/cli_test.cpp).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <set>

#include "app/startup.h"
#include "db/db_store.h"
#include "db/db_util.h"
#include "ui/main_window.h"
#include "ui/map_view.h"
#include "ui/monitor/db_reader.h"
#include "ui/monitor/window_opener.h"
#include "ui/runtime.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

bool wait_until(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

std::vector<QStringList> rows(ListWindow* w, int columns) {
  std::vector<QStringList> out;
  for (int r = 0; r < w->model()->rows(); ++r) {
    QStringList row;
    for (int c = 0; c < columns; ++c) row << w->model()->text(r, c);
    out.push_back(row);
  }
  return out;
}

ListWindow* find_window(const QString& object_name, int skip = 0) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == object_name && w->isVisible() && skip-- == 0) return qobject_cast<ListWindow*>(w);
  return nullptr;
}

class Monitor : public ::testing::Test {
 protected:
  QTemporaryDir home;
  app::RecordingMessenger messenger;
  std::unique_ptr<DesktopRuntime> rt;

  void SetUp() override {
    testing::use_home(home);
    QSettings s(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat);
    s.setValue("1.3/dbpath", home.filePath("db"));
    s.sync();
    RuntimeOptions o;
    o.capture_file = QStringLiteral(TARNIX_SOURCE_DIR "/tests/ui/data/http_top.pcap");
    o.resolve_names = false;
    rt = std::make_unique<DesktopRuntime>(messenger, o);
    ASSERT_EQ(app::run_startup(*rt, messenger), 0) << messenger.texts().join(" | ").toStdString();
    ASSERT_TRUE(wait_until([&] {
      rt->map_window()->update();
      return rt->source_ended();
    }, 20000));
    // The recorder writes what it holds before the lists are read.
    ASSERT_TRUE(wait_until([&] { return accesses() == 11; }));
  }
  void TearDown() override {
    if (rt && rt->main_window()) rt->main_window()->close();
    rt.reset();
  }
  std::string db_file() const {
    DbConfig c;
    c.dbpath = home.filePath("db").toStdString();
    return db_file_path(c);
  }
  std::int64_t accesses() const {
    auto s = db_open_session(db_file());
    auto st = s ? s->connection().prepare("SELECT count(*) FROM url_hist") : nullptr;
    return st && st->step() == StepResult::kRow ? st->column_int64(1) : -1;
  }
  WindowOpener& m() { return *rt->monitors(); }
  // Ids follow the order of storing, which a name look-up can change.
  std::int32_t url_id(const char* host, const char* path) const {
    auto s = db_open_session(db_file());
    auto st = s->connection().prepare(
        "SELECT url_id FROM urls WHERE urlpath = ? AND host IN (SELECT host_id FROM host_cache WHERE name = ?)");
    st->bind_text(1, path);
    st->bind_text(2, host);
    return st->step() == StepResult::kRow ? st->column_int(1) : 0;
  }
  std::int32_t host_id(const char* name) const {
    auto s = db_open_session(db_file());
    return db_host_cache_find_id(*s, nullptr, &static_cast<const NetAddress&>(NetAddress::parse(kAddrIpv4, name)));
  }
  HostCacheEntry entry(const char* name) const {
    HostCacheEntry e;
    e.name = name;
    e.address = NetAddress::parse(kAddrIpv4, name);
    e.host_id = host_id(name);
    return e;
  }
  // Opens the accesses of a URL and waits for a new window.
  ListWindow* open_url(std::int32_t url) {
    std::set<ListWindow*> before;
    for (int i = 0; ListWindow* w = find_window("urlaccesslist", i); ++i) before.insert(w);
    m().open_url_accesses(url);
    ListWindow* found = nullptr;
    wait_until([&] {
      for (int i = 0; ListWindow* w = find_window("urlaccesslist", i); ++i)
        if (!before.count(w)) found = w;
      return found && idle();
    });
    return found;
  }
  // No read in hand, and the results of the last ones delivered (a result
  // is queued before its read counts as done).
  bool idle() {
    if (m().reader()->pending() != 0) return false;
    QApplication::processEvents();
    return m().reader()->pending() == 0;
  }
  ListWindow* open(int command) {
    rt->main_window()->command(command)->trigger();
    wait_until([&] { return idle(); });
    QApplication::processEvents();
    return qobject_cast<ListWindow*>(QApplication::activeWindow());
  }
};

TEST_F(Monitor, TopListsRankTheCaptureAsCountedIndependently) {
  ListWindow* hosts = m().open_top(TopList::kHosts);
  EXPECT_EQ(hosts->windowTitle(), "Top Hosts ** UPDATING **     ");
  EXPECT_EQ(rows(hosts, 2), (std::vector<QStringList>{{"10.77.0.2", "4156"}, {"10.77.0.1", "3656"},
                                                       {"10.77.0.3", "3483"}, {"10.77.0.5", "2533"},
                                                       {"10.77.0.4", "1238"}, {"10.77.0.6", "483"}}));
  ListWindow* links = m().open_top(TopList::kLinks);
  ASSERT_EQ(links->model()->rows(), 12);
  EXPECT_EQ(rows(links, 3)[0], (QStringList{"10.77.0.1", "10.77.0.2", "2417"}));
  EXPECT_EQ(rows(links, 3)[11], (QStringList{"10.77.0.6", "10.77.0.1", "483"}));
  EXPECT_EQ(m().open_top(TopList::kAlarms)->model()->rows(), 0);

  ListWindow* urls = m().open_top(TopList::kUrls);
  ListWindow* clients = m().open_top(TopList::kClients);
  ListWindow* servers = m().open_top(TopList::kServers);
  ASSERT_TRUE(wait_until([&] { return idle() && servers->model()->rows() == 3; }));
  // URLs read as the site the clients named; unresolved, the one reached
  // through the proxy is a host of its own, so the site appears twice.
  ASSERT_EQ(urls->model()->rows(), 6);
  EXPECT_EQ(rows(urls, 2)[0], (QStringList{"http://www.e2e.test/index.html", "4"}));
  // The three seen once tie: their order is the store's, which the
  // look-ups' timing decides.
  const std::vector<QStringList> shown = rows(urls, 2);
  std::vector<QStringList> once(shown.begin() + 3, shown.end());
  std::sort(once.begin(), once.end());
  EXPECT_EQ(once, (std::vector<QStringList>{{"http://10.77.0.1/a.html", "1"},
                                            {"http://www.e2e.test/a.html", "1"},
                                            {"http://www.e2e.test/index.html", "1"}}));
  EXPECT_EQ(rows(clients, 2),
            (std::vector<QStringList>{{"10.77.0.2", "6"}, {"10.77.0.5", "4"}, {"10.77.0.6", "1"}}));
  EXPECT_EQ(rows(servers, 2),
            (std::vector<QStringList>{{"10.77.0.1", "6"}, {"10.77.0.3", "3"}, {"10.77.0.4", "2"}}));

  // The menu command opens once; a second time raises the same window.
  EXPECT_EQ(open(kCmdTopHosts), hosts);

  // Force update refreshes on the next tick, then the countdown restarts.
  servers->force_update();
  servers->tick();
  EXPECT_EQ(servers->windowTitle(), "Top URL Servers  next update: 15:00");
  servers->tick();
  EXPECT_EQ(servers->windowTitle(), "Top URL Servers  next update: 14:59");
}

TEST_F(Monitor, UrlWatchWindowsShowProxiedAccessesAndOnlyStrictlyLaterOnes) {
  // http://files.e2e.test/f.html, twice through the proxy from .2.
  ListWindow* proxied = open_url(url_id("files.e2e.test", "/f.html"));
  ASSERT_NE(proxied, nullptr);
  EXPECT_EQ(proxied->windowTitle().left(28), "http://files.e2e.test/f.html");
  ASSERT_EQ(proxied->model()->rows(), 2);
  EXPECT_EQ(rows(proxied, 4)[0].mid(1), (QStringList{"10.77.0.2", "files.e2e.test", "10.77.0.3"}));
  EXPECT_EQ(proxied->model()->ref(0)->id[2], host_id("10.77.0.3")) << "the proxy's host id";
  // Direct accesses name the server and no proxy.
  ListWindow* direct = open_url(url_id("10.77.0.1", "/index.html"));
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(direct->model()->rows(), 4);
  EXPECT_EQ(rows(direct, 4)[3].mid(1), (QStringList{"10.77.0.5", "10.77.0.1", ""}));
  m().open_url_accesses(999);  // unknown: no window
  wait_until([&] { return idle(); });
  EXPECT_EQ(find_window("urlaccesslist", 2), nullptr);

  const std::int32_t client_id = host_id("10.77.0.2");
  ListWindow* accessed = m().open_accessed_urls(client_id);
  // The tail as opened, before the countdown takes it a second later; the
  // host's name follows from a read.
  EXPECT_TRUE(accessed->windowTitle().endsWith(" (URLs Accessed) ** UPDATING **     "))
      << accessed->windowTitle().toStdString();
  ASSERT_TRUE(wait_until([&] { return idle() && accessed->model()->rows() == 6; }));
  EXPECT_TRUE(accessed->windowTitle().startsWith("10.77.0.2 (URLs Accessed) ")) << accessed->windowTitle().toStdString();
  EXPECT_EQ(m().open_accessed_urls(client_id) == accessed, false) << "a new window each time";

  // An access stored with the newest shown timestamp is not fetched; a later one is.
  auto s = db_open_session(db_file());
  ASSERT_TRUE(s);
  auto newest = s->connection().prepare("SELECT max(ts) FROM url_hist WHERE client = ?");
  newest->bind_int(1, client_id);
  ASSERT_EQ(newest->step(), StepResult::kRow);
  TimestampRecord ts = newest->column_timestamp(1);
  const HostCacheEntry client = entry("10.77.0.2"), server = entry("10.77.0.1");
  const std::int32_t a_html = url_id("10.77.0.1", "/a.html");
  const auto add_and_refresh = [&](int want) {
    s->fix_now(ts);
    ASSERT_NE(db_url_hist_add(*s, a_html, "www.e2e.test", &client, &server, 0, 1, nullptr), 0);
    accessed->force_update();
    accessed->tick();
    wait_until([&] { return idle() && accessed->model()->rows() == want; });
    ASSERT_EQ(accessed->model()->rows(), want);
  };
  add_and_refresh(6);
  ts.second = static_cast<std::uint16_t>((ts.second + 1) % 60);
  if (ts.second == 0) ts.minute = static_cast<std::uint16_t>(ts.minute + 1);
  add_and_refresh(7);
  EXPECT_EQ(accessed->model()->text(6, 1), "http://10.77.0.1/a.html");
  EXPECT_EQ(accessed->model()->text(6, 2), "10.77.0.1");
}

TEST_F(Monitor, TrafficWindowsAndInactiveHosts) {
  ListWindow* list = open(kCmdHostList);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->model()->rows(), 6);
  // Bytes and packets sent as tshark counts them; no names (not resolved).
  const auto all = rows(list, 5);
  auto busiest = std::find_if(all.begin(), all.end(), [](const QStringList& r) { return r[0] == "10.77.0.2"; });
  ASSERT_NE(busiest, all.end());
  EXPECT_EQ(*busiest, (QStringList{"10.77.0.2", "", "4156", (*busiest)[3], "53"}));

  // "Watch Client Traffic" on the busiest client: its host watch.
  ListWindow* clients = m().open_top(TopList::kClients);
  ASSERT_TRUE(wait_until([&] { return idle() && clients->model()->rows() == 3; }));
  clients->run_command(0, 15000);
  ListWindow* watch = nullptr;
  ASSERT_TRUE(wait_until([&] { return (watch = find_window("hostwatch")) != nullptr; }));
  EXPECT_EQ(watch->windowTitle(), "10.77.0.2 :  ** UPDATING **     ");
  ASSERT_GE(watch->model()->rows(), 2);
  QStringList dests;
  for (const QStringList& r : rows(watch, 1)) dests << r[0];
  EXPECT_TRUE(dests.contains("10.77.0.1") && dests.contains("10.77.0.3")) << dests.join(",").toStdString();
  // "Watch Destination Traffic" on a link: its destination's host watch.
  ListWindow* links = m().open_top(TopList::kLinks);
  ASSERT_EQ(rows(links, 2)[11], (QStringList{"10.77.0.6", "10.77.0.1"}));
  links->run_command(11, 15004);  // the destination's commands follow the source's four
  QStringList watched;
  for (int i = 0; ListWindow* w = find_window("hostwatch", i); ++i)
    watched << w->windowTitle().section(' ', 0, 0);
  EXPECT_TRUE(watched.contains("10.77.0.1")) << watched.join(",").toStdString();

  // A host stored by an earlier run that this network never saw.
  auto s = db_open_session(db_file());
  const std::int32_t gone_id = db_host_cache_store(*s, entry("10.9.9.9"));
  ASSERT_NE(gone_id, 0);
  messenger.shown.clear();
  m().watch_host_traffic(gone_id);
  ASSERT_TRUE(wait_until([&] { return !messenger.shown.empty(); }));
  EXPECT_EQ(messenger.shown[0].text, "Host Currently Inactive");

  // After a switch to another network the host watch goes and the Host
  // List starts over.
  popup_refresh_all();
  QApplication::processEvents();
  EXPECT_EQ(find_window("hostwatch"), nullptr);
  EXPECT_EQ(list->model()->rows(), 6);
}

QStringList menu_texts(ListWindow* w, int row) {
  QStringList texts;
  std::unique_ptr<QMenu> menu(w->context_menu(row));
  if (menu)
    for (QAction* a : menu->actions()) texts << a->text() + (a->isEnabled() ? "" : " (off)");
  return texts;
}

TEST_F(Monitor, ContextMenusOfEveryWindow) {
  ListWindow* proxied = open_url(url_id("files.e2e.test", "/f.html"));  // every command has a host
  ListWindow* direct = open_url(url_id("10.77.0.1", "/index.html"));    // no proxy
  ListWindow* accessed = m().open_accessed_urls(host_id("10.77.0.2"));
  ListWindow* served = m().open_served_urls(host_id("10.77.0.1"));
  ListWindow* tops[6];
  for (int i = 0; i < 6; ++i) tops[i] = m().open_top(static_cast<TopList>(i));
  ListWindow* list = m().open_host_list();
  ASSERT_TRUE(wait_until([&] { return idle() && served->model()->rows() > 0 && accessed->model()->rows() > 0; }));
  ListWindow* watch = m().open_host_watch(static_cast<const Node*>(list->model()->ref(0)->record));

  const auto host = [](const QString& who) {
    return QStringList{"Watch " + who + " Traffic", "Watch " + who + " Accessed URLs",
                       "Watch " + who + " Served URLs"};
  };
  // A host of the traffic model also takes a new alarm.
  const auto node = [&](const QString& who) { return host(who) << "New Alarm for " + who; };
  const struct {
    ListWindow* window;
    QStringList texts;
  } cases[] = {
      {tops[0], node("Host")},
      {tops[1], node("Source") + node("Destination")},
      {tops[2], {}},
      {tops[3], {"Watch URL Accesses", "Browse URL"}},
      {tops[4], host("Client")},
      {tops[5], host("Server")},
      {accessed,
       {"Watch URL accesses ", "Browse URL", "Watch Server accessed URLs", "Watch Server served URLs",
        "Watch Server traffic"}},
      {served,
       {"Watch URL &accesses ", "Browse URL", "Watch Client accessed URLs", "Watch Client served URLS",
        "Watch Client traffic"}},
      {proxied, host("Source") + host("Dest") + host("Proxy")},
      {direct,
       host("Source") + host("Dest") +
           QStringList{"Watch Proxy Traffic (off)", "Watch Proxy Accessed URLs (off)", "Watch Proxy Served URLs (off)"}},
      {list, node("Node")},
      {watch, node("Node")},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.window, nullptr);
    EXPECT_EQ(menu_texts(c.window, 0), c.texts) << c.window->windowTitle().toStdString();
  }

  // Browse URL hands the URL's text form to the browser.
  QString browsed;
  const_cast<MonitorServices&>(m().services()).browse = [&](const QString& u) { browsed = u; };
  tops[3]->run_command(0, 15001);
  ASSERT_TRUE(wait_until([&] { return !browsed.isEmpty(); }));
  EXPECT_EQ(browsed, "http://www.e2e.test/index.html");
}

TEST_F(Monitor, SizesAndColumnWidthsGoToTheSettings) {
  ListWindow* hosts = m().open_top(TopList::kHosts);
  hosts->resize(333, 222);
  hosts->view()->setColumnWidth(1, 77);
  QPointer<ListWindow> closed(hosts);
  hosts->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(closed.isNull()) << "a closed window goes, so the next open is new";
  EXPECT_EQ(rt->settings().place("host x"), 333);
  EXPECT_EQ(rt->settings().place("host y"), 222);
  EXPECT_EQ(rt->settings().place("host 1"), 77);
  // A later open is a new window with those sizes.
  ListWindow* again = m().open_top(TopList::kHosts);
  EXPECT_EQ(again->size(), QSize(333, 222));
  EXPECT_EQ(again->view()->columnWidth(1), 77);
  // The third column of the accessed URLs uses the second's width key.
  rt->settings().set_place("wnurls 1", 123);
  EXPECT_EQ(m().open_accessed_urls(host_id("10.77.0.2"))->view()->columnWidth(2), 123);
}

}  // namespace
}  // namespace tarnix::ui
