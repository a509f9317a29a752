// The Controls window: nine scroll bars, each bound to a setting that the map
// and the traffic tick read at every cycle.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QScrollBar>
#include <array>
#include <functional>

#include "app/settings.h"

namespace tarnix::ui {

inline constexpr int kControlBars = 9;

class Controls : public QGroupBox {
  Q_OBJECT
 public:
  explicit Controls(app::Settings& settings, QWidget* parent = nullptr);

  QScrollBar* bar(int i) const { return bars_[std::size_t(i)]; }
  QLabel* label(int i) const { return labels_[std::size_t(i)]; }
  // The bar's position as the setting it gives, with its unit.
  QLabel* value(int i) const { return values_[std::size_t(i)]; }
  static QString value_text(int i, int position);
  int position(int i) const { return bars_[std::size_t(i)]->value(); }
  // Called after a bar has changed its setting.
  void set_changed(std::function<void()> fn) { changed_ = std::move(fn); }

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void apply(int i, int p);

  app::Settings& settings_;
  std::function<void()> changed_;
  std::array<QScrollBar*, kControlBars> bars_{};
  std::array<QLabel*, kControlBars> labels_{};
  std::array<QLabel*, kControlBars> values_{};
};

}  // namespace tarnix::ui
