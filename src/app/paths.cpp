#include "app/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace tarnix::app {

QString user_data_dir() {
  QString base = qEnvironmentVariable("XDG_DATA_HOME");
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.local/share");
  QString dir = base + QStringLiteral("/tarnix");
  QDir().mkpath(dir);
  return dir;
}

QString resolve_data_path(const QString& stored) {
  QString s = stored;
  if (s.startsWith(QStringLiteral(".\\")) || s.startsWith(QStringLiteral("./"))) s = s.mid(2);
  s.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (QFileInfo(s).isAbsolute()) return s;
  return QDir(user_data_dir()).filePath(s);
}

}  // namespace tarnix::app
