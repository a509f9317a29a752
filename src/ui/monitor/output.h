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
  QString client_address, server_address;  // dotted; empty when unknown
  std::int32_t url_id = 0;
};

// The row of a recorded request: the record names ("Client unresolved" /
// "Server unresolved" when the recorder had no host for it).
RequestRow request_row(const RecordedRequest& r);

class RequestLogModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;

  // At the limit the oldest row goes first.
  void append(RequestRow row);
  const RequestRow& row(int i) const { return rows_[std::size_t(i)]; }

 private:
  std::deque<RequestRow> rows_;
};

class AlarmLogModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;

  // At the limit the second row goes: the first alarm of the run stays in
  // view as the one that started it all.
  void append(const QString& condition, const QString& time);

 private:
  struct Row {
    QString condition, time;
  };
  std::deque<Row> rows_;
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
