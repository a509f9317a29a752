// The four reports (hosts, statistics, alarms, URLs), each written in the
// writer's four forms under one base path. A generator runs on a worker
// thread of its own; it reads the traffic model under the network's lock
// only while it copies what it writes, and the database through a session
// of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reports/report_writer.h"

namespace tarnix {

struct Net;
struct AlarmState;
class HostCache;

enum class ReportKind { kHost, kStats, kAlarms, kUrls };

struct ReportKindInfo {
  ReportKind kind;
  const char* base_name;  // "hostrep", ...
  const char* title;      // "Host Report", ...
  const char* word;       // as the headless program names it: "host", ...
};
const ReportKindInfo& report_kind_info(ReportKind kind);
inline constexpr ReportKind kReportKinds[] = {ReportKind::kHost, ReportKind::kStats, ReportKind::kAlarms,
                                              ReportKind::kUrls};

// Reads "host,stats,alarms,urls" or "all" (any order, no repeats kept);
// false with the offending word in *bad.
bool report_kinds_parse(const std::string& text, std::vector<ReportKind>& out, std::string* bad);

// A progress window as the generators see it; the desktop adapts its own.
struct ReportProgressPlace {
  int x = 0, y = 0, w = 0, h = 0;
  int range = 0, step = 1, start = 0;
  std::string title;
};
class ReportProgress {
 public:
  virtual ~ReportProgress() = default;
  virtual void step() = 0;
};
using ReportProgressFactory = std::function<std::unique_ptr<ReportProgress>(const ReportProgressPlace&)>;

struct ReportSources {
  Net* net = nullptr;                // the current network; null: no traffic sections
  AlarmState* alarms = nullptr;      // null: no alarms
  std::string db_file;               // the request database; empty: no database sections
  const HostCache* names = nullptr;  // answers host look-ups before the database
  std::int64_t started = 0;          // when recording started, seconds since the epoch
  std::function<std::int64_t()> clock;  // "now"; the wall clock when empty
  ReportProgressFactory progress;       // empty: no progress shown
};

// The product line of every report's footer.
std::string report_product_line();

// The standard 24-character calendar form of a moment, with its newline.
std::string report_time_text(std::int64_t seconds);

// Writes one report under `base` (+ ".txt", ".rtf", ".html", ".csv"). False,
// with one line in *error, when its files cannot be created or written.
bool report_write(ReportKind kind, const ReportSources& sources, const std::string& base, ReportFileMode mode,
                  std::string* error);

// A directory of its own (mode 0700) inside `parent`, named prefix + six
// random characters; empty, with the reason in *error, on failure.
std::string report_make_private_dir(const std::string& parent, const std::string& prefix, std::string* error);
// Removes a report's four files and then its directory when that is empty.
void report_remove_files(const std::string& base);

}  // namespace tarnix
