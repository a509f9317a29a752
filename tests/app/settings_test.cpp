#include "app/settings.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "capture/focus_file.h"

namespace tarnix::app {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  QString path() const { return dir.filePath(QStringLiteral("Tarnix.ini")); }
  QSettings store() const { return QSettings(path(), QSettings::IniFormat); }
  QString raw(const QString& key) const {
    QSettings s(path(), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("1.3"));
    return s.value(key).toString();
  }
  void put(const QString& key, const QVariant& v) {
    QSettings s(path(), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("1.3"));
    s.setValue(key, v);
  }
};

TEST_F(SettingsTest, FirstRunCreatesEveryValueWithItsDefault) {
  Settings s;
  QSettings st = store();
  ASSERT_TRUE(settings_load(s, st));
  st.sync();

  EXPECT_EQ(s.ethers, ".\\ethers");
  EXPECT_EQ(s.manufacturers, ".\\manf");
  EXPECT_EQ(s.cfdump, ".\\cfdump.bin");
  EXPECT_EQ(s.alarms, ".\\alarm.adl");
  EXPECT_EQ(s.protocols, ".\\protocol.pdl");
  EXPECT_EQ(s.dbpath, ".\\");
  EXPECT_EQ(s.focus, "IP Networking");
  EXPECT_DOUBLE_EQ(s.font_size, 0.5);
  EXPECT_DOUBLE_EQ(s.link_scale, 0.6);
  EXPECT_DOUBLE_EQ(s.node_scale, 0.2);
  EXPECT_DOUBLE_EQ(s.max_node_radius, 0.5);
  EXPECT_EQ(s.node_timeout, 10);
  EXPECT_EQ(s.link_timeout, 5);
  EXPECT_DOUBLE_EQ(s.net_size, 55);
  EXPECT_EQ(s.max_link_width, 100);
  EXPECT_EQ(s.dynamic, 1);
  EXPECT_EQ(s.bytes, 1);
  EXPECT_EQ(s.show_name, 1);
  EXPECT_EQ(s.show_manufacturers, 0);
  EXPECT_EQ(s.snaplen, 250);
  EXPECT_EQ(s.dynamic_links, 1);
  EXPECT_DOUBLE_EQ(s.sample_interval, 1);
  EXPECT_EQ(s.db_prune_time, 28);
  EXPECT_EQ(s.interface, 0);
  EXPECT_EQ(s.place("wnode 4"), 150);
  EXPECT_EQ(s.place("wnet 5"), 150);
  EXPECT_EQ(s.place("host 1"), 200);
  EXPECT_EQ(s.place("host x"), 200);
  EXPECT_EQ(s.place("wurl y"), 400);
  EXPECT_EQ(s.place("server x"), 400);
  EXPECT_EQ(s.place("output url3"), 200);
  EXPECT_EQ(s.place("output alarm1"), 200);
  EXPECT_EQ(s.place("output split"), 66);

  // Reals are stored as "%f" text, numbers and texts as they are.
  EXPECT_EQ(raw("net size"), "55.000000");
  EXPECT_EQ(raw("node timeout"), "10.000000");
  EXPECT_EQ(raw("font size"), "0.500000");
  EXPECT_EQ(raw("max link width"), "100");
  EXPECT_EQ(raw("snaplen"), "250");
  EXPECT_EQ(raw("dbpath"), ".\\");
  EXPECT_EQ(raw("wnurld 1"), "150");
  // Every key the loader knows is now under the group.
  QSettings check(path(), QSettings::IniFormat);
  check.beginGroup("1.3");
  for (const QString& k : settings_load_order()) EXPECT_TRUE(check.contains(k)) << k.toStdString();
}

TEST_F(SettingsTest, StoredValuesWinAndTimeoutsAreTruncated) {
  put("node timeout", "7.9");
  put("link timeout", "3.2");
  put("focus", "Web Only");
  put("max link width", 42);
  put("net size", "80.5");
  put("wnurld x", 321);
  Settings s;
  {
    QSettings st = store();
    ASSERT_TRUE(settings_load(s, st));
  }
  EXPECT_EQ(s.node_timeout, 7);
  EXPECT_EQ(s.link_timeout, 3);
  EXPECT_EQ(s.focus, "Web Only");
  EXPECT_EQ(s.max_link_width, 42);
  EXPECT_DOUBLE_EQ(s.net_size, 80.5);
  EXPECT_EQ(s.place("wnurld x"), 321);
  EXPECT_EQ(s.place("wnurls x"), 200);
  // A stored value is not overwritten by its default.
  EXPECT_EQ(raw("node timeout"), "7.9");

  QSettings st = store();
  ASSERT_TRUE(settings_save(s, st));
  EXPECT_EQ(raw("node timeout"), "7.000000");
  EXPECT_EQ(raw("link timeout"), "3.000000");
  EXPECT_EQ(raw("net size"), "80.500000");
  // Each placement goes back under the key it came from.
  EXPECT_EQ(raw("wnurld x"), "321");
  EXPECT_EQ(raw("wnurls x"), "200");
}

TEST_F(SettingsTest, SomeKeysAreNeverWrittenBack) {
  Settings s;
  {
    QSettings st = store();
    ASSERT_TRUE(settings_load(s, st));
  }
  s.ethers = "/tmp/other-ethers";
  s.manufacturers = "/tmp/other-manf";
  s.dbpath = "/tmp/db";
  s.bytes = 0;
  s.show_manufacturers = 1;
  s.snaplen = 1500;
  s.dynamic = 0;
  s.show_name = 0;
  s.interface = 2;
  s.focus = "Mine";
  s.font_size = 0.25;
  {
    QSettings st = store();
    ASSERT_TRUE(settings_save(s, st));
  }
  EXPECT_EQ(raw("ethers"), ".\\ethers");
  EXPECT_EQ(raw("manufacturers"), ".\\manf");
  EXPECT_EQ(raw("dbpath"), ".\\");
  EXPECT_EQ(raw("bytes"), "1");
  EXPECT_EQ(raw("show manufacturers"), "0");
  EXPECT_EQ(raw("snaplen"), "250");
  EXPECT_EQ(raw("dynamic"), "0");
  EXPECT_EQ(raw("show name"), "0");
  EXPECT_EQ(raw("interface"), "2");
  EXPECT_EQ(raw("focus"), "Mine");
  EXPECT_EQ(raw("font size"), "0.250000");

  Settings again;
  QSettings st = store();
  ASSERT_TRUE(settings_load(again, st));
  EXPECT_EQ(again.dynamic, 0);
  EXPECT_EQ(again.interface, 2);
  EXPECT_EQ(again.focus, "Mine");
  EXPECT_EQ(again.bytes, 1);
  EXPECT_EQ(again.tls_names, 1);  // on unless turned off
}

TEST(SettingsOrder, SaveOrderFollowsTheFixedSequence) {
  QStringList o = settings_save_order();
  ASSERT_GE(o.size(), 10);
  EXPECT_EQ(o.mid(0, 10), (QStringList{"cfdump", "alarms", "protocols", "focus", "font size", "link scale",
                                       "node scale", "max node radius", "node timeout", "link timeout"}));
  EXPECT_EQ(o.mid(10, 4), (QStringList{"max link width", "dynamic", "show name", "wnode 0"}));
  auto at = [&](const char* k) { return o.indexOf(QLatin1String(k)); };
  EXPECT_EQ(at("wnode x"), at("wnode 4") + 1);
  EXPECT_EQ(at("wnet 0"), at("wnode y") + 1);
  EXPECT_LT(at("alarm y"), at("dynamic links"));
  EXPECT_EQ(at("net size"), at("dynamic links") + 1);
  EXPECT_EQ(at("sample interval"), at("net size") + 1);
  EXPECT_EQ(at("wurl 0"), at("sample interval") + 1);
  EXPECT_LT(at("wnurld y"), at("server 0"));
  EXPECT_LT(at("server y"), at("client 0"));
  EXPECT_EQ(at("output url0"), at("client y") + 1);
  EXPECT_EQ(at("output split"), at("output alarm1") + 1);
  EXPECT_EQ(o.mid(o.size() - 7), (QStringList{"DB prune time", "interface", "TLS names", "resolve names",
                                              "heard names", "max hosts", "max links"}));
  for (const char* never : {"ethers", "manufacturers", "dbpath", "bytes", "show manufacturers", "snaplen"})
    EXPECT_EQ(at(never), -1) << never;
  // Every loaded key except those six is saved exactly once.
  EXPECT_EQ(o.size(), settings_load_order().size() - 6);
  EXPECT_EQ(o.removeDuplicates(), 0);
}

TEST_F(SettingsTest, MalformedValuesFallBackToDefaultsWithoutLosingTheStoredText) {
  put("max link width", "wide");
  put("node scale", "small");
  put("sample interval", "3abc");
  Settings s;
  QSettings st = store();
  ASSERT_TRUE(settings_load(s, st));
  EXPECT_EQ(s.max_link_width, 100);
  EXPECT_DOUBLE_EQ(s.node_scale, 0.2);
  EXPECT_DOUBLE_EQ(s.sample_interval, 3);  // a leading number is read as atof would
  st.sync();
  EXPECT_EQ(raw("max link width"), "wide");
}

TEST_F(SettingsTest, UnusableStoreReadsAndWritesNothing) {
  // A directory where the INI file should be cannot be opened, even by root.
  ASSERT_TRUE(QDir().mkpath(path()));
  Settings s;
  QSettings st = store();
  EXPECT_FALSE(settings_load(s, st));
  EXPECT_TRUE(s.focus.isEmpty());
  EXPECT_TRUE(s.protocols.isEmpty());
  EXPECT_EQ(s.max_link_width, 0);
  EXPECT_FALSE(settings_save(s, st));
  EXPECT_TRUE(QFileInfo(path()).isDir());
}

unsigned mode_of(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 01000;
  return st.st_mode & 07777;
}

TEST_F(SettingsTest, FilesAndFoldersMadeAreOwnerOnlyWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}}) {
    const mode_t old = ::umask(mask);
    const QString sub = dir.filePath(QStringLiteral("m%1").arg(mask));
    const QString ini = sub + QStringLiteral("/Halvard Software/Tarnix.ini");
    Settings s;
    QSettings st(ini, QSettings::IniFormat);
    EXPECT_TRUE(settings_save(s, st));
    EXPECT_EQ(mode_of(ini), 0600u) << mask;
    EXPECT_EQ(mode_of(sub + QStringLiteral("/Halvard Software")), 0700u) << mask;
    EXPECT_EQ(mode_of(sub), 0700u) << mask;

    // An existing file keeps the mode its owner gave it.
    ASSERT_EQ(::chmod(QFile::encodeName(ini).constData(), 0640), 0);
    EXPECT_TRUE(settings_save(s, st));
    EXPECT_EQ(mode_of(ini), 0640u) << mask;

    const QString focus = sub + QStringLiteral("/cfdump.bin");
    EXPECT_TRUE(cfocus_dump(focus.toStdString(), FocusStore{}));
    EXPECT_EQ(mode_of(focus), 0600u) << mask;
    ::umask(old);
  }
}

}  // namespace
}  // namespace tarnix::app
