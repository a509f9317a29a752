// The monitor windows of the main window, put in their places: the two strip
// charts and the URL statistics in the panel, the logs in the output area.
#pragma once

#include <ctime>

namespace tarnix {
class TrafficModel;
}
namespace tarnix::app {
struct Settings;
}

namespace tarnix::ui {

class LoadChart;
class MainWindow;
class OutputArea;
class UrlStats;

struct PanelMonitors {
  LoadChart* load = nullptr;
  LoadChart* urls = nullptr;
  UrlStats* stats = nullptr;
  OutputArea* output = nullptr;
};

// The charts sample the current network of `model`, whichever it is at the
// time, so an adapter switch needs no re-pointing.
PanelMonitors install_panel_monitors(MainWindow& window, TrafficModel& model, app::Settings& settings,
                                     std::time_t start_time);

}  // namespace tarnix::ui
