// The About box.
#pragma once

#include <QDialog>

namespace tarnix::ui {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

// The program's emblem: subnet rings with hosts and links, as the map draws them.
QImage emblem_image(int size);

}  // namespace tarnix::ui
