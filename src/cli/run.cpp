#include "cli/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "alarms/alarm.h"
#include "alarms/alarm_builder.h"
#include "app/adapter_rule.h"
#include "capture/reopen.h"
#include "db/db_store.h"
#include "db/recorder.h"
#include "db/url_recording.h"
#include "naming/dupip.h"
#include "naming/host_cache.h"
#include "os/files.h"
#include "reports/reports.h"

namespace tarnix::cli {
namespace {

// A message meant for a box, as one line on standard error.
void warn(const AdapterMessage& m) {
  std::string text = m.text;
  for (std::size_t p; (p = text.find('\n')) != std::string::npos;) text.replace(p, 1, " ");
  std::fprintf(stderr, "tarnix-cli: %s\n", text.c_str());
}

const char* status_word(DeviceStatus status) {
  if (status == DeviceStatus::kDown) return "down";
  if (status == DeviceStatus::kUnsupported) return "not-ethernet";
  return "ok";
}

// Writes each chosen report into the folder; false after the first that
// cannot be written, with its line on standard error.
bool write_reports(const Options& opt, const ReportSources& sources) {
  for (ReportKind kind : opt.reports) {
    const ReportKindInfo& info = report_kind_info(kind);
    std::string error;
    if (!report_write(kind, sources, opt.report_dir + "/" + info.base_name, ReportFileMode::kReplace,
                      &error)) {
      fail(std::string("cannot write the ") + info.title + ": " + error);
      return false;
    }
  }
  return true;
}

// The database rankings, cut to n entries.
void collect_top_db(DbSession& s, int n, TopLists& top) {
  const auto room = [n](const std::vector<TopRow>& rows) { return static_cast<int>(rows.size()) < n; };
  db_urls_by_refs(s, [&](const UrlRow& u) {
    if (!room(top.urls)) return;
    std::string text;
    db_url_text(s, u.url_id, text);
    top.urls.push_back({text, {}, u.url_id, static_cast<std::uint64_t>(u.ref_count)});
  });
  const auto hosts = [&](std::vector<TopRow>& rows) {
    return [&](const HostAccessCount& h) {
      if (room(rows)) rows.push_back({h.name, {}, h.host_id, static_cast<std::uint64_t>(h.count)});
    };
  };
  db_top_clients(s, hosts(top.url_clients));
  db_top_servers(s, hosts(top.url_servers));
}

// The adapter the run captures from: the one asked for, else the first usable.
bool choose_adapter(const Options& opt, std::vector<Device>& devices, int& index, std::string& error) {
  devices = device_list(&error);
  if (!error.empty()) return false;
  index = -1;
  if (!opt.interface.empty()) {
    for (std::size_t i = 0; i < devices.size(); ++i)
      if (devices[i].name == opt.interface) index = static_cast<int>(i);
    if (index < 0)
      error = "unknown interface " + opt.interface;
    else if (devices[index].status == DeviceStatus::kDown)
      error = "interface " + opt.interface + " is down";
    else if (devices[index].status == DeviceStatus::kUnsupported)
      error = "interface " + opt.interface + " gives frames of a link type Tarnix cannot read";
    return error.empty();
  }
  // The first usable adapter: the start-up rules from index 0, with no
  // dialog to fall back on. A real adapter comes before the loopback and
  // the all-adapters pseudo-adapter, which are taken only when nothing else
  // can be.
  const int count = static_cast<int>(devices.size());
  for (int pass = 0; pass < 2; ++pass) {
    for (index = 0; index < count; ++index) {
      const Device& d = devices[static_cast<std::size_t>(index)];
      if (d.status == DeviceStatus::kUsable && (pass == 1 || (d.name != "any" && d.name != "lo")))
        return true;
    }
  }
  error = "no usable adapter found";
  return false;
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
bool writable_as(const std::string& folder, const std::string& what, const std::string& user,
                 std::string& error) {
  if (folder.empty() || ::access(folder.c_str(), W_OK | X_OK) == 0) return true;
  error = what + " " + folder + " is not writable by user " + user;
  return false;
}

bool become(const os::UserAccount& user, const Options& opt, std::string& error) {
  return os::switch_to_user(user, error) && writable_as(opt.db, "database folder", user.name, error) &&
         writable_as(opt.report_dir, "report folder", user.name, error);
}

// --add-alarm and --list-alarms: the stored set, edited as the Alarm
// Builder edits it, without capturing anything.
int edit_alarms(const Options& opt, Run& run) {
  SessionOptions so;
  so.classifier = run.classifier.get();
  so.resolve_names = !opt.no_resolve;
  so.heard_names = !opt.no_heard_names;
  so.ethers_file = opt.ethers;
  so.manufacturers_file = opt.manufacturers;
  so.show_manufacturers = opt.show_manufacturers;
  EngineSession session(std::move(so));
  StderrDbStartupUi db_ui;
  const DbConfig config = db_config(opt);
  if (!session.open_store(config, db_ui)) return fail("cannot open the database: " + db_describe(config));
  session.assemble();
  session.start_names();
  AlarmBuilderServices& services = session.alarm_services();
  AlarmTable& table = *session.alarm_table();
  const ProtocolTree* tree = run.parsed.tree.get();
  int status = 0;
  if (!opt.add_alarms.empty()) {
    CaptureAlarmModel alarm_model(session.model(), tree);
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
  session.stop(std::chrono::seconds(1));
  return status;
}

}  // namespace

int fail(const std::string& message) {
  std::fprintf(stderr, "tarnix-cli: %s\n", message.c_str());
  return 1;
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
      out += "{\"index\":" + std::to_string(i) + ",\"name\":" + json_string(d.name) +
             ",\"status\":" + std::to_string(static_cast<int>(d.status)) +
             ",\"description\":" + json_string(d.description) +
             ",\"address\":" + (d.has_ipv4 ? json_string(netaddr_text(d.ipv4_address)) : "null") +
             ",\"netmask\":" + (d.has_netmask ? json_string(netaddr_text(d.ipv4_netmask)) : "null") + "}";
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
    std::printf("%-5zu %-20s %-7d %-12s %-18s %s\n", i, d.name.c_str(), static_cast<int>(d.status),
                status_word(d.status), addr.c_str(), d.description.c_str());
  }
  return 0;
}

DbConfig db_config(const Options& opt) {
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

int prepare_run(const Options& opt, const os::StartRights& rights, Run& run) {
  std::string error;
  // Protocols first: a bad file is a user's error worth stopping for.
  const std::string protocols = opt.protocols.empty() ? default_protocols_path() : opt.protocols;
  run.parsed = pdl_parse(protocols);
  if (!run.parsed) return fail(run.parsed.error);
  run.classifier = std::make_unique<PdlClassifier>(run.parsed.tree.get());

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
    return edit_alarms(opt, run);
  }

  // The focus names each link's dominant protocol. Without the file there is
  // no focus; a run that names one, or asks for the list, cannot go on.
  const std::string focus_path = opt.focus_file.empty() ? default_focus_path() : opt.focus_file;
  const auto lookup = [&](std::string_view n) { return protocol_lookup(run.parsed.tree.get(), n); };
  if (cfocus_load(focus_path, lookup, run.foci) == LoadStatus::CannotOpen) {
    if (opt.list_foci || opt.focus_given) return fail("cannot open the focus file " + focus_path);
  }
  run.foci.focus_set_active(opt.focus);
  if (opt.list_foci) {
    const std::string out =
        opt.json ? render_foci_json(run.foci, *run.classifier) : render_foci_text(run.foci, *run.classifier);
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  if (opt.focus_given && run.foci.active < 0)
    return fail("no focus named \"" + opt.focus + "\" in " + focus_path);
  run.focus.set(run.foci.active_list());

  // The source opens first, while the rights to capture are held; the frames
  // it brings are parsed without them.
  run.live = opt.read.empty();
  OpenResult r;
  if (run.live) {
    if (!choose_adapter(opt, run.devices, run.device_index, error)) return fail(error);
    r = open_live_source(run.devices[run.device_index].name, opt.filter, opt.buffer_mb);
  } else {
    r = open_file_source(opt.read, opt.filter, opt.replay_speed, !opt.no_read_ahead);
  }
  if (!r.source) return fail(r.error);
  run.opened = std::move(r.source);
  if (!opt.user.empty()) {
    if (!become(user, opt, error)) return fail(error);
  } else if (!run.live && rights.capture_rights && ::geteuid() != 0 && !os::drop_all_capabilities()) {
    // A file opens no adapter: the permitted set has no use. A live run
    // keeps it (never effective) to open its adapter again should it fail.
    std::fputs("tarnix-cli: warning: cannot give up the capture capabilities\n", stderr);
  }
  return kGoOn;
}

SessionOptions session_options(const Options& opt, Run& run) {
  SessionOptions so;
  so.classifier = run.classifier.get();
  so.focus = &run.focus;
  so.resolve_names = !opt.no_resolve;
  so.heard_names = !opt.no_heard_names;
  so.ethers_file = opt.ethers;
  so.manufacturers_file = opt.manufacturers;
  so.show_manufacturers = opt.show_manufacturers;
  so.tls_names = !opt.no_tls;
  so.source_can_wait = !run.live;
  so.detect_duplicates = opt.detect_duplicates;
  so.node_timeout_s = opt.node_timeout;
  so.link_timeout_s = opt.link_timeout;
  so.max_hosts = opt.max_hosts;
  so.max_links = opt.max_links;
  so.loop.pacing = CaptureLoop::Pacing::kSelf;
  so.loop.period = std::chrono::milliseconds(100);
  so.loop.run_flat_out = !run.live && opt.replay_speed == 0.0;
  so.duplicate_notifier = [](HostCache& names) { return std::make_unique<LogDupIpNotifier>(stderr, &names); };
  return so;
}

int place_source(const Options& opt, Run& run, EngineSession& session) {
  TrafficModel& model = session.model();
  // The local network that grouping follows: the adapter's own, unless
  // given.
  std::vector<AdapterMessage> messages;
  NetAddress host_name_address = NetAddress::ipv4(0, 0, 0, 0);
  // With --no-resolve nothing goes to the name service, the own host name
  // included: the adapters' addresses decide.
  if (opt.local_address.empty() && !opt.no_resolve) host_name_address = local_address(&messages);
  for (const AdapterMessage& m : messages) warn(m);
  const std::vector<Device>& devices = run.devices;
  {
    std::vector<Device> seen = run.live ? devices : device_list(nullptr);
    const LocalNetwork local =
        local_network_for(seen, run.live ? devices[run.device_index].name : std::string(), host_name_address);
    model.local_address =
        opt.local_address.empty() ? local.address : NetAddress::parse(kAddrIpv4, opt.local_address.c_str());
    model.local_mask =
        opt.local_mask.empty() ? local.mask : NetAddress::parse(kAddrIpv4, opt.local_mask.c_str());
    model.local_address6 = opt.local_address6.empty()
                               ? local.address6
                               : NetAddress::parse(kAddrIpv6, opt.local_address6.c_str());
    model.local_prefix6 = opt.local_prefix6 >= 0       ? opt.local_prefix6
                          : opt.local_address6.empty() ? local.prefix6
                                                       : 64;
  }

  if (!run.live) {
    run.source = std::move(run.opened);
    run.net = net_create(model, opt.read);
    net_set_current(model, run.net);
    run.reading = run.source.get();
    return kGoOn;
  }
  adapter_make_networks(model, devices);
  if (opt.local_address.empty() && opt.local_mask.empty() && opt.local_address6.empty() &&
      opt.local_prefix6 < 0)
    adapter_set_local_networks(model, devices, host_name_address);
  // The desktop program's start-up rule, with the adapter opened above
  // while the capture rights were held; with no dialog to ask, the choice
  // stays with that adapter.
  const int index = run.device_index;
  app::AdapterStartup start = app::startup_adapter(
      model, devices, index,
      [&](int i, std::string& reason) {
        if (i == index && run.opened) return std::move(run.opened);
        reason = "only " + devices[index].name + " was opened";
        return std::unique_ptr<PacketSource>();
      },
      [](int i) { return i; }, [](const AdapterMessage& m, const std::string&) { warn(m); });
  if (!start.source) return fail("could not open an adapter");
  // An adapter that fails while capturing is opened again until it works.
  const std::string name = devices[index].name;
  run.source = std::make_unique<ReopeningSource>(
      std::move(start.source),
      [name, filter = opt.filter, mb = opt.buffer_mb] { return open_live_source(name, filter, mb); },
      [notice = run.reopen_notice](const std::string& message, bool down) {
        std::fprintf(stderr, "tarnix-cli: %s\n", message.c_str());
        if (notice) notice(message, down);
      });
  run.net = start.net;
  run.reading = run.source.get();
  return kGoOn;
}

int finish_run(const Options& opt, Run& run, EngineSession& session, std::int64_t started,
               const std::string& end_error) {
  const PacketSource* src = run.reading;
  Net* net = run.net;
  AlarmRuntime* alarms = session.alarms();
  const std::shared_ptr<const FocusList> focus_list = run.focus.active_focus();
  // The rows are read from the model as they are written, not copied.
  Summary summary = collect_summary(*net, *run.classifier, focus_list.get(), false);
  summary.live = run.live;
  summary.filter_rejected = src->filter_rejected();
  summary.cut_short_after = src->cut_short_after();
  if (const auto stop = src->read_stop(); stop && !stop->cut_short)
    summary.read_stopped = capture_read_stop_text(src->name(), *stop);
  if (opt.detect_duplicates) {
    for (const DupIpReport& r : session.duplicates().snapshot()) {
      std::string line = LogDupIpNotifier::line(r, dupip_host_name(&session.names(), r.address));
      while (!line.empty() && line.back() == '\n') line.pop_back();
      summary.duplicates.push_back(line);
    }
  }
  summary.names_not_asked = session.names().offers_not_asked();
  summary.recorded_urls = session.has_store();
  if (session.has_store()) {
    const UrlRecorderStats st = session.recorder().stats();
    summary.urls_seen = st.seen;
    summary.urls_unusable = st.unusable;
    summary.urls_recorded = st.recorded;
    summary.urls_dropped_queue_full = st.dropped_full;
    summary.urls_dropped_store_failed = st.store_failed;
    summary.urls_dropped_given_up = st.given_up;
    summary.database = session.store_description();
    summary.sensor = db_sensor_name();
  }
  if (alarms) {
    std::vector<AlarmSummary> fired = alarms->summary();
    summary.alarms_text = alarm_summary_text(fired);
    summary.alarms_json = alarm_summary_json(fired);
  }
  if (opt.top > 0) {
    summary.has_top = true;
    collect_top_traffic(*net, opt.top, summary.top);
    if (alarms) {
      for (const TopNEntry& e : alarm_top_snapshot(alarms->state())) {
        if (!e.has_name || static_cast<int>(summary.top.alarms.size()) >= opt.top) break;
        summary.top.alarms.push_back({e.name, {}, 0, e.value});
      }
    }
    // The recorder has closed its sessions; every request it wrote is in.
    if (session.has_store()) {
      if (auto s = db_open_session(session.store_path())) collect_top_db(*s, opt.top, summary.top);
    }
  }
  if (opt.json)
    write_json(summary, stdout);
  else
    write_text(summary, stdout);
  std::fflush(stdout);

  bool reports_written = true;
  if (!opt.reports.empty()) {
    ReportSources sources;
    sources.net = net;
    sources.alarms = alarms ? &alarms->state() : nullptr;
    sources.db_file = session.store_path();
    sources.names = &session.names();
    sources.started = started;
    reports_written = write_reports(opt, sources);
  }

  session.stop_names();
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
    return kExitRequestsLost;
  }
  return 0;
}

}  // namespace tarnix::cli
