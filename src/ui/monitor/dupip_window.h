// The "Duplicate IP Addresses" window: every IPv4 address seen from more than
// one Ethernet address, with those Ethernet addresses below it. Detection
// runs while the window exists; closing it forgets everything found.
#pragma once

#include <QDialog>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <vector>

#include "naming/dupip.h"

namespace tarnix {
class HostCache;
}

namespace tarnix::ui {

class DupIpWindow final : public QDialog {
  Q_OBJECT
 public:
  // Opens the detector (detection on). `names` may be null.
  DupIpWindow(DupIp& dupip, const HostCache* names);
  ~DupIpWindow() override;

  // Runs once the window has been closed (the menu loses its check mark).
  void set_closed_hook(std::function<void()> hook) { closed_ = std::move(hook); }

  QTreeView* tree() const { return tree_; }
  QStandardItemModel* model() const { return model_; }
  QTimer* timer() { return &timer_; }

  // The 10-second refresh: the tree is built again from the detector.
  void rebuild();
  // "Remove": forgets the selected duplicate.
  void remove_selected();
  // "Hide": minimised, detection goes on.
  void hide_window();
  // "Close" and the frame's close: detection off, everything forgotten.
  void close_window();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override { close_window(); }

 private:
  DupIp& dupip_;
  const HostCache* names_;
  QTreeView* tree_;
  QStandardItemModel* model_;
  QTimer timer_;
  std::vector<DupIpReport> shown_;  // what the rows stand for, by top-level row
  std::function<void()> closed_;
  bool closed_done_ = false;
};

// Beeps on the user-interface thread at the first report for an address;
// the capture thread only posts.
class BeepDupIpNotifier final : public DupIpNotifier {
 public:
  void duplicate_found(const DupIpReport& report) override;
};

}  // namespace tarnix::ui
