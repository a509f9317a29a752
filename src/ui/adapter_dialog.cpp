#include "ui/adapter_dialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace tarnix::ui {

QString adapter_link_type(const std::string& name) {
  QFile f(QStringLiteral("/sys/class/net/%1/type").arg(QString::fromStdString(name)));
  if (name.find('/') != std::string::npos || !f.open(QIODevice::ReadOnly)) return QStringLiteral("—");
  bool ok = false;
  const int type = QString::fromLatin1(f.readAll()).trimmed().toInt(&ok);
  if (!ok) return QStringLiteral("—");
  switch (type) {
    case 1:
      return QStringLiteral("Ethernet");
    case 772:
      return QStringLiteral("Loopback");
    case 801:
    case 803:
      return QStringLiteral("Wireless (802.11)");
    case 768:
    case 769:
    case 776:
      return QStringLiteral("Tunnel");
    case 65534:
      return QStringLiteral("None (tun)");
    case 512:
      return QStringLiteral("PPP");
    default:
      return QStringLiteral("ARPHRD %1").arg(type);
  }
}

QString adapter_verdict(const Device& d) {
  if (d.status == DeviceStatus::kDown) return QStringLiteral("No: the adapter is down");
  if (d.status == DeviceStatus::kUnsupported) {
    return QStringLiteral("No: Tarnix cannot read this adapter's link type");
  }
  return QStringLiteral("Yes");
}

AdapterDialog::AdapterDialog(const std::vector<Device>& devices, int index, QWidget* parent)
    : QDialog(parent), given_(index), result_(index) {
  setObjectName(QStringLiteral("adapter"));
  setWindowTitle(QStringLiteral("Network Adapters"));
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("1000"));
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setHeaderLabels({QStringLiteral("Adapter"), QStringLiteral("Description"), QStringLiteral("State"),
                          QStringLiteral("Address"), QStringLiteral("Link Type"),
                          QStringLiteral("Can Capture")});
  for (const Device& d : devices) {
    QString address;
    if (d.has_ipv4) {
      address = QString::fromStdString(netaddr_text(d.ipv4_address));
      if (d.has_netmask) address += QLatin1Char('/') + QString::fromStdString(netaddr_text(d.ipv4_netmask));
    }
    auto* item = new QTreeWidgetItem(
        list_, {QString::fromStdString(d.name), QString::fromStdString(d.description),
                d.status == DeviceStatus::kDown ? QStringLiteral("down") : QStringLiteral("up"), address,
                adapter_link_type(d.name), adapter_verdict(d)});
    if (d.status != DeviceStatus::kUsable)
      item->setForeground(5, palette().brush(QPalette::Disabled, QPalette::Text));
    for (int c = 0; c < item->columnCount(); ++c) item->setToolTip(c, item->text(c));
  }
  for (int c = 0; c < list_->columnCount(); ++c) list_->resizeColumnToContents(c);
  int row = index;
  if (row < 0 || row >= list_->topLevelItemCount()) row = 0;
  if (QTreeWidgetItem* item = list_->topLevelItem(row)) {
    list_->setCurrentItem(item);
    item->setSelected(true);
  }
  list_->setFocus();

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  auto* note = new QLabel(QStringLiteral("Tarnix watches one Ethernet adapter that is up."), this);
  note->setObjectName(QStringLiteral("note"));
  layout->addWidget(note);
  auto* buttons = new QDialogButtonBox(this);
  auto* use_button = buttons->addButton(QStringLiteral("Use"), QDialogButtonBox::AcceptRole);
  use_button->setObjectName(QStringLiteral("1"));
  use_button->setDefault(true);
  auto* cancel = buttons->addButton(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("2"));
  layout->addWidget(buttons);
  connect(use_button, &QPushButton::clicked, this, &AdapterDialog::use);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, &AdapterDialog::use);

  // Every adapter in sight (up to a screenful), every column readable.
  const int rows = std::clamp(list_->topLevelItemCount(), 4, 16);
  const int row_h = std::max(list_->sizeHintForRow(0), fontMetrics().height() + 6);
  int width = 2 * list_->frameWidth() + 24;
  for (int c = 0; c < list_->columnCount(); ++c) width += list_->columnWidth(c);
  list_->setMinimumHeight(list_->header()->sizeHint().height() + rows * row_h + 2 * list_->frameWidth());
  resize(std::clamp(width + 2 * layout->contentsMargins().left(), 560, 1200), sizeHint().height());
}

void AdapterDialog::use() {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;  // stays open
  result_ = list_->indexOfTopLevelItem(selected.first());
  accept();
}

int adapter_dialog(QWidget* owner, const std::vector<Device>& devices, int index) {
  AdapterDialog d(devices, index, owner);
  return d.exec() == QDialog::Accepted ? d.result_index() : index;
}

}  // namespace tarnix::ui
