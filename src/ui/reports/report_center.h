// Starts the reports of the "Traffic Reports" menu: each on a worker thread
// of its own, its files in a directory private to the run inside one made
// for this process under the temporary location, its window shown once the
// files are complete. Everything left is removed when the center goes.
#pragma once

#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "reports/reports.h"

namespace tarnix::ui {

class ReportWindow;

class ReportCenter {
 public:
  // `sources` is asked on the GUI thread, at each start, for what the
  // report reads.
  explicit ReportCenter(std::function<ReportSources()> sources);
  ~ReportCenter();
  ReportCenter(const ReportCenter&) = delete;
  ReportCenter& operator=(const ReportCenter&) = delete;

  // The hidden window that shows the report once it is written; null when
  // no private directory could be made.
  ReportWindow* start(ReportKind kind);
  // Waits for every report still being written (tests, shut-down).
  void wait();
  QString directory() const { return dir_.path(); }

 private:
  std::function<ReportSources()> sources_;
  QTemporaryDir dir_;
  std::vector<std::thread> workers_;
  std::vector<QPointer<ReportWindow>> windows_;
};

// Progress windows for the generators.
ReportProgressFactory report_progress_windows();

}  // namespace tarnix::ui
