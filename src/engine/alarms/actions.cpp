#include "alarms/actions.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "alarms/alarm.h"
#include "core/wire_text.h"

extern char** environ;

namespace tarnix {

DiagnosticSink stderr_diagnostics() {
  return [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
}

std::string alarm_time_text(std::uint32_t time) {
  std::time_t t = static_cast<std::time_t>(time);
  char buffer[64];
  if (ctime_r(&t, buffer) == nullptr) return std::to_string(time);
  std::string text(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void StreamAlarmLog::add_alarm(const Alarm& alarm, std::uint32_t time) {
  // The line goes to a terminal; the notify text comes from a store file
  // anyone who can write it may have filled.
  std::string line = alarm_time_text(time) + "  " + escape_text(alarm.notify) + "\n";
  // One write per line, so lines from other writers never interleave with it.
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void TerminalBeeper::beep() {
  if (out_ == nullptr || isatty(fileno(out_)) == 0) return;
  std::fputc('\a', out_);
  std::fflush(out_);
}

// ---------------------------------------------------------------------------

ProcessReaper::ProcessReaper(std::chrono::milliseconds poll) : poll_(poll) {
  thread_ = std::thread([this] { run(); });
}

ProcessReaper::~ProcessReaper() {
  {
    MutexLock lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  // Children still running are left to finish on their own; one last look
  // reaps those that already have.
  for (Child& c : children_) {
    int status;
    waitpid(c.pid, &status, WNOHANG);
  }
}

namespace {

std::string env_name(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

std::vector<std::string> clean_environment() {
  std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    env.push_back(std::string("HOME=") + pw.pw_dir);
    env.push_back(std::string("USER=") + pw.pw_name);
    env.push_back(std::string("LOGNAME=") + pw.pw_name);
  }
  for (const char* name : {"LANG", "LC_ALL", "TZ"})
    if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
  return env;
}

int ProcessReaper::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                         const Options& options, ExitFn on_exit) {
  if (argv.empty()) return EINVAL;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::vector<std::string> names;
  for (const std::string& e : extra_env) names.push_back(env_name(e));
  const std::vector<std::string> clean = options.clean_env ? clean_environment() : std::vector<std::string>{};
  std::vector<char*> base;
  if (options.clean_env) {
    for (const std::string& e : clean) base.push_back(const_cast<char*>(e.c_str()));
  } else {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) base.push_back(*e);
  }
  std::vector<char*> envp;
  for (char* e : base) {
    std::string entry(e);
    bool replaced = false;
    for (const std::string& n : names)
      if (env_name(entry) == n) replaced = true;
    if (!replaced) envp.push_back(e);
  }
  for (const std::string& e : extra_env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  // The child inherits nothing but its three standard descriptors.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // A group of its own keeps the terminal's Ctrl-C away from the child.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int rc;
  {
    // Held across the start so the reaper never polls a pid it does not yet list.
    MutexLock lock(mutex_);
    rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    if (rc == 0) children_.push_back({pid, std::move(on_exit)});
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc == 0) cv_.notify_all();
  return rc;
}

std::size_t ProcessReaper::running() const {
  MutexLock lock(mutex_);
  return children_.size() + finishing_;
}

bool ProcessReaper::wait_idle(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mutex_);
  while (!children_.empty() || finishing_ != 0)
    if (lock.wait_until(idle_cv_, until) == std::cv_status::timeout)
      return children_.empty() && finishing_ == 0;
  return true;
}

void ProcessReaper::run() {
  MutexLock lock(mutex_);
  for (;;) {
    while (!stop_ && children_.empty()) lock.wait(cv_);
    if (stop_) return;
    std::vector<std::pair<ExitFn, int>> ended;
    for (std::size_t i = 0; i < children_.size();) {
      int status = 0;
      pid_t r = waitpid(children_[i].pid, &status, WNOHANG);
      if (r == children_[i].pid || (r < 0 && errno == ECHILD)) {
        // ECHILD: reaped elsewhere (SIGCHLD ignored by the process); its
        // status is lost, so nothing is reported about it.
        if (r < 0) status = 0;
        ended.emplace_back(std::move(children_[i].on_exit), status);
        children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    if (!ended.empty()) {
      finishing_ += ended.size();
      lock.unlock();
      for (auto& [fn, status] : ended)
        if (fn) fn(status);
      lock.lock();
      finishing_ -= ended.size();
    }
    if (children_.empty() && finishing_ == 0) idle_cv_.notify_all();
    if (!children_.empty()) {
      const auto until = std::chrono::steady_clock::now() + poll_;
      while (!stop_ && lock.wait_until(cv_, until) == std::cv_status::no_timeout) {
      }
    }
  }
}

// ---------------------------------------------------------------------------

SpawnSoundPlayer::SpawnSoundPlayer(ProcessReaper& reaper, DiagnosticSink diagnostics,
                                   std::vector<std::vector<std::string>> players)
    : config_(std::make_shared<const Config>(Config{&reaper, std::move(diagnostics), std::move(players)})) {}

std::vector<std::vector<std::string>> SpawnSoundPlayer::default_players() {
  return {{"paplay"}, {"aplay", "-q"}};
}

void SpawnSoundPlayer::play(const std::string& path) {
  try_player(config_, 0, path);
}

void SpawnSoundPlayer::try_player(const std::shared_ptr<const Config>& config, std::size_t index,
                                  const std::string& path) {
  for (; index < config->players.size(); ++index) {
    std::vector<std::string> argv = config->players[index];
    argv.push_back(path);
    int rc = config->reaper->spawn(argv, {}, ProcessReaper::Options{true}, [config, index, path](int status) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
      try_player(config, index + 1, path);
    });
    if (rc == 0) return;  // the rest of the chain continues when this player ends
  }
  if (config->diagnostics)
    config->diagnostics("alarm_sound: could not play " + path + " (no working player or audio device)");
}

void ShellCommandRunner::run(const std::string& command, const AlarmCommandInfo& info) {
  std::vector<std::string> env = {
      "TARNIX_ALARM_NOTIFY=" + info.notify,
      "TARNIX_ALARM_OBJECT=" + info.object,
      "TARNIX_ALARM_VALUE=" + info.value,
      "TARNIX_ALARM_TIME=" + info.time,
  };
  int rc =
      reaper_.spawn({shell_, "-c", command}, env, ProcessReaper::Options{false, true},
                    [diagnostics = diagnostics_, command](int status) {
                      if (!diagnostics) return;
                      if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127))
                        diagnostics("alarm_command: could not start '" + command + "' (status " +
                                    std::to_string(WEXITSTATUS(status)) + ")");
                    });
  if (rc != 0 && diagnostics_)
    diagnostics_("alarm_command: could not start '" + command + "': " + std::generic_category().message(rc));
}

}  // namespace tarnix
