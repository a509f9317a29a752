// Where Tarnix keeps its per-user files.
#pragma once

#include <QString>

namespace tarnix::app {

// $XDG_DATA_HOME/tarnix (default ~/.local/share/tarnix), created on demand.
QString user_data_dir();

// A setting's path as stored: absolute paths stand as they are, relative
// ones are taken inside the per-user data folder.
QString resolve_data_path(const QString& stored);

}  // namespace tarnix::app
