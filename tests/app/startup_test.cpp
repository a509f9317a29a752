#include "app/startup.h"

#include <gtest/gtest.h>

#include "capture/classifier.h"

namespace tarnix::app {
namespace {

// Records the steps in order; any step can be told to fail.
class FakeSteps : public StartupSteps {
 public:
  explicit FakeSteps(Messenger& m) : messenger(m) {}
  Messenger& messenger;
  QStringList calls;
  bool db_ok = true, adapter_ok = true, tree_ok = true;
  int window_status = 0;

  void read_settings() override { calls << "settings"; }
  bool start_database() override {
    calls << "database";
    if (!db_ok) messenger.show({"Failed to connect to DB server", kErrorTitle, MessageIcon::Exclamation, {}});
    return db_ok;
  }
  void find_local_address() override { calls << "local address"; }
  void read_local_mask() override { calls << "mask"; }
  void record_start_time() override { calls << "start time"; }
  bool open_adapter() override {
    calls << "adapter";
    return adapter_ok;
  }
  void set_up_names_and_alarms() override { calls << "names+alarms"; }
  bool parse_protocols() override {
    calls << "protocols";
    return tree_ok;
  }
  void load_alarms() override { calls << "load alarms"; }
  int create_main_window() override {
    calls << "window";
    return window_status;
  }
};

TEST(Startup, RunsEveryStepInOrder) {
  RecordingMessenger m;
  FakeSteps s(m);
  EXPECT_EQ(run_startup(s, m), 0);
  EXPECT_EQ(s.calls, (QStringList{"settings", "database", "local address", "mask", "start time", "adapter",
                                  "names+alarms", "protocols", "load alarms", "window"}));
  EXPECT_TRUE(m.shown.empty());
}

TEST(Startup, EachFailureStopsWithItsMessageAndStatusMinusOne) {
  struct Case {
    std::function<void(FakeSteps&)> arrange;
    QString text, title, last_step;
  };
  const Case cases[] = {
      {[](FakeSteps& s) { s.db_ok = false; }, "Failed to connect to DB server", "Tarnix Error", "database"},
      {[](FakeSteps& s) { s.tree_ok = false; }, "Protocol Definition tree empty,\nquitting.", "Tarnix Error",
       "protocols"},
  };
  for (const Case& c : cases) {
    RecordingMessenger m;
    FakeSteps s(m);
    c.arrange(s);
    EXPECT_EQ(run_startup(s, m), -1) << c.text.toStdString();
    ASSERT_EQ(m.shown.size(), 1u) << c.text.toStdString();
    EXPECT_EQ(m.shown[0].text, c.text);
    EXPECT_EQ(m.shown[0].title, c.title);
    EXPECT_EQ(m.shown[0].icon, MessageIcon::Exclamation);
    EXPECT_EQ(s.calls.last(), c.last_step);
    EXPECT_FALSE(s.calls.contains("window"));
  }
  // The adapter step shows its own messages; the window's own status passes through.
  RecordingMessenger m;
  FakeSteps s(m);
  s.adapter_ok = false;
  EXPECT_EQ(run_startup(s, m), -1);
  EXPECT_FALSE(s.calls.contains("protocols"));
  FakeSteps w(m);
  w.window_status = 1;
  EXPECT_EQ(run_startup(w, m), 1);
}

class OrderSteps : public ShutdownSteps {
 public:
  QStringList calls;
  void stop_capture() override { calls << "stop"; }
  void close_capture() override { calls << "close"; }
  void destroy_windows() override { calls << "windows"; }
  void write_focus_file() override { calls << "focus"; }
  void prune_database() override { calls << "prune"; }
  void disconnect_database() override { calls << "disconnect"; }
  void save_settings() override { calls << "settings"; }
};

TEST(Shutdown, StopsCaptureBeforeClosingAndSavesSettingsLast) {
  OrderSteps s;
  run_shutdown(s);
  EXPECT_EQ(s.calls, (QStringList{"stop", "close", "windows", "focus", "prune", "disconnect", "settings"}));
}

class NullSource : public PacketSource {
 public:
  explicit NullSource(std::string n) : name_(std::move(n)) {}
  int dispatch(int, FrameFn, void*) override { return 0; }
  bool stats(SourceStats&) override { return false; }
  const std::string& name() const override { return name_; }

 private:
  std::string name_;
};

class AdapterChoiceTest : public ::testing::Test {
 protected:
  NullClassifier classifier;
  TrafficModel model{&classifier, nullptr, nullptr};
  std::vector<Device> devices = {{"eth0", "Wired", DeviceStatus::kUsable},
                                 {"wlan0", "Radio", DeviceStatus::kUnsupported},
                                 {"eth1", "Down", DeviceStatus::kDown}};
  RecordingMessenger m;
  QStringList opened;
  std::vector<int> dialog_calls;
  QString refuse_reason = "eth0: You don't have permission to perform this capture on that device";
  std::vector<std::string> refuse;

  void SetUp() override { adapter_make_networks(model, devices); }

  AdapterChoice run(int setting, int dialog_answer = 0) {
    return choose_startup_adapter(
        model, devices, setting,
        [&](int i, QString& reason) -> std::unique_ptr<PacketSource> {
          const std::string& n = devices[std::size_t(i)].name;
          opened << QString::fromStdString(n);
          if (std::find(refuse.begin(), refuse.end(), n) != refuse.end()) {
            reason = refuse_reason;
            return nullptr;
          }
          return std::make_unique<NullSource>(n);
        },
        [&](int preselect) {
          dialog_calls.push_back(preselect);
          // Every message so far came before the dialog.
          EXPECT_FALSE(m.shown.empty());
          return dialog_answer;
        },
        m);
  }
};

TEST_F(AdapterChoiceTest, IndexBeyondTheListFallsBackToTheFirstAdapter) {
  AdapterChoice c = run(5);
  ASSERT_TRUE(c.source);
  EXPECT_EQ(c.index, 0);
  EXPECT_EQ(opened, QStringList{"eth0"});
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text, "Default Interface invalid,\n assigning [0]");
  EXPECT_EQ(m.shown[0].title, "Tarnix Notification");
  EXPECT_EQ(c.net, net_find(model, "eth0"));
  EXPECT_EQ(net_current(model), c.net);
}

TEST_F(AdapterChoiceTest, UnsupportedDefaultIsReportedAndStillOpened) {
  AdapterChoice c = run(1);
  ASSERT_TRUE(c.source);
  EXPECT_EQ(c.index, 1);
  EXPECT_EQ(opened, QStringList{"wlan0"});
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text, "The default adapter is using an\nunsupported network type");
  EXPECT_EQ(m.shown[0].title, "Tarnix Error");
  EXPECT_EQ(m.shown[0].icon, MessageIcon::Stop);
}

TEST_F(AdapterChoiceTest, InvalidDefaultFallsBackToTheFirstAdapter) {
  AdapterChoice c = run(2);
  ASSERT_TRUE(c.source);
  EXPECT_EQ(c.index, 0);
  EXPECT_EQ(m.texts(), QStringList{"The default adapter is currently invalid"});
}

TEST_F(AdapterChoiceTest, FailedOpenAsksOnceAndGivesTheReasonAndTheSetcapHint) {
  refuse = {"eth0"};
  AdapterChoice c = run(0, /*dialog_answer=*/1);
  ASSERT_TRUE(c.source);
  EXPECT_EQ(c.index, 1);
  EXPECT_EQ(dialog_calls, std::vector<int>{0});
  EXPECT_EQ(opened, (QStringList{"eth0", "wlan0"}));
  ASSERT_EQ(m.shown.size(), 1u);
  EXPECT_EQ(m.shown[0].text, "Could not open default adapter,\nplease choose another");
  EXPECT_EQ(m.shown[0].title, "Tarnix Notification");
  EXPECT_TRUE(m.shown[0].detail.startsWith(refuse_reason));
  EXPECT_TRUE(m.shown[0].detail.contains("setcap cap_net_raw,cap_net_admin=eip"));
  EXPECT_EQ(net_current(model), net_find(model, "wlan0"));
}

TEST_F(AdapterChoiceTest, SecondFailureEndsStartUp) {
  refuse = {"eth0", "wlan0"};
  refuse_reason = "wlan0: No such device exists";
  AdapterChoice c = run(0, 1);
  EXPECT_FALSE(c.source);
  EXPECT_EQ(m.texts(), (QStringList{"Could not open default adapter,\nplease choose another",
                                    "Selection failed,\nquiting."}));
  EXPECT_EQ(m.shown[1].title, "Tarnix Error");
  EXPECT_EQ(m.shown[1].detail, refuse_reason);  // no permission hint for a missing device
}

TEST_F(AdapterChoiceTest, ChoosingAnInvalidAdapterInTheDialogOpensNothing) {
  refuse = {"eth0"};
  AdapterChoice c = run(0, 2);
  EXPECT_FALSE(c.source);
  EXPECT_EQ(c.index, 0);
  EXPECT_EQ(opened, QStringList{"eth0"});
  EXPECT_EQ(m.texts(),
            (QStringList{"Could not open default adapter,\nplease choose another",
                         "The default adapter is currently invalid", "Selection failed,\nquiting."}));
}

TEST_F(AdapterChoiceTest, NoAdapterAtAll) {
  devices.clear();
  AdapterChoice c = run(0);
  EXPECT_FALSE(c.source);
  EXPECT_EQ(m.texts(), QStringList{"Selection failed,\nquiting."});
}

TEST(AdapterMessages, PermissionProblemsAreRecognised) {
  EXPECT_TRUE(is_permission_problem("eth0: You don't have permission to capture on that device"));
  EXPECT_TRUE(is_permission_problem("socket: Operation not permitted"));
  EXPECT_FALSE(is_permission_problem("No such device exists"));
  EXPECT_EQ(open_failure_detail("No such device exists", "/x"), "No such device exists");
  EXPECT_TRUE(
      open_failure_detail("Operation not permitted", "/usr/bin/tarnix").endsWith("eip /usr/bin/tarnix"));
}

}  // namespace
}  // namespace tarnix::app
