// Where Tarnix keeps its per-user files, for every program that needs it.
#pragma once

#include <string>

namespace tarnix {

// $XDG_DATA_HOME/tarnix, or ~/.local/share/tarnix. A relative XDG_DATA_HOME
// is ignored, as the XDG rules ask. Nothing is created here.
std::string user_data_dir();

}  // namespace tarnix
