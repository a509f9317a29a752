// The desktop's alarm sound: asked from another thread, played on the
// user-interface thread, and a file that cannot be played noted once.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "ui/alarm_sound.h"

namespace tarnix::ui {
namespace {

class AlarmSound : public ::testing::Test {
 protected:
  QtSoundPlayer player{[this](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  }};
  std::vector<std::string> logged() {
    std::lock_guard lock(mutex);
    return lines;
  }
  // Runs the event loop until `done` or a bound; false on the bound.
  template <class Done>
  bool spin(Done done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }
  QString write(const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return f.fileName();
  }
  std::mutex mutex;
  std::vector<std::string> lines;
  QTemporaryDir dir;
};

// A missing file asked from another thread, a wav and an mp3 that are noise:
// one line each, and nothing left playing.
TEST_F(AlarmSound, FilesThatCannotBePlayedAreOneLineEachAskedFromAnyThread) {
  const std::string missing = dir.filePath("none.wav").toStdString();
  const std::string bad_wav = write("noise.wav", QByteArray(512, 'x')).toStdString();
  const std::string bad_mp3 = write("noise.mp3", QByteArray(512, 'y')).toStdString();
  std::thread alarm_thread([&] { player.play(missing); });
  alarm_thread.join();  // play() returned without waiting for anything
  player.play(bad_wav);
  player.play(bad_mp3);
  ASSERT_TRUE(spin([&] { return logged().size() >= 3 && player.playing() == 0; }, 30000))
      << logged().size() << " lines, " << player.playing() << " playing";
  spin([] { return false; }, 200);
  std::vector<std::string> got = logged();
  ASSERT_EQ(got.size(), 3u);
  std::sort(got.begin(), got.end());  // noise.mp3, noise.wav, none.wav
  const std::string head = "alarm_sound: could not play ";
  EXPECT_EQ(got[0].rfind(head + bad_mp3 + " (", 0), 0u) << got[0];
  EXPECT_EQ(got[1].rfind(head + bad_wav + " (", 0), 0u) << got[1];
  EXPECT_EQ(got[2], head + missing + " (no such readable file)");
}

}  // namespace
}  // namespace tarnix::ui
