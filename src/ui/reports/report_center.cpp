#include "ui/reports/report_center.h"

#include <QDir>
#include <QMetaObject>

#include "ui/monitor/progress.h"
#include "ui/reports/report_window.h"

namespace tarnix::ui {

namespace {

class WindowProgress final : public ReportProgress {
 public:
  explicit WindowProgress(Progress* p) : p_(p) {}
  ~WindowProgress() override { progress_destroy(p_); }
  void step() override { progress_step(p_); }

 private:
  Progress* p_;
};

}  // namespace

ReportProgressFactory report_progress_windows() {
  return [](const ReportProgressPlace& s) -> std::unique_ptr<ReportProgress> {
    return std::make_unique<WindowProgress>(progress_create(s.x, s.y, s.w, s.h, s.range, s.step, s.start,
                                                            QString::fromStdString(s.title)));
  };
}

ReportCenter::ReportCenter(std::function<ReportSources()> sources)
    : sources_(std::move(sources)), dir_(QDir::tempPath() + QStringLiteral("/tarnix-XXXXXX")) {}

ReportCenter::~ReportCenter() {
  wait();
  // A window still open takes its files with it; the directory goes with
  // dir_.
  for (const QPointer<ReportWindow>& w : windows_) delete w.data();
}

void ReportCenter::wait() {
  for (std::thread& t : workers_)
    if (t.joinable()) t.join();
  workers_.clear();
}

ReportWindow* ReportCenter::start(ReportKind kind) {
  const ReportKindInfo& info = report_kind_info(kind);
  if (!dir_.isValid()) return nullptr;
  std::string error;
  // Each run has a directory of its own, so that a second report of a kind
  // never shares (or deletes) the files of one still shown.
  const std::string run = report_make_private_dir(dir_.path().toStdString(), std::string(info.base_name) + "-", &error);
  if (run.empty()) return nullptr;
  auto* window = new ReportWindow(QString::fromLatin1(info.title));
  windows_.push_back(window);
  // The window stays hidden, so nobody closes it, until the worker has
  // posted to it; only this center deletes it earlier, after wait().
  ReportWindow* target = window;
  const std::string base = run + "/" + info.base_name;
  workers_.emplace_back([kind, base, target, sources = sources_()] {
    std::string why;
    const bool ok = report_write(kind, sources, base, ReportFileMode::kPrivate, &why);
    const QString path = QString::fromStdString(base);
    if (ok)
      QMetaObject::invokeMethod(target, "report_ready", Qt::QueuedConnection, Q_ARG(QString, path));
    else
      QMetaObject::invokeMethod(target, "report_failed", Qt::QueuedConnection,
                                Q_ARG(QString, QString::fromStdString(why)));
  });
  return window;
}

}  // namespace tarnix::ui
