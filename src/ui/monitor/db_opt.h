// The "Database options" dialog: how long URL accesses are kept, and an
// immediate removal of old ones. One modeless instance.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tarnix::app {
struct Settings;
}

namespace tarnix::ui {

// The leading decimal number of at most the first 80 characters of a day
// count as typed (blanks and a sign allowed before it, 0 without digits),
// negative counting as 0.
int db_opt_days(const QString& text);

constexpr int kDbOptMaxDays = 1000000;
// A day count as the boxes take it: a whole number from 1 to kDbOptMaxDays
// and nothing else; false (days unchanged) otherwise.
bool db_opt_valid_days(const QString& text, int& days);

class DbOptionsDialog final : public QDialog {
  Q_OBJECT
 public:
  // `startup_prune_time` is what Cancel goes back to; `prune_now(days)` runs
  // the immediate removal.
  // `in_use` tells which database this run records into.
  DbOptionsDialog(app::Settings& settings, int startup_prune_time, std::function<void(int)> prune_now,
                  QWidget* parent = nullptr, const QString& in_use = {});

  int immediate_days() const { return immediate_days_; }
  // What is wrong with a count typed; empty when nothing.
  QString problem_text() const;

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  // False (the setting unchanged, the problem shown) when "Remove after" is
  // chosen without a count of days.
  bool commit_retention();
  // The database choice goes to the settings, for the next start.
  void commit_database();
  void ok();
  void say_problem(const QString& text);

  app::Settings& settings_;
  int startup_;
  std::function<void(int)> prune_now_;
  QRadioButton* retain_;
  QRadioButton* remove_after_;
  QLineEdit* days_;
  QCheckBox* initialize_;
  QCheckBox* remove_now_;
  QLineEdit* now_days_;
  int immediate_days_ = 0;
  QRadioButton* db_file_;
  QRadioButton* db_own_server_;
  QRadioButton* db_shared_;
  QLineEdit* db_connect_;
  QLineEdit* sensor_;
  QLabel* problem_;
};

// Removes old URL accesses on a thread of its own, on a database connection
// of its own, with the progress window up. Requests recorded meanwhile wait
// at most one day's step for the database and are never lost.
class PruneRunner {
 public:
  explicit PruneRunner(std::string db_path) : path_(std::move(db_path)) {}
  ~PruneRunner() { wait(); }
  PruneRunner(const PruneRunner&) = delete;
  PruneRunner& operator=(const PruneRunner&) = delete;

  // False while an earlier removal is still running. `done(removed)` runs on
  // the prune thread when it has finished.
  bool start(int days, std::function<void(std::int64_t)> done = {});
  bool running() const { return running_.load(); }
  void wait();

 private:
  std::string path_;
  std::thread thread_;
  std::atomic<bool> running_{false};
};

}  // namespace tarnix::ui
