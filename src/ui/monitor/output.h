// The output area along the foot of the main window: the request log (left)
// and the alarm log (right) with a splitter between them.
//
// Both logs are appended to from other threads (the recorder's store thread,
// the alarm thread); the rows are handed to the user-interface thread by
// queued calls, so those threads never wait for the window.
#pragma once

#include <QAbstractTableModel>
#include <QMenu>
#include <QString>
#include <QStringList>
#include <QTreeView>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>

#include "alarms/actions.h"
#include "db/recorder.h"

namespace tarnix::app {
struct Settings;
}

namespace tarnix::ui {

inline constexpr int kLogRows = 200;

// One request as the log keeps it: the texts shown and what the pop-up menu
// needs to find the client, the server and the URL again.
struct RequestRow {
  QString time, client, server, url;
  NetAddress client_address, server_address;  // for the watch commands  // for the watch commands
  std::int32_t url_id = 0;
};

// The row of a recorded request: the record names ("Client unresolved" /
// "Server unresolved" when the recorder had no host for it).
RequestRow request_row(const RecordedRequest& r);

// A log of at most kLogRows rows, shown as texts; `append` says which row
// goes at the limit.
template <class Row>
class LogModel : public QAbstractTableModel {
 public:
  explicit LogModel(QStringList heads, QObject* parent)
      : QAbstractTableModel(parent), heads_(std::move(heads)) {}
  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : int(rows_.size());
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : int(heads_.size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
    return cell(rows_[std::size_t(index.row())], index.column());
  }
  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    if (o != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= heads_.size()) return {};
    return heads_[section];
  }
  const Row& row(int i) const { return rows_[std::size_t(i)]; }

 protected:
  virtual QVariant cell(const Row& row, int column) const = 0;
  void append(Row row, int drop_at_limit) {
    if (rows_.size() >= std::size_t(kLogRows)) {
      beginRemoveRows({}, drop_at_limit, drop_at_limit);
      rows_.erase(rows_.begin() + drop_at_limit);
      endRemoveRows();
    }
    const int n = int(rows_.size());
    beginInsertRows({}, n, n);
    rows_.push_back(std::move(row));
    endInsertRows();
  }

 private:
  const QStringList heads_;
  std::deque<Row> rows_;
};

class RequestLogModel final : public LogModel<RequestRow> {
 public:
  explicit RequestLogModel(QObject* parent = nullptr);
  // At the limit the oldest row goes first.
  void append(RequestRow row) { LogModel::append(std::move(row), 0); }

 private:
  QVariant cell(const RequestRow& r, int column) const override;
};

struct AlarmRow {
  QString condition, time;
};

class AlarmLogModel final : public LogModel<AlarmRow> {
 public:
  explicit AlarmLogModel(QObject* parent = nullptr);
  // At the limit the second row goes: the first alarm of the run stays in
  // view as the one that started it all.
  void append(const QString& condition, const QString& time) { LogModel::append({condition, time}, 1); }

 private:
  QVariant cell(const AlarmRow& r, int column) const override;
};

// The split ratio's percent, as the setting stores it, for a splitter at x
// in a container w pixels wide.
int output_split_percent(int x, int w);

class OutputArea final : public QWidget {  // "output"
  Q_OBJECT
 public:
  explicit OutputArea(app::Settings& settings, QWidget* parent = nullptr);
  ~OutputArea() override;

  // Any thread.
  void add_request(RequestRow row);
  void add_alarm(const QString& condition, std::uint32_t time);

  QTreeView* request_view() const { return requests_; }
  QTreeView* alarm_view() const { return alarms_; }
  RequestLogModel* request_model() const { return request_model_; }
  AlarmLogModel* alarm_model() const { return alarm_model_; }
  int splitter_x() const { return split_x_; }
  bool dragging() const { return dragging_; }

  // The request log's pop-up menu for row `row` (null over no row). Its
  // actions carry the command ids as data.
  QMenu* request_menu(int row);
  // What "Browse URLs" does with the URL; by default the desktop's browser.
  void set_browser(std::function<void(const QString&)> open) { browse_ = std::move(open); }
  // What the watch commands do with the row (command id, row); without it
  // they are greyed.
  void set_watcher(std::function<void(int, const RequestRow&)> watch) { watch_ = std::move(watch); }
  // Stores the column widths (the splitter is stored as it moves).
  void store_settings();
  // The beep of a new alarm; by default the desktop's.
  void set_beeper(std::function<void()> beep) { beep_ = std::move(beep); }

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  void place(int x);
  int clip(int x) const;

  app::Settings& settings_;
  RequestLogModel* request_model_;
  AlarmLogModel* alarm_model_;
  QTreeView* requests_;
  QTreeView* alarms_;
  QWidget* bar_;  // the line that follows the mouse while dragging
  QMenu* menu_ = nullptr;
  double ratio_ = 0.66;
  int split_x_ = 0;
  bool dragging_ = false;
  std::function<void(const QString&)> browse_;
  std::function<void(int, const RequestRow&)> watch_;
  std::function<void()> beep_;
};

// The alarm log of the desktop program (alarm thread).
class OutputAlarmLog final : public AlarmLog {
 public:
  explicit OutputAlarmLog(OutputArea* area) : area_(area) {}
  void add_alarm(const Alarm& alarm, std::uint32_t time) override;

 private:
  OutputArea* area_;
};

// Every recorded request into the request log (store thread).
class OutputRequestListener final : public RequestListener {
 public:
  explicit OutputRequestListener(OutputArea* area) : area_(area) {}
  void on_request_recorded(const RecordedRequest& request) override;

 private:
  OutputArea* area_;
};

// Pop-up menu command ids of the request log.
enum OutputCommand : int {
  kWatchSourceTraffic = 15000,
  kWatchSourceAccessed = 15001,
  kWatchSourceServed = 15002,
  kWatchDestTraffic = 15003,
  kWatchDestAccessed = 15004,
  kWatchDestServed = 15005,
  kWatchUrlAccesses = 15006,
  kBrowseUrls = 15007,
};

}  // namespace tarnix::ui
