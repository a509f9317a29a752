#include "ui/monitor/load.h"

#include <QApplication>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>
#include <cstring>

#include "capture/net.h"

namespace tarnix::ui {
namespace {

constexpr int kPlotExtra = 101;  // room right of the client for time marks to scroll in from
constexpr QRgb kGridColour = qRgb(0x32, 0x32, 0xff);

QColor menu_colour() { return QApplication::palette().color(QPalette::Window); }

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

void StripChart::resizeEvent(QResizeEvent*) { relayout(); }

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

void StripChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawImage(0, 0, composed());
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

void LoadChart::set_fonts(const QFont* axis, const QFont* label) { strip_->set_fonts(axis, label); }

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

void LoadChart::resizeEvent(QResizeEvent*) { relayout(); }

void url_stats_update_load(Net& net, std::uint32_t& count) {
  std::uint32_t load = net.load_percent.load(std::memory_order_acquire);
  if (load > 100) {
    // Only the value read is put back to 0: a fresh sample written meanwhile
    // by the capture thread stands.
    net.load_percent.compare_exchange_strong(load, 0, std::memory_order_acq_rel);
    load = 0;
  }
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
  image_ = QImage(inner_->size(), QImage::Format_RGB32);
  image_.fill(menu_colour());
  redraw();
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
  figures_.peak_load = net.peak_load;
  figures_.average_load = net.average_load;
  redraw();
}

void UrlStats::redraw() {
  if (image_.isNull()) return;
  image_.fill(menu_colour());
  QPainter p(&image_);
  p.setFont(font_);
  p.setPen(palette().color(QPalette::WindowText));
  const QFontMetrics fm(font_);
  // Eight rows must fit: a font taller than the one the panel was drawn for
  // packs its rows closer rather than losing the last.
  const int line = std::max(1, std::min(fm.height() + fm.leading(), image_.height() / 8));
  const int half = image_.width() / 2;
  const auto row = [&](int n, const QString& label, const QString& value) {
    const int y = n * line;
    p.drawText(QRect(0, y, half, line), Qt::AlignRight | Qt::AlignTop | Qt::TextDontClip, label);
    p.drawText(QRect(half + 5, y, image_.width() - half - 5, line), Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, value);
  };
  const auto count = [](unsigned long v) { return QString::asprintf("%lu    ", v); };
  row(0, QStringLiteral("Runtime :"), figures_.runtime);
  row(2, QStringLiteral("Proxy :"), count(figures_.proxied));
  row(3, QStringLiteral("Non Proxy :"), count(figures_.direct));
  row(4, QStringLiteral("Total URLs :"), count(static_cast<unsigned long>(figures_.proxied) + figures_.direct));
  row(6, QStringLiteral("Peak Load :"), QString::asprintf("%u%%    ", figures_.peak_load));
  row(7, QStringLiteral("Avg Load :"), QString::asprintf("%4.2f%%    ", double(figures_.average_load)));
  inner_->update();
}

}  // namespace tarnix::ui
