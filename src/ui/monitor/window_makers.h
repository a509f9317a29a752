// Makers of the monitor windows, one family per file; WindowOpener opens them.
#pragma once

#include <cstdint>

#include "ui/monitor/window_opener.h"

namespace tarnix::ui {

ListWindow* make_top_window(WindowOpener& m, TopList which);
ListWindow* make_host_list(WindowOpener& m);
ListWindow* make_host_watch(WindowOpener& m, const Node* host);
ListWindow* make_url_host_window(WindowOpener& m, std::int32_t host_id, bool served);
ListWindow* make_url_accesses(WindowOpener& m, std::int32_t url_id, const QString& title);

// Host rows' commands (15000-15002 from `first`): traffic, accessed URLs,
// served URLs of a host of the database.
void add_host_commands(QMenu& menu, int first, const QString& who, bool enabled = true);
bool run_host_command(WindowOpener& m, int id, int first, std::int32_t host_id,
                      const QString& inactive_title = app::kNoticeTitle);
// The commands for a host of the traffic model, kNodeCommands ids from
// `first`: its host watch, its accessed or served URLs, and a new alarm for
// it (where the opener can make alarms).
inline constexpr int kNodeCommands = 4;
void add_node_commands(QMenu& menu, const WindowOpener& m, int first, const QString& who);
bool run_node_command(WindowOpener& m, int id, int first, const Node* host);

}  // namespace tarnix::ui

namespace tarnix::ui {

// One database read at a time per window: a refresh asked for while one
// runs is made once it has ended, so rows are never fetched twice.
class ReadGate {
 public:
  // False (and the refresh remembered) while a read runs.
  bool enter() {
    if (busy_) {
      again_ = true;
      return false;
    }
    busy_ = true;
    return true;
  }
  // True when a refresh was asked for meanwhile.
  bool leave() {
    busy_ = false;
    const bool again = again_;
    again_ = false;
    return again;
  }

 private:
  bool busy_ = false;
  bool again_ = false;
};

}  // namespace tarnix::ui
