// The costly things an alarm does when it fires, each behind a small
// interface so that the GUI and the headless program plug in their own and
// tests plug in fakes: the alarm log, the beep, the sound and the command.
// All of them are called on the alarm thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"

namespace tarnix {

struct Alarm;

// One diagnostic line ("routine: text", no line end).
using DiagnosticSink = std::function<void(const std::string& line)>;
// Writes the line and a line end to standard error.
DiagnosticSink stderr_diagnostics();

class AlarmLog {
 public:
  virtual ~AlarmLog() = default;
  virtual void add_alarm(const Alarm& alarm, std::uint32_t time) = 0;
};

// The headless alarm log: "time  notify string" per firing, the time in
// ctime form without its line end.
class StreamAlarmLog final : public AlarmLog {
 public:
  explicit StreamAlarmLog(std::FILE* out) : out_(out) {}
  void add_alarm(const Alarm& alarm, std::uint32_t time) override;

 private:
  std::FILE* out_;
};

// "Mon Dec  7 08:20:27 2026" for a time in seconds since the epoch, local time.
std::string alarm_time_text(std::uint32_t time);

class Beeper {
 public:
  virtual ~Beeper() = default;
  virtual void beep() = 0;
};

// Rings the terminal bell on the given stream, when that stream is a terminal.
class TerminalBeeper final : public Beeper {
 public:
  explicit TerminalBeeper(std::FILE* out) : out_(out) {}
  void beep() override;

 private:
  std::FILE* out_;
};

class SoundPlayer {
 public:
  virtual ~SoundPlayer() = default;
  // Starts playing and returns at once.
  virtual void play(const std::string& path) = 0;
};

// What a command learns about the firing, through its environment:
// TARNIX_ALARM_NOTIFY, TARNIX_ALARM_OBJECT, TARNIX_ALARM_VALUE, TARNIX_ALARM_TIME.
struct AlarmCommandInfo {
  std::string notify;
  std::string object;
  std::string value;
  std::string time;
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Starts the command and returns at once; never waits for it.
  virtual void run(const std::string& command, const AlarmCommandInfo& info) = 0;
};

// Starts detached child processes and reaps them. A thread of its own polls
// exactly the children it started with waitpid(pid, WNOHANG) while any are
// running, so nothing else's children are touched and no SIGCHLD handler is
// needed. Children run in a process group of their own, with standard input
// from /dev/null and no descriptor other than 0-2 inherited.
// What a user's command starts with: a fixed PATH, the account's HOME, USER
// and LOGNAME, and the locale and time zone. Nothing else of the program's
// environment (loader variables, shell start-up files) reaches it.
std::vector<std::string> clean_environment();

class ProcessReaper {
 public:
  using ExitFn = std::function<void(int wait_status)>;
  struct Options {
    bool quiet = false;  // standard output and error to /dev/null
    // Starts from clean_environment() instead of the program's own.
    bool clean_env = false;
  };

  explicit ProcessReaper(std::chrono::milliseconds poll = std::chrono::milliseconds(50));
  ~ProcessReaper();
  ProcessReaper(const ProcessReaper&) = delete;
  ProcessReaper& operator=(const ProcessReaper&) = delete;

  // argv[0] is searched in PATH; extra_env entries ("NAME=value") replace or
  // add to the inherited (or clean) environment. on_exit runs on the reaper's thread.
  // Returns 0, or the errno of the failed start (on_exit is then not called).
  int spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
            const Options& options, ExitFn on_exit);

  std::size_t running() const;
  // Waits until no child is running or the time is up; true when none is.
  bool wait_idle(std::chrono::milliseconds timeout);

 private:
  struct Child {
    pid_t pid;
    ExitFn on_exit;
  };
  void run();

  std::chrono::milliseconds poll_;
  mutable Mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::vector<Child> children_ GUARDED_BY(mutex_);
  std::size_t finishing_ GUARDED_BY(mutex_) = 0;  // exited children whose on_exit is still running
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

// Plays a sound file with the first player that works, tried in order
// (default: paplay, then aplay). A player that cannot start, or that ends
// with a failure status (no sound server, no device, unreadable file), makes
// way for the next; when none plays, a diagnostic says so.
class SpawnSoundPlayer final : public SoundPlayer {
 public:
  SpawnSoundPlayer(ProcessReaper& reaper, DiagnosticSink diagnostics,
                   std::vector<std::vector<std::string>> players = default_players());
  void play(const std::string& path) override;

  // Each player is its argv without the file, which is appended.
  static std::vector<std::vector<std::string>> default_players();

 private:
  // Shared with the exit callbacks, which may run after the player is gone.
  struct Config {
    ProcessReaper* reaper;
    DiagnosticSink diagnostics;
    std::vector<std::vector<std::string>> players;
  };
  static void try_player(const std::shared_ptr<const Config>& config, std::size_t index,
                         const std::string& path);

  std::shared_ptr<const Config> config_;
};

// Runs the command line through "/bin/sh -c". A start failure, or the shell
// reporting that the command could not be found or executed (status 126 or
// 127), gives a diagnostic; nothing is ever fatal.
class ShellCommandRunner final : public CommandRunner {
 public:
  ShellCommandRunner(ProcessReaper& reaper, DiagnosticSink diagnostics, std::string shell = "/bin/sh")
      : reaper_(reaper), diagnostics_(std::move(diagnostics)), shell_(std::move(shell)) {}
  void run(const std::string& command, const AlarmCommandInfo& info) override;

 private:
  ProcessReaper& reaper_;
  DiagnosticSink diagnostics_;
  std::string shell_;
};

// Every firing as it is acted on, for those who pass firings on (an events
// file, the system log, webhooks). `deliver` says whether the alarm's
// deliveries are due now: they are paced like sounds and commands.
struct AlarmFiring {
  std::string notify;
  std::string object;
  std::string delivery;  // the alarm's targets, stored form (alarm_def.h)
  std::uint32_t time = 0;
  std::uint32_t value = 0;
  bool deliver = false;
};

class AlarmFiringSink {
 public:
  virtual ~AlarmFiringSink() = default;
  // On the alarm thread; must not wait for the network or a disk.
  virtual void on_firing(const AlarmFiring& firing) = 0;
};

}  // namespace tarnix
