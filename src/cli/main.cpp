// tarnix-cli: the engine without a display. Captures from an adapter or a
// file, and prints hosts, links, protocol breakdowns and subnet groups.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarms/alarm.h"
#include "alarms/alarm_builder.h"
#include "alarms/alarm_runtime.h"
#include "app/adapter_rule.h"
#include "capture/adapter.h"
#include "capture/bindings.h"
#include "capture/cfocus.h"
#include "capture/capture_thread.h"
#include "capture/net.h"
#include "capture/reopen.h"
#include "capture/source.h"
#include "cli/options.h"
#include "cli/service_face.h"
#include "cli/summary.h"
#include "core/alloc.h"
#include "db/db_store.h"
#include "db/db_util.h"
#include "db/url_recording.h"
#include "naming/dupip.h"
#include "naming/hostc.h"
#include "os/files.h"
#include "os/rights.h"
#include "pdl/pd.h"
#include "reports/reports.h"

namespace {

using namespace tarnix;

volatile sig_atomic_t g_signal = 0;

void on_signal(int sig) { g_signal = sig; }

void install_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tarnix-cli: %s\n", message.c_str());
  return 1;
}

// A message meant for a box, as one line on standard error.
void warn(const AdapterMessage& m) {
  std::string text = m.text;
  for (std::size_t p; (p = text.find('\n')) != std::string::npos;) text.replace(p, 1, " ");
  std::fprintf(stderr, "tarnix-cli: %s\n", text.c_str());
}


const char* status_word(int status) {
  if (status < 0) return "down";
  if (status > 0) return "not-ethernet";
  return "ok";
}

int list_interfaces(bool json) {
  std::string error;
  std::vector<Device> devices = device_list(&error);
  if (!error.empty()) return fail(error);
  if (json) {
    std::string out = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const Device& d = devices[i];
      out += (i ? "," : "");
      out += "{\"index\":" + std::to_string(i) + ",\"name\":" + cli::json_string(d.name) +
             ",\"status\":" + std::to_string(d.status) + ",\"description\":" + cli::json_string(d.description) +
             ",\"address\":" + (d.has_ipv4 ? cli::json_string(netaddr_text(d.ipv4_address)) : "null") +
             ",\"netmask\":" + (d.has_netmask ? cli::json_string(netaddr_text(d.ipv4_netmask)) : "null") + "}";
    }
    out += "]\n";
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  std::printf("%-5s %-20s %-7s %-12s %-18s %s\n", "index", "adapter", "status", "", "address", "description");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const Device& d = devices[i];
    std::string addr = d.has_ipv4 ? netaddr_text(d.ipv4_address) : "-";
    if (d.has_netmask) addr += "/" + netaddr_text(d.ipv4_netmask);
    std::printf("%-5zu %-20s %-7d %-12s %-18s %s\n", i, d.name.c_str(), d.status, status_word(d.status),
                addr.c_str(), d.description.c_str());
  }
  return 0;
}

// Writes each chosen report into the folder; false after the first that
// cannot be written, with its line on standard error.
bool write_reports(const cli::Options& opt, const ReportSources& sources) {
  for (ReportKind kind : opt.reports) {
    const ReportKindInfo& info = report_kind_info(kind);
    std::string error;
    if (!report_write(kind, sources, opt.report_dir + "/" + info.base_name, ReportFileMode::kReplace, &error)) {
      fail(std::string("cannot write the ") + info.title + ": " + error);
      return false;
    }
  }
  return true;
}

DbConfig db_config(const cli::Options& opt) {
  DbConfig config;
  config.dbpath = opt.db;
  config.connect = opt.db_connect;
  config.server_dir = opt.db_server;
  if (opt.db_connect.empty() && opt.db_server.empty()) {
    // A file that does not open at once will not open later either.
    config.retries = 2;
    config.retry_wait_ms = 500;
  }
  return config;
}

// --add-alarm and --list-alarms: the stored set, edited as the Alarm
// Builder edits it, without capturing anything.
int alarm_store(const cli::Options& opt, const ProtocolTree* tree, Classifier& classifier) {
  UrlRecording recording;
  StderrDbStartupUi db_ui;
  const DbConfig config = db_config(opt);
  if (!recording.open(config, db_ui)) return fail("cannot open the database: " + db_describe(config));
  SystemNameService system_names;
  NullNameService no_names;
  HostCache cache(opt.no_resolve ? static_cast<NameService&>(no_names) : system_names, recording.host_ids());
  recording.attach(cache);
  cache.start();
  CacheBuilderServices services(&cache, &recording.session());
  DbAlarmTable table(recording.session());
  int status = 0;
  if (!opt.add_alarms.empty()) {
    TrafficModel model(&classifier, nullptr, nullptr);
    CaptureAlarmModel alarm_model(model, tree);
    std::unique_ptr<AlarmState> st = alarm_init();
    st->model = &alarm_model;
    alarm_load(*st, table, st->loaded);
    for (const std::string& def : opt.add_alarms) {
      std::string error;
      if (!alarm_builder_add_definition(*st, table, services, def, error)) {
        std::fprintf(stderr, "tarnix-cli: %s\n", error.c_str());
        status = 2;
        break;
      }
    }
  }
  if (status == 0 && opt.list_alarms) {
    std::vector<AlarmTableRow> rows;
    table.load_rows(rows);
    for (const AlarmTableRow& row : rows) {
      std::string line;
      if (!alarm_row_definition(row, table, services, line))
        std::printf("# cannot list: %s (%s)\n", row.notify.c_str(), line.c_str());
      else
        std::printf("%s%s\n", row.disabled != 0 ? "# disabled: " : "", line.c_str());
    }
  }
  std::fflush(stdout);
  recording.close(std::chrono::seconds(1), stderr, 0);
  cache.stop();
  return status;
}

// The database rankings, cut to n entries.
void collect_top_db(DbSession& s, int n, cli::TopLists& top) {
  const auto room = [n](const std::vector<cli::TopRow>& rows) { return static_cast<int>(rows.size()) < n; };
  db_urls_by_refs(s, [&](const UrlRow& u) {
    if (!room(top.urls)) return;
    std::string text;
    db_url_text(s, u.url_id, text);
    top.urls.push_back({text, {}, u.url_id, static_cast<std::uint64_t>(u.ref_count)});
  });
  const auto hosts = [&](std::vector<cli::TopRow>& rows) {
    return [&](const HostAccessCount& h) {
      if (room(rows)) rows.push_back({h.name, {}, h.host_id, static_cast<std::uint64_t>(h.count)});
    };
  };
  db_top_clients(s, hosts(top.url_clients));
  db_top_servers(s, hosts(top.url_servers));
}

// The adapter the run captures from: the one asked for, else the first usable.
bool choose_adapter(const cli::Options& opt, std::vector<Device>& devices, int& index, std::string& error) {
  devices = device_list(&error);
  if (!error.empty()) return false;
  index = -1;
  if (!opt.interface.empty()) {
    for (std::size_t i = 0; i < devices.size(); ++i)
      if (devices[i].name == opt.interface) index = static_cast<int>(i);
    if (index < 0) error = "unknown interface " + opt.interface;
    else if (devices[index].status < 0) error = "interface " + opt.interface + " is down";
    else if (devices[index].status > 0) error = "interface " + opt.interface + " is not an Ethernet adapter";
    return error.empty();
  }
  // The first usable adapter: the start-up rules from index 0, with no
  // dialog to fall back on.
  index = 0;
  while (index < static_cast<int>(devices.size()) && devices[index].status != 0) ++index;
  if (index == static_cast<int>(devices.size())) error = "no usable Ethernet adapter found";
  return error.empty();
}

// As root, the database folder is made (and what was made here handed to
// the user) before root is given up.
bool prepare_db_folder_for(const std::string& folder, const os::UserAccount& user, std::string& error) {
  std::vector<std::string> created;
  if (!os::make_private_dirs(folder, &error, &created)) {
    error = "cannot make the database folder: " + error;
    return false;
  }
  for (const std::string& dir : created) {
    if (::chown(dir.c_str(), user.uid, user.gid) != 0) {
      error = "cannot give " + dir + " to user " + user.name + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// After the change of user: a folder the run will write into must be
// writable now, or the run would fail only later.
bool writable_as(const std::string& folder, const std::string& what, const std::string& user, std::string& error) {
  if (folder.empty() || ::access(folder.c_str(), W_OK | X_OK) == 0) return true;
  error = what + " " + folder + " is not writable by user " + user;
  return false;
}

bool become(const os::UserAccount& user, const cli::Options& opt, std::string& error) {
  return os::switch_to_user(user, error) && writable_as(opt.db, "database folder", user.name, error) &&
         writable_as(opt.report_dir, "report folder", user.name, error);
}

}  // namespace

int main(int argc, char** argv) {
  install_alloc_failure_handler();
  // Before any thread exists, so that none ever holds the capture rights.
  const os::StartRights start_rights = os::lower_rights_at_start();
  if (!start_rights.ok && start_rights.capture_rights)
    std::fputs("tarnix-cli: warning: cannot lower the capture capabilities\n", stderr);
  std::vector<std::string> args(argv + 1, argv + argc);
  cli::Options opt;
  std::string error;
  if (!cli::parse_options(args, opt, error)) {
    std::fprintf(stderr, "tarnix-cli: %s\n", error.c_str());
    std::fputs("Try 'tarnix-cli --help'.\n", stderr);
    return 2;
  }
  if (opt.help) {
    std::fputs(cli::usage_text(), stdout);
    return 0;
  }
  if (opt.version) {
    std::puts("tarnix-cli 1.3");
    return 0;
  }
  if (opt.list_interfaces) return list_interfaces(opt.json);
  if (!opt.sensor.empty()) db_set_sensor_name(opt.sensor);
  if (!opt.only_sensor.empty()) db_set_view_sensor(opt.only_sensor);

  // Service face (--listen, --events, alarm deliveries): checked before anything opens.
  std::unique_ptr<cli::ServiceFace> service;
  {
    cli::ServiceConfig sc;
    if (!cli::service_config(opt, sc, error)) return fail(error);
    if (cli::service_wanted(opt, sc)) service = std::make_unique<cli::ServiceFace>(sc);
    if (service && !service->open(error)) return fail(error);
  }

  if (!opt.report_dir.empty()) {
    // Checked before the run, so that a long capture is not lost to a typo.
    struct stat st {};
    if (::stat(opt.report_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return fail("report folder " + opt.report_dir + " does not exist");
  }

  // Protocols first: a bad file is a user's error worth stopping for.
  const std::string protocols = opt.protocols.empty() ? cli::default_protocols_path() : opt.protocols;
  PdlResult parsed = pdl_parse(protocols);
  if (!parsed) return fail(parsed.error);
  PdlClassifier classifier(parsed.tree.get());

  // The account to become, looked up while the name service files are still
  // within reach.
  os::UserAccount user;
  if (!opt.user.empty()) {
    if (::geteuid() != 0) return fail("option --user needs the program to run as root");
    if (!os::find_user(opt.user, user, error)) return fail(error);
    if (!opt.db.empty() && !prepare_db_folder_for(opt.db, user, error)) return fail(error);
  }

  if (opt.list_alarms || !opt.add_alarms.empty()) {
    // Nothing to open first: the user is taken at once, so that a database
    // made here is the user's, as the capture run that follows needs it.
    if (!opt.user.empty() && !become(user, opt, error)) return fail(error);
    return alarm_store(opt, parsed.tree.get(), classifier);
  }

  // The focus names each link's dominant protocol. Without the file there is
  // no focus; a run that names one, or asks for the list, cannot go on.
  const std::string focus_path = opt.focus_file.empty() ? cli::default_focus_path() : opt.focus_file;
  FocusStore foci;
  const auto lookup = [&](std::string_view n) { return protocol_lookup(parsed.tree.get(), n); };
  if (cfocus_load(focus_path, lookup, foci) == LoadStatus::CannotOpen) {
    if (opt.list_foci || opt.focus_given) return fail("cannot open the focus file " + focus_path);
  }
  foci.focus_set_active(opt.focus);
  if (opt.list_foci) {
    const std::string out = opt.json ? cli::render_foci_json(foci, classifier) : cli::render_foci_text(foci, classifier);
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  if (opt.focus_given && foci.active < 0) return fail("no focus named \"" + opt.focus + "\" in " + focus_path);
  SharedFocus active_focus;
  active_focus.set(foci.active_list());

  // The source opens first, while the rights to capture are held; the frames
  // it brings are parsed without them.
  const bool live = opt.read.empty();
  std::vector<Device> devices;
  int device_index = -1;
  std::unique_ptr<PacketSource> opened;
  {
    OpenResult r;
    if (live) {
      if (!choose_adapter(opt, devices, device_index, error)) return fail(error);
      r = open_live_source(devices[device_index].name, opt.filter, opt.buffer_mb);
    } else {
      r = open_file_source(opt.read, opt.filter, opt.replay_speed);
    }
    if (!r.source) return fail(r.error);
    opened = std::move(r.source);
  }
  if (!opt.user.empty()) {
    if (!become(user, opt, error)) return fail(error);
  } else if (!live && start_rights.capture_rights && ::geteuid() != 0 && !os::drop_all_capabilities()) {
    // A file opens no adapter: the permitted set has no use. A live run
    // keeps it (never effective) to open its adapter again should it fail.
    std::fputs("tarnix-cli: warning: cannot give up the capture capabilities\n", stderr);
  }

  // The request database, when asked for: it gives the name cache its host
  // ids, so it opens first.
  std::unique_ptr<UrlRecording> recording;
  if (opt.has_db()) {
    recording = std::make_unique<UrlRecording>();
    StderrDbStartupUi db_ui;
    const DbConfig config = db_config(opt);
    if (!recording->open(config, db_ui)) return fail("cannot open the request database: " + db_describe(config));
  }

  // Names and duplicates.
  SystemNameService system_names;
  NullNameService no_names;
  MemoryHostIdStore memory_ids;
  HostIdStore& ids = recording ? recording->host_ids() : static_cast<HostIdStore&>(memory_ids);
  HostCache cache(opt.no_resolve ? static_cast<NameService&>(no_names) : system_names, ids);
  HostcNamer namer(cache);
  LogDupIpNotifier dup_log(stderr, &cache);
  DupIp dupip(service ? service->duplicates(&dup_log) : static_cast<DupIpNotifier*>(&dup_log));
  DupIpSink dup_sink(dupip);
  if (opt.detect_duplicates) dupip.open();

  RequestLogPrinter request_printer(stdout);
  std::unique_ptr<SnifferSink> sniffer_sink;
  if (recording) {
    UrlRecorder::Options recorder_options;
    // A file can wait for the store; an adapter cannot, and a full queue is
    // counted there and reported.
    recorder_options.block_when_full = !live;
    recording->attach(cache, recorder_options);
    if (opt.print_requests) recording->add_listener(&request_printer);
    if (service) recording->add_listener(service.get());  // service face
    sniffer_sink =
        std::make_unique<SnifferSink>(recording->sniffer(), opt.no_tls ? nullptr : &recording->tls_sniffer());
  }

  CaptureHooks hooks;
  hooks.duplicates = &dup_sink;
  hooks.tcp = sniffer_sink.get();
  TrafficModel model(&classifier, &namer, &active_focus, hooks);
  model.node_timeout_s = opt.node_timeout;
  model.link_timeout_s = opt.link_timeout;

  // The local network that grouping follows: the adapter's own, unless
  // given.
  std::vector<AdapterMessage> messages;
  NetAddress host_name_address = NetAddress::ipv4(0, 0, 0, 0);
  // With --no-resolve nothing goes to the name service, the own host name
  // included: the adapters' addresses decide.
  if (opt.local_address.empty() && !opt.no_resolve) host_name_address = local_address(&messages);
  for (const AdapterMessage& m : messages) warn(m);
  {
    std::vector<Device> seen = live ? devices : device_list(nullptr);
    const LocalNetwork local = local_network_for(seen, live ? devices[device_index].name : std::string(),
                                                 host_name_address);
    model.local_address = opt.local_address.empty() ? local.address
                                                    : NetAddress::parse(kAddrIpv4, opt.local_address.c_str());
    model.local_mask =
        opt.local_mask.empty() ? local.mask : NetAddress::parse(kAddrIpv4, opt.local_mask.c_str());
  }

  std::unique_ptr<PacketSource> source;
  Net* net = nullptr;
  if (!live) {
    if (!opened->ethernet()) return fail("capture file " + opt.read + " does not hold Ethernet frames");
    source = std::move(opened);
    net = net_create(model, opt.read);
    net_set_current(model, net);
  } else {
    adapter_make_networks(model, devices);
    if (opt.local_address.empty() && opt.local_mask.empty())
      adapter_set_local_networks(model, devices, host_name_address);
    // The desktop program's start-up rule, with the adapter opened above
    // while the capture rights were held; with no dialog to ask, the choice
    // stays with that adapter.
    app::AdapterStartup start = app::startup_adapter(
        model, devices, device_index,
        [&](int i, std::string& reason) {
          if (i == device_index && opened) return std::move(opened);
          reason = "only " + devices[device_index].name + " was opened";
          return std::unique_ptr<PacketSource>();
        },
        [](int i) { return i; },
        [](const AdapterMessage& m, const std::string&) {
          std::string text = m.text;
          for (char& c : text)
            if (c == '\n') c = ' ';
          std::fprintf(stderr, "tarnix-cli: %s\n", text.c_str());
        });
    if (!start.source) return fail("could not open an adapter");
    // An adapter that fails while capturing is opened again until it works.
    const std::string name = devices[device_index].name;
    source = std::make_unique<ReopeningSource>(
        std::move(start.source),
        [name, filter = opt.filter, mb = opt.buffer_mb] { return open_live_source(name, filter, mb); },
        [&service](const std::string& message, bool down) {
          std::fprintf(stderr, "tarnix-cli: %s\n", message.c_str());
          if (service) service->capture_changed(message, down);  // service face
        });
    net = start.net;
  }

  // Alarms: those stored in the database and those given for this run. They
  // hear of recorded requests, so their listener joins before the recorder
  // starts; URL definitions are looked up through the running name cache.
  std::unique_ptr<AlarmRuntime> alarms;
  if (recording || !opt.alarms.empty()) {
    AlarmRuntime::Options ao;
    if (opt.json) ao.log = stderr;  // keep standard output parseable
    ao.firings = service.get();     // service face: events, syslog, webhooks
    alarms = std::make_unique<AlarmRuntime>(model, parsed.tree.get(), &cache, ao);
    if (recording) recording->add_listener(&alarms->request_listener());
  }

  cache.start();
  if (recording) recording->start();
  if (alarms) {
    if (recording) alarms->load(recording->session());
    for (const std::string& def : opt.alarms) {
      std::string alarm_error;
      if (!alarms->add_definition(def, recording ? &recording->session() : nullptr, alarm_error)) {
        if (recording) recording->close(std::chrono::seconds(1), stderr, 0);
        cache.stop();
        std::fprintf(stderr, "tarnix-cli: %s\n", alarm_error.c_str());
        return 2;
      }
    }
    model.hooks.step = &alarms->step_sink();
    alarms->start();
  }
  // Service face: listens from here on.
  if (service && !service->start({net, &classifier, &active_focus, recording.get(), alarms.get(), &cache,
                                  opt.detect_duplicates ? &dupip : nullptr,
                                  live ? devices[device_index].name : opt.read, live},
                                 error)) {
    if (recording) recording->close(std::chrono::seconds(1), stderr, 0);
    if (alarms) alarms->stop();
    cache.stop();
    return fail(error);
  }
  install_signals();

  CaptureLoop::Options lo;
  lo.pacing = CaptureLoop::Pacing::kSelf;
  lo.period = std::chrono::milliseconds(100);
  lo.run_flat_out = !live && opt.replay_speed == 0.0;
  CaptureLoop loop(model, lo);
  std::mutex end_mutex;
  std::string end_error;
  std::atomic<bool> ended{false};
  loop.on_end([&](const std::string& e) {
    {
      std::lock_guard<std::mutex> g(end_mutex);
      end_error = e;
    }
    ended = true;
  });
  const PacketSource* src = source.get();
  loop.set_source(std::move(source), net);
  if (alarms && !live) {
    // A file is read in moments: the stored host alarms bind to their hosts
    // only once the name cache has answered for them.
    auto answered = std::make_shared<std::promise<void>>();
    if (!alarms->hosts_answered([answered] { answered->set_value(); })) answered->get_future().wait();
  }
  loop.start();
  if (live) {
    // Frames are kept from here on; scripts wait for this line.
    std::fprintf(stderr, "tarnix-cli: capturing on %s (interrupt for the summary)\n", src->name().c_str());
  }

  const auto started = std::chrono::steady_clock::now();
  const std::int64_t recording_started = static_cast<std::int64_t>(std::time(nullptr));
  while (!ended && g_signal == 0) {
    if (opt.duration > 0 &&
        std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(opt.duration))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  loop.stop();
  // Requests still on their way to the database get a moment, then the
  // recorder stops; it must close before the name cache goes.
  if (recording) recording->close(std::chrono::seconds(5), stderr, 0);
  if (alarms) alarms->stop();
  if (service) service->stop();  // service face: last events written

  const std::shared_ptr<const FocusList> focus_list = active_focus.active_focus();
  cli::Summary summary = cli::collect_summary(*net, classifier, focus_list.get());
  summary.live = live;
  summary.filter_rejected = src->filter_rejected();
  summary.cut_short_after = src->cut_short_after();
  if (const auto stop = src->read_stop(); stop && !stop->cut_short)
    summary.read_stopped = capture_read_stop_text(src->name(), *stop);
  if (opt.detect_duplicates) {
    for (const DupIpReport& r : dupip.snapshot()) {
      std::string line = LogDupIpNotifier::line(r, dupip_host_name(&cache, r.address));
      while (!line.empty() && line.back() == '\n') line.pop_back();
      summary.duplicates.push_back(line);
    }
  }
  summary.recorded_urls = recording != nullptr;
  if (recording) {
    const UrlRecorderStats st = recording->recorder().stats();
    summary.urls_seen = st.seen;
    summary.urls_unusable = st.unusable;
    summary.urls_recorded = st.recorded;
    summary.urls_dropped_queue_full = st.dropped_full;
    summary.urls_dropped_store_failed = st.store_failed;
    summary.urls_dropped_given_up = st.given_up;
    summary.database = db_describe(db_config(opt));
    summary.sensor = db_sensor_name();
  }
  if (alarms) {
    std::vector<AlarmSummary> fired = alarms->summary();
    summary.alarms_text = alarm_summary_text(fired);
    summary.alarms_json = alarm_summary_json(fired);
  }
  if (opt.top > 0) {
    summary.has_top = true;
    cli::collect_top_traffic(*net, opt.top, summary.top);
    if (alarms) {
      for (const TopNEntry& e : alarm_top_snapshot(alarms->state())) {
        if (!e.has_name || static_cast<int>(summary.top.alarms.size()) >= opt.top) break;
        summary.top.alarms.push_back({e.name, {}, 0, e.value});
      }
    }
    // The recorder has closed its sessions; every request it wrote is in.
    if (recording) {
      if (auto session = db_open_session(recording->path())) collect_top_db(*session, opt.top, summary.top);
    }
  }
  const std::string out = opt.json ? cli::render_json(summary) : cli::render_text(summary);
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);

  bool reports_written = true;
  if (!opt.reports.empty()) {
    ReportSources sources;
    sources.net = net;
    sources.alarms = alarms ? &alarms->state() : nullptr;
    sources.db_file = recording ? recording->path() : std::string();
    sources.names = &cache;
    sources.started = recording_started;
    reports_written = write_reports(opt, sources);
  }

  cache.stop();
  std::lock_guard<std::mutex> g(end_mutex);
  if (!end_error.empty()) return fail(end_error);
  if (!reports_written) return 1;
  if (summary.recorded_urls && summary.urls_dropped() > 0) {
    // The record is incomplete: a script must not take the run for a full one.
    std::fprintf(
        stderr,
        "tarnix-cli: %llu of %llu HTTP requests were not recorded (queue full %llu, store failed %llu, "
        "given up %llu)\n",
        static_cast<unsigned long long>(summary.urls_dropped()),
        static_cast<unsigned long long>(summary.urls_seen),
        static_cast<unsigned long long>(summary.urls_dropped_queue_full),
        static_cast<unsigned long long>(summary.urls_dropped_store_failed),
        static_cast<unsigned long long>(summary.urls_dropped_given_up));
    return cli::kExitRequestsLost;
  }
  return 0;
}
