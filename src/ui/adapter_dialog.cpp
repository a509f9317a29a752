#include "ui/adapter_dialog.h"

#include <QHeaderView>
#include <QPushButton>

namespace tarnix::ui {

AdapterDialog::AdapterDialog(const std::vector<Device>& devices, int index, QWidget* parent)
    : QDialog(parent), given_(index), result_(index) {
  setObjectName(QStringLiteral("adapter"));
  setWindowTitle(QStringLiteral("Network Adapters"));
  // 343 x 53 dialog units of an 8 point font, roughly.
  setFixedSize(560, 100);
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("1000"));
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setHeaderLabels({QStringLiteral("Adapter"), QStringLiteral("Description")});
  list_->setColumnWidth(0, 100);
  list_->setColumnWidth(1, 300);
  list_->setGeometry(8, 8, 440, 84);
  for (const Device& d : devices)
    new QTreeWidgetItem(list_, {QString::fromStdString(d.name), QString::fromStdString(d.description)});
  int row = index;
  if (row < 0 || row >= list_->topLevelItemCount()) row = 0;
  if (QTreeWidgetItem* item = list_->topLevelItem(row)) {
    list_->setCurrentItem(item);
    item->setSelected(true);
  }
  list_->setFocus();

  auto* use_button = new QPushButton(QStringLiteral("Use"), this);
  use_button->setObjectName(QStringLiteral("1"));
  use_button->setDefault(true);
  use_button->setGeometry(470, 8, 80, 24);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("2"));
  cancel->setGeometry(470, 62, 80, 24);
  connect(use_button, &QPushButton::clicked, this, &AdapterDialog::use);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, &AdapterDialog::use);
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
