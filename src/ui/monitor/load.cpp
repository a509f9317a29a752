#include "ui/monitor/load.h"

#include <QApplication>
#include <QLocale>
#include <QPainter>
#include <QPolygonF>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

#include "capture/net.h"

namespace tarnix::ui {
namespace {

constexpr int kPlotExtra = 101;  // room right of the client for time marks to scroll in from
constexpr QRgb kGridColour = qRgb(0x32, 0x32, 0xff);

QColor menu_colour() {
  return QApplication::palette().color(QPalette::Window);
}

// The label formats hold one "%d" and "%%"; anything else is shown as typed,
// so no format can read past its one argument.
QString format_value(const QString& format, std::uint32_t v) {
  QString out;
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] == QLatin1Char('%') && i + 1 < format.size()) {
      if (format[i + 1] == QLatin1Char('d')) {
        out += QString::number(v);
        ++i;
        continue;
      }
      if (format[i + 1] == QLatin1Char('%')) {
        out += QLatin1Char('%');
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

class StatsView final : public QWidget {
 public:
  StatsView(const QImage* image, QWidget* parent) : QWidget(parent), image_(image) {
    setObjectName(QStringLiteral("Stats"));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawImage(0, 0, *image_);
  }

 private:
  const QImage* image_;
};

}  // namespace

int strip_bar_height(int plot_height, std::uint32_t v) {
  if (plot_height <= 0) return 0;
  const std::int64_t scaled = std::int64_t(plot_height) * v / 40;
  return int(std::min<std::int64_t>(plot_height, scaled));
}

std::uint32_t chart_axis_top(std::uint32_t peak, std::uint32_t floor) {
  const std::uint64_t want = std::max(peak, std::max<std::uint32_t>(floor, 1));
  for (std::uint64_t decade = 1;; decade *= 10)
    for (std::uint64_t step : {1, 2, 5})
      if (step * decade >= want) return std::uint32_t(std::min<std::uint64_t>(step * decade, UINT32_MAX));
}

TimeMark strip_time_mark(const QTime& now) {
  int h = now.hour(), m = now.minute();
  const int s = now.second();
  TimeMark mark;
  if (s >= 1 && s <= 30) {
    mark.offset = -s;
  } else if (s >= 31) {
    mark.offset = 60 - s;
    if (++m == 60) {
      m = 0;
      if (++h == 24) h = 0;
    }
  }
  mark.text = QString::asprintf("%02d:%02d:%02d ", h, m, 0);
  return mark;
}

StripChart::StripChart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("STRIP"));
  axis_font_ = QFont(QStringLiteral("Arial"));
  axis_font_.setPixelSize(12);
  text_height_ = QFontMetrics(axis_font_).height();
  setAttribute(Qt::WA_OpaquePaintEvent);
  relayout();
}

void StripChart::set_fonts(const QFont* axis, const QFont* label) {
  if (axis) axis_font_ = *axis;
  if (label) {
    label_font_ = *label;
    has_label_font_ = true;
  }
  text_height_ = QFontMetrics(axis_font_).height();
  relayout();
}

void StripChart::set_label_format(const QString& format) {
  label_format_ = format;
  write_label(last_);
  update();
}

void StripChart::set_bottom_margin(int margin) {
  bottom_margin_ = margin;
  relayout();
}

void StripChart::write_label(std::uint32_t v) {
  label_.fill(Qt::white);
  QPainter p(&label_);
  if (has_label_font_) p.setFont(label_font_);
  p.setPen(Qt::black);
  p.drawText(label_.rect(), Qt::AlignLeft | Qt::AlignTop, format_value(label_format_, v));
}

void StripChart::relayout() {
  const int w = std::max(width(), 1), h = std::max(height(), 1);
  plot_ = QImage(w + kPlotExtra, h, QImage::Format_RGB32);
  plot_.fill(Qt::white);
  const int H = std::max(plot_height(), 0);
  {
    QPainter p(&plot_);
    p.fillRect(QRect(0, H, plot_.width(), h - H), menu_colour());
    p.setPen(QPen(QColor(kGridColour), 1));
    for (int k : {10, 20, 30}) {
      const int y = (H * k) / 40;
      p.drawLine(0, y, plot_.width() - 1, y);
    }
  }
  label_ = QImage(80, 35, QImage::Format_RGB32);
  write_label(0);
}

void StripChart::resizeEvent(QResizeEvent*) {
  relayout();
}

void StripChart::scroll_left() {
  const int bytes = (plot_.width() - 1) * 4;
  for (int y = 0; y < plot_.height(); ++y) {
    uchar* line = plot_.scanLine(y);
    std::memmove(line, line + 4, std::size_t(bytes));
  }
}

void StripChart::sample() {
  // A hidden window hears of its size only when shown; the plot follows it.
  if (plot_.size() != QSize(std::max(width(), 1) + kPlotExtra, std::max(height(), 1))) relayout();
  ++samples_since_mark_;
  std::uint32_t v = 0;
  if (std::atomic<std::uint32_t>* c = source_ ? source_() : nullptr) {
    // The exchange takes the count and restarts it in one step: a request
    // counted between a read and a separate reset would be lost.
    v = reset_ ? c->exchange(0, std::memory_order_acq_rel) : c->load(std::memory_order_acquire);
  }
  last_ = v;
  history_.push_back({clock_ ? clock_() : QTime::currentTime(), v});
  // One sample a pixel: a screen's width of them is all a chart can show.
  while (history_.size() > 4096) history_.pop_front();
  const int H = plot_height();
  const int b = strip_bar_height(H, v);
  write_label(v);
  scroll_left();
  if (b != 0) {
    QPainter p(&plot_);
    p.setPen(QPen(Qt::black, 1));
    p.drawLine(width() - 1, H - 1, width() - 1, H - b);
  }
  update();
  if (samples_since_mark_ > 65) time_mark();
}

void StripChart::time_mark() {
  if (samples_since_mark_ <= 30) return;
  const TimeMark mark = strip_time_mark(clock_ ? clock_() : QTime::currentTime());
  const int H = plot_height();
  const int x = width() + mark.offset;
  QPainter p(&plot_);
  p.setFont(axis_font_);
  p.setPen(Qt::black);
  p.setBackgroundMode(Qt::OpaqueMode);
  p.setBackground(menu_colour());
  const int tw = QFontMetrics(axis_font_).horizontalAdvance(mark.text);
  p.drawText(QRect(x - tw / 2, H + bottom_margin_, tw, text_height_), Qt::AlignHCenter | Qt::AlignTop,
             mark.text);
  p.drawLine(x, H, x, H + bottom_margin_);
  samples_since_mark_ = 0;
  update();
}

QImage StripChart::composed() const {
  QImage frame = plot_.copy(0, 0, std::max(width(), 1), std::max(height(), 1));
  QPainter p(&frame);
  // AND: the label's dark text lies over the chart, its white lets it through.
  p.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
  p.drawImage(5, 0, label_);
  return frame;
}

void StripChart::draw_chart(QPainter& p, const QRect& area) const {
  const QPalette& pal = palette();
  p.fillRect(area, pal.color(QPalette::Base));
  p.setFont(axis_font_);
  const QFontMetrics fm(axis_font_);
  std::uint32_t peak = 0;
  const int max_samples = std::max(area.width(), 1);
  const int first = std::max(0, int(history_.size()) - max_samples);
  for (int i = first; i < int(history_.size()); ++i) peak = std::max(peak, history_[std::size_t(i)].value);
  const std::uint32_t top = chart_axis_top(peak, axis_floor_);
  const bool percent = label_format_.contains(QLatin1String("%%"));
  const auto value_text = [&](std::uint32_t v) {
    return percent ? QStringLiteral("%1%").arg(v) : QLocale().toString(qulonglong(v));
  };
  // Room for the widest value label on the left and a line of time below,
  // so no label is struck through by the plot or cut by the edge.
  const int label_w = fm.horizontalAdvance(value_text(top)) + 4;
  const int text_h = fm.height();
  const QRect plot(area.left() + label_w + 2, area.top() + text_h / 2, area.width() - label_w - 4,
                   area.height() - text_h - text_h / 2 - 2);
  if (plot.width() < 4 || plot.height() < 4) return;
  const QColor text = pal.color(QPalette::Text);
  QColor grid = text;
  grid.setAlpha(50);
  const auto y_of = [&](double v) { return plot.bottom() - v / top * plot.height(); };
  for (std::uint32_t v : {0u, top / 2, top}) {
    const int y = int(std::lround(y_of(v)));
    p.setPen(QPen(grid, 1));
    p.drawLine(plot.left(), y, plot.right(), y);
    p.setPen(text);
    p.drawText(QRect(area.left(), y - text_h / 2, label_w, text_h), Qt::AlignRight | Qt::AlignVCenter,
               value_text(v));
  }
  // Newest sample at the right edge, one pixel a second.
  QPolygonF line;
  const int n = int(history_.size()) - first;
  for (int k = 0; k < n; ++k) {
    const ChartSample& s = history_[std::size_t(first + k)];
    line << QPointF(plot.right() - (n - 1 - k), y_of(std::min(s.value, top)));
  }
  QString last_time;
  int last_label_right = plot.left() - 1;
  for (int k = 0; k < n; ++k) {
    const QTime t = history_[std::size_t(first + k)].time;
    if (!t.isValid() || t.second() != 0) continue;
    const QString mark = t.toString(QStringLiteral("HH:mm"));
    if (mark == last_time) continue;
    last_time = mark;
    const int x = int(line[k].x());
    const int w = fm.horizontalAdvance(mark);
    // A label that would run off either edge or into the last one is left out.
    if (x - w / 2 <= last_label_right + 4 || x - w / 2 < area.left() || x + w / 2 > area.right()) continue;
    p.setPen(QPen(grid, 1));
    p.drawLine(x, plot.top(), x, plot.bottom());
    p.setPen(text);
    p.drawText(QRect(x - w / 2, plot.bottom() + 2, w, text_h), Qt::AlignCenter, mark);
    last_label_right = x + w / 2;
  }
  if (!line.isEmpty()) {
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill = pal.color(QPalette::Highlight);
    QPolygonF area_poly = line;
    area_poly << QPointF(line.last().x(), plot.bottom()) << QPointF(line.first().x(), plot.bottom());
    fill.setAlpha(90);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPolygon(area_poly);
    p.setPen(QPen(pal.color(QPalette::Highlight), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(line);
    p.setRenderHint(QPainter::Antialiasing, false);
  }
  // The current value, where the newest sample is read.
  const QString now = format_value(label_format_, last_);
  if (has_label_font_) p.setFont(label_font_);
  const QFontMetrics lm(p.font());
  const QRect box(plot.left() + 4, plot.top() + 2, lm.horizontalAdvance(now) + 8, lm.height());
  QColor back = pal.color(QPalette::Base);
  back.setAlpha(200);
  p.fillRect(box, back);
  p.setPen(text);
  p.drawText(box, Qt::AlignCenter, now);
}

void StripChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  draw_chart(p, rect());
}

LoadChart::LoadChart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("LOAD"));
  box_ = new QGroupBox(QStringLiteral("Network Load"), this);
  strip_ = new StripChart(box_);
  sample_timer_.setInterval(1000);
  mark_timer_.setInterval(60000);
  connect(&sample_timer_, &QTimer::timeout, strip_, &StripChart::sample);
  connect(&mark_timer_, &QTimer::timeout, strip_, &StripChart::time_mark);
  sample_timer_.start();
  mark_timer_.start();
  QTimer::singleShot(0, strip_, &StripChart::sample);
  relayout();
}

void LoadChart::stop_timers() {
  sample_timer_.stop();
  mark_timer_.stop();
}

void LoadChart::set_inset(int inset) {
  inset_ = inset;
  relayout();
}

void LoadChart::set_fonts(const QFont* axis, const QFont* label) {
  strip_->set_fonts(axis, label);
}

void LoadChart::set_format(const QString& label_format, const QString& caption) {
  box_->setTitle(caption);
  strip_->set_label_format(label_format);
}

void LoadChart::relayout() {
  const int w = width(), h = height();
  box_->setGeometry(inset_, inset_, std::max(w - 2 * inset_, 0), std::max(h - 2 * inset_, 0));
  const int a = QFontMetrics(box_->font()).height() / 2 + 2;
  strip_->setGeometry(a, 2 * a, std::max(w - 3 * a, 1), std::max(h - 4 * a, 1));
}

void LoadChart::resizeEvent(QResizeEvent*) {
  relayout();
}

void url_stats_update_load(Net& net, std::uint32_t& count) {
  std::uint32_t load = net.load_percent.load(std::memory_order_acquire);
  if (load > 100) {
    // Only the value read is put back to 0: a fresh sample written meanwhile
    // by the capture thread stands.
    net.load_percent.compare_exchange_strong(load, 0, std::memory_order_acq_rel);
    load = 0;
  }
  // The figures live in the model, where the statistics report reads them
  // from its own thread.
  MutexLock held(net.lock);
  if (load > net.peak_load) net.peak_load = load;
  const float a = net.average_load;
  net.average_load = a + (float(load) - a) / float(count + 1);
  ++count;
}

UrlStats::UrlStats(QWidget* parent) : QGroupBox(QStringLiteral("Statistics"), parent) {
  setObjectName(QStringLiteral("ustat"));
  font_ = QFont(QStringLiteral("Arial"));
  font_.setPixelSize(13);
  font_.setWeight(QFont::Normal);
  inner_ = new StatsView(&image_, this);
}

void UrlStats::resizeEvent(QResizeEvent*) {
  const int top = QFontMetrics(font()).height() + 2;
  inner_->setGeometry(6, top, std::max(width() - 12, 1), std::max(height() - top - 6, 1));
  make_image();
}

void UrlStats::make_image() {
  // The text is drawn at the screen's own resolution: on a scaled desktop
  // it stays sharp rather than being drawn small and blown up.
  const qreal ratio = std::clamp(devicePixelRatioF(), 1.0, 8.0);
  image_ =
      QImage(QSize(int(std::lround(inner_->width() * ratio)), int(std::lround(inner_->height() * ratio))),
             QImage::Format_RGB32);
  image_.setDevicePixelRatio(ratio);
  redraw();
}

void UrlStats::changeEvent(QEvent* e) {
  QGroupBox::changeEvent(e);
  // A new desktop palette (a dark theme chosen while running) is drawn at once.
  if (e->type() == QEvent::PaletteChange && !image_.isNull()) redraw();
}

void UrlStats::post_refresh(Net* net) {
  if (!net || pending_.exchange(true, std::memory_order_acq_rel)) return;
  QMetaObject::invokeMethod(
      this,
      [this, net] {
        pending_.store(false, std::memory_order_release);
        refresh(*net);
      },
      Qt::QueuedConnection);
}

void UrlStats::refresh(Net& net) {
  const std::time_t now = wall_ ? wall_() : std::time(nullptr);
  const long long up = std::max<long long>(0, static_cast<long long>(now - start_));
  figures_.runtime = QString::asprintf("%02lld:%02lld:%02lld", up / 3600, (up / 60) % 60, up % 60);
  figures_.proxied = net.urls.proxied.load(std::memory_order_relaxed);
  figures_.direct = net.urls.direct.load(std::memory_order_relaxed);
  url_stats_update_load(net, count_);
  net.read([&](const Net& n) REQUIRES(n.lock) {
    figures_.peak_load = n.peak_load;
    figures_.average_load = n.average_load;
  });
  // Asked ten times a second, most refreshes change nothing shown (on a
  // quiet network, all but one a second): only a change is drawn.
  if (shown_ != shown_text(figures_)) redraw();
}

QStringList UrlStats::shown_text(const UrlStatsFigures& f) {
  const auto count = [](unsigned long v) { return QString::asprintf("%lu    ", v); };
  return {f.runtime,
          count(f.proxied),
          count(f.direct),
          count(static_cast<unsigned long>(f.proxied) + f.direct),
          QString::asprintf("%u%%    ", f.peak_load),
          QString::asprintf("%4.2f%%    ", double(f.average_load))};
}

void UrlStats::redraw() {
  if (image_.isNull()) return;
  // A view moved to a screen of another scale gets an image of that scale.
  if (image_.devicePixelRatio() != std::clamp(devicePixelRatioF(), 1.0, 8.0)) return make_image();
  shown_ = shown_text(figures_);
  image_.fill(palette().color(QPalette::Window));
  QPainter p(&image_);
  const QSize size = image_.deviceIndependentSize().toSize();
  // Eight rows must fit: a font taller than the one the panel was drawn for
  // packs its rows closer, and where the box's title (in the desktop's font)
  // leaves too little room even so, the font shrinks rather than the last
  // row being cut.
  QFont font = font_;
  const auto line_of = [&](const QFontMetrics& m) {
    return std::max(1, std::min(m.height() + m.leading(), size.height() / 8));
  };
  while (font.pixelSize() > 7 &&
         7 * line_of(QFontMetrics(font)) + QFontMetrics(font).height() > size.height())
    font.setPixelSize(font.pixelSize() - 1);
  p.setFont(font);
  p.setPen(palette().color(QPalette::WindowText));
  const QFontMetrics fm(font);
  const int line = line_of(fm);
  const int half = size.width() / 2;
  const auto row = [&](int n, const QString& label, const QString& value) {
    const int y = n * line;
    p.drawText(QRect(0, y, half, line), Qt::AlignRight | Qt::AlignTop | Qt::TextDontClip, label);
    p.drawText(QRect(half + 5, y, size.width() - half - 5, line),
               Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, value);
  };
  const std::pair<int, QString> labels[] = {
      {0, QStringLiteral("Runtime :")},   {2, QStringLiteral("Proxy :")},
      {3, QStringLiteral("Non Proxy :")}, {4, QStringLiteral("Total URLs :")},
      {6, QStringLiteral("Peak Load :")}, {7, QStringLiteral("Avg Load :")},
  };
  for (std::size_t i = 0; i < std::size(labels); ++i)
    row(labels[i].first, labels[i].second, shown_[qsizetype(i)]);
  inner_->update();
}

}  // namespace tarnix::ui
