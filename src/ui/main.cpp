// The Tarnix desktop program.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

#include "core/alloc.h"

int main(int argc, char** argv) {
  tarnix::install_alloc_failure_handler();
  QApplication app(argc, argv);
  QMainWindow window;
  window.setWindowTitle(QStringLiteral("Tarnix"));
  auto* label = new QLabel(QStringLiteral("The network map is not built yet; run tarnix-cli for the headless engine."));
  label->setAlignment(Qt::AlignCenter);
  window.setCentralWidget(label);
  window.resize(800, 600);
  window.show();
  return app.exec();
}
