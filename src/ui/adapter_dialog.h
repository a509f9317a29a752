// The "Network Adapters" dialog.
#pragma once

#include <QDialog>
#include <QTreeWidget>
#include <vector>

#include "capture/adapter.h"

namespace tarnix::ui {

// What kind of link an adapter has ("Ethernet", "Loopback", ...), from the
// system; a dash when it says nothing.
QString adapter_link_type(const std::string& name);
// Whether Tarnix can capture on the adapter, and why not, in words.
QString adapter_verdict(const Device& d);

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
