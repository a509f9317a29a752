#include "app/paths.h"

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
  for (const std::string& d : tarnix::shipped_data_dirs(tarnix::running_layout()))
    dirs << QFile::decodeName(QByteArray::fromStdString(d));
  return dirs;
}

QString find_shipped_file(const QString& relative) {
  std::vector<std::string> dirs;
  for (const QString& d : shipped_data_dirs()) dirs.push_back(QFile::encodeName(d).toStdString());
  return QFile::decodeName(
      QByteArray::fromStdString(tarnix::find_shipped_file(dirs, QFile::encodeName(relative).toStdString())));
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
