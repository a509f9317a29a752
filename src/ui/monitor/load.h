// The panel's strip charts (network load, requests per second) and the URL
// statistics beside them.
//
// A chart samples one counter of the current network once a second and
// scrolls one pixel per sample; the counter is found afresh at every sample,
// so an adapter switch re-points it without telling the chart.
#pragma once

#include <QFont>
#include <QGroupBox>
#include <QImage>
#include <QStringList>
#include <QTime>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>

namespace tarnix {
struct Net;
}

namespace tarnix::ui {

// The counter a chart samples; null while there is none.
using CounterSource = std::function<std::atomic<std::uint32_t>*()>;
// Local time of day, for the time marks (tests fix it).
using TimeOfDay = std::function<QTime()>;

// Height of the bar for value v in a plot H pixels high whose top is 40.
int strip_bar_height(int plot_height, std::uint32_t v);

// A time mark placed on the whole minute nearest to `now`: its offset in
// pixels from the newest sample (one pixel a second) and its text.
struct TimeMark {
  int offset = 0;
  QString text;  // "%02d:%02d:%02d "
};
TimeMark strip_time_mark(const QTime& now);

// The top of a chart's value axis: the smallest 1, 2 or 5 times a power of
// ten that holds `peak`, and never below `floor`.
std::uint32_t chart_axis_top(std::uint32_t peak, std::uint32_t floor);

// What the chart draws for one sample.
struct ChartSample {
  QTime time;
  std::uint32_t value = 0;
};

class StripChart : public QWidget {  // "STRIP"
  Q_OBJECT
 public:
  explicit StripChart(QWidget* parent = nullptr);

  void set_source(CounterSource source) { source_ = std::move(source); }
  void set_fonts(const QFont* axis, const QFont* label);
  void set_label_format(const QString& format);
  void set_bottom_margin(int margin);
  void set_reset_after_sample(bool reset) { reset_ = reset; }
  void set_clock(TimeOfDay clock) { clock_ = std::move(clock); }

  // Plot height: client height less the bottom margin and the text height.
  int plot_height() const { return height() - bottom_margin_ - text_height_; }
  const QImage& plot() const { return plot_; }
  // The last value sampled.
  std::uint32_t last_value() const { return last_; }
  // The strip as the counter's rules keep it: the plot with the label box
  // laid over it.
  QImage composed() const;
  // What the window shows: the samples as a line over a filled area, with a
  // labelled value axis on the left and the minutes below.
  void draw_chart(QPainter& p, const QRect& area) const;
  const std::deque<ChartSample>& history() const { return history_; }
  // The value axis' smallest top (100 for a load in percent).
  void set_axis_floor(std::uint32_t floor) { axis_floor_ = floor; }

  void sample();
  void time_mark();

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;

 private:
  void relayout();
  void write_label(std::uint32_t v);
  void scroll_left();

  QImage plot_, label_;
  QFont axis_font_, label_font_;
  bool has_label_font_ = false;
  int text_height_ = 12;
  int bottom_margin_ = 8;
  QString label_format_ = QStringLiteral("Load: %d%%");
  CounterSource source_;
  bool reset_ = true;
  std::uint32_t samples_since_mark_ = 0;
  std::uint32_t last_ = 0;
  TimeOfDay clock_;
  std::deque<ChartSample> history_;
  std::uint32_t axis_floor_ = 5;
};

class LoadChart : public QWidget {  // "LOAD"
  Q_OBJECT
 public:
  explicit LoadChart(QWidget* parent = nullptr);

  void set_inset(int inset);
  void set_source(CounterSource source) { strip_->set_source(std::move(source)); }
  void set_fonts(const QFont* axis, const QFont* label);
  void set_format(const QString& label_format, const QString& caption);
  void set_bottom_margin(int margin) { strip_->set_bottom_margin(margin); }
  void set_reset_after_sample(bool reset) { strip_->set_reset_after_sample(reset); }

  StripChart* strip() const { return strip_; }
  QGroupBox* box() const { return box_; }
  // Stops the timers (tests drive the chart themselves).
  void stop_timers();

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void relayout();

  QGroupBox* box_;
  StripChart* strip_;
  QTimer sample_timer_, mark_timer_;
  int inset_ = 5;
};

// The figures the statistics panel shows for one network at one refresh.
struct UrlStatsFigures {
  QString runtime;  // "%02d:%02d:%02d"
  std::uint32_t proxied = 0, direct = 0;
  std::uint32_t peak_load = 0;
  float average_load = 0;
};

// One refresh's load rule: a load above 100 is stored back as 0; the peak
// and the running average (over `count` refreshes, which goes up by one)
// follow the load. Run on the user-interface thread only.
void url_stats_update_load(Net& net, std::uint32_t& count);

class UrlStats : public QGroupBox {  // "ustat"
  Q_OBJECT
 public:
  explicit UrlStats(QWidget* parent = nullptr);

  // Calendar seconds at start-up; the run time counts from it.
  void set_start_time(std::time_t t) { start_ = t; }
  void set_wall_clock(std::function<std::time_t()> clock) { wall_ = std::move(clock); }

  // Asks for a refresh from any thread; refreshes already asked for and not
  // yet run are folded into one, so a fast capture loop cannot flood the
  // window.
  void post_refresh(Net* net);
  // Redraws from the network's counters (user-interface thread).
  void refresh(Net& net);

  const UrlStatsFigures& figures() const { return figures_; }
  std::uint32_t refresh_count() const { return count_; }
  const QImage& image() const { return image_; }

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  void make_image();
  void redraw();
  // The six values as the rows show them.
  static QStringList shown_text(const UrlStatsFigures& f);

  QWidget* inner_;  // "Stats"
  QImage image_;
  QFont font_;
  std::time_t start_ = 0;
  std::function<std::time_t()> wall_;
  std::uint32_t count_ = 0;
  UrlStatsFigures figures_;
  QStringList shown_;  // what the image shows
  std::atomic<bool> pending_{false};
};

}  // namespace tarnix::ui
