// The headless program's steps around its engine session: what is made ready
// before it (protocols, user, focus, the opened source), where its frames
// come from, and what is told after it (the summary, the reports, the exit
// status).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/adapter.h"
#include "capture/bindings.h"
#include "capture/focus.h"
#include "capture/focus_file.h"
#include "capture/source.h"
#include "cli/options.h"
#include "cli/summary.h"
#include "db/db_util.h"
#include "os/rights.h"
#include "pdl/protocol_tree.h"
#include "session/session.h"

namespace tarnix::cli {

// Returned by a step when the run goes on.
inline constexpr int kGoOn = -1;

// "tarnix-cli: message" on standard error; 1.
int fail(const std::string& message);

int list_interfaces(bool json);
DbConfig db_config(const Options& opt);

// What a run has ready before its engine is made.
struct Run {
  PdlResult parsed;
  std::unique_ptr<PdlClassifier> classifier;
  FocusStore foci;
  SharedFocus focus;
  bool live = false;
  std::vector<Device> devices;
  int device_index = -1;
  // Opened while the capture rights were held; becomes `source`.
  std::unique_ptr<PacketSource> opened;
  std::unique_ptr<PacketSource> source;
  Net* net = nullptr;
  // The source, once the capture loop owns it.
  const PacketSource* reading = nullptr;
  // Told when a live adapter goes down or comes back, after the line on
  // standard error (capture thread).
  std::function<void(const std::string&, bool)> reopen_notice;
};

// The protocols, the user to become, the alarm edits (which end the run),
// the focus and the source; kGoOn, or the exit status.
int prepare_run(const Options& opt, const os::StartRights& rights, Run& run);

SessionOptions session_options(const Options& opt, Run& run);

// The local network, the source and the network it feeds, in the session's
// model; kGoOn, or the exit status after its line.
int place_source(const Options& opt, Run& run, EngineSession& session);

// After the session has drained: prints the summary, writes the reports;
// the exit status.
int finish_run(const Options& opt, Run& run, EngineSession& session, std::int64_t started,
               const std::string& end_error);

}  // namespace tarnix::cli
