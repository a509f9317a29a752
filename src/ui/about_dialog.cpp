#include "ui/about_dialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <cmath>

namespace tarnix::ui {

QImage emblem_image(int size) {
  QImage img(size, size, QImage::Format_RGB32);
  img.fill(Qt::black);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const double c = size / 2.0, ring = size * 0.18, spread = size * 0.26;
  QPointF hosts[3][5];
  for (int g = 0; g < 3; ++g) {
    const double a = 2 * M_PI * g / 3 - M_PI / 2;
    const QPointF centre(c + spread * std::cos(a), c + spread * std::sin(a));
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, ring, ring);
    for (int h = 0; h < 5; ++h) {
      const double b = 2 * M_PI * h / 5;
      hosts[g][h] = centre + QPointF(ring * std::cos(b), ring * std::sin(b));
    }
  }
  const QColor link_colours[3] = {QColor(255, 64, 64), QColor(64, 200, 255), QColor(255, 220, 0)};
  for (int g = 0; g < 3; ++g) {
    p.setPen(QPen(link_colours[g], 2));
    p.drawLine(hosts[g][0], hosts[(g + 1) % 3][2]);
    p.drawLine(hosts[g][3], hosts[(g + 2) % 3][4]);
  }
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  for (auto& group : hosts)
    for (QPointF h : group) p.drawEllipse(h, size * 0.025, size * 0.025);
  return img;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("about"));
  setWindowTitle(QStringLiteral("About Tarnix"));
  setFixedSize(330, 150);
  auto* text = new QLabel(this);
  text->setObjectName(QStringLiteral("about_text"));
  text->setText(QStringLiteral("<b>Tarnix %1</b><br>Passive traffic monitor and visualiser<br>"
                               "for a local Ethernet segment.<br><br>Halvard Software")
                    .arg(QCoreApplication::applicationVersion()));
  text->setGeometry(10, 10, 165, 95);
  text->setWordWrap(true);
  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("102"));
  picture->setPixmap(QPixmap::fromImage(emblem_image(130)));
  picture->setGeometry(180, 10, 130, 130);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  ok->setGeometry(10, 115, 75, 25);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tarnix::ui
