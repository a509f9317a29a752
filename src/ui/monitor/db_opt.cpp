#include "ui/monitor/db_opt.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/settings.h"
#include "db/db_store.h"
#include "ui/monitor/progress.h"

namespace tarnix::ui {

int db_opt_days(const QString& text) {
  const QString t = text.left(80);
  qsizetype i = 0;
  while (i < t.size() && t[i].isSpace()) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+')))
    negative = t[i++] == QLatin1Char('-');
  long long v = 0;
  for (; i < t.size() && t[i] >= QLatin1Char('0') && t[i] <= QLatin1Char('9'); ++i) {
    v = v * 10 + (t[i].unicode() - '0');
    if (v > 1000000) v = 1000000;  // far past any retention worth typing
  }
  return negative ? 0 : int(v);
}

DbOptionsDialog::DbOptionsDialog(app::Settings& settings, int startup_prune_time,
                                 std::function<void(int)> prune_now, QWidget* parent, const QString& in_use)
    : QDialog(parent), settings_(settings), startup_(startup_prune_time), prune_now_(std::move(prune_now)) {
  setObjectName(QStringLiteral("db_opt"));
  setWindowTitle(QStringLiteral("Database options"));
  setModal(false);
  auto* layout = new QVBoxLayout(this);

  auto* pruning = new QGroupBox(QStringLiteral("Pruning options"), this);
  auto* pg = new QGridLayout(pruning);
  retain_ = new QRadioButton(QStringLiteral("Retain all URLs"), pruning);
  retain_->setObjectName(QStringLiteral("17001"));
  remove_after_ = new QRadioButton(QStringLiteral("Remove after"), pruning);
  remove_after_->setObjectName(QStringLiteral("17003"));
  days_ = new QLineEdit(pruning);
  days_->setObjectName(QStringLiteral("17002"));
  pg->addWidget(retain_, 0, 0, 1, 3);
  pg->addWidget(remove_after_, 1, 0);
  pg->addWidget(days_, 1, 1);
  pg->addWidget(new QLabel(QStringLiteral("days."), pruning), 1, 2);
  layout->addWidget(pruning);

  auto* immediate = new QGroupBox(QStringLiteral("Immediate actions"), this);
  auto* ig = new QGridLayout(immediate);
  initialize_ = new QCheckBox(QStringLiteral("Initialize DB"), immediate);
  initialize_->setObjectName(QStringLiteral("17004"));
  remove_now_ = new QCheckBox(QStringLiteral("Remove after"), immediate);
  remove_now_->setObjectName(QStringLiteral("17006"));
  now_days_ = new QLineEdit(immediate);
  now_days_->setObjectName(QStringLiteral("17005"));
  ig->addWidget(initialize_, 0, 0, 1, 3);
  ig->addWidget(remove_now_, 1, 0);
  ig->addWidget(now_days_, 1, 1);
  ig->addWidget(new QLabel(QStringLiteral("days."), immediate), 1, 2);
  layout->addWidget(immediate);

  // Which database this run records into, and which the next start uses.
  auto* database = new QGroupBox(QStringLiteral("Database"), this);
  auto* dg = new QGridLayout(database);
  auto* used = new QLabel(
      in_use.isEmpty() ? QStringLiteral("In use: none") : QStringLiteral("In use: ") + in_use, database);
  used->setObjectName(QStringLiteral("dbInUse"));
  used->setWordWrap(true);
  used->setTextInteractionFlags(Qt::TextSelectableByMouse);
  db_file_ = new QRadioButton(QStringLiteral("SQLite file"), database);
  db_file_->setObjectName(QStringLiteral("dbFile"));
  db_own_server_ = new QRadioButton(QStringLiteral("PostgreSQL server of its own"), database);
  db_own_server_->setObjectName(QStringLiteral("dbOwnServer"));
  db_shared_ = new QRadioButton(QStringLiteral("PostgreSQL server:"), database);
  db_shared_->setObjectName(QStringLiteral("dbShared"));
  db_connect_ = new QLineEdit(settings_.db_connect, database);
  db_connect_->setObjectName(QStringLiteral("dbConnect"));
  db_connect_->setPlaceholderText(QStringLiteral("host=... dbname=tarnix user=..."));
  sensor_ = new QLineEdit(settings_.sensor, database);
  sensor_->setObjectName(QStringLiteral("dbSensor"));
  sensor_->setPlaceholderText(QString::fromStdString(db_sensor_name()));
  dg->addWidget(used, 0, 0, 1, 2);
  dg->addWidget(db_file_, 1, 0, 1, 2);
  dg->addWidget(db_own_server_, 2, 0, 1, 2);
  dg->addWidget(db_shared_, 3, 0);
  dg->addWidget(db_connect_, 3, 1);
  dg->addWidget(new QLabel(QStringLiteral("Sensor name:"), database), 4, 0);
  dg->addWidget(sensor_, 4, 1);
  dg->addWidget(new QLabel(QStringLiteral("A new choice takes effect at the next start."), database), 5, 0, 1,
                2);
  layout->addWidget(database);
  if (!settings_.db_connect.trimmed().isEmpty())
    db_shared_->setChecked(true);
  else if (settings_.db_server.get() != 0)
    db_own_server_->setChecked(true);
  else
    db_file_->setChecked(true);
  db_connect_->setEnabled(db_shared_->isChecked());
  connect(db_shared_, &QRadioButton::toggled, db_connect_, &QWidget::setEnabled);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &DbOptionsDialog::ok);
  connect(buttons, &QDialogButtonBox::rejected, this, &DbOptionsDialog::reject);

  connect(retain_, &QRadioButton::clicked, this, [this] {
    settings_.db_prune_time = 0;
    days_->setEnabled(false);
  });
  connect(remove_after_, &QRadioButton::clicked, this, [this] {
    days_->setEnabled(true);
    // Coming back from "Retain all", the box offers the count it had.
    const int keep = settings_.db_prune_time.get();
    if (keep > 0 || days_->text().isEmpty()) days_->setText(QString::number(keep > 0 ? keep : 28));
  });
  // Only whole days can be typed; what is still no count when it is taken
  // (an empty box) is said in the dialog and changes nothing.
  for (QLineEdit* e : {days_, now_days_}) e->setValidator(new QIntValidator(1, kDbOptMaxDays, e));
  connect(days_, &QLineEdit::editingFinished, this, &DbOptionsDialog::commit_retention);
  connect(remove_now_, &QCheckBox::toggled, now_days_, &QWidget::setEnabled);
  connect(now_days_, &QLineEdit::textChanged, this, [this](const QString& t) {
    if (remove_now_->isChecked()) immediate_days_ = db_opt_days(t);
  });
  problem_ = new QLabel(this);
  problem_->setObjectName(QStringLiteral("dbOptProblem"));
  problem_->setWordWrap(true);
  problem_->setStyleSheet(QStringLiteral("color: #b00000"));
  layout->insertWidget(layout->count() - 1, problem_);

  initialize_->setEnabled(false);
  now_days_->setEnabled(false);
  remove_now_->setChecked(false);
  const int keep = settings_.db_prune_time.get();
  if (keep != 0) {
    remove_after_->setChecked(true);
    days_->setEnabled(true);
    days_->setText(QString::number(keep));
  } else {
    retain_->setChecked(true);
    days_->setEnabled(false);
  }
}

bool db_opt_valid_days(const QString& text, int& days) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (!ok || v < 1 || v > kDbOptMaxDays) return false;
  days = v;
  return true;
}

bool DbOptionsDialog::commit_retention() {
  if (!remove_after_->isChecked()) {
    settings_.db_prune_time = 0;
    return true;
  }
  int v = 0;
  if (!db_opt_valid_days(days_->text(), v)) {
    say_problem(
        QStringLiteral("\"Remove after\" needs a whole number of days from 1 to %1.").arg(kDbOptMaxDays));
    return false;
  }
  settings_.db_prune_time = v;
  days_->setText(QString::number(v));
  problem_->clear();
  return true;
}

void DbOptionsDialog::say_problem(const QString& text) {
  problem_->setText(text);
  adjustSize();  // room for the line without squeezing the others
}

QString DbOptionsDialog::problem_text() const {
  return problem_->text();
}

void DbOptionsDialog::commit_database() {
  // A shared server without its connection string would be no choice at all.
  const QString conninfo = db_connect_->text().trimmed();
  settings_.db_connect = db_shared_->isChecked() ? conninfo : QString();
  settings_.db_server = db_own_server_->isChecked() ? 1 : 0;
  settings_.sensor = sensor_->text().trimmed();
}

void DbOptionsDialog::ok() {
  // A count typed and confirmed with OK at once never lost its focus.
  if (!commit_retention()) return;
  int days = 0;
  if (remove_now_->isChecked() && !db_opt_valid_days(now_days_->text(), days)) {
    say_problem(QStringLiteral("The immediate removal needs a whole number of days from 1 to %1.")
                    .arg(kDbOptMaxDays));
    return;
  }
  commit_database();
  if (days != 0 && prune_now_) prune_now_(days);
  hide();
  deleteLater();
}

void DbOptionsDialog::reject() {
  settings_.db_prune_time = startup_;
  hide();
  deleteLater();
}

void DbOptionsDialog::closeEvent(QCloseEvent* e) {
  // The frame's close keeps what was set (a count that is none keeps the
  // one before), without the immediate removal.
  commit_retention();
  commit_database();
  e->accept();
  deleteLater();
}

bool PruneRunner::start(int days, std::function<void(std::int64_t)> done) {
  if (running_.exchange(true)) return false;
  if (thread_.joinable()) thread_.join();
  TimestampRecord cutoff;
  db_cutoff(days, &cutoff);
  Progress* bar = progress_create(kProgressX, kProgressY, kProgressW, kProgressH, 1, 1, 0,
                                  QStringLiteral("Removing old URLs"));
  thread_ = std::thread([this, cutoff, bar, done = std::move(done)] {
    std::int64_t removed = 0;
    if (auto session = db_open_session(path_)) {
      bool ranged = false;
      removed = db_prune_in_steps(*session, cutoff, [&](int, int total) {
        if (!ranged) {
          progress_set_range(bar, total);
          ranged = true;
        }
        progress_step(bar);
      });
    }
    progress_destroy(bar);
    if (done) done(removed);
    running_ = false;
  });
  return true;
}

void PruneRunner::wait() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace tarnix::ui
