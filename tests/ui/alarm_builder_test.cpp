// The Alarm Builder on fakes and on the desktop program (OK saves, and the
// alarm fires while a capture of real traffic plays).
#include "ui/alarm_builder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTemporaryDir>
#include <QTest>
#include <tuple>

#include "../alarms/alarm_fakes.h"
#include "alarms/alarm_runtime.h"
#include "app/startup.h"
#include "capture/classifier.h"
#include "capture/net.h"
#include "db/db_store.h"
#include "db/db_util.h"
#include "ui/main_window.h"
#include "ui/map_questions.h"
#include "ui/map_view.h"
#include "ui/monitor/window_opener.h"
#include "ui/runtime.h"
#include "ui/zoom.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

using tarnix::testing::FakeBuilderServices;
using tarnix::testing::FakeModel;
using tarnix::testing::FakeTable;

template <class W>
W* child(QWidget* d, const char* id) {
  W* w = d->findChild<W*>(QLatin1String(id));
  EXPECT_NE(w, nullptr) << id;
  return w;
}

// Types into a line edit and presses Enter, which moves the focus on and so
// hands the text to the dialog. Focus changes reach the widgets only in the
// active window, which a just-shown dialog on a busy machine may not be yet.
void type_and_enter(QWidget* dialog, QLineEdit* edit, const QString& text) {
  dialog->activateWindow();
  EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
  edit->setFocus();
  edit->selectAll();
  QTest::keyClicks(edit, text);
  QTest::keyClick(edit, Qt::Key_Return);
}

class AlarmBuilderUi : public ::testing::Test {
 protected:
  void SetUp() override {
    st = alarm_init();
    st->model = &model;
  }
  std::unique_ptr<AlarmBuilderDialog> open(
      std::chrono::milliseconds lookup_timeout = std::chrono::seconds(30)) {
    AlarmBuilderContext c;
    c.state = st.get();
    c.services = &services;
    c.table = &table;
    c.lookup_timeout = lookup_timeout;
    auto d = std::make_unique<AlarmBuilderDialog>(c);
    d->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(d.get()));
    return d;
  }
  AlarmPtr live_host_alarm() {
    auto a = std::make_shared<Alarm>();
    std::tie(a->object_type, a->kind, a->direction, a->unit) =
        std::tuple(kAlarmHost, kAlarmThreshold, kAlarmHigh, kAlarmPackets);
    a->threshold = 10;
    a->notify = "busy";
    a->set_host(1, AlarmHost{3, NetAddress::parse(kAddrIpv4, "10.0.0.3"), "ten"});
    st->loaded.append(a);
    return a;
  }

  FakeModel model;
  FakeTable table;
  FakeBuilderServices services;
  std::unique_ptr<AlarmState> st;
};

// Where a row's check box is, as the view's style draws it.
QPoint check_box_of(QListView* list, const QModelIndex& row) {
  QStyleOptionViewItem o;
  o.rect = list->visualRect(row);
  o.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDecoration |
               QStyleOptionViewItem::HasDisplay;
  o.decorationSize = list->iconSize();
  o.widget = list;
  return list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &o, list).center();
}

TEST_F(AlarmBuilderUi, NewAlarmStartsDisabledAndItsCheckBoxEnablesIt) {
  auto d = open();
  EXPECT_EQ(d->current(), nullptr);
  EXPECT_FALSE(child<QRadioButton>(d.get(), "10005")->isEnabled());
  child<QPushButton>(d.get(), "10004")->click();
  ASSERT_EQ(d->list_model()->rowCount(), 1);
  const QModelIndex row = d->list_model()->index(0);
  EXPECT_EQ(row.data().toString(), "New Alarm");
  EXPECT_EQ(row.data(Qt::UserRole).toInt(), 1);  // the disabled image
  EXPECT_EQ(row.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  ASSERT_NE(d->current(), nullptr);
  for (const char* id : {"10008", "10013", "10014"})
    EXPECT_TRUE(child<QRadioButton>(d.get(), id)->isChecked()) << id;
  EXPECT_EQ(child<QLineEdit>(d.get(), "10017")->text(), "0");
  EXPECT_FALSE(child<QComboBox>(d.get(), "10010")->isEnabled());

  auto* list = child<QListView>(d.get(), "10002");
  for (int disabled : {0, 1}) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, check_box_of(list, row));
    EXPECT_EQ(d->current()->disabled, disabled);
    EXPECT_EQ(row.data(Qt::UserRole).toInt(), disabled);
  }
}

// A rename started with the mouse takes the keys typed; Esc ends the rename
// and leaves the dialog open; the editor is closed once, without warnings.
TEST_F(AlarmBuilderUi, MouseStartedRenameTakesKeysAndEscCancelsOnlyIt) {
  testing::WarningCatcher warnings;
  live_host_alarm();
  auto d = open();
  d->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(d.get()));
  auto* list = child<AlarmListView>(d.get(), "10002");
  const QModelIndex row = d->list_model()->index(0);
  const QPoint at = list->visualRect(row).center();
  for (const char* end : {"Return", "Escape"}) {
    SCOPED_TRACE(end);
    // A double click as the window system gives it: press, release, then
    // the double click.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    ASSERT_TRUE(list->editing());
    QWidget* editor = QApplication::focusWidget();
    ASSERT_TRUE(editor != nullptr && qobject_cast<QLineEdit*>(editor) != nullptr);
    static_cast<QLineEdit*>(editor)->selectAll();
    QTest::keyClicks(editor, "storm watch");
    QTest::keyClick(editor, std::string(end) == "Return" ? Qt::Key_Return : Qt::Key_Escape);
    QApplication::processEvents();  // the delegate closes its editor a moment later
    EXPECT_FALSE(list->editing());
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->result(), 0);
    EXPECT_EQ(row.data().toString(), "storm watch");  // Escape kept the name Return gave
  }
  EXPECT_TRUE(testing::WarningCatcher::caught().isEmpty())
      << testing::WarningCatcher::caught().join(" | ").toStdString();
  // Esc with no rename open still closes the dialog.
  QTest::keyClick(list, Qt::Key_Escape);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(d->result(), QDialog::Rejected);
}

TEST_F(AlarmBuilderUi, ValueTakesDigitsOnlyAndAPercentAbove100IsRefusedWithAWord) {
  live_host_alarm();
  auto d = open();
  EXPECT_EQ(child<QComboBox>(d.get(), "10010")->currentText(), "ten");
  auto* value = child<QLineEdit>(d.get(), "10017");
  type_and_enter(d.get(), value, "5x0y0");
  EXPECT_EQ(value->text(), "500");
  EXPECT_EQ(d->current()->threshold, 500u);
  child<QRadioButton>(d.get(), "10016")->click();
  type_and_enter(d.get(), value, "150");
  EXPECT_EQ(value->text(), "500");
  EXPECT_EQ(d->current()->threshold, 500u);
  EXPECT_TRUE(d->problem_text().contains("0 to 100")) << d->problem_text().toStdString();
  type_and_enter(d.get(), value, "");
  EXPECT_EQ(d->current()->threshold, 500u) << "an emptied box is no 0";
  type_and_enter(d.get(), value, "80");
  EXPECT_EQ(d->current()->threshold, 80u);
  EXPECT_TRUE(d->problem_text().isEmpty());

  child<QRadioButton>(d.get(), "10007")->click();
  EXPECT_EQ(d->current()->object_type, kAlarmUrl);
  EXPECT_TRUE(child<QRadioButton>(d.get(), "10011")->isChecked());
  EXPECT_EQ(value->text(), "N/A");
  EXPECT_TRUE(value->isReadOnly());
  EXPECT_FALSE(child<QRadioButton>(d.get(), "10012")->isEnabled());
  EXPECT_EQ(child<QComboBox>(d.get(), "10025")->currentText(), "N/A");
  EXPECT_EQ(child<QLabel>(d.get(), "10026")->text(), "URL");
}

// OK refuses what could never bind or run whole, shows the alarm and says
// why; the live set and the table stay as they were until it is mended.
TEST_F(AlarmBuilderUi, OkRefusesAnAlarmThatCannotBindOrACommandTooLong) {
  services.cached["10.99.1.1"] = AlarmHost{9, NetAddress::parse(kAddrIpv4, "10.99.1.1"), "10.99.1.1"};
  live_host_alarm();
  auto d = open();
  child<QPushButton>(d.get(), "10004")->click();
  child<QRadioButton>(d.get(), "10005")->click();
  auto* ok = child<QPushButton>(d.get(), "30000");
  const QString long_command =
      QStringLiteral("sh -c 'echo x >> $HOME/alarm-count; ") + QString(60, 'y') + "'";
  const QString command = QStringLiteral("sh -c 'echo x >> $HOME/alarm-count'");
  const struct {
    const char* host;
    QString command;
    const char* delivery;
    const char* says;
  } steps[] = {{"", {}, "", "has no host"},
               {"10.99.1.1", long_command, "", "longer than 80"},
               {"10.99.1.1", command, "syslog pager", "unknown delivery 'pager'"},
               {"10.99.1.1", command, " syslog  webhook:http://r/h ", nullptr}};
  for (const auto& step : steps) {
    child<QListView>(d.get(), "10002")->setCurrentIndex(d->list_model()->index(1));
    type_and_enter(d.get(), child<QComboBox>(d.get(), "10010")->lineEdit(), QString::fromLatin1(step.host));
    if (!child<QCheckBox>(d.get(), "10021")->isChecked()) child<QCheckBox>(d.get(), "10021")->click();
    type_and_enter(d.get(), child<QLineEdit>(d.get(), "10020"), step.command);
    type_and_enter(d.get(), child<QLineEdit>(d.get(), "delivery"), QString::fromLatin1(step.delivery));
    child<QListView>(d.get(), "10002")->setCurrentIndex(d->list_model()->index(0));
    ok->click();
    if (step.says == nullptr) break;
    EXPECT_EQ(d->result(), 0) << step.says;
    EXPECT_EQ(d->current_row(), 1) << "the refused alarm is shown";
    EXPECT_TRUE(d->problem_text().contains(step.says)) << d->problem_text().toStdString();
    auto* box = d->findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->text().contains("New Alarm"));
    box->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(st->loaded.count(), 1);
    EXPECT_EQ(table.saves, 0);
  }
  QSignalSpy finished(d.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(5000));
  EXPECT_EQ(d->result(), QDialog::Accepted);
  ASSERT_EQ(st->loaded.count(), 2);
  EXPECT_EQ(st->loaded.head()->next->data->command, "sh -c 'echo x >> $HOME/alarm-count'");
  EXPECT_EQ(st->loaded.head()->next->data->delivery, "syslog webhook:http://r/h");
}

TEST_F(AlarmBuilderUi, HostBoxListsTheCachedNamesLastFirst) {
  live_host_alarm();
  services.names = {"alpha", "beta", "gamma"};
  auto d = open();
  auto* box = child<QComboBox>(d.get(), "10010");
  ASSERT_EQ(box->count(), 3);
  EXPECT_EQ(box->itemText(0), "gamma");
  EXPECT_EQ(box->itemText(2), "alpha");
  EXPECT_EQ(box->currentText(), "ten");
}

TEST_F(AlarmBuilderUi, UnresolvableHostWaitsWithBusyCursorThenShowsUnresolved) {
  live_host_alarm();
  services.blocked = true;
  auto d = open();
  auto* box = child<QComboBox>(d.get(), "10010");
  type_and_enter(d.get(), box->lineEdit(), "nosuch.example");
  EXPECT_EQ(d->pending_lookups(), 1);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  // The dialog still answers while the resolver thinks.
  child<QPushButton>(d.get(), "10004")->click();
  EXPECT_EQ(d->list_model()->rowCount(), 2);
  child<QListView>(d.get(), "10002")->setCurrentIndex(d->list_model()->index(0));
  services.release();
  QSignalSpy done(d.get(), &AlarmBuilderDialog::lookup_done);
  ASSERT_TRUE(done.wait(5000));
  EXPECT_EQ(box->currentText(), "(unresolved)");
  EXPECT_EQ(d->current()->host(1), nullptr);

  // A look-up nobody answers is given up on after the time-out.
  services.blocked = true;
  d = open(std::chrono::milliseconds(100));
  box = child<QComboBox>(d.get(), "10010");
  type_and_enter(d.get(), box->lineEdit(), "silent.example");
  QSignalSpy gave_up(d.get(), &AlarmBuilderDialog::lookup_done);
  ASSERT_TRUE(gave_up.wait(5000));
  EXPECT_EQ(box->currentText(), "(unresolved)");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  services.release();
}

TEST_F(AlarmBuilderUi, CancelAfterEditsLeavesLiveSetRankingAndTableAlone) {
  AlarmPtr live = live_host_alarm();
  model.current->ranking.insert(live.get());
  auto d = open();
  d->list_model()->setData(d->list_model()->index(0), "renamed", Qt::EditRole);
  child<QRadioButton>(d.get(), "10008")->click();
  child<QPushButton>(d.get(), "10004")->click();
  child<QPushButton>(d.get(), "10003")->click();
  child<QPushButton>(d.get(), "30001")->click();
  EXPECT_EQ(d->result(), QDialog::Rejected);
  ASSERT_EQ(st->loaded.count(), 1);
  EXPECT_EQ(st->loaded.head()->data, live);
  EXPECT_TRUE(live->notify == "busy" && live->object_type == kAlarmHost);
  EXPECT_EQ(model.current->ranking.count(), 1);
  EXPECT_EQ(table.saves, 0);
  EXPECT_TRUE(services.refs.empty());
}

// A right-click on a host of the map (or on a link, for either end) offers a
// new alarm for it, which opens the builder on a host alarm for that host.
TEST_F(AlarmBuilderUi, MapMenuOpensTheBuilderOnANewAlarmForTheHost) {
  NullClassifier classifier;
  TrafficModel traffic(&classifier, nullptr, nullptr);
  Net* net = net_create(traffic, "test");
  net_set_current(traffic, net);
  Node* ends[2];
  for (int i = 0; i < 2; ++i) {
    ends[i] = node_create(*net, i == 0 ? NetAddress::ipv4(10, 1, 0, 1) : NetAddress::ipv4(172, 16, 0, 1));
    ip_net_assign(*net, *ends[i]);
    ends[i]->active = 1;
  }
  Link* l = link_create(*net, *ends[0], *ends[1]);
  l->active = 1;
  rates_of(*l).bytes.average = 100000;
  services.cached["10.1.0.1"] = AlarmHost{7, NetAddress::ipv4(10, 1, 0, 1), "one.example"};
  services.cached["172.16.0.1"] = AlarmHost{8, NetAddress::ipv4(172, 16, 0, 1), "two.example"};

  app::Settings s;
  s.dynamic = 1;
  QString err;
  auto font = StrokeFont::load(QStringLiteral(TARNIX_BINARY_DIR "/data/font.bin"), err);
  ASSERT_TRUE(font) << err.toStdString();
  MapRenderer r(s, std::make_shared<StrokeFont>(*font));
  MapWindow map(r);
  map.resize(400, 400);
  r.request_size(400, 400);
  ZoomImage thumb;
  ASSERT_TRUE(r.draw_frame(*net));

  std::unique_ptr<AlarmBuilderDialog> opened;
  MonitorServices ms;
  ms.settings = &s;
  ms.model = &traffic;
  ms.new_host_alarm = [&](const QString& host) {
    AlarmBuilderContext c;
    c.state = st.get();
    c.services = &services;
    c.new_host_alarm = host;
    opened = std::make_unique<AlarmBuilderDialog>(c);
  };
  WindowOpener lists(ms);
  install_map_questions(map, thumb, traffic, &lists);

  const auto pixel = [](double x, double y) {
    return QPoint(int((x + 1.3) / 2.6 * 400), int((1.3 - y) / 2.6 * 400));
  };
  const Node* a = ends[0];
  const Node* b = ends[1];
  struct Case {
    const char* what;
    QPoint at;
    const char* action;
    const char* shown;
    std::int32_t host_id;
  } cases[] = {
      {"host", pixel(a->map_x, a->map_y), "New Alarm for Host", "one.example", 7},
      {"link", pixel((a->map_x + b->map_x) / 2, (a->map_y + b->map_y) / 2), "New Alarm for Destination",
       "two.example", 8},
  };
  for (const Case& k : cases) {
    opened.reset();
    QContextMenuEvent e(QContextMenuEvent::Mouse, k.at, map.mapToGlobal(k.at));
    QApplication::sendEvent(&map, &e);
    QMenu* menu = map.findChild<QMenu*>(QStringLiteral("map_menu"));
    ASSERT_NE(menu, nullptr) << k.what;
    QAction* chosen = nullptr;
    for (QAction* act : menu->actions())
      if (act->text() == QLatin1String(k.action)) chosen = act;
    ASSERT_NE(chosen, nullptr) << k.what;
    chosen->trigger();
    delete menu;
    ASSERT_NE(opened, nullptr) << k.what;
    ASSERT_NE(opened->current(), nullptr) << k.what;
    const Alarm& made = *opened->current();
    EXPECT_EQ(opened->list_model()->rowCount(), 1) << k.what;
    EXPECT_TRUE(made.object_type == kAlarmHost && made.kind == kAlarmThreshold &&
                made.direction == kAlarmHigh)
        << k.what;
    EXPECT_EQ(made.disabled, 1) << k.what;
    ASSERT_NE(made.host(1), nullptr) << k.what;
    EXPECT_EQ(made.host(1)->host_id, k.host_id) << k.what;
    EXPECT_EQ(child<QComboBox>(opened.get(), "10010")->currentText(), k.shown) << k.what;
  }
}

// The desktop program: an alarm made in the dialog and confirmed with OK is
// in the database and fires while a capture of real HTTP traffic plays.
TEST(AlarmBuilderDesktop, OkSavesAndTheNewAlarmFiresOnRealTraffic) {
  QTemporaryDir home;
  testing::use_home(home);
  const QString dbdir = home.filePath("db");
  QSettings(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat)
      .setValue("1.3/dbpath", dbdir);
  app::RecordingMessenger m;
  RuntimeOptions o;
  o.capture_file = QStringLiteral(TARNIX_SOURCE_DIR "/tests/db/data/curl_tinyproxy.pcap");
  o.resolve_names = false;
  // Played at its recorded pace, so the dialog is done long before the file.
  o.replay_speed = 1;
  DesktopRuntime rt(m, o);
  ASSERT_EQ(app::run_startup(rt, m), 0) << m.texts().join(" | ").toStdString();

  testing::on_next_modal([](QWidget* w) {
    child<QPushButton>(w, "10004")->click();
    child<QRadioButton>(w, "10005")->click();
    type_and_enter(w, child<QComboBox>(w, "10010")->lineEdit(), "10.77.0.2");
    child<QRadioButton>(w, "10012")->click();
    child<QRadioButton>(w, "10015")->click();
    type_and_enter(w, child<QLineEdit>(w, "10017"), "1");
    auto* list = child<QListView>(w, "10002");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, check_box_of(list, list->model()->index(0, 0)));
    list->model()->setData(list->model()->index(0, 0), "client talks", Qt::EditRole);
    child<QPushButton>(w, "30000")->click();
  });
  EXPECT_EQ(rt.open_alarm_builder(), 1);

  ASSERT_TRUE(testing::play_to_end(rt, 30000));
  rt.main_window()->close();
  std::size_t fired = 0;
  for (const AlarmSummary& a : rt.alarms()->summary())
    if (a.notify == "client talks") fired = a.firings.size();
  EXPECT_GE(fired, 1u);

  DbConfig config;
  config.dbpath = dbdir.toStdString();
  auto s = db_open_session(db_file_path(config));
  ASSERT_TRUE(s);
  std::vector<AlarmRow> rows;
  ASSERT_TRUE(db_alarms_load(*s, rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].notify, "client talks");
  EXPECT_TRUE(rows[0].object_type == kAlarmHost && rows[0].disabled == 0 && rows[0].threshold == 1);
  NetAddress address;
  ASSERT_TRUE(db_host_cache_addr(*s, rows[0].host1_id, address));
  EXPECT_EQ(netaddr_text(address), "10.77.0.2");
}

}  // namespace
}  // namespace tarnix::ui
