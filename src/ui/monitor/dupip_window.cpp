#include "ui/monitor/dupip_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarnix::ui {
namespace {

constexpr int kRebuildMs = 10000;
constexpr int kReportRole = Qt::UserRole + 1;

QFont tree_font() {
  QFont f(QStringLiteral("Courier New"));
  f.setPixelSize(14);
  f.setWeight(QFont::Normal);
  f.setFixedPitch(true);
  f.setStyleHint(QFont::TypeWriter);
  return f;
}

}  // namespace

DupIpWindow::DupIpWindow(DupIp& dupip, const HostCache* names)
    : QDialog(nullptr), dupip_(dupip), names_(names) {
  setObjectName(QStringLiteral("dupip"));
  setWindowTitle(QStringLiteral("Duplicate IP Addresses"));
  setModal(false);
  setAttribute(Qt::WA_DeleteOnClose, false);
  dupip_.open();

  auto* layout = new QVBoxLayout(this);
  auto* heads = new QHBoxLayout;
  heads->addWidget(new QLabel(QStringLiteral("Address (IP/MAC)"), this), 1);
  heads->addWidget(new QLabel(QStringLiteral("Name/Manufacturer"), this), 1);
  layout->addLayout(heads);
  model_ = new QStandardItemModel(this);
  tree_ = new QTreeView(this);
  tree_->setObjectName(QStringLiteral("tree"));
  tree_->setModel(model_);
  tree_->setHeaderHidden(true);
  tree_->setFont(tree_font());
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(tree_, 1);
  auto* buttons = new QHBoxLayout;
  const auto button = [&](const QString& text, const QString& name, void (DupIpWindow::*fn)()) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(name);
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, fn);
    buttons->addWidget(b);
  };
  button(QStringLiteral("Hide"), QStringLiteral("hide"), &DupIpWindow::hide_window);
  button(QStringLiteral("Remove"), QStringLiteral("remove"), &DupIpWindow::remove_selected);
  button(QStringLiteral("Close"), QStringLiteral("close"), &DupIpWindow::close_window);
  layout->addLayout(buttons);
  // 185 x 226 dialog units at the usual 6 x 13 pixel font.
  resize(280, 370);

  timer_.setInterval(kRebuildMs);
  connect(&timer_, &QTimer::timeout, this, &DupIpWindow::rebuild);
  timer_.start();
}

DupIpWindow::~DupIpWindow() {
  if (!closed_done_) dupip_.close();
}

void DupIpWindow::rebuild() {
  model_->clear();
  shown_ = dupip_.snapshot();
  for (std::size_t i = 0; i < shown_.size(); ++i) {
    const DupIpReport& r = shown_[i];
    const std::string text = dupip_row_text(r.address, dupip_host_name(names_, r.address));
    auto* row = new QStandardItem(QString::fromStdString(text));
    row->setData(int(i), kReportRole);
    for (const NetAddress& e : r.ethers) {
      auto* child = new QStandardItem(QString::fromStdString(dupip_ether_row_text(names_, e)));
      child->setData(int(i), kReportRole);
      row->appendRow(child);
    }
    model_->appendRow(row);
    tree_->expand(row->index());
  }
}

void DupIpWindow::remove_selected() {
  const QModelIndex at = tree_->currentIndex();
  if (!at.isValid()) return;
  const QModelIndex top = at.parent().isValid() ? at.parent() : at;
  const int i = top.data(kReportRole).toInt();
  if (i < 0 || std::size_t(i) >= shown_.size()) return;
  dupip_.remove(shown_[std::size_t(i)].address);
  model_->removeRow(top.row());
}

void DupIpWindow::hide_window() {
  showMinimized();
  raise();
}

void DupIpWindow::close_window() {
  if (closed_done_) return;
  closed_done_ = true;
  timer_.stop();
  dupip_.close();
  model_->clear();
  shown_.clear();
  hide();
  if (closed_) closed_();
  deleteLater();
}

void DupIpWindow::closeEvent(QCloseEvent* e) {
  close_window();
  e->accept();
}

void BeepDupIpNotifier::duplicate_found(const DupIpReport&) {
  QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

}  // namespace tarnix::ui
