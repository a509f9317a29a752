// The real actions: commands through /bin/sh with the alarm's environment,
// sounds through paplay/aplay, and the reaping of both.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "alarm_fakes.h"
#include "alarms/actions.h"
#include "alarms/alarm.h"

namespace tarnix {
namespace {

using namespace std::chrono_literals;

class Diagnostics {
 public:
  DiagnosticSink sink() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool wait_for(const std::string& part) {
    for (int i = 0; i < 1000; ++i) {
      for (const std::string& l : lines())
        if (l.find(part) != std::string::npos) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "tarnix_alarm_" + std::to_string(getpid()) + "_" + name;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool wait_for_file(const std::string& path, const std::string& must_contain) {
  for (int i = 0; i < 1000; ++i) {
    if (read_file(path).find(must_contain) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// No child of this process is left, running or as a zombie.
bool no_children_left() {
  int status;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(AlarmCommand, RunsThroughTheShellWithTheAlarmsEnvironment) {
  Diagnostics diag;
  std::string out = temp_path("env.txt");
  std::remove(out.c_str());
  {
    ProcessReaper reaper;
    ShellCommandRunner runner(reaper, diag.sink());
    AlarmCommandInfo info{"web server 'busy' $HOME", "host 10.0.0.5", "123", "1700000000"};
    runner.run("env | grep '^TARNIX_ALARM_' | sort > '" + out + "'; echo done >> '" + out + "'", info);
    ASSERT_TRUE(wait_for_file(out, "done"));
    EXPECT_TRUE(reaper.wait_idle(10s));
  }
  EXPECT_EQ(read_file(out),
            "TARNIX_ALARM_NOTIFY=web server 'busy' $HOME\n"
            "TARNIX_ALARM_OBJECT=host 10.0.0.5\n"
            "TARNIX_ALARM_TIME=1700000000\n"
            "TARNIX_ALARM_VALUE=123\n"
            "done\n");
  EXPECT_TRUE(diag.lines().empty());
  EXPECT_TRUE(no_children_left());
  std::remove(out.c_str());
}

TEST(AlarmCommand, StartsFromACleanEnvironment) {
  ::setenv("TARNIX_TEST_SECRET", "leak", 1);
  ::setenv("BASH_ENV", "/nonexistent", 1);
  Diagnostics diag;
  std::string out = temp_path("clean_env.txt");
  std::remove(out.c_str());
  {
    ProcessReaper reaper;
    ShellCommandRunner runner(reaper, diag.sink());
    runner.run("env > '" + out + ".part'; mv '" + out + ".part' '" + out + "'", AlarmCommandInfo{"n", "o", "1", "2"});
    ASSERT_TRUE(wait_for_file(out, "PATH="));
    EXPECT_TRUE(reaper.wait_idle(10s));
  }
  ::unsetenv("TARNIX_TEST_SECRET");
  ::unsetenv("BASH_ENV");
  const std::string env = read_file(out);
  EXPECT_EQ(env.find("TARNIX_TEST_SECRET"), std::string::npos) << env;
  EXPECT_EQ(env.find("BASH_ENV"), std::string::npos) << env;
  EXPECT_NE(env.find("PATH=/usr/local/bin:/usr/bin:/bin\n"), std::string::npos) << env;
  EXPECT_NE(env.find("TARNIX_ALARM_NOTIFY=n\n"), std::string::npos) << env;
  for (const std::string& e : clean_environment()) EXPECT_NE(env.find(e + "\n"), std::string::npos) << e;
  std::remove(out.c_str());
}

TEST(AlarmCommand, IsNotWaitedForAndIsReapedWhenItEnds) {
  Diagnostics diag;
  ProcessReaper reaper;
  ShellCommandRunner runner(reaper, diag.sink());
  auto start = std::chrono::steady_clock::now();
  runner.run("sleep 1", {});
  // run() returns long before the command ends.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_EQ(reaper.running(), 1u);
  EXPECT_TRUE(reaper.wait_idle(10s));
  EXPECT_TRUE(no_children_left());
}

TEST(AlarmCommand, StartFailuresAreLoggedNotFatal) {
  Diagnostics diag;
  ProcessReaper reaper;
  ShellCommandRunner missing_shell(reaper, diag.sink(), "/nonexistent/tarnix-shell");
  missing_shell.run("true", {});
  ASSERT_EQ(diag.lines().size(), 1u);
  EXPECT_EQ(diag.lines()[0].rfind("alarm_command: could not start 'true'", 0), 0u) << diag.lines()[0];

  ShellCommandRunner runner(reaper, diag.sink());
  runner.run("/nonexistent/tarnix-command --flag", {});
  EXPECT_TRUE(
      diag.wait_for("alarm_command: could not start '/nonexistent/tarnix-command --flag' (status 127)"));
  EXPECT_TRUE(reaper.wait_idle(10s));
}

TEST(AlarmCommand, FailingCommandDoesNotStopTheAlarmThread) {
  Diagnostics diag;
  std::string out = temp_path("after_failure.txt");
  std::remove(out.c_str());
  ProcessReaper reaper;
  ShellCommandRunner runner(reaper, diag.sink());
  testing::FakeModel model;
  auto st = alarm_init();
  st->model = &model;
  st->actions.command = &runner;

  auto failing = std::make_shared<Alarm>();
  failing->notify = "broken";
  failing->command = "/nonexistent/tarnix-command";
  failing->run_command = 1;
  auto working = std::make_shared<Alarm>();
  working->notify = "fine";
  working->command = "echo \"$TARNIX_ALARM_NOTIFY\" >> '" + out + "'";
  working->run_command = 1;

  alarm_thread_start(*st);
  alarm_fire(*st, failing);
  EXPECT_TRUE(diag.wait_for("could not start '/nonexistent/tarnix-command'"));
  alarm_fire(*st, working);
  alarm_fire(*st, failing);
  alarm_fire(*st, working);
  EXPECT_TRUE(wait_for_file(out, "fine\nfine\n"));
  alarm_thread_stop(*st);
  EXPECT_TRUE(reaper.wait_idle(10s));
  auto summary = alarm_summaries(*st);  // not in the loaded set: nothing listed
  EXPECT_TRUE(summary.empty());
  EXPECT_EQ(failing->activations->times.size(), 2u);
  EXPECT_EQ(working->activations->times.size(), 2u);
  std::remove(out.c_str());
}

// A short, valid mono 8 kHz 16-bit WAV file.
std::string write_wav(const std::string& path) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  const std::uint32_t samples = 800;
  f.write("RIFF", 4);
  u32(36 + samples * 2);
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  f.write("data", 4);
  u32(samples * 2);
  for (std::uint32_t i = 0; i < samples; ++i) u16(0);
  return path;
}

TEST(AlarmSound, NoWorkingPlayerIsLoggedAndPlayingGoesOn) {
  Diagnostics diag;
  ProcessReaper reaper;
  // One player that cannot start, one that starts and fails as a player does
  // without a device.
  SpawnSoundPlayer player(reaper, diag.sink(), {{"/nonexistent/tarnix-player"}, {"false"}});
  player.play("/tmp/ding.wav");
  EXPECT_TRUE(diag.wait_for("alarm_sound: could not play /tmp/ding.wav"));
  EXPECT_TRUE(reaper.wait_idle(10s));
  EXPECT_EQ(diag.lines().size(), 1u);

  // A player that works logs nothing.
  SpawnSoundPlayer works(reaper, diag.sink(), {{"true"}});
  works.play("/tmp/ding.wav");
  EXPECT_TRUE(reaper.wait_idle(10s));
  EXPECT_EQ(diag.lines().size(), 1u);
  EXPECT_TRUE(no_children_left());
}

TEST(AlarmSound, PaplayAndAplayWithoutAnAudioDeviceAreLogged) {
  // Point both players at audio systems that do not exist, as on a server.
  setenv("PULSE_SERVER", "unix:/nonexistent/tarnix-pulse", 1);
  setenv("ALSA_CONFIG_PATH", "/nonexistent/tarnix-alsa.conf", 1);
  std::string wav = write_wav(temp_path("ding.wav"));
  Diagnostics diag;
  {
    ProcessReaper reaper;
    SpawnSoundPlayer player(reaper, diag.sink());
    player.play(wav);
    EXPECT_TRUE(diag.wait_for("alarm_sound: could not play " + wav));
    EXPECT_TRUE(reaper.wait_idle(10s));
  }
  unsetenv("PULSE_SERVER");
  unsetenv("ALSA_CONFIG_PATH");
  std::remove(wav.c_str());
}

TEST(AlarmSound, AlarmThreadAsksThePlayerAndGoesOn) {
  Diagnostics diag;
  ProcessReaper reaper;
  SpawnSoundPlayer player(reaper, diag.sink(), {{"false"}});
  testing::RecordingActions rec;
  auto st = alarm_init();
  st->actions.log = &rec;
  st->actions.sound = &player;
  auto a = std::make_shared<Alarm>();
  a->notify = "loud";
  a->sound_file = "/nonexistent/loud.wav";
  a->play_sound = 1;
  alarm_thread_start(*st);
  alarm_fire(*st, a);
  alarm_fire(*st, a);
  EXPECT_TRUE(diag.wait_for("could not play /nonexistent/loud.wav"));
  for (int i = 0; i < 500 && rec.size() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(rec.size(), 2u);
  alarm_thread_stop(*st);
  EXPECT_TRUE(reaper.wait_idle(10s));
}

TEST(AlarmThread, RunsItsActionsAtTheLowestPriority) {
  // Notes the nice value of the thread the action runs on.
  struct PolicyProbe : SoundPlayer {
    void play(const std::string&) override {
      nice.store(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
      played.store(true);
    }
    std::atomic<int> nice{-100};
    std::atomic<bool> played{false};
  } probe;
  auto st = alarm_init();
  st->actions.sound = &probe;
  auto a = std::make_shared<Alarm>();
  a->sound_file = "x.wav";
  a->play_sound = 1;
  alarm_thread_start(*st);
  alarm_fire(*st, a);
  for (int i = 0; i < 500 && !probe.played.load(); ++i) std::this_thread::sleep_for(10ms);
  alarm_thread_stop(*st);
  ASSERT_TRUE(probe.played.load());
  EXPECT_EQ(probe.nice.load(), 19);
  // The thread that started it keeps its own.
  EXPECT_NE(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), 19);
}

TEST(AlarmBeep, TerminalBellOnlyOnATerminal) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  TerminalBeeper beeper(out);
  beeper.beep();
  std::fclose(out);
  EXPECT_EQ(size, 0u);  // a memory stream is no terminal
  std::free(buffer);
}

}  // namespace
}  // namespace tarnix
