#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTextBrowser>

#include "ui/panel.h"
#include "ui/protocol_key.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

app::Settings defaults() {
  app::Settings s;
  s.dynamic = 1;
  s.dynamic_links = 1;
  s.show_name = 1;
  return s;
}

QStringList menu_items(QMenu* m) {
  QStringList out;
  for (QAction* a : m->actions())
    out << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + QLatin1Char(' ') + a->text());
  return out;
}

TEST(MainWindow, MenuHasEveryPopupAndItemInOrder) {
  app::Settings s = defaults();
  MainWindow w(s);
  EXPECT_EQ(w.windowTitle(), "Tarnix");
  QList<QMenu*> menus;
  for (QAction* a : w.menuBar()->actions()) menus << a->menu();
  ASSERT_EQ(menus.size(), 7);
  QStringList titles;
  for (QMenu* m : menus) titles << m->title();
  EXPECT_EQ(titles, (QStringList{"&File", "&Custom", "&Hosts", "&Statistics", "&Traffic Summaries",
                                 "Traffic &Reports", "H&elp"}));
  EXPECT_EQ(menu_items(menus[0]), (QStringList{"4002 &Adapter", "4400 &Open Capture File...",
                                               "4003 &DB Options", "-", "4001 &Quit"}));
  EXPECT_EQ(menu_items(menus[1]), (QStringList{"4005 &Custom Protocol Focus", "4006 &Alarms Builder"}));
  EXPECT_EQ(menu_items(menus[2]), (QStringList{"4056 IP &Address", "4057 Local &Name", "4304 Host List",
                                               "4311 Duplicate IP detect"}));
  EXPECT_EQ(menu_items(menus[3]), (QStringList{"4034 Cumulative Hosts", "4032 Dynamic Hosts", "-",
                                               "4035 Cumulative Links", "4033 Dynamic Links"}));
  EXPECT_EQ(menu_items(menus[4]),
            (QStringList{"4046 Top &URLs", "4047 Top &Hosts", "4310 Top &Links", "4049 Top &Alarms",
                         "4305 Top URL &Clients", "4306 Top URL &Servers"}));
  EXPECT_EQ(menu_items(menus[5]), (QStringList{"4051 &URLs Report", "4052 &Host Report",
                                               "4053 &Statistics Report", "4054 &Alarms Report"}));
  EXPECT_EQ(menu_items(menus[6]), (QStringList{"4041 &About", "-", "4043 &Help"}));
}

TEST(MainWindow, CommandsWithoutTheirWindowsStayVisibleButDisabled) {
  app::Settings s = defaults();
  MainWindow w(s);
  for (int id :
       {kCmdAdapter, kCmdDbOptions, kCmdFocusBuilder, kCmdAlarmsBuilder, kCmdHostList, kCmdDuplicateIp,
        kCmdTopUrls, kCmdTopHosts, kCmdTopLinks, kCmdTopAlarms, kCmdTopUrlClients, kCmdTopUrlServers,
        kCmdUrlsReport, kCmdHostReport, kCmdStatsReport, kCmdAlarmsReport, kCmdOpenCaptureFile}) {
    ASSERT_NE(w.command(id), nullptr) << id;
    EXPECT_TRUE(w.command(id)->isVisible()) << id;
    EXPECT_FALSE(w.command(id)->isEnabled()) << id;
  }
  for (int id : {kCmdQuit, kCmdAbout, kCmdHelp, kCmdDynamicHosts, kCmdIpAddress})
    EXPECT_TRUE(w.command(id)->isEnabled()) << id;
  int ran = 0;
  w.set_command(kCmdTopHosts, [&] { ++ran; });
  EXPECT_TRUE(w.command(kCmdTopHosts)->isEnabled());
  w.command(kCmdTopHosts)->trigger();
  EXPECT_EQ(ran, 1);
}

TEST(MainWindow, CheckMarksFollowSettingsStayExclusiveAndPersist) {
  QTemporaryDir dir;
  const QString ini = dir.filePath("Tarnix.ini");
  app::Settings s;
  {
    QSettings store(ini, QSettings::IniFormat);
    ASSERT_TRUE(app::settings_load(s, store));
  }
  s.dynamic = 0;
  s.show_name = 0;
  MainWindow w(s);
  w.set_check_marks_from_settings();
  auto checked = [&](int id) { return w.command(id)->isChecked(); };
  EXPECT_TRUE(checked(kCmdCumulativeHosts));
  EXPECT_FALSE(checked(kCmdDynamicHosts));
  EXPECT_TRUE(checked(kCmdDynamicLinks));
  EXPECT_FALSE(checked(kCmdCumulativeLinks));
  EXPECT_TRUE(checked(kCmdIpAddress));
  EXPECT_FALSE(checked(kCmdLocalName));

  // Exactly one of each pair is marked after every command, also when the
  // marked item is chosen again.
  const std::pair<int, int> pairs[] = {{kCmdCumulativeHosts, kCmdDynamicHosts},
                                       {kCmdCumulativeLinks, kCmdDynamicLinks},
                                       {kCmdIpAddress, kCmdLocalName}};
  for (auto [a, b] : pairs) {
    for (int id : {b, b, a, b}) {
      w.command(id)->trigger();
      EXPECT_NE(checked(a), checked(b)) << id;
      EXPECT_TRUE(checked(id)) << id;
    }
  }
  EXPECT_EQ(s.dynamic, 1);
  EXPECT_EQ(s.dynamic_links, 1);
  EXPECT_EQ(s.show_name, 1);
  w.command(kCmdCumulativeLinks)->trigger();
  EXPECT_EQ(s.dynamic_links, 0);

  {
    QSettings store(ini, QSettings::IniFormat);
    ASSERT_TRUE(app::settings_save(s, store));
  }
  app::Settings again;
  QSettings store(ini, QSettings::IniFormat);
  ASSERT_TRUE(app::settings_load(again, store));
  MainWindow w2(again);
  w2.set_check_marks_from_settings();
  EXPECT_TRUE(w2.command(kCmdDynamicHosts)->isChecked());
  EXPECT_TRUE(w2.command(kCmdCumulativeLinks)->isChecked());
  EXPECT_FALSE(w2.command(kCmdDynamicLinks)->isChecked());
  EXPECT_TRUE(w2.command(kCmdLocalName)->isChecked());
}

TEST(MainWindow, ChildrenAreLaidOutOnEverySizeChange) {
  MainLayout l = main_layout(1000, 700);
  EXPECT_EQ(l.map, QRect(0, 0, 700, 580));
  EXPECT_EQ(l.panel, QRect(700, 0, 300, 580));
  EXPECT_EQ(l.output, QRect(0, 580, 1000, 120));

  app::Settings s = defaults();
  MainWindow w(s);
  w.show();
  w.centralWidget()->resize(900, 620);
  EXPECT_EQ(w.map_area()->geometry(), QRect(0, 0, 600, 500));
  EXPECT_EQ(w.panel()->geometry(), QRect(600, 0, 300, 500));
  EXPECT_EQ(w.output_area()->geometry(), QRect(0, 500, 900, 120));
  auto* replacement = new QWidget;
  w.set_map_window(replacement);
  EXPECT_EQ(replacement->geometry(), QRect(0, 0, 600, 500));
}

TEST(MainWindow, TitleNamesTheAdapter) {
  struct Case {
    const char* adapter;
    const char* description;
    const char* title;
  } cases[] = {
      {"eth0", "Intel Ethernet", "Tarnix — eth0 (Intel Ethernet)"},
      {"any", "", "Tarnix — any"},
      {"wlan0", "   ", "Tarnix — wlan0"},
  };
  for (const Case& c : cases) EXPECT_EQ(main_title(c.adapter, c.description), c.title);
  app::Settings s = defaults();
  MainWindow w(s);
  w.set_main_title("lo", "Loopback");
  EXPECT_EQ(w.windowTitle(), "Tarnix — lo (Loopback)");
  EXPECT_EQ(main_title(QString(3000, 'a'), "d").size(), 2047);
}

TEST(Panel, ScrollsInFiveStepsOnlyWhenShorterThanItsContents) {
  Panel p;
  p.show();
  p.resize(300, 600);
  EXPECT_FALSE(p.scroll_bar()->isEnabled());
  EXPECT_EQ(p.content_offset(), 0);
  p.resize(300, 700);
  EXPECT_FALSE(p.scroll_bar()->isEnabled());
  p.scroll_request(1);
  EXPECT_EQ(p.content_offset(), 0);  // a step of max(s, 0) = 0 pixels

  Panel q;
  q.show();
  q.resize(300, 440);
  EXPECT_TRUE(q.scroll_bar()->isEnabled());
  EXPECT_EQ(q.scroll_step(), 40);
  auto key_y = [&] { return q.child_at(Panel::Key)->mapTo(&q, QPoint(0, 0)).y(); };
  EXPECT_EQ(key_y(), 160);
  q.scroll_request(1);
  EXPECT_EQ(q.scroll_position(), 1);
  EXPECT_EQ(key_y(), 120);
  q.scroll_request(10);  // limited to position 4
  EXPECT_EQ(q.scroll_position(), 4);
  EXPECT_EQ(key_y(), 0);
  q.scroll_request(-1);
  EXPECT_EQ(key_y(), 40);
  q.scroll_bar()->setValue(0);  // thumb dragged to the top
  EXPECT_EQ(q.scroll_position(), 0);
  EXPECT_EQ(key_y(), 160);
  q.scroll_bar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ(q.scroll_position(), 1);
  EXPECT_EQ(key_y(), 120);
  // A taller panel keeps its position but shows no offset; the 50 pixels
  // beyond the contents go to the charts.
  q.resize(300, 650);
  EXPECT_EQ(q.scroll_position(), 1);
  EXPECT_EQ(key_y(), 210);
  EXPECT_FALSE(q.scroll_bar()->isEnabled());
}

TEST(Panel, ChildrenSitAtTheirFixedPlacesAndCanBeReplaced) {
  Panel p;
  p.show();
  p.resize(300, 600);
  EXPECT_EQ(p.child_at(Panel::Key)->geometry(), QRect(110, 160, 180, 280));
  EXPECT_EQ(p.child_at(Panel::ZoomBox)->geometry(), QRect(0, 445, 120, 125));
  // Height beyond the contents makes the charts taller, up to 160 pixels
  // each; the rest moves down below them.
  struct Case {
    int height, chart, key_top;
  } cases[] = {{700, 130, 260}, {1200, 240, 480}};
  for (const Case& c : cases) {
    p.resize(300, c.height);
    EXPECT_EQ(p.child_at(Panel::LoadChart)->geometry(), QRect(0, 0, 280, c.chart)) << c.height;
    EXPECT_EQ(p.child_at(Panel::UrlChart)->geometry(), QRect(0, c.chart, 280, c.chart)) << c.height;
    EXPECT_EQ(p.child_at(Panel::Key)->geometry().top(), c.key_top) << c.height;
  }
  p.resize(300, 700);
  EXPECT_NE(p.protocol_key(), nullptr);
  auto* chart = new QLabel("chart");
  p.install(Panel::LoadChart, chart);
  EXPECT_EQ(p.child_at(Panel::LoadChart), chart);
  EXPECT_EQ(chart->geometry(), QRect(0, 0, 280, 130));
}

TEST(ProtocolKey, ListsSeventeenEntriesThenOther) {
  std::vector<KeyEntry> twenty;
  for (int i = 0; i < 20; ++i) twenty.push_back({QStringLiteral("P%1").arg(i), i % 32});
  QString name = "Busy";
  KeyContent c = protocol_key_content(&name, twenty);
  EXPECT_EQ(c.title, "Busy");
  EXPECT_EQ(c.lines[0].text, "P0");
  EXPECT_EQ(c.lines[16].text, "P16");
  EXPECT_EQ(c.lines[17].text, "Other");
  EXPECT_EQ(c.lines[17].palette_index, 32);

  std::vector<KeyEntry> three = {{"Web", 4}, {"Mail", 9}, {"DNS", 2}};
  c = protocol_key_content(&name, three);
  EXPECT_EQ(c.lines[1].palette_index, 9);
  EXPECT_EQ(c.lines[3].text, "Other");
  for (int k = 4; k < kKeyLines; ++k) EXPECT_TRUE(c.lines[std::size_t(k)].text.isEmpty()) << k;

  c = protocol_key_content(nullptr, three);
  EXPECT_EQ(c.title, "No Focus");
  for (const KeyLine& l : c.lines) EXPECT_TRUE(l.text.isEmpty());

  ProtocolKey key;
  key.resize(180, 280);
  std::array<QRgb, kPaletteSize> palette{};
  for (int i = 0; i < kPaletteSize; ++i) palette[std::size_t(i)] = qRgb(i, 2 * i, 3 * i);
  key.show_focus(&name, three, palette);
  EXPECT_EQ(key.title_text(), "Busy");
  EXPECT_EQ(key.line_text(1), "Mail");
  EXPECT_EQ(key.line_colour(1), QColor(qRgb(9, 18, 27)));
  EXPECT_EQ(key.line_colour(3), QColor(qRgb(32, 64, 96)));
  key.clear_focus();
  EXPECT_EQ(key.title_text(), "No Focus");
  EXPECT_TRUE(key.line_text(3).isEmpty());
}

TEST(ProtocolKey, NoNameIsCutOffAtTheKeysEdge) {
  ProtocolKey key;
  key.resize(180, 280);
  const std::vector<KeyEntry> entries = {
      {"IP", 1}, {"NETBIOS-SESSION-TCP", 2}, {"WWWWWWWWWWWWWWWWWWW", 3}};  // 19: the longest name
  const QString name = "A focus with a rather long name";
  std::array<QRgb, kPaletteSize> palette{};
  key.show_focus(&name, entries, palette);
  auto* area = key.findChild<QWidget*>("protocol");
  ASSERT_NE(area, nullptr);
  for (const char* id : {"20", "0", "1", "2", "3"}) {
    auto* l = area->findChild<QLabel*>(id);
    ASSERT_NE(l, nullptr) << id;
    EXPECT_LE(QFontMetrics(l->font()).horizontalAdvance(l->text()), l->width()) << id;
    EXPECT_TRUE(area->rect().contains(l->geometry())) << id;
  }
  // A short name keeps the key font and its column.
  auto* ip = area->findChild<QLabel*>("0");
  EXPECT_EQ(ip->font().pixelSize(), 13);
  EXPECT_EQ(ip->geometry().x(), 10);
}

TEST(MainWindow, HelpOpensTheBookOrSaysItCannot) {
  app::Settings s = defaults();
  MainWindow w(s);
  w.show();
  w.command(kCmdHelp)->trigger();
  auto* viewer = w.findChild<QTextBrowser*>("help_viewer");
  ASSERT_NE(viewer, nullptr);
  EXPECT_TRUE(viewer->toPlainText().contains("Reading the map"));

  w.set_help_index("/nonexistent/help/index.html");
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  testing::on_next_modal([&](QWidget* m) {
    auto* box = qobject_cast<QMessageBox*>(m);
    ASSERT_NE(box, nullptr);
    text = box->text();
    title = box->windowTitle();
    icon = box->icon();
    box->accept();
  });
  w.command(kCmdHelp)->trigger();
  EXPECT_EQ(text, "Unable to activate help");
  EXPECT_EQ(title, "Tarnix Notification");
  EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST(MainWindow, AboutBoxClosesAndRefillsTheKey) {
  app::Settings s = defaults();
  MainWindow w(s);
  int refills = 0;
  w.set_about_closed_hook([&] { ++refills; });
  QString seen;
  testing::on_next_modal([&](QWidget* m) {
    seen = m->windowTitle();
    static_cast<QDialog*>(m)->accept();
  });
  w.command(kCmdAbout)->trigger();
  EXPECT_EQ(seen, "About Tarnix");
  EXPECT_EQ(refills, 1);
}

TEST(MainWindow, QuitRunsTheCloseHookOnce) {
  app::Settings s = defaults();
  MainWindow w(s);
  w.show();
  int closes = 0;
  w.set_close_hook([&] { ++closes; });
  w.command(kCmdQuit)->trigger();
  w.close();
  EXPECT_EQ(closes, 1);
}

}  // namespace
}  // namespace tarnix::ui
