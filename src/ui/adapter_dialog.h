// The "Network Adapters" dialog.
#pragma once

#include <QDialog>
#include <QTreeWidget>
#include <vector>

#include "capture/adapter.h"

namespace tarnix::ui {

class AdapterDialog : public QDialog {
  Q_OBJECT
 public:
  AdapterDialog(const std::vector<Device>& devices, int index, QWidget* parent = nullptr);
  // The chosen row, or the given index when cancelled.
  int result_index() const { return result_; }
  QTreeWidget* list() const { return list_; }

 private:
  void use();

  QTreeWidget* list_;
  int given_;
  int result_;
};

// Shows the dialog modally; the chosen index, or `index` when cancelled.
int adapter_dialog(QWidget* owner, const std::vector<Device>& devices, int index);

}  // namespace tarnix::ui
