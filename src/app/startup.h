// The program's start-up and shut-down sequences, each step behind an
// interface so that the order, the messages and the exit status can be
// checked with fakes in place of the capture library and the database.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "app/adapter_rule.h"
#include "app/messages.h"
#include "capture/adapter.h"

namespace tarnix::app {

inline constexpr int kStartupFailed = -1;

// Start-up's text that this sequence shows itself.
inline const QString kMsgTreeEmpty = QStringLiteral("Protocol Definition tree empty,\nquitting.");

// The steps in their order. A step that returns false has already shown its
// own message unless the sequence shows one for it (the protocol tree).
class StartupSteps {
 public:
  virtual ~StartupSteps() = default;
  virtual void read_settings() = 0;
  // Makes the engine (its traffic model with it), then starts and connects
  // to the database with its retries; shows "Couldn't start database" /
  // "Failed to connect to DB server" itself.
  virtual bool start_database() = 0;
  // Shows its own notices, never stops.
  virtual void find_local_address() = 0;
  virtual void read_local_mask() = 0;
  virtual void record_start_time() = 0;
  // Chooses and opens the adapter (the dialog on failure); false when no
  // adapter could be opened ("Selection failed,\nquiting." already shown).
  virtual bool open_adapter() = 0;
  virtual void set_up_names_and_alarms() = 0;
  // False when the protocol tree is empty.
  virtual bool parse_protocols() = 0;
  virtual void load_alarms() = 0;
  // Creates and shows the main window (the map reads its font, focus file
  // and starts the threads); returns 0, or the exit status after its own
  // message when it cannot.
  virtual int create_main_window() = 0;
};

// Runs the steps; 0 when the program may enter its message loop, else the
// exit status.
int run_startup(StartupSteps& steps, Messenger& messenger);

// The shut-down steps, in their order.
class ShutdownSteps {
 public:
  virtual ~ShutdownSteps() = default;
  // Sets the stop signal and waits for the capture thread, so no capture
  // step is running when the handle is closed.
  virtual void stop_capture() = 0;
  virtual void close_capture() = 0;
  virtual void destroy_windows() = 0;
  virtual void write_focus_file() = 0;
  virtual void prune_database() = 0;
  virtual void disconnect_database() = 0;
  virtual void save_settings() = 0;
};

void run_shutdown(ShutdownSteps& steps);

// The start-up choice of the adapter, showing each message when it arises
// (so the notice comes before the dialog), with the capture library's reason
// for a failed open as the detail of the message that follows it.
struct AdapterChoice {
  int index = 0;
  std::unique_ptr<PacketSource> source;  // null: start-up ends
  Net* net = nullptr;
};
using OpenFn = std::function<std::unique_ptr<PacketSource>(int index, QString& reason)>;
using ChooseFn = std::function<int(int index)>;
AdapterChoice choose_startup_adapter(TrafficModel& model, const std::vector<Device>& devices, int setting,
                                     const OpenFn& open, const ChooseFn& choose, Messenger& messenger);

// The detail shown under an open failure: the library's reason, and for a
// permission problem how to grant the capture rights.
QString open_failure_detail(const QString& reason, const QString& program_path);
bool is_permission_problem(const QString& reason);

Message adapter_message(const AdapterMessage& m);

}  // namespace tarnix::app
