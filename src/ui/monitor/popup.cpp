#include "ui/monitor/popup.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHeaderView>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "app/settings.h"
#include "ui/monitor/list_format.h"

namespace tarnix::ui {

bool open_url_or_say(const QString& url, QWidget* parent, const std::function<bool(const QUrl&)>& open) {
  const QUrl target(url);
  if (open ? open(target) : QDesktopServices::openUrl(target)) return true;
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Browse URL"),
                              QStringLiteral("No web browser could be started for this URL."),
                              QMessageBox::Ok, parent);
  box->setObjectName(QStringLiteral("no browser"));
  box->setInformativeText(QStringLiteral("Choose a default browser for the desktop (for example with "
                                         "\"xdg-settings set default-web-browser\"), or copy the URL:\n%1")
                              .arg(url));
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
  return false;
}

namespace {

QString& state_file() {
  static QString path;
  return path;
}

}  // namespace

void set_window_state_file(const QString& path) {
  state_file() = path;
}

std::unique_ptr<QSettings> window_state_store() {
  if (!state_file().isEmpty()) return std::make_unique<QSettings>(state_file(), QSettings::IniFormat);
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                     QStringLiteral("Halvard Software"), QStringLiteral("Tarnix-windows"));
}

namespace {

// A URL column grows no wider than this when fitted; the rest is elided in
// the middle and the tooltip holds the whole text.
constexpr int kMaxFittedColumn = 420;
constexpr int kShownRows = 10;

std::vector<QPointer<ListWindow>>& registry() {
  static std::vector<QPointer<ListWindow>> r;
  return r;
}

const QString kUpdating = QStringLiteral(" ** UPDATING **     ");
const QString kUpdatingTail = QStringLiteral(" ** UPDATING **    ");
constexpr int kTail = 19;

}  // namespace

void popup_register(ListWindow* w) {
  registry().emplace_back(w);
}

void popup_refresh_all() {
  auto& r = registry();
  std::erase_if(r, [](const QPointer<ListWindow>& w) { return w.isNull(); });
  // A window may close itself (a host watch), so walk a copy.
  const std::vector<QPointer<ListWindow>> open = r;
  for (const QPointer<ListWindow>& w : open)
    if (w) w->clear_and_refresh();
  std::erase_if(r, [](const QPointer<ListWindow>& w) { return w.isNull(); });
}

int popup_count() {
  auto& r = registry();
  std::erase_if(r, [](const QPointer<ListWindow>& w) { return w.isNull(); });
  return static_cast<int>(r.size());
}

ListWindow::ListWindow(app::Settings& settings, Design design, QWidget* parent)
    : QWidget(parent, Qt::Window), settings_(settings), design_(std::move(design)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(design_.object_name);
  base_ = design_.title;
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  toolbar_ = new QToolBar(this);
  toolbar_->setIconSize(QSize(16, 16));
  QAction* force =
      toolbar_->addAction(style()->standardIcon(QStyle::SP_BrowserReload), QStringLiteral("Force update"));
  force->setObjectName(QStringLiteral("force_update"));
  force->setToolTip(QStringLiteral("Force update"));
  QAction* close_action = toolbar_->addAction(style()->standardIcon(QStyle::SP_DialogCloseButton),
                                              QStringLiteral("Close window"));
  close_action->setObjectName(QStringLiteral("close_window"));
  close_action->setToolTip(QStringLiteral("Close window"));
  connect(force, &QAction::triggered, this, [this] { force_update(); });
  connect(close_action, &QAction::triggered, this, [this] { close(); });
  layout->addWidget(toolbar_);

  model_ = new ListModel(design_.columns, this);
  proxy_ = new QSortFilterProxyModel(this);
  proxy_->setSourceModel(model_);
  proxy_->setSortRole(ListModel::kSortRole);
  proxy_->setFilterKeyColumn(-1);
  proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
  proxy_->setDynamicSortFilter(true);
  if (design_.filter) {
    filter_ = new QLineEdit(this);
    filter_->setObjectName(QStringLiteral("filter"));
    filter_->setPlaceholderText(QStringLiteral("Filter (any column)"));
    filter_->setClearButtonEnabled(true);
    filter_->setToolTip(QStringLiteral("Shows only the rows with this text in a column"));
    connect(filter_, &QLineEdit::textChanged, proxy_, &QSortFilterProxyModel::setFilterFixedString);
    layout->addWidget(filter_);
  }
  view_ = new QTableView(this);
  view_->setObjectName(QStringLiteral("list"));
  view_->setModel(proxy_);
  view_->setTextElideMode(Qt::ElideMiddle);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setShowGrid(false);
  view_->setWordWrap(false);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  view_->horizontalHeader()->setHighlightSections(false);
  // The rows keep the order they come in (a ranking's) until a header is
  // clicked.
  view_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  view_->setSortingEnabled(true);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  layout->addWidget(view_);
  for (int c = 0; c < design_.columns.size(); ++c) {
    const int w = settings_.place(width_key(c));
    view_->setColumnWidth(c, w > 0 ? w : 150);
  }
  auto* copy = new QShortcut(QKeySequence::Copy, view_, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
  connect(copy, &QShortcut::activated, this, [this] { copy_selection(); });
  connect(view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
    const int row = proxy_->mapToSource(view_->indexAt(p)).row();
    if (row < 0) return;
    QMenu* menu = context_menu(row);
    if (menu == nullptr) return;
    QAction* chosen = menu->exec(view_->viewport()->mapToGlobal(p));
    if (chosen != nullptr) run_command(row, chosen->data().toInt());
    menu->deleteLater();
  });

  if (!restore_state()) {
    // A first open: tall enough for ten rows, beside the main window, the
    // columns fitted to the first rows that come.
    const int x = settings_.place(design_.key + QStringLiteral(" x"));
    const int y = settings_.place(design_.key + QStringLiteral(" y"));
    int rows_h = view_->horizontalHeader()->sizeHint().height() +
                 kShownRows * view_->verticalHeader()->defaultSectionSize() + 2 * view_->frameWidth() +
                 view_->horizontalScrollBar()->sizeHint().height();
    rows_h += toolbar_->sizeHint().height() + (filter_ ? filter_->sizeHint().height() : 0);
    resize(std::max(x > 0 ? x : 400, 360), std::max(y > 0 ? y : 200, rows_h));
    place_beside_parent();
    fit_pending_ = true;
    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] { fit_columns(); });
  }
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
  timer_.start();
  show_title();
}

ListWindow::~ListWindow() {
  save_widths();
  save_state();
}

void ListWindow::save_state() {
  if (design_.key.isEmpty()) return;
  auto store = window_state_store();
  store->beginGroup(design_.key);
  store->setValue(QStringLiteral("geometry"), saveGeometry());
  store->setValue(QStringLiteral("header"), view_->horizontalHeader()->saveState());
  store->endGroup();
}

bool ListWindow::restore_state() {
  if (design_.key.isEmpty()) return false;
  auto store = window_state_store();
  store->beginGroup(design_.key);
  const QByteArray geometry = store->value(QStringLiteral("geometry")).toByteArray();
  const QByteArray header = store->value(QStringLiteral("header")).toByteArray();
  store->endGroup();
  if (geometry.isEmpty() || !restoreGeometry(geometry)) return false;
  if (!header.isEmpty()) view_->horizontalHeader()->restoreState(header);
  return true;
}

void ListWindow::place_beside_parent() {
  QWidget* main = parentWidget() ? parentWidget()->window() : nullptr;
  if (main == nullptr || !main->isVisible()) return;
  const QRect frame = main->frameGeometry();
  QScreen* screen = main->screen();
  const QRect avail = screen ? screen->availableGeometry() : QRect();
  // Windows already open step down so a new one does not hide the last.
  const int step = 24 * (popup_count() % 8);
  QPoint at(frame.right() + 8, frame.top() + step);
  if (avail.isValid() && at.x() + width() > avail.right()) {
    // No room on the right: on the left, else over the map but below the
    // menu bar.
    at.setX(frame.left() - width() - 8);
    if (at.x() < avail.left()) {
      at.setX(std::max(avail.left(), avail.right() - width()));
      at.setY(main->geometry().top() + 60 + step);
    }
  }
  move(at);
}

void ListWindow::fit_columns() {
  if (!fit_pending_ || model_->rows() == 0) return;
  fit_pending_ = false;
  view_->resizeColumnsToContents();
  for (int c = 0; c < model_->columnCount(); ++c)
    if (view_->columnWidth(c) > kMaxFittedColumn) view_->setColumnWidth(c, kMaxFittedColumn);
}

QString ListWindow::selection_text(QChar separator) const {
  std::vector<int> rows;
  for (const QModelIndex& i : view_->selectionModel()->selectedRows()) rows.push_back(i.row());
  if (rows.empty())
    for (int r = 0; r < proxy_->rowCount(); ++r) rows.push_back(r);
  // In the order shown, not the order clicked.
  std::sort(rows.begin(), rows.end());
  std::vector<QStringList> out;
  for (int r : rows) {
    const int source = proxy_->mapToSource(proxy_->index(r, 0)).row();
    QStringList cells;
    for (int c = 0; c < model_->columnCount(); ++c) cells << model_->text(source, c);
    out.push_back(cells);
  }
  return rows_as_text(model_->headers(), out, separator);
}

void ListWindow::copy_selection() const {
  auto* mime = new QMimeData;
  mime->setText(selection_text());
  mime->setData(QStringLiteral("text/csv"), selection_text(QLatin1Char(',')).toUtf8());
  QApplication::clipboard()->setMimeData(mime);
}

QString ListWindow::width_key(int column) const {
  int k = column;
  if (design_.width_keys >= 0 && k >= design_.width_keys) k = design_.width_keys - 1;
  return QStringLiteral("%1 %2").arg(design_.key).arg(k);
}

void ListWindow::save_widths() {
  if (widths_saved_) return;
  widths_saved_ = true;
  const int n = design_.width_keys >= 0 ? design_.width_keys : int(design_.columns.size());
  for (int c = 0; c < n; ++c) settings_.set_place(width_key(c), view_->columnWidth(c));
}

void ListWindow::show_title() {
  setWindowTitle(base_ + tail_);
}

void ListWindow::set_base_title(const QString& title) {
  base_ = title;
  show_title();
}

void ListWindow::replace_tail(const QString& text) {
  QString full = base_ + tail_;
  full.chop(std::min<int>(kTail, int(full.size())));
  full += text;
  tail_ = full.mid(base_.size());
  show_title();
}

void ListWindow::first_refresh() {
  countdown_ = kRefreshSeconds;
  tail_ += kUpdating;
  show_title();
  refresh();
}

void ListWindow::clear_and_refresh() {
  model_->clear();
  refresh();
}

void ListWindow::tick() {
  --countdown_;
  if (countdown_ <= 0) {
    timer_.stop();
    replace_tail(kUpdatingTail);
    refresh();
    countdown_ = kRefreshSeconds;
    timer_.start();
  }
  replace_tail(QString::asprintf(" next update: %02d:%02d", countdown_ / 60, countdown_ % 60));
}

QAction* ListWindow::add_command(QMenu& menu, int id, const QString& text, bool enabled) {
  QAction* a = menu.addAction(text);
  a->setData(id);
  a->setObjectName(QStringLiteral("cmd_%1").arg(id));
  a->setEnabled(enabled);
  return a;
}

QMenu* ListWindow::context_menu(int row) {
  const RowRef* ref = model_->ref(row);
  if (ref == nullptr) return nullptr;
  auto* menu = new QMenu(this);
  fill_menu(*menu, *ref);
  if (menu->actions().isEmpty()) {
    delete menu;
    return nullptr;
  }
  return menu;
}

void ListWindow::run_command(int row, int id) {
  // The row's ref is copied: the command may refresh or close this window.
  const RowRef* ref = model_->ref(row);
  if (ref == nullptr) return;
  const RowRef copy = *ref;
  command(id, copy);
}

void ListWindow::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  settings_.set_place(design_.key + QStringLiteral(" x"), width());
  settings_.set_place(design_.key + QStringLiteral(" y"), height());
}

void ListWindow::closeEvent(QCloseEvent* e) {
  save_widths();
  save_state();
  timer_.stop();
  QWidget::closeEvent(e);
}

}  // namespace tarnix::ui
