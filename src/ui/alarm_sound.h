// The alarm's sound in the desktop program, through Qt Multimedia: a WAV file
// as a sound effect, anything else through the media player. The alarm
// thread only asks; the user-interface thread plays. A file that is missing
// or cannot be played gives one line in the alarm log and nothing waits.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "alarms/actions.h"

namespace tarnix::ui {

class QtSoundPlayer final : public QObject, public SoundPlayer {
  Q_OBJECT
 public:
  using LogFn = std::function<void(const std::string& line)>;
  explicit QtSoundPlayer(LogFn log, QObject* parent = nullptr);

  // Any thread; returns at once.
  void play(const std::string& path) override;

  // Sounds started and not yet finished or failed (user-interface thread).
  int playing() const { return playing_; }

 private:
  void start(const QString& path);
  // Ends one play; with a reason, logs it.
  void finish(QObject* player, const std::shared_ptr<bool>& done, const QString& path, const QString& reason);

  LogFn log_;
  int playing_ = 0;
};

}  // namespace tarnix::ui
