#include "ui/protocol_key.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QResizeEvent>
#include <algorithm>

namespace tarnix::ui {

KeyContent protocol_key_content(const QString* focus_name, const std::vector<KeyEntry>& entries) {
  KeyContent c;
  if (!focus_name) {
    c.title = QStringLiteral("No Focus");
    return c;
  }
  c.title = *focus_name;
  std::size_t k = 0;
  for (; k < entries.size() && k < std::size_t(kKeyListed); ++k)
    c.lines[k] = {entries[k].name, entries[k].palette_index};
  c.lines[k] = {QStringLiteral("Other"), kOtherPaletteIndex};
  return c;
}

ProtocolKey::ProtocolKey(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("protocol_int"));
  box_ = new QGroupBox(QStringLiteral("Protocol Key"), this);
  area_ = new QWidget(this);
  area_->setObjectName(QStringLiteral("protocol"));
  area_->raise();
  area_->setAutoFillBackground(true);
  QPalette pal = area_->palette();
  pal.setColor(QPalette::Window, Qt::black);
  area_->setPalette(pal);
  key_font_ = QFont(QStringLiteral("Arial"));
  key_font_.setPixelSize(13);
  key_font_.setWeight(QFont::Normal);
  auto make_line = [&](int id) {
    auto* l = new QLabel(area_);
    l->setObjectName(QString::number(id));
    l->setFont(key_font_);
    l->setAlignment(Qt::AlignCenter);
    return l;
  };
  title_ = make_line(20);
  // At the top of its two lines, clear of the first entry below it.
  title_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  for (int k = 0; k < kKeyLines; ++k) lines_[std::size_t(k)] = make_line(k);
  clear_focus();
  layout_area();
}

QColor ProtocolKey::line_colour(int k) const {
  return lines_[std::size_t(k)]->palette().color(QPalette::WindowText);
}

void ProtocolKey::apply(const KeyContent& c, const std::array<QRgb, kPaletteSize>& palette) {
  title_->setText(c.title);
  QPalette tp = title_->palette();
  tp.setColor(QPalette::WindowText, Qt::white);
  title_->setPalette(tp);
  for (int k = 0; k < kKeyLines; ++k) {
    QLabel* l = lines_[std::size_t(k)];
    const KeyLine& line = c.lines[std::size_t(k)];
    l->setText(line.text);
    QPalette p = l->palette();
    const int idx = (line.palette_index >= 0 && line.palette_index < kPaletteSize) ? line.palette_index : 0;
    p.setColor(QPalette::WindowText, QColor(palette[std::size_t(idx)]));
    l->setPalette(p);
  }
  layout_area();
}

void ProtocolKey::show_focus(const QString* focus_name, const std::vector<KeyEntry>& entries,
                             const std::array<QRgb, kPaletteSize>& palette) {
  apply(protocol_key_content(focus_name, entries), palette);
}

void ProtocolKey::clear_focus() {
  std::array<QRgb, kPaletteSize> black{};
  black.fill(qRgb(0, 0, 0));
  apply(protocol_key_content(nullptr, {}), black);
}

void ProtocolKey::layout_area() {
  const int w = width(), h = height();
  box_->setGeometry(5, 0, w - 20, h);
  // Below the box's title, which a desktop's larger font makes taller than
  // the 15 pixels it takes in the program's own.
  const int top = std::max(15, QFontMetrics(box_->font()).height());
  area_->setGeometry(10, top, w - 30, h - top - 5);
  const int t = QFontMetrics(key_font_).height();
  fit(title_, 10, 2 * t);
  for (int k = 0; k < kKeyLines; ++k) fit(lines_[std::size_t(k)], 30 + k * t, t);
}

// A line sits in its column (10 .. w - 20 of the key area). A longer text
// may use the area's whole width, and beyond that its font shrinks until it
// fits, so that no protocol's name is cut off at the key's edge.
void ProtocolKey::fit(QLabel* line, int y, int height) {
  const int aw = area_->width();
  QFont f = key_font_;
  const int text_width = QFontMetrics(f).horizontalAdvance(line->text());
  if (text_width <= aw - 30) {
    line->setFont(f);
    line->setGeometry(10, y, aw - 30, height);
    line->setToolTip({});
    return;
  }
  const int room = std::max(1, aw - 4);
  while (f.pixelSize() > 4 && QFontMetrics(f).horizontalAdvance(line->text()) > room)
    f.setPixelSize(f.pixelSize() - 1);
  line->setFont(f);
  line->setGeometry(2, y, room, height);
  line->setToolTip(line->text());
}

void ProtocolKey::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  layout_area();
}

void ProtocolKey::contextMenuEvent(QContextMenuEvent* e) {
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("PROTOCOLPOPUPMENU"));
  QAction* editor = menu.addAction(QStringLiteral("Protocol Editor"));
  editor->setObjectName(QStringLiteral("500"));
  editor->setEnabled(bool(editor_));
  if (menu.exec(e->globalPos()) == editor && editor_) editor_();
}

}  // namespace tarnix::ui
