#include "ui/runtime.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QThreadPool>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "alarms/actions.h"
#include "alarms/alarm_builder.h"
#include "alarms/alarm_runtime.h"
#include "app/paths.h"
#include "capture/bindings.h"
#include "capture/reopen.h"
#include "naming/dupip.h"
#include "naming/host_cache.h"
#include "pdl/protocol_tree.h"
#include "ui/adapter_dialog.h"
#include "ui/alarm_builder.h"
#include "ui/controls.h"
#include "ui/db_startup.h"
#include "ui/focus_builder.h"
#include "ui/main_window.h"
#include "ui/map_questions.h"
#include "ui/map_view.h"
#include "ui/monitor/db_opt.h"
#include "ui/monitor/dupip_window.h"
#include "ui/monitor/load.h"
#include "ui/monitor/output.h"
#include "ui/monitor/panel_monitors.h"
#include "ui/monitor/popup.h"
#include "ui/monitor/window_opener.h"
#include "ui/panel.h"
#include "ui/protocol_key.h"
#include "ui/reports/report_center.h"
#include "ui/vector/stroke_font.h"
#include "ui/zoom.h"

namespace tarnix::ui {
namespace {

QMessageBox::Icon box_icon(app::MessageIcon i) {
  switch (i) {
    case app::MessageIcon::Stop:
      return QMessageBox::Critical;
    case app::MessageIcon::Information:
      return QMessageBox::Information;
    case app::MessageIcon::Exclamation:
      break;
  }
  return QMessageBox::Warning;
}

void show_adapter_messages(app::Messenger& m, const std::vector<AdapterMessage>& messages) {
  for (const AdapterMessage& a : messages) m.show(app::adapter_message(a));
}

std::array<QRgb, kMapPaletteSize> to_rgb(const Palette& p) {
  std::array<QRgb, kMapPaletteSize> out{};
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = qRgb(p[i] & 0xff, (p[i] >> 8) & 0xff, (p[i] >> 16) & 0xff);
  return out;
}

// Notes, inside the capture step itself, that its source has no more frames.
// The loop reports an end only after the step, when the menu may already have
// put another source in place; a flag per source cannot be mistaken for the
// next one's.
class EndWatch final : public PacketSource {
 public:
  // `note` hears, once, of a capture file that ended cut short (a line) or
  // stopped at a damaged record (a line and a message: frames were lost).
  EndWatch(std::unique_ptr<PacketSource> inner, std::shared_ptr<std::atomic<bool>> ended,
           std::function<void(const std::string&, bool)> note)
      : inner_(std::move(inner)), ended_(std::move(ended)), note_(std::move(note)) {}
  int dispatch(int max, FrameFn fn, void* user) override {
    const int n = inner_->dispatch(max, fn, user);
    if (n == kSourceEnd || n == kSourceError) {
      error_ = inner_->error();
      if (!ended_->exchange(true) && note_) {
        if (n == kSourceError && !error_.empty())
          note_(error_, true);
        else if (const auto cut = inner_->cut_short_after())
          note_(capture_cut_short_text(*cut), false);
      }
    }
    return n;
  }
  bool stats(SourceStats& out) override { return inner_->stats(out); }
  LinkType link_type() const override { return inner_->link_type(); }
  const std::string& name() const override { return inner_->name(); }
  std::uint64_t link_speed_bps() const override { return inner_->link_speed_bps(); }
  std::uint64_t filter_rejected() const override { return inner_->filter_rejected(); }
  int wait_fd() const override { return inner_->wait_fd(); }
  std::chrono::steady_clock::time_point next_due() override { return inner_->next_due(); }
  std::optional<std::uint64_t> cut_short_after() const override { return inner_->cut_short_after(); }

 private:
  std::unique_ptr<PacketSource> inner_;
  std::shared_ptr<std::atomic<bool>> ended_;
  std::function<void(const std::string&, bool)> note_;
};

// The alarm's beep: the alarm thread asks, the user-interface thread beeps.
class GuiBeeper final : public Beeper {
 public:
  void beep() override {
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
  }
};

// The display's refresh: no map frame is drawn more often than this.
constexpr int kMaxFramesPerSecond = 60;

// How long shut-down waits for requests still on their way to the database.
constexpr std::chrono::seconds kRecordingBound{5};

}  // namespace

std::function<void(const std::string&, bool)> DesktopRuntime::status_poster() const {
  // The capture thread tells; the user-interface thread shows it where the
  // user looks: the status line, and a non-modal message when asked. Once
  // the window is gone the message goes with it.
  QPointer<MainWindow> window = window_.get();
  return [window](const std::string& message, bool box) {
    QMetaObject::invokeMethod(
        qApp,
        [window, text = QString::fromStdString(message), box] {
          if (!window) return;
          window->statusBar()->showMessage(text);
          if (!box) return;
          auto* b =
              new QMessageBox(QMessageBox::Warning, app::kErrorTitle, text, QMessageBox::Ok, window.data());
          b->setAttribute(Qt::WA_DeleteOnClose);
          b->setModal(false);
          b->show();
        },
        Qt::QueuedConnection);
  };
}

std::unique_ptr<PacketSource> DesktopRuntime::watched(std::unique_ptr<PacketSource> source) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  source_ended_ = flag;  // the pointer is the user-interface thread's; the flag is shared
  // The status line says when a file was cut short or damaged.
  return std::make_unique<EndWatch>(std::move(source), flag, status_poster());
}

std::unique_ptr<PacketSource> DesktopRuntime::reopening(std::unique_ptr<PacketSource> source) {
  if (!source) return source;
  const std::string device = source->name();
  // A message box when capture stops; the status line alone when it resumes.
  return std::make_unique<ReopeningSource>(
      std::move(source), [this, device] { return open_live(device); }, status_poster());
}

bool DesktopRuntime::source_ended() const {
  return source_ended_ && source_ended_->load();
}

void BoxMessenger::show(const app::Message& m) {
  QMessageBox box(box_icon(m.icon), m.title, m.text, QMessageBox::Ok);
  if (!m.detail.isEmpty()) box.setInformativeText(m.detail);
  box.exec();
}

int LateClassifier::classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
                             const protocol_node** path) {
  if (!inner_) {
    path[0] = nullptr;
    return 0;
  }
  return inner_->classify(frame, caplen, wire_len, path);
}
std::string_view LateClassifier::name_of(const protocol_node* node) const {
  return inner_ ? inner_->name_of(node) : std::string_view();
}
std::string_view LateClassifier::description_of(const protocol_node* node) const {
  return inner_ ? inner_->description_of(node) : std::string_view();
}

DesktopRuntime::DesktopRuntime(app::Messenger& messenger, RuntimeOptions options)
    : messenger_(messenger), options_(std::move(options)) {}

DesktopRuntime::~DesktopRuntime() {
  // A run that ended without the window's close (a failed start-up) still
  // stops its threads before the windows and logs they use go away.
  if (session_) {
    session_->stop_capture();
    session_->drain(std::chrono::milliseconds(0));
    session_->stop_names();
  }
}

std::vector<Device> DesktopRuntime::list_devices() const {
  if (options_.list_devices) return options_.list_devices();
  std::string error;
  std::vector<Device> devices = device_list(&error);
  if (!error.empty()) std::fprintf(stderr, "device_list: %s\n", error.c_str());
  return devices;
}

OpenResult DesktopRuntime::open_live(const std::string& device) const {
  if (options_.open_live) return options_.open_live(device);
  return open_live_source(device, "");
}

QString DesktopRuntime::data_path(const QString& setting) const {
  return app::resolve_data_path(setting);
}

void DesktopRuntime::read_settings() {
  app::settings_load(settings_);
  startup_prune_time_ = settings_.db_prune_time.get();
  const app::SeedResult seeded = app::seed_user_data(app::user_data_dir());
  for (const QString& f : seeded.missing)
    std::fprintf(stderr, "tarnix: Warning - no shipped %s to place in %s\n", f.toLocal8Bit().constData(),
                 app::user_data_dir().toLocal8Bit().constData());
}

bool DesktopRuntime::start_database() {
  SessionOptions o;
  // The model exists before the protocol file is read: it classifies
  // through the tree once there is one.
  o.classifier = &classifier_;
  o.focus = &shared_focus_;
  o.resolve_names = options_.resolve_names && settings_.resolve_names != 0;
  o.heard_names = settings_.heard_names != 0;
  o.ethers_file = data_path(settings_.ethers).toStdString();
  o.manufacturers_file = data_path(settings_.manufacturers).toStdString();
  o.show_manufacturers = settings_.show_manufacturers != 0;
  o.tls_names = settings_.tls_names != 0;
  o.source_can_wait = !options_.capture_file.isEmpty();
  o.node_timeout_s = settings_.node_timeout;
  o.link_timeout_s = settings_.link_timeout;
  o.max_hosts = static_cast<std::size_t>(std::max(0, settings_.max_hosts.get()));
  o.max_links = static_cast<std::size_t>(std::max(0, settings_.max_links.get()));
  o.loop.pacing = CaptureLoop::Pacing::kExternal;
  o.loop.frame_interval = std::chrono::microseconds(1'000'000 / kMaxFramesPerSecond);
  // Detection is off until the "Duplicate IP Addresses" window opens.
  o.duplicate_notifier = [](HostCache&) { return std::make_unique<BeepDupIpNotifier>(); };
  session_ = std::make_unique<EngineSession>(std::move(o));
  if (options_.skip_database) return true;
  BoxDbStartupUi ui(messenger_);
  const DbConfig config = desktop_db_config(data_path(settings_.dbpath), settings_.db_connect,
                                            settings_.db_server.get() != 0, settings_.sensor);
  return session_->open_store(config, ui).ok();
}

void DesktopRuntime::find_local_address() {
  std::vector<AdapterMessage> messages;
  model().local_address = local_address(&messages);
  show_adapter_messages(messenger_, messages);
}

void DesktopRuntime::read_local_mask() {
  // The host name's address (found just before) only counts when the
  // adapter has none of its own; see local_network_for.
  host_name_address_ = model().local_address;
  devices_ = list_devices();
  std::string name;
  if (options_.capture_file.isEmpty()) {
    const int i = settings_.interface;
    name = (i >= 0 && i < int(devices_.size())) ? devices_[std::size_t(i)].name
                                                : (devices_.empty() ? "" : devices_[0].name);
  }
  const LocalNetwork local = local_network_for(devices_, name, host_name_address_);
  model().local_address = local.address;
  model().local_mask = local.mask;
  model().local_address6 = local.address6;
  model().local_prefix6 = local.prefix6;
}

void DesktopRuntime::record_start_time() {
  started_ = static_cast<std::int64_t>(std::time(nullptr));
}

bool DesktopRuntime::open_adapter() {
  if (!options_.capture_file.isEmpty()) {
    OpenResult r = open_file_source(options_.capture_file.toStdString(), "", options_.replay_speed);
    if (!r.source) {
      messenger_.show({QStringLiteral("Could not open the capture file"), app::kErrorTitle,
                       app::MessageIcon::Exclamation, QString::fromStdString(r.error)});
      return false;
    }
    pending_net_ = net_create(model(), options_.capture_file.toStdString());
    net_set_current(model(), pending_net_);
    pending_source_ = std::move(r.source);
    source_label_ = QFileInfo(options_.capture_file).fileName();
    source_detail_ = QStringLiteral("capture file");
    return true;
  }
  adapter_make_networks(model(), devices_);
  adapter_set_local_networks(model(), devices_, host_name_address_);
  app::AdapterChoice c = app::choose_startup_adapter(
      model(), devices_, settings_.interface,
      [&](int i, QString& reason) {
        OpenResult r = open_live(devices_[std::size_t(i)].name);
        if (!r.source) reason = QString::fromStdString(r.error);
        return std::move(r.source);
      },
      [&](int preselect) { return adapter_dialog(nullptr, devices_, preselect); }, messenger_);
  settings_.interface = c.index;
  if (!c.source) return false;
  pending_source_ = std::move(c.source);
  pending_net_ = c.net;
  const Device& d = devices_[std::size_t(c.index)];
  source_label_ = QString::fromStdString(d.name);
  source_detail_ = QString::fromStdString(d.description);
  return true;
}

void DesktopRuntime::set_up_names_and_alarms() {
  session_->assemble();
  assembled_ = true;
  // The shipped defaults name files a Linux machine does not have: their
  // absence is no news, the fallbacks are read without a word.
  for (const std::string& m : session_->name_file_messages()) {
    if (m.find(" cannot be read; using ") == std::string::npos) std::fprintf(stderr, "tarnix: %s\n", m.c_str());
  }
}


bool DesktopRuntime::parse_protocols() {
  const std::string path = data_path(settings_.protocols).toStdString();
  parsed_ = std::make_unique<PdlResult>(pdl_parse(path));
  if (!*parsed_) {
    // The user is shown where the file went wrong (file, line and token)
    // before start-up reports the empty tree.
    if (parsed_->unreadable) {
      std::printf("pdl_parse: Warning - %s not found\n", path.c_str());
      std::fflush(stdout);
    } else {
      std::fprintf(stderr, "pdl_parse: %s\n", parsed_->error.c_str());
    }
    const std::string text =
        parsed_->unreadable ? pdl_open_error(path) : "Protocol Definition Language: " + parsed_->error;
    messenger_.show({QString::fromStdString(text), app::kPlainTitle, app::MessageIcon::Exclamation, {}});
    return false;
  }
  pdl_classifier_ = std::make_unique<PdlClassifier>(parsed_->tree.get());
  classifier_.set(pdl_classifier_.get());
  return true;
}

void DesktopRuntime::load_alarms() {
  AlarmRuntime::Options o;
  // The log is the output area's alarm log (given with the window); the
  // beep is the desktop's, not the terminal bell.
  o.log = nullptr;
  o.beep = false;
  AlarmRuntime& alarms = session_->add_alarms(parsed_->tree.get(), o);
  beeper_ = std::make_unique<GuiBeeper>();
  alarms.state().actions.beeper = beeper_.get();
  // Sounds play in this process through Qt Multimedia; a file that cannot be
  // played is noted in the alarm log (standard output for now).
  sound_ = std::make_unique<QtSoundPlayer>([](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  alarms.state().actions.sound = sound_.get();
  session_->load_stored_alarms();
}

void DesktopRuntime::protocol_key_show() {
  if (!window_) return;
  ProtocolKey* key = window_->panel()->protocol_key();
  if (!key) return;
  const FocusRecord* f = focus_.active_focus();
  if (!f) {
    key->clear_focus();
    return;
  }
  std::vector<KeyEntry> entries;
  for (const auto& e : f->entries)
    entries.push_back({QString::fromStdString(std::string(classifier_.name_of(e.protocol))), e.colour});
  const QString name = QString::fromStdString(f->name);
  key->show_focus(&name, entries, to_rgb(focus_.palette));
}

void DesktopRuntime::open_focus_builder() {
  if (!window_ || !parsed_) return;
  FocusBuilder builder(
      focus_, live_palette_, parsed_->tree->root(),
      [this] {
        if (const FocusRecord* f = focus_.active_focus()) settings_.focus = QString::fromStdString(f->name);
        shared_focus_.set(focus_.active_list());
        protocol_key_show();
        for (Net* n : model().networks()) link_refresh_dominant_all(*n);
        if (loop_) loop_->redraw();
      },
      window_.get());
  builder.exec();
}

void DesktopRuntime::set_title_for_current() {
  if (window_) window_->set_main_title(source_label_, source_detail_);
}

int DesktopRuntime::create_main_window() {
  // The stroke font comes first: without it the map cannot label anything.
  const QString font_path = data_path(QStringLiteral("font.bin"));
  if (StrokeFont::check_file(font_path) != StrokeFont::Check::Ok) {
    messenger_.show({QStringLiteral("Couldn't find font data! (FONT.BIN)"),
                     app::kErrorTitle,
                     app::MessageIcon::Exclamation,
                     {}});
    return app::kStartupFailed;
  }
  QString why;
  auto font = StrokeFont::load(font_path, why);
  if (!font) {
    std::fprintf(stderr, "hershlib: problem reading font file '%s'.\n", font_path.toLocal8Bit().constData());
    return 1;
  }
  font_ = std::make_shared<StrokeFont>(std::move(*font));

  const QString cfdump = data_path(settings_.cfdump);
  const ProtocolLookup lookup = [this](std::string_view n) {
    return protocol_lookup(parsed_->tree.get(), n);
  };
  if (cfocus_load(cfdump.toStdString(), lookup, focus_) == LoadStatus::CannotOpen)
    messenger_.show({QStringLiteral("Custom Focus: Could not open file %1 for parsing").arg(cfdump),
                     app::kPlainTitle,
                     app::MessageIcon::Exclamation,
                     {}});
  focus_.focus_set_active(settings_.focus.toStdString());
  shared_focus_.set(focus_.active_list());

  renderer_ = std::make_unique<MapRenderer>(settings_, font_);
  renderer_->set_palette(to_rgb(focus_.palette));
  window_ = std::make_unique<MainWindow>(settings_);
  map_ = new MapWindow(*renderer_);
  window_->set_map_window(map_);
  window_->set_about_closed_hook([this] { protocol_key_show(); });
  window_->set_close_hook([this] {
    if (!shut_down_) {
      shut_down_ = true;
      // The windows go at once; what is left to write (bounded waits for
      // the recorder, the alarms and the database) finishes without them.
      hide_all_windows();
      app::run_shutdown(*this);
    }
  });
  window_->set_command(kCmdAdapter, options_.capture_file.isEmpty()
                                        ? std::function<void()>([this] { switch_adapter(); })
                                        : std::function<void()>());
  window_->set_command(kCmdOpenCaptureFile, [this] { open_capture_file(); });
  reports_ = std::make_unique<ReportCenter>([this] {
    ReportSources s;
    s.net = net_current(model());
    s.alarms = alarms() ? &alarms()->state() : nullptr;
    s.db_file = session_->store_path();
    s.names = &session_->names();
    s.started = started_;
    s.progress = report_progress_windows();
    return s;
  });
  for (auto [id, kind] :
       {std::pair{kCmdHostReport, ReportKind::kHost}, std::pair{kCmdStatsReport, ReportKind::kStats},
        std::pair{kCmdAlarmsReport, ReportKind::kAlarms}, std::pair{kCmdUrlsReport, ReportKind::kUrls}})
    window_->set_command(id, [this, kind = kind] { reports_->start(kind); });
  window_->set_command(kCmdAlarmsBuilder, [this] { open_alarm_builder(); });
  window_->set_command(kCmdFocusBuilder, [this] { open_focus_builder(); });
  live_palette_ = {&focus_.palette, [this] {
                     // Seen by the map at its next frame.
                     renderer_->set_palette(to_rgb(focus_.palette));
                     if (loop_) loop_->redraw();
                     protocol_key_show();
                   }};
  Panel* panel = window_->panel();
  if (ProtocolKey* key = panel->protocol_key()) key->set_editor([this] { open_focus_builder(); });
  auto* controls = new Controls(settings_);
  // The map reads the settings at every frame; a quiet network still shows
  // a moved bar at once.
  controls->set_changed([this] {
    if (loop_) loop_->redraw();
  });
  panel->install(Panel::Controls, controls);
  auto* zoom = new ZoomBox;
  panel->install(Panel::ZoomBox, zoom);
  ZoomImage* thumb = zoom->image();
  thumb->set_zoom_listener([map = map_](int l, int t, int r, int b) { map->set_zoom(l, t, r, b); });
  map_->set_aspect_listener([thumb](int aspect) { thumb->set_aspect(aspect); });
  renderer_->zoom_mark_group = [thumb](double x, double y, double r, double e) {
    thumb->mark_group(x, y, r, e);
  };
  renderer_->zoom_refresh = [thumb] { thumb->refresh(); };
  window_->set_command(kCmdDuplicateIp, [this] { open_duplicates(); });
  window_->command(kCmdDuplicateIp)->setCheckable(true);
  if (session_->has_store()) window_->set_command(kCmdDbOptions, [this] { open_db_options(); });
  monitors_ = std::make_unique<PanelMonitors>(
      install_panel_monitors(*window_, model(), settings_, std::time_t(started_)));
  alarm_log_ = std::make_unique<OutputAlarmLog>(monitors_->output);
  if (alarms()) alarms()->state().actions.log = alarm_log_.get();
  request_log_ = std::make_unique<OutputRequestListener>(monitors_->output);
  session_->add_request_listener(request_log_.get());
  {
    MonitorServices ms;
    ms.settings = &settings_;
    ms.model = &model();
    ms.alarms = alarms() ? &alarms()->state() : nullptr;
    ms.db_file = session_->store_path();
    ms.messenger = &messenger_;
    ms.parent = window_.get();
    if (alarms()) ms.new_host_alarm = [this](const QString& host) { open_alarm_builder(host); };
    lists_ = std::make_unique<WindowOpener>(std::move(ms));
    lists_->install(*window_);
    monitors_->output->set_watcher([lists = lists_.get()](int id, const RequestRow& r) {
      if (id == kWatchUrlAccesses)
        lists->open_url_accesses(r.url_id);
      else if (id < kWatchDestTraffic)
        lists->run_address_command(id, kWatchSourceTraffic, r.client_address);
      else
        lists->run_address_command(id, kWatchDestTraffic, r.server_address);
    });
  }
  install_map_questions(*map_, *thumb, model(), lists_.get());
  protocol_key_show();

  loop_ = &session_->loop();
  MapRenderer* renderer = renderer_.get();
  MapWindow* map = map_;
  TrafficModel* model = &this->model();
  const app::Settings* settings = &settings_;
  CaptureLoop* loop = loop_;
  UrlStats* stats = monitors_->stats;
  loop_->on_cycle([renderer, map, model, settings, loop, stats](Net& net, bool draw) {
    stats->post_refresh(&net);
    // The Controls window changes the time-outs while the program runs; the
    // next tick ages by the new ones.
    model->node_timeout_s = settings->node_timeout.get();
    model->link_timeout_s = settings->link_timeout.get();
    if (!draw) return;
    if (renderer->draw_frame(net))
      QMetaObject::invokeMethod(map, "frame_ready", Qt::QueuedConnection);
    else
      loop->go();  // thinned out or suspended: no paint will answer
  });
  loop_->on_end([](const std::string& error) {
    if (!error.empty()) std::fprintf(stderr, "capture: %s\n", error.c_str());
  });
  map_->set_go([loop] { loop->go(); });
  map_->set_redraw([loop] { loop->redraw(); });
  if (options_.capture_file.isEmpty()) pending_source_ = reopening(std::move(pending_source_));
  loop_->set_source(watched(std::move(pending_source_)), pending_net_);
  session_->start();
  start_capture_loop();

  window_->set_check_marks_from_settings();
  window_->show();
  set_title_for_current();
  return 0;
}

int DesktopRuntime::open_alarm_builder(const QString& new_host_alarm) {
  if (!alarms()) return 2;
  AlarmBuilderContext c;
  c.new_host_alarm = new_host_alarm;
  c.state = &alarms()->state();
  c.services = &session_->alarm_services();
  c.protocols = parsed_ && parsed_->tree ? parsed_->tree->root() : nullptr;
  c.table = session_->alarm_table();
  return alarm_builder_run(c, window_.get());
}

void DesktopRuntime::switch_adapter() {
  if (devices_.empty()) devices_ = list_devices();
  const int chosen = adapter_dialog(window_.get(), devices_, settings_.interface);
  const std::string refusal = adapter_switch_refusal(devices_, chosen);
  if (!refusal.empty()) {
    messenger_.show({QString::fromStdString(refusal), app::kErrorTitle, app::MessageIcon::Stop, {}});
    return;
  }
  // The new adapter is opened before the old one is let go, so a failure
  // leaves capture running where it was.
  const Device& d = devices_[std::size_t(chosen)];
  OpenResult r = open_live(d.name);
  if (!r.source) {
    messenger_.show(
        {QStringLiteral("Could not open adapter %1").arg(QString::fromStdString(d.name)), app::kErrorTitle,
         app::MessageIcon::Exclamation,
         app::open_failure_detail(QString::fromStdString(r.error), QCoreApplication::applicationFilePath())});
    return;
  }
  Net* net = net_find(model(), d.name);
  if (!net) net = net_create(model(), d.name);
  settings_.interface = chosen;
  session_->set_source_can_wait(false);
  std::unique_ptr<PacketSource> old = loop_->set_source(watched(reopening(std::move(r.source))), net);
  net_set_current(model(), net);
  old.reset();
  monitors_refresh_all();
  source_label_ = QString::fromStdString(d.name);
  source_detail_ = QString::fromStdString(d.description);
  set_title_for_current();
}

bool DesktopRuntime::play_file(const QString& path, double speed) {
  OpenResult r = open_file_source(path.toStdString(), "", speed);
  if (!r.source) {
    messenger_.show({QStringLiteral("Could not open the capture file"), app::kErrorTitle,
                     app::MessageIcon::Exclamation, QString::fromStdString(r.error)});
    return false;
  }
  Net* net = net_find(model(), path.toStdString());
  if (!net) net = net_create(model(), path.toStdString());
  session_->set_source_can_wait(true);
  std::unique_ptr<PacketSource> old = loop_->set_source(watched(std::move(r.source)), net);
  net_set_current(model(), net);
  old.reset();
  monitors_refresh_all();
  source_label_ = QFileInfo(path).fileName();
  source_detail_ = QStringLiteral("capture file");
  set_title_for_current();
  return true;
}

void DesktopRuntime::open_capture_file() {
  QDialog d(window_.get());
  d.setObjectName(QStringLiteral("open_capture"));
  d.setWindowTitle(QStringLiteral("Open Capture File"));
  auto* layout = new QVBoxLayout(&d);
  auto* row = new QHBoxLayout;
  auto* path = new QLineEdit(&d);
  path->setObjectName(QStringLiteral("path"));
  auto* browse = new QPushButton(QStringLiteral("Browse..."), &d);
  row->addWidget(new QLabel(QStringLiteral("File:"), &d));
  row->addWidget(path, 1);
  row->addWidget(browse);
  layout->addLayout(row);
  auto* recorded = new QRadioButton(QStringLiteral("Play at the recorded speed"), &d);
  recorded->setObjectName(QStringLiteral("recorded"));
  auto* fast = new QRadioButton(QStringLiteral("Play as fast as possible"), &d);
  fast->setObjectName(QStringLiteral("fast"));
  recorded->setChecked(true);
  layout->addWidget(recorded);
  layout->addWidget(fast);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Open | QDialogButtonBox::Cancel, &d);
  layout->addWidget(buttons);
  QObject::connect(browse, &QPushButton::clicked, &d, [&] {
    const QString f =
        QFileDialog::getOpenFileName(&d, QStringLiteral("Open Capture File"), path->text(),
                                     QStringLiteral("Capture files (*.pcap *.pcapng *.cap);;All files (*)"));
    if (!f.isEmpty()) path->setText(f);
  });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &d, [&] {
    if (!path->text().isEmpty()) d.accept();
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
  if (d.exec() != QDialog::Accepted) return;
  play_file(path->text(), recorded->isChecked() ? 1.0 : 0.0);
}

void DesktopRuntime::monitors_refresh_all() {
  if (lists_) popup_refresh_all();
}

void DesktopRuntime::start_capture_loop() {
  // A file is read in moments: it waits until the stored host alarms can
  // bind to their hosts, which the name cache answers without the window
  // waiting for it.
  QPointer<MainWindow> window = window_.get();
  auto later = [this, window] {
    QMetaObject::invokeMethod(
        qApp,
        [this, window] {
          if (window && loop_ && !capture_stopped_) loop_->start();
        },
        Qt::QueuedConnection);
  };
  if (session_->ready_to_capture(!options_.capture_file.isEmpty(), later)) loop_->start();
}

void DesktopRuntime::hide_all_windows() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) w->hide();
  // The window system hears of it now, not when the event loop next runs.
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  QApplication::sync();
}

void DesktopRuntime::stop_capture() {
  capture_stopped_ = true;
  if (session_) session_->stop_capture();
}

void DesktopRuntime::close_capture() {
  if (loop_) loop_->set_source(nullptr, nullptr).reset();
  if (session_) session_->drain(kRecordingBound);
}

void DesktopRuntime::destroy_windows() {
  delete dupip_window_.data();
  delete db_options_.data();
  if (monitors_ && monitors_->output) monitors_->output->store_settings();
  if (window_) window_->hide();
  // Reports still being written finish; their windows and files go.
  reports_.reset();
}

DupIpWindow* DesktopRuntime::duplicates_window() const {
  return dupip_window_.data();
}
DbOptionsDialog* DesktopRuntime::db_options() const {
  return db_options_.data();
}

void DesktopRuntime::open_duplicates() {
  if (!duplicates()) return;
  window_->command(kCmdDuplicateIp)->setChecked(true);
  if (dupip_window_) {
    dupip_window_->showNormal();
    dupip_window_->raise();
    return;
  }
  dupip_window_ = new DupIpWindow(session_->duplicates(), &session_->names());
  dupip_window_->set_closed_hook([this] {
    if (window_) window_->command(kCmdDuplicateIp)->setChecked(false);
  });
  dupip_window_->show();
}

void DesktopRuntime::open_db_options() {
  if (db_options_) {
    db_options_->show();
    db_options_->raise();
    return;
  }
  if (!pruner_) pruner_ = std::make_unique<PruneRunner>(session_->store_path());
  db_options_ = new DbOptionsDialog(
      settings_, startup_prune_time_,
      [this](int days) {
        if (!pruner_->start(days)) std::fprintf(stderr, "db_opt: an earlier removal is still running\n");
      },
      window_.get(), QString::fromStdString(session_->store_description()));
  db_options_->show();
}

void DesktopRuntime::write_focus_file() {
  if (!renderer_) return;  // the focus file was never read
  cfocus_dump(data_path(settings_.cfdump).toStdString(), focus_);
}

void DesktopRuntime::prune_database() {
  // A removal started from the options dialog ends before the database goes.
  if (pruner_) pruner_->wait();
  // The recorder has stopped (close_capture); the name cache's thread still
  // writes host ids through the database's own connection until it stops.
  if (lists_) lists_->stop_reading();
  if (session_) {
    session_->close_store(settings_.db_prune_time);
    session_->stop_names();
  }
}

void DesktopRuntime::disconnect_database() {
  // The Alarm Builder's workers may still be on a look-up over the session.
  QThreadPool::globalInstance()->waitForDone();
  if (session_) session_->release_store();
}

void DesktopRuntime::save_settings() {
  app::settings_save(settings_);
}

}  // namespace tarnix::ui
