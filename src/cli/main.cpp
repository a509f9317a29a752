// tarnix-cli: the engine without a display. Captures from an adapter or a
// file, and prints hosts, links, protocol breakdowns and subnet groups.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/log_file.h"
#include "cli/run.h"
#include "cli/service_face.h"
#include "core/alloc.h"
#include "db/db_store.h"
#include "db/recorder.h"

namespace {

volatile sig_atomic_t g_signal = 0;
// Set on whichever thread takes SIGHUP, taken by the main loop: a lock-free
// atomic is both safe in a handler and ordered across threads.
std::atomic<int> g_hangup{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int sig) {
  g_signal = sig;
}

void on_hangup(int) {
  g_hangup.store(1, std::memory_order_relaxed);
}

void install_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// From the start: a rotation (or a terminal closed) while the run is made
// ready must not end it, as SIGHUP's default would.
void install_hangup() {
  struct sigaction sa {};
  sa.sa_handler = on_hangup;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &sa, nullptr);
}

// Log rotation: the files written as the run goes are opened again by name.
void reopen_logs(tarnix::cli::LogFile* log, tarnix::cli::ServiceFace* service) {
  if (log != nullptr) {
    std::string error;
    if (!log->reopen(error))
      std::fprintf(stderr, "tarnix-cli: %s; still writing to the old file\n", error.c_str());
  }
  if (service != nullptr) service->reopen_files();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnix;
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
    std::puts("tarnix-cli " TARNIX_VERSION);
    return 0;
  }
  if (opt.list_interfaces) return cli::list_interfaces(opt.json);
  std::unique_ptr<cli::LogFile> log;
  if (!opt.log_file.empty()) {
    log = std::make_unique<cli::LogFile>(opt.log_file);
    if (!log->open(error)) return cli::fail(error);
  }
  install_hangup();
  if (!opt.sensor.empty()) db_set_sensor_name(opt.sensor);
  if (!opt.only_sensor.empty()) db_set_view_sensor(opt.only_sensor);

  // Service face (--listen, --events, alarm deliveries): checked before anything opens.
  std::unique_ptr<cli::ServiceFace> service;
  {
    cli::ServiceConfig sc;
    if (!cli::service_config(opt, sc, error)) return cli::fail(error);
    if (cli::service_wanted(opt, sc)) service = std::make_unique<cli::ServiceFace>(sc);
    if (service && !service->open(error)) return cli::fail(error);
  }
  if (!opt.report_dir.empty()) {
    // Checked before the run, so that a long capture is not lost to a typo.
    struct stat st {};
    if (::stat(opt.report_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return cli::fail("report folder " + opt.report_dir + " does not exist");
  }
  cli::Run run;
  if (const int status = cli::prepare_run(opt, start_rights, run); status != cli::kGoOn) return status;

  SessionOptions session_options = cli::session_options(opt, run);
  if (service) {
    // Duplicate reports reach the events too, then the run's own notifier.
    session_options.duplicate_notifier = [&service, own = session_options.duplicate_notifier](HostCache& names) {
      return std::unique_ptr<DupIpNotifier>(std::make_unique<cli::ServiceDupIpNotifier>(*service, own(names)));
    };
  }
  EngineSession session(std::move(session_options));
  if (opt.has_db()) {
    StderrDbStartupUi db_ui;
    if (!session.open_store(cli::db_config(opt), db_ui))
      return cli::fail("cannot open the request database: " + session.store_description());
  }
  session.assemble();
  for (const std::string& m : session.name_file_messages()) std::fprintf(stderr, "tarnix-cli: %s\n", m.c_str());
  RequestLogPrinter request_printer(stdout);
  if (opt.print_requests) session.add_request_listener(&request_printer);
  if (service) session.add_request_listener(service.get());
  if (service)
    run.reopen_notice = [&service](const std::string& message, bool down) { service->capture_changed(message, down); };
  if (const int status = cli::place_source(opt, run, session); status != cli::kGoOn) return status;
  // Alarms: those stored in the database and those given for this run.
  if (session.has_store() || !opt.alarms.empty()) {
    AlarmRuntime::Options ao;
    if (opt.json) ao.log = stderr;  // keep standard output parseable
    ao.firings = service.get();     // events, syslog, webhooks
    session.add_alarms(run.parsed.tree.get(), ao);
  }
  if (const Status started = session.start(opt.alarms); !started) {
    session.stop(std::chrono::seconds(1));
    std::fprintf(stderr, "tarnix-cli: %s\n", started.message().c_str());
    return 2;
  }
  // Service face: listens from here on.
  if (service && !service->start({run.net, run.classifier.get(), &run.focus, session.store(), session.alarms(),
                                  &session.names(), opt.detect_duplicates ? &session.duplicates() : nullptr,
                                  run.live ? run.reading->name() : opt.read, run.live},
                                 error)) {
    session.stop(std::chrono::seconds(1));
    return cli::fail(error);
  }
  install_signals();

  std::mutex end_mutex;
  std::string end_error;
  std::atomic<bool> ended{false};
  session.loop().on_end([&](const std::string& e) {
    std::lock_guard<std::mutex> g(end_mutex);
    end_error = e;
    ended = true;
  });
  session.loop().set_source(std::move(run.source), run.net);
  session.wait_ready_to_capture(!run.live);
  session.start_capture();
  // Frames are kept from here on; scripts wait for this line.
  if (run.live)
    std::fprintf(stderr, "tarnix-cli: capturing on %s (interrupt for the summary)\n",
                 run.reading->name().c_str());

  const auto started = std::chrono::steady_clock::now();
  const std::int64_t recording_started = static_cast<std::int64_t>(std::time(nullptr));
  while (!ended && g_signal == 0) {
    if (g_hangup.exchange(0, std::memory_order_relaxed) != 0) reopen_logs(log.get(), service.get());
    if (opt.duration > 0 &&
        std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(opt.duration))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Everything on its way is written before the summary reads it; the name
  // cache runs on for the reports.
  session.stop_capture();
  session.drain(std::chrono::seconds(5));
  if (service) service->stop();  // the last events written
  session.close_store(0);
  session.names().wait_heard();  // every name heard is in the summary
  std::string failure;
  {
    std::lock_guard<std::mutex> g(end_mutex);
    failure = end_error;
  }
  // A rotation while the run drained: the summary belongs in the new file.
  if (g_hangup.exchange(0, std::memory_order_relaxed) != 0) reopen_logs(log.get(), nullptr);
  return cli::finish_run(opt, run, session, recording_started, failure);
}
