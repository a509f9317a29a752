// The desktop program playing a capture of real HTTP traffic (curl asking a
// web server directly and through tinyproxy) with its database on: the
// requests end up recorded, alarms stored before start-up fire while the file
// plays, and the database's start-up failure keeps its message and status.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>

#include "alarms/alarm.h"
#include "alarms/alarm_db.h"
#include "alarms/alarm_runtime.h"
#include "app/startup.h"
#include "db/db_store.h"
#include "db/db_util.h"
#include "naming/host_cache.h"
#include "ui/main_window.h"
#include "ui/map_view.h"
#include "ui/monitor/db_opt.h"
#include "ui/monitor/dupip_window.h"
#include "ui/monitor/output.h"
#include "ui/monitor/panel_monitors.h"
#include "ui/runtime.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

NetAddress ipv4(const char* text) {
  return NetAddress::parse(kAddrIpv4, text);
}

std::int64_t sql_int(DbSession& s, const std::string& sql) {
  auto st = s.connection().prepare(sql);
  if (!st || st->step() != StepResult::kRow) return -999;
  return st->column_int64(1);
}

class DesktopRecording : public ::testing::Test {
 protected:
  QTemporaryDir home;
  QString dbdir;

  void SetUp() override {
    testing::use_home(home);
    dbdir = home.filePath("db");
    set_dbpath(dbdir);
  }
  void set_dbpath(const QString& path) {
    QSettings s(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat);
    s.setValue("1.3/dbpath", path);
  }
  std::string db_file() const {
    DbConfig c;
    c.dbpath = dbdir.toStdString();
    return db_file_path(c);
  }
  std::unique_ptr<DesktopRuntime> make(app::RecordingMessenger& m) {
    RuntimeOptions o;
    o.capture_file = QStringLiteral(TARNIX_SOURCE_DIR "/tests/db/data/curl_tinyproxy.pcap");
    o.replay_speed = 0;
    o.resolve_names = false;
    return std::make_unique<DesktopRuntime>(m, o);
  }
  // Lets the map's paints pace the capture to the end of the file, then
  // closes the main window, which runs the shut-down.
  static void play_to_end_and_close(DesktopRuntime& rt) {
    ASSERT_TRUE(testing::play_to_end(rt, 20000));
    rt.main_window()->close();
  }
};

TEST_F(DesktopRecording, RequestsOfAPlayedCaptureAreRecordedAndKeptAfterShutDown) {
  app::RecordingMessenger m;
  auto rt = make(m);
  ASSERT_EQ(app::run_startup(*rt, m), 0) << m.texts().join(" | ").toStdString();
  EXPECT_TRUE(m.shown.empty()) << m.texts().join(" | ").toStdString();
  ASSERT_TRUE(QFile::exists(QString::fromStdString(db_file())));
  QElapsedTimer t;
  t.start();
  while (!rt->source_ended() && t.elapsed() < 20000) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    rt->map_window()->update();
  }
  // The request log fills as the recorder writes, beside the database.
  RequestLogModel* log = rt->panel_monitors().output->request_model();
  while (log->rowCount() < 5 && t.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_EQ(log->rowCount(), 5);
  QStringList clients;
  for (int i = 0; i < 5; ++i) clients << log->index(i, 1).data().toString();
  EXPECT_EQ(clients.count(QStringLiteral("10.77.0.2")), 5);
  play_to_end_and_close(*rt);
  rt.reset();

  auto s = db_open_session(db_file());
  ASSERT_TRUE(s);
  // Three direct requests (two for /index.html, one for /p.html) and two
  // through the proxy on port 8888.
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 5);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist WHERE cached = 1"), 2);
  EXPECT_EQ(sql_int(*s,
                    "SELECT sum(ref_count) FROM urls WHERE urlpath = '/index.html' AND host IN "
                    "(SELECT host_id FROM host_cache WHERE addr = '10.77.0.1')"),
            2);
  EXPECT_EQ(sql_int(*s,
                    "SELECT count(*) FROM url_hist WHERE client IN "
                    "(SELECT host_id FROM host_cache WHERE addr = '10.77.0.2')"),
            5);
  EXPECT_EQ(sql_int(*s,
                    "SELECT count(*) FROM url_hist WHERE cached = 1 AND server IN "
                    "(SELECT host_id FROM host_cache WHERE addr = '10.77.0.3')"),
            2);
  // Pruning at shut-down keeps accesses younger than "DB prune time".
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist WHERE ts < strftime('%s','now') - 86400"), 0);
}

TEST_F(DesktopRecording, AlarmsStoredBeforeStartUpFireWhileTheFilePlays) {
  {
    // What an earlier run's Alarm Builder would have left: a URL occurrence
    // alarm and a host threshold alarm on the client.
    DbConfig config;
    config.dbpath = dbdir.toStdString();
    StderrDbStartupUi ui;
    ASSERT_TRUE(db_start_server(config, ui));
    auto s = db_open_session(db_file());
    ASSERT_TRUE(s);
    NullNameService no_names;
    DbHostIdStore ids(db_open_session(db_file()));
    HostCache cache(no_names, ids);
    ids.set_names(&cache);
    cache.start();
    const std::int32_t url_id = alarm_url_lookup(*s, cache, "http://10.77.0.1/index.html");
    cache.stop();
    ASSERT_NE(url_id, 0);
    HostCacheEntry client;
    client.name = "10.77.0.2";
    client.address = ipv4("10.77.0.2");
    const std::int32_t client_id = db_host_cache_store(*s, client);
    ASSERT_NE(client_id, 0);

    auto st = alarm_init();
    auto url = std::make_shared<Alarm>();
    url->object_type = kAlarmUrl;
    url->kind = kAlarmOccurrence;
    url->url_id = url_id;
    url->notify = "index page";
    url->disabled = 0;
    st->loaded.append(url);
    auto host = std::make_shared<Alarm>();
    host->object_type = kAlarmHost;
    host->kind = kAlarmThreshold;
    host->set_host(1, AlarmHost{client_id, client.address, client.name});
    host->threshold = 1;
    host->unit = kAlarmPackets;
    host->direction = kAlarmHigh;
    host->notify = "client busy";
    host->disabled = 0;
    st->loaded.append(host);
    auto never = std::make_shared<Alarm>();
    never->object_type = kAlarmHost;
    never->kind = kAlarmThreshold;
    never->set_host(1, AlarmHost{client_id, client.address, client.name});
    never->threshold = 1000000;
    never->unit = kAlarmPackets;
    never->direction = kAlarmHigh;
    never->notify = "client flooding";
    never->disabled = 0;
    st->loaded.append(never);
    DbAlarmTable table(*s);
    alarm_save(*st, table, st->loaded);
  }

  app::RecordingMessenger m;
  auto rt = make(m);
  ASSERT_EQ(app::run_startup(*rt, m), 0) << m.texts().join(" | ").toStdString();
  ASSERT_NE(rt->alarms(), nullptr);
  play_to_end_and_close(*rt);
  std::map<std::string, std::size_t> fired;
  for (const AlarmSummary& a : rt->alarms()->summary()) fired[a.notify] = a.firings.size();
  ASSERT_EQ(fired.size(), 3u);
  // Every firing is a row of the alarm log, not a line on standard output.
  QApplication::processEvents();
  std::size_t total = 0;
  for (const auto& [notify, n] : fired) total += n;
  EXPECT_EQ(std::size_t(rt->panel_monitors().output->alarm_model()->rowCount()),
            std::min<std::size_t>(total, 200));
  // Once per recorded access of the URL.
  EXPECT_EQ(fired["index page"], 2u);
  // The client sent 39 frames, so at least one pass saw it over 1 packet.
  EXPECT_GE(fired["client busy"], 1u);
  EXPECT_LE(fired["client busy"], 39u);
  EXPECT_EQ(fired["client flooding"], 0u);
}

TEST_F(DesktopRecording, DuplicateDetectionAndDatabaseOptionsFollowTheirMenuCommands) {
  app::RecordingMessenger m;
  auto rt = make(m);
  ASSERT_EQ(app::run_startup(*rt, m), 0) << m.texts().join(" | ").toStdString();
  QAction* dup = rt->main_window()->command(kCmdDuplicateIp);
  ASSERT_TRUE(dup->isEnabled());
  EXPECT_FALSE(rt->duplicates()->detecting());
  dup->trigger();
  ASSERT_NE(rt->duplicates_window(), nullptr);
  EXPECT_TRUE(dup->isChecked());
  EXPECT_TRUE(rt->duplicates()->detecting());
  DupIpWindow* first = rt->duplicates_window();
  first->hide_window();
  dup->trigger();
  EXPECT_EQ(rt->duplicates_window(), first) << "the menu restores the open window";
  EXPECT_TRUE(rt->duplicates()->detecting());
  first->close_window();
  EXPECT_FALSE(dup->isChecked());
  EXPECT_FALSE(rt->duplicates()->detecting());

  QAction* opt = rt->main_window()->command(kCmdDbOptions);
  ASSERT_TRUE(opt->isEnabled());
  opt->trigger();
  DbOptionsDialog* d = rt->db_options();
  ASSERT_NE(d, nullptr);
  opt->trigger();
  EXPECT_EQ(rt->db_options(), d) << "one instance";
  auto* in_use = d->findChild<QLabel*>("dbInUse");
  ASSERT_NE(in_use, nullptr);
  EXPECT_TRUE(in_use->text().startsWith("In use: SQLite file ")) << in_use->text().toStdString();
  EXPECT_TRUE(d->findChild<QRadioButton*>("dbFile")->isChecked()) << "the default keeps SQLite";
  play_to_end_and_close(*rt);
}

// "Retain all URLs" confirmed with OK survives Quit and the next start, as
// does a count of days.
TEST_F(DesktopRecording, RetentionChosenInTheOptionsIsSavedAndReadBack) {
  for (const char* chosen : {"retain", "9"}) {
    SCOPED_TRACE(chosen);
    app::RecordingMessenger m;
    auto rt = make(m);
    ASSERT_EQ(app::run_startup(*rt, m), 0) << m.texts().join(" | ").toStdString();
    rt->main_window()->command(kCmdDbOptions)->trigger();
    DbOptionsDialog* d = rt->db_options();
    ASSERT_NE(d, nullptr);
    if (std::string(chosen) == "retain") {
      d->findChild<QRadioButton*>("17001")->click();
    } else {
      d->findChild<QRadioButton*>("17003")->click();
      d->findChild<QLineEdit*>("17002")->setText(chosen);
    }
    d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    play_to_end_and_close(*rt);
    rt.reset();
    const int expected = std::string(chosen) == "retain" ? 0 : 9;
    EXPECT_EQ(QSettings(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat)
                  .value("1.3/DB prune time")
                  .toInt(),
              expected);

    auto again = make(m);
    ASSERT_EQ(app::run_startup(*again, m), 0);
    again->main_window()->command(kCmdDbOptions)->trigger();
    d = again->db_options();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->findChild<QRadioButton*>("17001")->isChecked(), expected == 0);
    if (expected != 0) {
      EXPECT_EQ(d->findChild<QLineEdit*>("17002")->text(), "9");
    }
    again->main_window()->close();
  }
}

TEST_F(DesktopRecording, WithoutTheDatabaseTheFilePlaysAndNoAlarmIsLoaded) {
  app::RecordingMessenger m;
  RuntimeOptions o;
  o.capture_file = QStringLiteral(TARNIX_SOURCE_DIR "/tests/db/data/curl_tinyproxy.pcap");
  o.skip_database = true;
  o.resolve_names = false;
  DesktopRuntime rt(m, o);
  ASSERT_EQ(app::run_startup(rt, m), 0) << m.texts().join(" | ").toStdString();
  ASSERT_NE(rt.alarms(), nullptr);
  EXPECT_TRUE(rt.alarms()->summary().empty());
  play_to_end_and_close(rt);
  EXPECT_FALSE(QFile::exists(QString::fromStdString(db_file())));
}

TEST_F(DesktopRecording, DatabaseFolderThatCannotBeMadeStopsStartUp) {
  QFile blocker(home.filePath("plain-file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  set_dbpath(home.filePath("plain-file/db"));
  app::RecordingMessenger m;
  auto rt = make(m);
  EXPECT_EQ(app::run_startup(*rt, m), -1);
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text, "Couldn't start database");
  EXPECT_EQ(m.shown[0].title, "Tarnix Error");
  EXPECT_EQ(rt->main_window(), nullptr);
}

}  // namespace
}  // namespace tarnix::ui
