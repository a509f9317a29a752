// Choosing adapters in the running program, with a fake capture library.
#include <gtest/gtest.h>

#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <set>

#include "app/startup.h"
#include "ui/adapter_dialog.h"
#include "ui/main_window.h"
#include "ui/runtime.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

class AdapterSwitch : public ::testing::Test {
 protected:
  QTemporaryDir home;
  QString pcap;
  std::vector<Device> devices = {{"eth0", "Wired", DeviceStatus::kUsable},
                                 {"wlan0", "Radio", DeviceStatus::kUnsupported},
                                 {"eth1", "Unplugged", DeviceStatus::kDown},
                                 {"eth2", "Second port", DeviceStatus::kUsable}};
  std::set<std::string> refused;
  std::vector<std::string> opened;
  app::RecordingMessenger messages;
  std::unique_ptr<DesktopRuntime> runtime;

  void SetUp() override {
    testing::use_home(home);
    pcap = home.filePath("idle.pcap");
    QFile f(pcap);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const unsigned char header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2,    0,    4, 0, 0, 0, 0, 0,
                                      0,    0,    0,    0,    0xff, 0xff, 0, 0, 1, 0, 0, 0};
    f.write(reinterpret_cast<const char*>(header), sizeof header);
  }

  int start() {
    RuntimeOptions o;
    o.skip_database = true;
    o.resolve_names = false;
    o.list_devices = [this] { return devices; };
    o.open_live = [this](const std::string& name) {
      opened.push_back(name);
      if (refused.count(name))
        return OpenResult{nullptr, name + ": You don't have permission to capture on that device"};
      // A quiet source: an empty capture file stands in for the adapter.
      return open_file_source(pcap.toStdString(), "", 0);
    };
    runtime = std::make_unique<DesktopRuntime>(messages, o);
    return app::run_startup(*runtime, messages);
  }

  // Answers the next adapter dialog with `row` (-1: cancel).
  static void answer(int row) {
    testing::on_next_modal([row](QWidget* w) {
      auto* d = qobject_cast<AdapterDialog*>(w);
      ASSERT_NE(d, nullptr);
      if (row < 0) {
        d->findChild<QPushButton*>("2")->click();
        return;
      }
      d->list()->clearSelection();
      d->list()->topLevelItem(row)->setSelected(true);
      d->findChild<QPushButton*>("1")->click();
    });
  }
};

TEST_F(AdapterSwitch, MenuRefusesInvalidAndUnsupportedAdaptersAndSwitchesToGoodOnes) {
  ASSERT_EQ(start(), 0) << messages.texts().join("|").toStdString();
  MainWindow* w = runtime->main_window();
  EXPECT_EQ(w->windowTitle(), "Tarnix — eth0 (Wired)");
  QAction* adapter = w->command(kCmdAdapter);
  ASSERT_TRUE(adapter->isEnabled());

  answer(2);
  adapter->trigger();
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "This adapter is currently invalid");
  EXPECT_EQ(messages.shown[0].title, "Tarnix Error");
  EXPECT_EQ(messages.shown[0].icon, app::MessageIcon::Stop);

  answer(1);
  adapter->trigger();
  ASSERT_EQ(messages.shown.size(), 2u);
  EXPECT_EQ(messages.shown[1].text, "This adapter is using an unsupported network type");
  EXPECT_EQ(w->windowTitle(), "Tarnix — eth0 (Wired)");
  EXPECT_EQ(opened, std::vector<std::string>{"eth0"});

  // A good adapter that cannot be opened: the reason and the hint, and the
  // old adapter keeps capturing.
  refused = {"eth2"};
  answer(3);
  adapter->trigger();
  ASSERT_EQ(messages.shown.size(), 3u);
  EXPECT_EQ(messages.shown[2].text, "Could not open adapter eth2");
  EXPECT_TRUE(messages.shown[2].detail.contains("permission"));
  EXPECT_TRUE(messages.shown[2].detail.contains("setcap"));
  EXPECT_EQ(w->windowTitle(), "Tarnix — eth0 (Wired)");
  EXPECT_EQ(runtime->settings().interface, 0);

  refused.clear();
  answer(3);
  adapter->trigger();
  EXPECT_EQ(messages.shown.size(), 3u);
  EXPECT_EQ(w->windowTitle(), "Tarnix — eth2 (Second port)");
  EXPECT_EQ(runtime->settings().interface, 3);
  EXPECT_EQ(net_current(runtime->model()), net_find(runtime->model(), "eth2"));

  // Cancelling reopens the adapter in use.
  answer(-1);
  adapter->trigger();
  EXPECT_EQ(opened.back(), "eth2");
  EXPECT_EQ(opened.size(), 4u);
  EXPECT_EQ(runtime->settings().interface, 3);
  w->close();
  QSettings saved(home.filePath("config/Halvard Software/Tarnix.ini"), QSettings::IniFormat);
  EXPECT_EQ(saved.value("1.3/interface").toInt(), 3);
}

TEST_F(AdapterSwitch, StartUpAsksForAnotherAdapterWhenTheDefaultCannotBeOpened) {
  refused = {"eth0"};
  answer(3);
  ASSERT_EQ(start(), 0);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "Could not open default adapter,\nplease choose another");
  EXPECT_TRUE(messages.shown[0].detail.contains("setcap"));
  EXPECT_EQ(runtime->main_window()->windowTitle(), "Tarnix — eth2 (Second port)");
  EXPECT_EQ(runtime->settings().interface, 3);
  runtime->main_window()->close();
}

TEST_F(AdapterSwitch, StartUpEndsWhenTheSecondChoiceFailsToo) {
  refused = {"eth0", "eth2"};
  answer(3);
  EXPECT_EQ(start(), -1);
  EXPECT_EQ(messages.texts(), (QStringList{"Could not open default adapter,\nplease choose another",
                                           "Selection failed,\nquiting."}));
  EXPECT_EQ(runtime->main_window(), nullptr);
}

}  // namespace
}  // namespace tarnix::ui
