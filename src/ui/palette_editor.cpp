#include "ui/palette_editor.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace tarnix::ui {

QColor LivePalette::colour(int index) const {
  if (!colours || index < 0 || index >= kPaletteColours) return Qt::black;
  const std::uint32_t c = (*colours)[std::size_t(index)];
  return QColor(int(c & 0xff), int((c >> 8) & 0xff), int((c >> 16) & 0xff));
}

void LivePalette::set_component(int index, int component, int value) {
  if (!colours || index < 0 || index >= kPaletteColours || component < 0 || component > 2) return;
  const int shift = 8 * component;
  std::uint32_t& c = (*colours)[std::size_t(index)];
  c = (c & ~(0xffu << shift)) | (std::uint32_t(value & 0xff) << shift);
  if (changed) changed();
}

ColourSwatch::ColourSwatch(const LivePalette& palette, int index, QWidget* parent)
    : QFrame(parent), palette_(palette), index_(index) {
  setObjectName(QStringLiteral("color_box_%1").arg(index));
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
}

void ColourSwatch::set_marked(bool marked) {
  marked_ = marked;
  update();
}

void ColourSwatch::paintEvent(QPaintEvent* e) {
  QFrame::paintEvent(e);
  QPainter p(this);
  p.fillRect(contentsRect(), palette_.colour(index_));
  if (marked_) {
    // The selection mark inverts what is under it, so it shows on any colour.
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.setPen(QPen(Qt::white, 2));
    p.drawRect(rect().adjusted(1, 1, -1, -1));
  }
}

void ColourSwatch::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) Q_EMIT clicked(index_);
}

PaletteEditor::PaletteEditor(LivePalette& palette, QWidget* parent) : QDialog(parent), palette_(palette) {
  setObjectName(QStringLiteral("PaletteEditor"));
  setWindowTitle(QStringLiteral("Palette Editor"));
  auto* grid = new QWidget(this);
  grid->setFixedSize(4 * 23 + 40, (kPaletteColours + 3) / 4 * 23 + 20);
  for (int i = 0; i < kPaletteColours; ++i) {
    auto* s = new ColourSwatch(palette_, i, grid);
    s->setGeometry((i % 4) * 23 + 30, (i / 4) * 23 + 10, 20, 20);
    connect(s, &ColourSwatch::clicked, this, &PaletteEditor::select);
    swatches_[std::size_t(i)] = s;
  }
  auto* sliders = new QHBoxLayout;
  const char* captions[3] = {"RED", "GREEN", "BLUE"};
  for (int c = 0; c < 3; ++c) {
    auto* column = new QVBoxLayout;
    auto* caption = new QLabel(QString::fromLatin1(captions[c]), this);
    caption->setAlignment(Qt::AlignCenter);
    auto* s = new QSlider(Qt::Vertical, this);
    s->setObjectName(QString::number(1053 + c));
    s->setRange(0, 255);
    s->setTickInterval(16);
    s->setTickPosition(QSlider::TicksBothSides);
    s->setSingleStep(1);
    s->setPageStep(16);
    // The top of the bar is full intensity: the slider's value runs the
    // other way (255 - component), as a vertical bar's position grows down.
    s->setInvertedAppearance(true);
    s->setInvertedControls(true);
    connect(s, &QSlider::valueChanged, this, [this, c](int v) { slider_moved(c, v); });
    column->addWidget(caption);
    column->addWidget(s, 1, Qt::AlignHCenter);
    sliders->addLayout(column);
    sliders_[std::size_t(c)] = s;
  }
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("2"));
  // Neither undoes anything: every change was applied when it was made.
  connect(ok, &QPushButton::clicked, this, [this] { done(1); });
  connect(cancel, &QPushButton::clicked, this, [this] { done(2); });
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  buttons->addStretch();
  auto* top = new QHBoxLayout(this);
  top->addWidget(grid);
  top->addLayout(sliders);
  top->addLayout(buttons);
}

void PaletteEditor::select(int index) {
  if (index < 0 || index >= kPaletteColours) return;
  if (selected_ >= 0) swatches_[std::size_t(selected_)]->set_marked(false);
  selected_ = index;
  swatches_[std::size_t(index)]->set_marked(true);
  const QColor c = palette_.colour(index);
  const int parts[3] = {c.red(), c.green(), c.blue()};
  for (int k = 0; k < 3; ++k) {
    const QSignalBlocker quiet(sliders_[std::size_t(k)]);
    sliders_[std::size_t(k)]->setValue(255 - parts[k]);
  }
}

void PaletteEditor::slider_moved(int component, int position) {
  if (selected_ < 0) return;
  palette_.set_component(selected_, component, 255 - position);
  swatches_[std::size_t(selected_)]->update();
}

}  // namespace tarnix::ui
