// The real start-up steps of the desktop program with a capture file in place
// of the adapter and no database: what stops it, with which message and status.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>

#include "app/startup.h"
#include "pdl/protocol_tree.h"
#include "ui/main_window.h"
#include "ui/panel.h"
#include "ui/protocol_key.h"
#include "ui/runtime.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

// An empty but valid capture file.
void write_pcap(const QString& path) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  const unsigned char header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2,    0,    4, 0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0xff, 0xff, 0, 0, 1, 0, 0, 0};
  f.write(reinterpret_cast<const char*>(header), sizeof header);
}

class DesktopStartup : public ::testing::Test {
 protected:
  QTemporaryDir home;
  QString pcap;
  void SetUp() override {
    testing::use_home(home);
    pcap = home.filePath("empty.pcap");
    write_pcap(pcap);
  }
  void set(const QString& key, const QString& value) {
    QSettings s(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat);
    s.setValue("1.3/" + key, value);
  }
  QString user_file(const QString& name) { return home.filePath("data/tarnix/" + name); }
  int start(app::RecordingMessenger& m, std::unique_ptr<DesktopRuntime>& rt) {
    RuntimeOptions o;
    o.capture_file = pcap;
    o.skip_database = true;
    o.resolve_names = false;
    rt = std::make_unique<DesktopRuntime>(m, o);
    return app::run_startup(*rt, m);
  }
};

TEST_F(DesktopStartup, FirstRunSeedsTheDataFolderAndOpensTheWindow) {
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  ASSERT_EQ(start(m, rt), 0) << m.texts().join("|").toStdString();
  for (const char* f : {"protocol.pdl", "cfdump.bin", "font.bin"})
    EXPECT_TRUE(QFile::exists(user_file(f))) << f;
  ASSERT_NE(rt->main_window(), nullptr);
  EXPECT_TRUE(rt->main_window()->isVisible());
  // The shipped focus file holds the default focus, so the key shows it.
  ASSERT_NE(rt->focus().active_focus(), nullptr);
  EXPECT_EQ(rt->focus().active_focus()->name, "IP Networking");
  rt->main_window()->close();
  QSettings s(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat);
  EXPECT_EQ(s.value("1.3/focus").toString(), "IP Networking");
}

TEST_F(DesktopStartup, MissingFontStopsWithItsMessage) {
  QDir().mkpath(user_file("font.bin"));  // a folder where the font should be
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  EXPECT_EQ(start(m, rt), -1);
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text, "Couldn't find font data! (FONT.BIN)");
  EXPECT_EQ(m.shown[0].title, "Tarnix Error");
  EXPECT_EQ(rt->main_window(), nullptr);
}

TEST_F(DesktopStartup, UnreadableFontEndsWithStatusOne) {
  QDir().mkpath(home.filePath("data/tarnix"));
  QFile f(user_file("font.bin"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("garbage");
  f.close();
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  EXPECT_EQ(start(m, rt), 1);
  EXPECT_TRUE(m.shown.empty());
}

TEST_F(DesktopStartup, EmptyProtocolTreeStops) {
  set("protocols", home.filePath("no-such.pdl"));
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  EXPECT_EQ(start(m, rt), -1);
  EXPECT_EQ(m.texts(), (QStringList{"Protocol Definition Language: Could not open file " +
                                        home.filePath("no-such.pdl") + " for parsing",
                                    "Protocol Definition tree empty,\nquitting."}));
  EXPECT_EQ(m.shown[0].title, "Tarnix");
}

TEST_F(DesktopStartup, ABrokenProtocolFileShowsFileLineAndToken) {
  const QString pdl = home.filePath("broken.pdl");
  QFile f(pdl);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("\n\nprotocol ROOT : 0 (root) 0 {\n}\n");  // '(' is no token, on line 3
  f.close();
  set("protocols", pdl);
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  EXPECT_EQ(start(m, rt), -1);
  ASSERT_EQ(m.shown.size(), 2u);
  const QString shown = m.shown[0].text;
  EXPECT_TRUE(shown.startsWith("Protocol Definition Language: " + pdl + ":")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(pdl + ":3: parse error at '('")) << shown.toStdString();
  EXPECT_EQ(m.shown[0].title, "Tarnix");
  EXPECT_EQ(m.shown[0].icon, app::MessageIcon::Exclamation);
  EXPECT_EQ(m.shown[1].text, "Protocol Definition tree empty,\nquitting.");
}

TEST_F(DesktopStartup, TheProtocolKeyNamesEachProtocolByItsName) {
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  ASSERT_EQ(start(m, rt), 0) << m.texts().join("|").toStdString();
  const FocusRecord* f = rt->focus().active_focus();
  ASSERT_NE(f, nullptr);
  ASSERT_FALSE(f->entries.empty());
  ProtocolKey* key = rt->main_window()->panel()->protocol_key();
  ASSERT_NE(key, nullptr);
  for (std::size_t k = 0; k < f->entries.size() && k < std::size_t(kKeyListed); ++k) {
    const auto* node = f->entries[k].protocol;
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(key->line_text(int(k)).toStdString(), node->name) << k;
  }
  rt->main_window()->close();
}

TEST_F(DesktopStartup, MissingFocusFileOnlyWarns) {
  set("cfdump", home.filePath("none/cfdump.bin"));
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  EXPECT_EQ(start(m, rt), 0);
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text,
            "Custom Focus: Could not open file " + home.filePath("none/cfdump.bin") + " for parsing");
  EXPECT_EQ(m.shown[0].title, "Tarnix");
  EXPECT_EQ(rt->focus().active_focus(), nullptr);
  rt->main_window()->close();
}

TEST_F(DesktopStartup, ACaptureFileCutShortSaysSoOnTheStatusLine) {
  // Two whole records, then one whose bytes stop early.
  QFile f(pcap);
  ASSERT_TRUE(f.open(QIODevice::Append));
  auto record = [&](int captured, int present) {
    const quint32 h[4] = {1000000000u, 0u, quint32(captured), quint32(captured)};
    f.write(reinterpret_cast<const char*>(h), sizeof h);
    f.write(QByteArray(present, '\0'));
  };
  record(60, 60);
  record(60, 60);
  record(60, 20);
  f.close();
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  ASSERT_EQ(start(m, rt), 0) << m.texts().join("|").toStdString();
  QElapsedTimer t;
  t.start();
  auto* status = rt->main_window()->statusBar();
  while (status->currentMessage().isEmpty() && t.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(status->currentMessage(), "capture file cut short after 2 frames");
  rt->main_window()->close();
}

TEST_F(DesktopStartup, UnreadableCaptureFileStops) {
  pcap = home.filePath("missing.pcap");
  app::RecordingMessenger m;
  std::unique_ptr<DesktopRuntime> rt;
  EXPECT_EQ(start(m, rt), -1);
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text, "Could not open the capture file");
  EXPECT_FALSE(m.shown[0].detail.isEmpty());
}

}  // namespace
}  // namespace tarnix::ui
