// The shared palette as the dialogs edit it, the colour swatch, and the
// Palette Editor whose changes are live from the first slider move.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QSlider>
#include <array>
#include <functional>

#include "capture/focus_file.h"

namespace tarnix::ui {

// The palette the map draws with, and who to tell when a colour changes.
struct LivePalette {
  Palette* colours = nullptr;
  std::function<void()> changed;

  QColor colour(int index) const;
  void set_component(int index, int component, int value);  // component: 0 red, 1 green, 2 blue
};

// A patch of one palette colour; a left click reports its index.
class ColourSwatch : public QFrame {
  Q_OBJECT
 public:
  ColourSwatch(const LivePalette& palette, int index, QWidget* parent);
  int index() const { return index_; }
  void set_marked(bool marked);
  bool marked() const { return marked_; }

 Q_SIGNALS:
  void clicked(int index);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;

 private:
  const LivePalette& palette_;
  int index_;
  bool marked_ = false;
};

class PaletteEditor : public QDialog {
  Q_OBJECT
 public:
  PaletteEditor(LivePalette& palette, QWidget* parent);

  ColourSwatch* swatch(int index) const { return swatches_[std::size_t(index)]; }
  // 0 red, 1 green, 2 blue.
  QSlider* slider(int component) const { return sliders_[std::size_t(component)]; }
  int selected() const { return selected_; }
  void select(int index);

 private:
  void slider_moved(int component, int position);

  LivePalette& palette_;
  std::array<ColourSwatch*, kPaletteColours> swatches_{};
  std::array<QSlider*, 3> sliders_{};
  int selected_ = -1;
};

}  // namespace tarnix::ui
