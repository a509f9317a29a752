#include "ui/alarm_sound.h"

#include <QAudioOutput>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>

namespace tarnix::ui {

namespace {

// A sound that neither ends nor fails within this long is given up, so a
// stuck audio back end never keeps players alive without bound.
constexpr int kGiveUpMs = 5 * 60 * 1000;

}  // namespace

QtSoundPlayer::QtSoundPlayer(LogFn log, QObject* parent) : QObject(parent), log_(std::move(log)) {
  // Qt picks its media back end on first use. The GStreamer one crashes in
  // the middle of a play when the system lacks some of its plug-ins; the
  // FFmpeg one needs nothing beyond Qt's own libraries. A choice the user
  // made in the environment stands.
  if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND")) qputenv("QT_MEDIA_BACKEND", "ffmpeg");
}

void QtSoundPlayer::play(const std::string& path) {
  const QString p = QString::fromStdString(path);
  QMetaObject::invokeMethod(
      this, [this, p] { start(p); }, Qt::QueuedConnection);
}

void QtSoundPlayer::finish(QObject* player, const std::shared_ptr<bool>& done, const QString& path,
                           const QString& reason) {
  if (*done) return;
  *done = true;
  --playing_;
  if (!reason.isEmpty() && log_)
    log_(("alarm_sound: could not play " + path + " (" + reason + ")").toStdString());
  player->deleteLater();
}

void QtSoundPlayer::start(const QString& path) {
  const QFileInfo file(path);
  if (!file.isFile() || !file.isReadable()) {
    if (log_) log_(("alarm_sound: could not play " + path + " (no such readable file)").toStdString());
    return;
  }
  ++playing_;
  // Shared by the player's connections, so it goes with them: with the
  // player, or with this object should a back end keep its player past it.
  auto done = std::make_shared<bool>(false);
  QObject* player = nullptr;
  if (file.suffix().compare(QLatin1String("wav"), Qt::CaseInsensitive) == 0) {
    auto* effect = new QSoundEffect(this);
    player = effect;
    connect(effect, &QSoundEffect::statusChanged, this, [this, effect, done, path] {
      if (effect->status() == QSoundEffect::Error)
        finish(effect, done, path, QStringLiteral("unplayable sound"));
      if (effect->status() == QSoundEffect::Ready) effect->play();
    });
    connect(effect, &QSoundEffect::playingChanged, this, [this, effect, done, path] {
      if (!effect->isPlaying() && effect->status() == QSoundEffect::Ready) finish(effect, done, path, {});
    });
    effect->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  } else {
    auto* media = new QMediaPlayer(this);
    player = media;
    auto* out = new QAudioOutput(media);
    media->setAudioOutput(out);
    connect(media, &QMediaPlayer::errorOccurred, this,
            [this, media, done, path](QMediaPlayer::Error, const QString& why) {
              finish(media, done, path, why.isEmpty() ? QStringLiteral("unplayable sound") : why);
            });
    connect(media, &QMediaPlayer::mediaStatusChanged, this,
            [this, media, done, path](QMediaPlayer::MediaStatus s) {
              if (s == QMediaPlayer::InvalidMedia)
                finish(media, done, path, QStringLiteral("unplayable sound"));
              if (s == QMediaPlayer::LoadedMedia) media->play();
              if (s == QMediaPlayer::EndOfMedia) finish(media, done, path, {});
            });
    media->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  }
  QTimer::singleShot(kGiveUpMs, player, [this, player, done, path] {
    finish(player, done, path, QStringLiteral("no end after five minutes"));
  });
}

}  // namespace tarnix::ui
