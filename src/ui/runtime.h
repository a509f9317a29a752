// The desktop program's parts and their lives: start-up builds them in their
// order, the main window's close tears them down in theirs.
#pragma once

#include <QPointer>
#include <QString>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "app/messages.h"
#include "app/settings.h"
#include "app/startup.h"
#include "capture/adapter.h"
#include "capture/capture_thread.h"
#include "capture/classifier.h"
#include "capture/focus.h"
#include "capture/focus_file.h"
#include "capture/net.h"
#include "session/session.h"
#include "ui/alarm_sound.h"
#include "ui/palette_editor.h"

namespace tarnix {
class AlarmLog;
class AlarmRuntime;
class Beeper;
class DupIp;
class RequestListener;
struct PdlResult;
}  // namespace tarnix

namespace tarnix::ui {

class MainWindow;
class MapRenderer;
class MapWindow;
class StrokeFont;
class ReportCenter;
class DbOptionsDialog;
class DupIpWindow;
class PruneRunner;
struct PanelMonitors;
class WindowOpener;

// Message boxes: modal, without owner at start-up.
class BoxMessenger final : public app::Messenger {
 public:
  void show(const app::Message& m) override;
};

// Classification through the protocol tree once it is parsed; the model is
// created (with the networks) before the protocol file is read.
class LateClassifier final : public Classifier {
 public:
  void set(Classifier* c) { inner_ = c; }
  int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
               const protocol_node** path) override;
  std::string_view name_of(const protocol_node* node) const override;
  std::string_view description_of(const protocol_node* node) const override;

 private:
  Classifier* inner_ = nullptr;
};

struct RuntimeOptions {
  // Replaces the live adapter: play this capture file (tests, screenshots).
  QString capture_file;
  double replay_speed = 0;  // 0: as fast as the map can take it
  // No request recording and no stored alarms.
  bool skip_database = false;
  bool resolve_names = true;
  // The capture library's device list and live opening; tests put fakes here.
  std::function<std::vector<Device>()> list_devices;
  std::function<OpenResult(const std::string& device)> open_live;
};

class DesktopRuntime final : public app::StartupSteps, public app::ShutdownSteps {
 public:
  DesktopRuntime(app::Messenger& messenger, RuntimeOptions options = {});
  ~DesktopRuntime() override;

  // Start-up steps.
  void read_settings() override;
  bool start_database() override;
  void find_local_address() override;
  void read_local_mask() override;
  void record_start_time() override;
  bool open_adapter() override;
  void set_up_names_and_alarms() override;
  bool parse_protocols() override;
  void load_alarms() override;
  int create_main_window() override;

  // Shut-down steps.
  void stop_capture() override;
  void close_capture() override;
  void destroy_windows() override;
  void write_focus_file() override;
  void prune_database() override;
  void disconnect_database() override;
  void save_settings() override;

  // Menu commands.
  void switch_adapter();
  void open_capture_file();
  // The Alarm Builder over the live alarms, opened on a new alarm for a host
  // when one is given; 1 after OK, 2 after Cancel.
  int open_alarm_builder(const QString& new_host_alarm = {});
  // Plays a capture file through the map; false (with a message) when it
  // cannot be opened.
  bool play_file(const QString& path, double speed);

  app::Settings& settings() { return settings_; }
  TrafficModel& model() { return session_->model(); }
  MainWindow* main_window() const { return window_.get(); }
  MapRenderer* renderer() const { return renderer_.get(); }
  MapWindow* map_window() const { return map_; }
  // Null before the main window.
  CaptureLoop* capture_loop() const { return loop_; }
  // Null before load_alarms().
  AlarmRuntime* alarms() const { return session_ ? session_->alarms() : nullptr; }
  const FocusStore& focus() const { return focus_; }
  // True once a played file has no more frames.
  bool source_ended() const;
  // Null before the main window exists.
  ReportCenter* reports() const { return reports_.get(); }
  // Refills the Protocol Key from the active focus.
  void protocol_key_show();
  // The Focus Builder (menu and the Protocol Key's "Protocol Editor").
  void open_focus_builder();
  LivePalette& live_palette() { return live_palette_; }
  // "Duplicate IP detect" and "DB Options".
  void open_duplicates();
  void open_db_options();
  // Null before the names are set up.
  DupIp* duplicates() const { return assembled_ ? &session_->duplicates() : nullptr; }
  DupIpWindow* duplicates_window() const;
  DbOptionsDialog* db_options() const;
  const PanelMonitors& panel_monitors() const { return *monitors_; }
  // The top-N and watch windows; null before the main window.
  WindowOpener* monitors() const { return lists_.get(); }
  // After the capture moved to another network: the open list windows
  // start over from it.
  void monitors_refresh_all();

 private:
  void set_title_for_current();
  // Quit: every window leaves the screen before the shut-down's waits.
  void hide_all_windows();
  void start_capture_loop();
  std::unique_ptr<PacketSource> watched(std::unique_ptr<PacketSource> source);
  // A live adapter that is opened again when it fails, telling the user.
  std::unique_ptr<PacketSource> reopening(std::unique_ptr<PacketSource> source);
  // Any thread: posts a text to the status line (and a message box).
  std::function<void(const std::string&, bool)> status_poster() const;
  std::vector<Device> list_devices() const;
  OpenResult open_live(const std::string& device) const;
  QString data_path(const QString& setting) const;

  app::Messenger& messenger_;
  RuntimeOptions options_;
  app::Settings settings_;
  FocusStore focus_;
  SharedFocus shared_focus_;
  LivePalette live_palette_;
  LateClassifier classifier_;
  std::unique_ptr<PdlResult> parsed_;
  std::unique_ptr<Classifier> pdl_classifier_;

  std::unique_ptr<Beeper> beeper_;
  std::unique_ptr<QtSoundPlayer> sound_;  // before the session, so it outlives the alarm thread
  // The engine: made with the database step, assembled with the names. The
  // windows below use its model, so it outlives them.
  std::unique_ptr<EngineSession> session_;
  bool assembled_ = false;
  std::unique_ptr<AlarmLog> alarm_log_;
  std::unique_ptr<RequestListener> request_log_;
  std::unique_ptr<PruneRunner> pruner_;
  std::unique_ptr<PanelMonitors> monitors_;
  QPointer<DupIpWindow> dupip_window_;
  QPointer<DbOptionsDialog> db_options_;
  int startup_prune_time_ = 0;  // what the options dialog's Cancel goes back to

  std::vector<Device> devices_;
  NetAddress host_name_address_ = NetAddress::ipv4(0, 0, 0, 0);
  std::unique_ptr<PacketSource> pending_source_;
  Net* pending_net_ = nullptr;
  QString source_label_;
  QString source_detail_;
  // The end flag of the source in use (shared with its watcher).
  std::shared_ptr<std::atomic<bool>> source_ended_;

  std::shared_ptr<const StrokeFont> font_;
  std::unique_ptr<MapRenderer> renderer_;
  // Outlives the main window, whose children the monitor windows are.
  std::unique_ptr<WindowOpener> lists_;  // top-N and watch windows
  std::unique_ptr<MainWindow> window_;
  MapWindow* map_ = nullptr;      // owned by the window
  CaptureLoop* loop_ = nullptr;   // the session's, once the window exists
  bool capture_stopped_ = false;  // a loop started late stays stopped after shut-down
  std::unique_ptr<ReportCenter> reports_;
  std::int64_t started_ = 0;  // seconds since the epoch, for the reports
  bool shut_down_ = false;
};

}  // namespace tarnix::ui
