// The right-hand panel: load charts, Controls, Protocol Key, Zoom Box and URL
// statistics at fixed places, scrolled in five positions when the panel is
// shorter than its contents.
#pragma once

#include <QScrollBar>
#include <QWidget>
#include <array>

namespace tarnix::ui {

class ProtocolKey;

class Panel : public QWidget {
  Q_OBJECT
 public:
  // The children, in the order of their fixed places.
  enum Slot { LoadChart, UrlChart, Controls, Key, ZoomBox, UrlStats, SlotCount };

  explicit Panel(QWidget* parent = nullptr);

  // Puts a window into its place, replacing the placeholder (or the earlier
  // window, which is deleted).
  void install(Slot slot, QWidget* w);
  QWidget* child_at(Slot slot) const { return slots_[slot]; }
  ProtocolKey* protocol_key() const;

  // Where a slot sits; a panel taller than the contents gives the two charts
  // `extra` pixels between them and moves the rest down.
  static QRect place_of(Slot slot, int extra = 0);
  // The charts' share of the height beyond the contents.
  int chart_extra() const;

  int scroll_position() const { return position_; }
  // The scroll step: (600 - height) / 4, integer division.
  int scroll_step() const { return (600 - height()) / 4; }
  // Moves the position by `request` steps, limited to 0..4.
  void scroll_request(int request);
  QScrollBar* scroll_bar() const { return bar_; }
  // Offset of the contents: 0 or negative.
  int content_offset() const;

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void layout_children();

  QScrollBar* bar_;
  QWidget* content_;
  std::array<QWidget*, SlotCount> slots_{};
  int position_ = 0;
  bool syncing_ = false;
};

}  // namespace tarnix::ui
