// Where Tarnix keeps its per-user files, and where it finds the files it ships.
#pragma once

#include <QString>
#include <QStringList>

namespace tarnix::app {

// $XDG_DATA_HOME/tarnix (default ~/.local/share/tarnix), created on demand.
QString user_data_dir();

// A setting's path as stored: absolute paths stand as they are, relative
// ones are taken inside the per-user data folder.
QString resolve_data_path(const QString& stored);

// Folders searched for shipped files, first match wins: $TARNIX_DATA_DIR,
// the share/tarnix folder beside the program's bin folder, the build and
// source trees' data folders for a program run from the build tree, and the
// install prefix's share/tarnix; never the current folder.
QStringList shipped_data_dirs();

// The shipped file (a relative path such as "help/index.html"), or an empty
// text when no folder holds it.
QString find_shipped_file(const QString& relative);

// The files a first run copies into the per-user folder.
QStringList seeded_files();

struct SeedResult {
  QStringList copied;   // newly placed in the per-user folder
  QStringList missing;  // neither in the per-user folder nor shipped
  QStringList failed;   // shipped, but the copy failed
};

// Copies every seeded file that the per-user folder `dir` lacks; files that
// are already there (the user's own) are never replaced.
SeedResult seed_user_data(const QString& dir);

}  // namespace tarnix::app
