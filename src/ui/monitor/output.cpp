#include "ui/monitor/output.h"

#include <QSortFilterProxyModel>

#include <QApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMouseEvent>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "alarms/alarm.h"
#include "app/settings.h"
#include "ui/monitor/popup.h"

namespace tarnix::ui {
namespace {

constexpr int kEdgeClip = 30;  // the splitter stays this far from either edge

QString ctime_text(std::uint32_t t) {
  return QString::fromStdString(alarm_time_text(t));
}

QString host_text(const std::string& name, const char* unresolved) {
  return name.empty() ? QString::fromLatin1(unresolved) : QString::fromStdString(name);
}

QTreeView* report_view(const QString& name, QAbstractItemModel* model, QWidget* parent) {
  auto* v = new QTreeView(parent);
  v->setObjectName(name);
  // Sorted on a header click; until then the log reads in arrival order.
  auto* sorted = new QSortFilterProxyModel(v);
  sorted->setSourceModel(model);
  v->setModel(sorted);
  v->header()->setSortIndicator(-1, Qt::AscendingOrder);
  v->setSortingEnabled(true);
  v->setTextElideMode(Qt::ElideMiddle);
  v->setRootIsDecorated(false);
  v->setUniformRowHeights(true);
  v->setItemsExpandable(false);
  v->setSelectionMode(QAbstractItemView::SingleSelection);
  v->setSelectionBehavior(QAbstractItemView::SelectRows);
  v->setAllColumnsShowFocus(true);
  v->header()->setStretchLastSection(false);
  return v;
}

}  // namespace

RequestRow request_row(const RecordedRequest& r) {
  RequestRow row;
  row.time = ctime_text(std::uint32_t(r.time));
  row.client = host_text(r.client_name, "Client unresolved");
  row.server = host_text(r.server_name, "Server unresolved");
  row.url = QString::fromStdString(r.url);
  row.client_address = r.client;
  row.server_address = r.server;
  row.url_id = r.url_id;
  return row;
}

RequestLogModel::RequestLogModel(QObject* parent)
    : LogModel({QStringLiteral("Time"), QStringLiteral("Source IP"), QStringLiteral("Dest IP"),
                QStringLiteral("URL Requested")},
               parent) {}

QVariant RequestLogModel::cell(const RequestRow& r, int column) const {
  switch (column) {
    case 0:
      return r.time;
    case 1:
      return r.client;
    case 2:
      return r.server;
    case 3:
      return r.url;
  }
  return {};
}

AlarmLogModel::AlarmLogModel(QObject* parent)
    : LogModel({QStringLiteral("Alarm Condition"), QStringLiteral("Time")}, parent) {}

QVariant AlarmLogModel::cell(const AlarmRow& r, int column) const {
  return column == 0 ? r.condition : r.time;
}

int output_split_percent(int x, int w) {
  if (w <= 0) return 66;
  return int(double(x) / double(w) * 100.0);
}

OutputArea::OutputArea(app::Settings& settings, QWidget* parent) : QWidget(parent), settings_(settings) {
  setObjectName(QStringLiteral("output"));
  setCursor(Qt::SplitHCursor);
  const int split = settings_.place(QStringLiteral("output split"));
  // A setting edited by hand to 0 or past 100 would hide a pane for good.
  ratio_ = (split > 0 && split < 100 ? split : 66) / 100.0;

  request_model_ = new RequestLogModel(this);
  alarm_model_ = new AlarmLogModel(this);
  requests_ = report_view(QStringLiteral("urloutput"), request_model_, this);
  alarms_ = report_view(QStringLiteral("alarmoutput"), alarm_model_, this);
  const auto width_of = [&](const QString& key) {
    const int w = settings_.place(key);
    return w > 0 ? w : 200;
  };
  for (int i = 0; i < 4; ++i) requests_->setColumnWidth(i, width_of(QStringLiteral("output url%1").arg(i)));
  for (int i = 0; i < 2; ++i) alarms_->setColumnWidth(i, width_of(QStringLiteral("output alarm%1").arg(i)));

  requests_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(requests_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const auto* sorted = static_cast<const QSortFilterProxyModel*>(requests_->model());
    const QModelIndex i = sorted->mapToSource(requests_->indexAt(at));
    if (!i.isValid()) return;
    if (QMenu* m = request_menu(i.row())) m->popup(requests_->viewport()->mapToGlobal(at));
  });

  bar_ = new QWidget(this);
  bar_->setObjectName(QStringLiteral("splitter_bar"));
  bar_->setAutoFillBackground(true);
  QPalette p = bar_->palette();
  p.setColor(QPalette::Window, Qt::black);
  bar_->setPalette(p);
  bar_->hide();
  browse_ = [this](const QString& url) { open_url_or_say(url, this); };
  beep_ = [] { QApplication::beep(); };
}

OutputArea::~OutputArea() {
  store_settings();
}

void OutputArea::store_settings() {
  for (int i = 0; i < 4; ++i)
    settings_.set_place(QStringLiteral("output url%1").arg(i), requests_->columnWidth(i));
  for (int i = 0; i < 2; ++i)
    settings_.set_place(QStringLiteral("output alarm%1").arg(i), alarms_->columnWidth(i));
}

void OutputArea::add_request(RequestRow row) {
  QMetaObject::invokeMethod(
      this,
      [this, row = std::move(row)]() mutable {
        request_model_->append(std::move(row));
        requests_->scrollToBottom();
      },
      Qt::AutoConnection);
}

void OutputArea::add_alarm(const QString& condition, std::uint32_t time) {
  QMetaObject::invokeMethod(
      this,
      [this, condition, text = ctime_text(time)] {
        if (beep_) beep_();
        alarm_model_->append(condition, text);
        alarms_->scrollToBottom();
      },
      Qt::AutoConnection);
}

QMenu* OutputArea::request_menu(int row) {
  if (row < 0 || row >= request_model_->rowCount()) return nullptr;
  delete menu_;
  menu_ = new QMenu(this);
  menu_->setObjectName(QStringLiteral("OUTPUTPOPUPMENU"));
  const RequestRow r = request_model_->row(row);
  const struct {
    int id;
    const char* label;
  } items[] = {
      {kWatchSourceTraffic, "Watch Source Traffic"},
      {kWatchSourceAccessed, "Watch Source Accessed URLs"},
      {kWatchSourceServed, "Watch Source Served URLs"},
      {kWatchDestTraffic, "Watch Destination Traffic"},
      {kWatchDestAccessed, "Watch Destination Accessed URLs"},
      {kWatchDestServed, "Watch Destination Served URLs"},
      {kWatchUrlAccesses, "Watch URL Accesses"},
      {kBrowseUrls, "Browse URLs"},
  };
  for (const auto& it : items) {
    QAction* a = menu_->addAction(QString::fromLatin1(it.label));
    a->setData(it.id);
    if (it.id == kBrowseUrls) {
      a->setEnabled(!r.url.isEmpty());
      continue;
    }
    const bool known = it.id == kWatchUrlAccesses  ? r.url_id != 0
                       : it.id < kWatchDestTraffic ? is_ip_address(r.client_address)
                                                   : is_ip_address(r.server_address);
    a->setEnabled(watch_ && known);
    connect(a, &QAction::triggered, this, [this, id = it.id, r] {
      if (watch_) watch_(id, r);
    });
  }
  // The row keeps its URL's text: the browser opens without a round trip
  // through the database on this thread.
  connect(menu_->actions().last(), &QAction::triggered, this, [this, url = r.url] {
    if (browse_) browse_(url);
  });
  return menu_;
}

void OutputArea::place(int x) {
  split_x_ = x;
  const int h = height();
  requests_->setGeometry(0, 0, std::max(x - 1, 0), h);
  alarms_->setGeometry(x + 1, 0, std::max(width() - x - 3, 0), h);
}

void OutputArea::resizeEvent(QResizeEvent*) {
  place(int(std::trunc(width() * ratio_)));
}

int OutputArea::clip(int x) const {
  if (width() <= 2 * kEdgeClip) return width() / 2;
  return std::clamp(x, kEdgeClip, width() - kEdgeClip);
}

void OutputArea::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  dragging_ = true;
  const int x = clip(int(e->position().x()));
  bar_->setGeometry(x - 1, 0, 3, height());
  bar_->show();
  bar_->raise();
}

void OutputArea::mouseMoveEvent(QMouseEvent* e) {
  if (!dragging_) return;
  bar_->move(clip(int(e->position().x())) - 1, 0);
}

void OutputArea::mouseReleaseEvent(QMouseEvent* e) {
  if (!dragging_ || e->button() != Qt::LeftButton) return;
  dragging_ = false;
  bar_->hide();
  const int x = clip(int(e->position().x()));
  place(x);
  if (width() > 0) ratio_ = double(x) / double(width());
  settings_.set_place(QStringLiteral("output split"), output_split_percent(x, width()));
}

void OutputAlarmLog::add_alarm(const Alarm& alarm, std::uint32_t time) {
  area_->add_alarm(QString::fromStdString(alarm.notify), time);
}

void OutputRequestListener::on_request_recorded(const RecordedRequest& request) {
  area_->add_request(request_row(request));
}

}  // namespace tarnix::ui
