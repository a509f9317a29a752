#include "ui/controls.h"

#include <QFontMetrics>
#include <algorithm>
#include <cmath>

namespace tarnix::ui {
namespace {

const char* const kLabels[kControlBars] = {"Node Scale",     "Link Scale",    "Max Node Radius",
                                           "Max Link Width", "Node Timeout",  "Link Timeout",
                                           "Font Scale",     "Network Scale", "Update Frequency"};

const char* const kTips[kControlBars] = {
    "How much a host's disc grows with its traffic",
    "How much a link's line widens with its traffic",
    "The largest a host's disc may grow, in map units",
    "The widest a link's line may grow, in pixels",
    "How long a quiet host stays on the map",
    "How long a quiet link stays on the map (hosts stay at least as long)",
    "The size of the names on the map",
    "The size of the subnet rings",
    "How often the map is redrawn: one frame in every so many capture cycles"};

constexpr int kLabelPixels = 13;
constexpr int kSmallestLabelPixels = 7;

// Rounded: 0.29 is 28.999… in a double, and a cut would move the thumb
// (and the setting, once touched) one step down on every start.
int hundredths(double v) {
  return int(std::lround(v * 100));
}

}  // namespace

Controls::Controls(app::Settings& settings, QWidget* parent)
    : QGroupBox(QStringLiteral("Controls"), parent), settings_(settings) {
  setObjectName(QStringLiteral("controls"));
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(kLabelPixels);
  const int start[kControlBars] = {hundredths(settings_.node_scale),
                                   hundredths(settings_.link_scale),
                                   hundredths(settings_.max_node_radius),
                                   settings_.max_link_width,
                                   settings_.node_timeout,
                                   settings_.link_timeout,
                                   hundredths(settings_.font_size),
                                   int(settings_.net_size),
                                   int(settings_.sample_interval)};
  for (int i = 0; i < kControlBars; ++i) {
    auto* b = new QScrollBar(Qt::Horizontal, this);
    b->setObjectName(QString::number(i));
    b->setRange(0, 100);
    b->setSingleStep(1);
    b->setPageStep(25);
    // A dragged thumb changes nothing until it is let go.
    b->setTracking(false);
    b->setValue(std::clamp(start[i], 0, 100));
    // The arrow keys and Page Up/Down move a focused bar.
    b->setFocusPolicy(Qt::StrongFocus);
    // Right and Up go up, as on a slider (a scroll bar's keys run the other
    // way).
    b->setInvertedControls(false);
    b->setToolTip(QString::fromLatin1(kTips[i]));
    b->setAccessibleName(QString::fromLatin1(kLabels[i]));
    auto* l = new QLabel(QString::fromLatin1(kLabels[i]), this);
    l->setFont(font);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    l->setToolTip(b->toolTip());
    l->setBuddy(b);
    auto* v = new QLabel(value_text(i, b->value()), this);
    v->setObjectName(QStringLiteral("value%1").arg(i));
    v->setFont(font);
    v->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    v->setToolTip(b->toolTip());
    // The value follows a dragged thumb before it is let go.
    connect(b, &QScrollBar::sliderMoved, v, [v, i](int p) { v->setText(value_text(i, p)); });
    connect(b, &QScrollBar::valueChanged, this, [this, i, v](int p) {
      v->setText(value_text(i, p));
      apply(i, p);
    });
    bars_[std::size_t(i)] = b;
    labels_[std::size_t(i)] = l;
    values_[std::size_t(i)] = v;
  }
}

QString Controls::value_text(int i, int p) {
  switch (i) {
    case 3:
      return QStringLiteral("%1 px").arg(p);
    case 4:
    case 5:
      return QStringLiteral("%1 s").arg(p);
    case 7:
      return QString::number(p);
    case 8:
      // One frame in every 5f - 4 cycles.
      return QStringLiteral("1 in %1").arg(std::max(1, 5 * p - 4));
    default:
      return QString::number(p / 100.0, 'f', 2);
  }
}

void Controls::apply(int i, int p) {
  switch (i) {
    case 0:
      settings_.node_scale = p / 100.0;
      break;
    case 1:
      settings_.link_scale = p / 100.0;
      break;
    case 2:
      settings_.max_node_radius = p / 100.0;
      break;
    case 3:
      settings_.max_link_width = p;
      break;
    case 4:
      // A host never leaves the map before its links do.
      settings_.node_timeout = std::max(p, position(5));
      break;
    case 5:
      settings_.link_timeout = p;
      settings_.node_timeout = std::max(position(4), p);
      break;
    case 6:
      settings_.font_size = p / 100.0;
      break;
    case 7:
      settings_.net_size = p;
      break;
    case 8:
      settings_.sample_interval = p;
      break;
    default:
      break;
  }
  if (changed_) changed_();
}

void Controls::resizeEvent(QResizeEvent* e) {
  QGroupBox::resizeEvent(e);
  const int w = width();
  // The line height sets the spacing; where the font's is taller than the
  // window allows (a substitute for Arial), it shrinks so all nine fit.
  QFont font = labels_[0]->font();
  font.setPixelSize(kLabelPixels);
  int t = QFontMetrics(font).height();
  if (height() > 0) t = std::min(t, int(height() / 20.7));
  // The labels keep their size where they fit; in a narrow column (or with
  // a wider substitute for Arial) they shrink until the longest is whole.
  QFont small = labels_[0]->font();
  for (int px = kLabelPixels; px >= kSmallestLabelPixels; --px) {
    small.setPixelSize(px);
    const QFontMetrics m(small);
    int widest = 0;
    // A label and its value share the line and must not meet.
    for (int i = 0; i < kControlBars; ++i)
      widest =
          std::max(widest, m.horizontalAdvance(labels_[std::size_t(i)]->text()) +
                               m.horizontalAdvance(values_[std::size_t(i)]->text()) + m.averageCharWidth());
    if (widest <= w - 15) break;
  }
  for (QLabel* l : labels_) l->setFont(small);
  for (QLabel* v : values_) v->setFont(small);
  for (int i = 0; i < kControlBars; ++i) {
    bars_[std::size_t(i)]->setGeometry(10, int((2.1 * i + 2) * t), w - 15, 3 * t / 4);
    labels_[std::size_t(i)]->setGeometry(10, int((2.1 * i + 2.7) * t), w - 15, t);
    values_[std::size_t(i)]->setGeometry(10, int((2.1 * i + 2.7) * t), w - 15, t);
  }
}

}  // namespace tarnix::ui
