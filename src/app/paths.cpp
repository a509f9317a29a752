#include "app/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "core/paths.h"
#include "os/files.h"

namespace tarnix::app {

QString user_data_dir() {
  const QString dir = QString::fromStdString(tarnix::user_data_dir());
  os::make_private_dirs(QFile::encodeName(dir).toStdString());
  return dir;
}

QString resolve_data_path(const QString& stored) {
  QString s = stored;
  if (s.startsWith(QStringLiteral(".\\")) || s.startsWith(QStringLiteral("./"))) s = s.mid(2);
  s.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (QFileInfo(s).isAbsolute()) return s;
  return QDir(user_data_dir()).filePath(s);
}

QStringList shipped_data_dirs() {
  QStringList dirs;
  const QString env = qEnvironmentVariable("TARNIX_DATA_DIR");
  if (!env.isEmpty()) dirs << env;
  if (QCoreApplication::instance()) {
    const QString bin = QCoreApplication::applicationDirPath();
    dirs << QDir(bin).filePath(QStringLiteral("../share/tarnix"));
  }
#ifdef TARNIX_DATA_BINARY_DIR
  dirs << QStringLiteral(TARNIX_DATA_BINARY_DIR);
#endif
#ifdef TARNIX_DATA_SOURCE_DIR
  dirs << QStringLiteral(TARNIX_DATA_SOURCE_DIR);
#endif
  return dirs;
}

QString find_shipped_file(const QString& relative) {
  for (const QString& d : shipped_data_dirs()) {
    const QString p = QDir(d).filePath(relative);
    if (QFileInfo(p).isFile()) return QDir::cleanPath(p);
  }
  return {};
}

QStringList seeded_files() {
  return {QStringLiteral("protocol.pdl"), QStringLiteral("cfdump.bin"), QStringLiteral("font.bin")};
}

SeedResult seed_user_data(const QString& dir) {
  SeedResult r;
  os::make_private_dirs(QFile::encodeName(dir).toStdString());
  for (const QString& name : seeded_files()) {
    const QString target = QDir(dir).filePath(name);
    if (QFileInfo::exists(target)) continue;
    const QString source = find_shipped_file(name);
    if (source.isEmpty()) {
      r.missing << name;
      continue;
    }
    if (QFile::copy(source, target)) {
      // Shipped files may be read-only; the user's copies are theirs to
      // change, and theirs alone like everything in the folder.
      QFile::setPermissions(target, QFile::WriteOwner | QFile::ReadOwner);
      r.copied << name;
    } else {
      r.failed << name;
    }
  }
  return r;
}

}  // namespace tarnix::app
