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

TEST_F(AlarmSound, AMissingFileIsOneLineInTheLogAskedFromAnyThread) {
  const std::string missing = dir.filePath("none.wav").toStdString();
  std::thread alarm_thread([&] { player.play(missing); });
  alarm_thread.join();  // play() returned without waiting for anything
  ASSERT_TRUE(spin([&] { return !logged().empty(); }));
  spin([] { return false; }, 200);
  ASSERT_EQ(logged().size(), 1u);
  EXPECT_EQ(logged()[0], "alarm_sound: could not play " + missing + " (no such readable file)");
  EXPECT_EQ(player.playing(), 0);
}

TEST_F(AlarmSound, UnplayableFilesAreOneLineEachAndNothingHangs) {
  const QString bad_wav = write("noise.wav", QByteArray(512, 'x'));
  const QString bad_mp3 = write("noise.mp3", QByteArray(512, 'y'));
  player.play(bad_wav.toStdString());
  player.play(bad_mp3.toStdString());
  ASSERT_TRUE(spin([&] { return logged().size() >= 2 && player.playing() == 0; }, 30000))
      << logged().size() << " lines, " << player.playing() << " playing";
  spin([] { return false; }, 200);
  std::vector<std::string> got = logged();
  ASSERT_EQ(got.size(), 2u);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got[0].rfind("alarm_sound: could not play " + bad_mp3.toStdString() + " (", 0), 0u) << got[0];
  EXPECT_EQ(got[1].rfind("alarm_sound: could not play " + bad_wav.toStdString() + " (", 0), 0u) << got[1];
}

}  // namespace
}  // namespace tarnix::ui
