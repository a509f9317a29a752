#include "ui/panel.h"

#include <QGroupBox>
#include <QLabel>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/protocol_key.h"

namespace tarnix::ui {
namespace {

constexpr int kContentWidth = 290;
constexpr int kContentHeight = 600;

// A frame for a window that is not part of this build yet.
QWidget* placeholder(const QString& title, const QString& name, QWidget* parent) {
  auto* box = new QGroupBox(title, parent);
  box->setObjectName(name);
  box->setEnabled(false);
  return box;
}

}  // namespace

Panel::Panel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Panel"));
  setAutoFillBackground(true);
  content_ = new QWidget(this);
  content_->setObjectName(QStringLiteral("panel_contents"));
  bar_ = new QScrollBar(Qt::Vertical, this);
  bar_->setObjectName(QStringLiteral("panel_scroll"));
  bar_->setRange(0, 4);
  bar_->setPageStep(1);
  bar_->setSingleStep(1);
  bar_->setValue(0);
  connect(bar_, &QScrollBar::valueChanged, this, [this](int v) {
    if (!syncing_) scroll_request(v - position_);
  });

  slots_[LoadChart] = placeholder(QStringLiteral("Network Load"), QStringLiteral("load_chart"), content_);
  slots_[UrlChart] = placeholder(QStringLiteral("URLs Accessed"), QStringLiteral("url_chart"), content_);
  slots_[Controls] = placeholder(QStringLiteral("Controls"), QStringLiteral("controls"), content_);
  slots_[Key] = new ProtocolKey(content_);
  slots_[ZoomBox] = placeholder(QStringLiteral("Zoom Control"), QStringLiteral("ZoomBox"), content_);
  slots_[UrlStats] = placeholder(QStringLiteral("URL Statistics"), QStringLiteral("url_stats"), content_);
  layout_children();
}

int Panel::chart_extra() const {
  // Up to 160 pixels more per chart: beyond that a strip only grows taller,
  // not more readable.
  return std::clamp(height() - kContentHeight, 0, 320) & ~1;
}

QRect Panel::place_of(Slot slot, int extra) {
  const int half = extra / 2;
  switch (slot) {
    case LoadChart:
      return {0, 0, 280, 80 + half};
    case UrlChart:
      return {0, 80 + half, 280, 80 + half};
    case Controls:
      return {0, 160 + extra, 110, 280};
    case Key:
      return {110, 160 + extra, 180, 280};
    case ZoomBox:
      return {0, 445 + extra, 120, 125};
    case UrlStats:
      return {120, 445 + extra, 170, 125};
    case SlotCount:
      break;
  }
  return {};
}

void Panel::install(Slot slot, QWidget* w) {
  if (slot < 0 || slot >= SlotCount || !w) return;
  if (slots_[slot] && slots_[slot] != w) delete slots_[slot];
  w->setParent(content_);
  slots_[slot] = w;
  w->setGeometry(place_of(slot, chart_extra()));
  w->show();
}

ProtocolKey* Panel::protocol_key() const {
  return qobject_cast<ProtocolKey*>(slots_[Key]);
}

int Panel::content_offset() const {
  return -std::max(scroll_step(), 0) * position_;
}

void Panel::layout_children() {
  for (int i = 0; i < SlotCount; ++i)
    if (slots_[i]) slots_[i]->setGeometry(place_of(Slot(i), chart_extra()));
  const int bar_w = bar_->sizeHint().width();
  bar_->setGeometry(width() - bar_w, 0, bar_w, height());
  content_->setGeometry(0, content_offset(), std::max(kContentWidth, width() - bar_w),
                        kContentHeight + chart_extra());
}

void Panel::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  layout_children();
  syncing_ = true;
  bar_->setValue(position_);
  syncing_ = false;
  // Enabled only when a step moves the contents: at 597..600 pixels the step
  // is 0 and an enabled bar would do nothing.
  bar_->setEnabled(scroll_step() > 0);
}

void Panel::scroll_request(int request) {
  request = std::clamp(request, -position_, 4 - position_);
  if (request == 0) {
    // Keep the bar where the position is (a refused request may have moved it).
    syncing_ = true;
    bar_->setValue(position_);
    syncing_ = false;
    return;
  }
  position_ += request;
  content_->move(content_->x(), content_offset());
  syncing_ = true;
  bar_->setValue(position_);
  syncing_ = false;
  repaint();
}

}  // namespace tarnix::ui
