#include "ui/alarm_builder.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <limits>
#include <type_traits>
#include <utility>

#include "naming/netaddr.h"
#include "pdl/protocol_tree.h"

namespace tarnix::ui {
namespace {

constexpr int kNotifyMax = 80;
const QString kNa = QStringLiteral("N/A");
const QString kUnresolved = QStringLiteral("(unresolved)");

// The two state icons: a lit lamp for an enabled alarm, a dark crossed one
// for a disabled alarm.
QIcon state_icon(bool enabled) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(enabled ? QColor(220, 30, 30) : QColor(150, 150, 150));
  p.drawEllipse(QRectF(2.5, 2.5, 11, 11));
  if (!enabled) {
    p.setPen(QPen(Qt::black, 2));
    p.drawLine(4, 4, 12, 12);
  }
  return QIcon(pm);
}

// Label edits are cut at the notify string's length.
class NotifyDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* w = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->setMaxLength(kNotifyMax);
    return w;
  }
};

QString host_text(const AlarmHost* h) {
  if (h == nullptr) return {};
  if (!h->name.empty()) return QString::fromStdString(h->name);
  return QString::fromStdString(netaddr_text(h->address));
}

// A control named by its dialog id.
template <class W, class... Args>
W* named(const char* id, Args&&... args) {
  auto* w = new W(std::forward<Args>(args)...);
  w->setObjectName(QLatin1String(id));
  return w;
}

QRadioButton* radio(const QString& text, const char* id, QWidget* parent) {
  auto* r = named<QRadioButton>(id, text, parent);
  // Exclusive by hand: the dialog decides which one is checked.
  r->setAutoExclusive(false);
  return r;
}

// Runs `work` on a worker of the global pool, then hands its result to `done`
// on the GUI thread unless `owner` has gone meanwhile. The answer is posted to
// the application object: it outlives every dialog, and its destructor waits
// for the pool's workers.
template <class Work, class Done>
void off_thread(QObject* owner, Work work, Done done) {
  QThreadPool::globalInstance()->start([owner = QPointer<QObject>(owner), work, done] {
    auto post = [&owner](auto answer) {
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [owner, answer] {
            if (owner) answer();
          },
          Qt::QueuedConnection);
    };
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      post(done);
    } else {
      post([done, result = work()] { done(result); });
    }
  });
}

QPushButton* button(const QString& text, const char* id, QWidget* parent) {
  auto* b = named<QPushButton>(id, text, parent);
  // Enter moves the focus; it never presses a button for the user.
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

}  // namespace

bool AlarmListView::cancel_edit() {
  if (state() != QAbstractItemView::EditingState) return false;
  QWidget* editor = indexWidget(currentIndex());
  if (editor == nullptr) return false;
  closeEditor(editor, QAbstractItemDelegate::RevertModelCache);
  setFocus();
  return true;
}

AlarmListModel::AlarmListModel(AlarmBuilder& builder, QObject* parent)
    : QAbstractListModel(parent),
      builder_(builder),
      enabled_(state_icon(true)),
      disabled_(state_icon(false)) {}

int AlarmListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : builder_.count();
}

QVariant AlarmListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= builder_.count()) return {};
  const Alarm& a = *builder_.at(index.row());
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return QString::fromStdString(a.notify);
    case Qt::DecorationRole:
      return a.disabled != 0 ? disabled_ : enabled_;
    case Qt::UserRole:  // the image index, 0 enabled, 1 disabled
      return a.disabled != 0 ? 1 : 0;
    case Qt::CheckStateRole:  // the visible switch: checked is enabled
      return a.disabled != 0 ? Qt::Unchecked : Qt::Checked;
    case Qt::ToolTipRole:
      return a.disabled != 0 ? QStringLiteral("Disabled: check the box to enable this alarm")
                             : QStringLiteral("Enabled: clear the box to disable this alarm");
    default:
      return {};
  }
}

bool AlarmListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.row() >= builder_.count()) return false;
  if (role == Qt::CheckStateRole) {
    const bool enable = value.toInt() == Qt::Checked;
    if ((builder_.at(index.row())->disabled == 0) != enable) toggle_disabled(index.row());
    return true;
  }
  if (role != Qt::EditRole) return false;
  const QString text = value.toString().left(kNotifyMax);
  if (text.isEmpty()) return false;  // an emptied label keeps the name it had
  builder_.at(index.row())->notify = text.toStdString();
  Q_EMIT dataChanged(index, index);
  return true;
}

Qt::ItemFlags AlarmListModel::flags(const QModelIndex& index) const {
  return QAbstractListModel::flags(index) | Qt::ItemIsEditable | Qt::ItemIsUserCheckable;
}

int AlarmListModel::add_new() {
  const int row = builder_.count();
  beginInsertRows({}, row, row);
  builder_.add_new();
  endInsertRows();
  return row;
}

void AlarmListModel::remove(int row) {
  if (row < 0 || row >= builder_.count()) return;
  beginRemoveRows({}, row, row);
  builder_.remove(row);
  endRemoveRows();
}

void AlarmListModel::toggle_disabled(int row) {
  if (row < 0 || row >= builder_.count()) return;
  AlarmBuilder::toggle_disabled(*builder_.at(row));
  Q_EMIT dataChanged(index(row), index(row));
}

AlarmBuilderDialog::AlarmBuilderDialog(AlarmBuilderContext context, QWidget* parent)
    : QDialog(parent), ctx_(context), builder_(AlarmBuilder::open(*context.state)) {
  setObjectName(QStringLiteral("10024"));
  setWindowTitle(QStringLiteral("Alarm Builder"));
  if (ctx_.protocols != nullptr) protocols_ = alarm_protocol_choices(ctx_.protocols);
  build();
  if (!ctx_.new_host_alarm.trimmed().isEmpty()) {
    start_host_alarm(ctx_.new_host_alarm.trimmed());
    return;
  }
  select_row(builder_.count() > 0 ? 0 : -1);
  list_->setFocus();
}

void AlarmBuilderDialog::start_host_alarm(const QString& host) {
  const int row = model_->add_new();
  Alarm& a = *builder_.at(row);
  AlarmBuilder::set_object_type(a, kAlarmHost);
  // A host is watched for more traffic than usual; the value is the user's
  // next word, so the focus waits there.
  AlarmBuilder::set_threshold(a, kAlarmHigh);
  a.notify = QStringLiteral("Traffic of %1").arg(host).left(kNotifyMax).toStdString();
  select_row(row);
  first_->setEditText(host);
  take_host(1, first_);
  value_->setFocus();
  value_->selectAll();
}

AlarmBuilderDialog::~AlarmBuilderDialog() {
  // Answers still on their way find no dialog; the wait cursor goes with it.
  for (std::size_t i = 0; i < lookups_.size(); ++i) QApplication::restoreOverrideCursor();
  if (committing_) QApplication::restoreOverrideCursor();
}

void AlarmBuilderDialog::build() {
  auto* alarms = new QGroupBox(QStringLiteral("Alarms"), this);
  list_ = new AlarmListView(alarms);
  list_->setObjectName(QStringLiteral("10002"));
  model_ = new AlarmListModel(builder_, this);
  list_->setModel(model_);
  list_->setItemDelegate(new NotifyDelegate(list_));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  // Renaming starts on a double click or F2; the check box beside each name
  // switches the alarm on and off.
  list_->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::DoubleClicked);
  list_->setIconSize(QSize(16, 16));
  list_->setMinimumWidth(200);
  new_ = button(QStringLiteral("New"), "10004", alarms);
  delete_ = button(QStringLiteral("Delete"), "10003", alarms);
  auto* alarms_layout = new QVBoxLayout(alarms);
  alarms_layout->addWidget(list_);
  auto* list_buttons = new QHBoxLayout;
  list_buttons->addWidget(new_);
  list_buttons->addWidget(delete_);
  alarms_layout->addLayout(list_buttons);

  auto* object = new QGroupBox(QStringLiteral("Object Type"), this);
  host_ = radio(QStringLiteral("Host"), "10005", object);
  link_ = radio(QStringLiteral("Link"), "10006", object);
  network_ = radio(QStringLiteral("Network"), "10008", object);
  url_ = radio(QStringLiteral("URL"), "10007", object);
  protocol_ = radio(QStringLiteral("Protocol"), "10009", object);
  first_label_ = named<QLabel>("10026", object);
  second_label_ = named<QLabel>("10027", object);
  first_ = named<QComboBox>("10010", object);
  second_ = named<QComboBox>("10025", object);
  for (QComboBox* box : {first_, second_}) {
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setMinimumWidth(260);
  }
  auto* object_layout = new QGridLayout(object);
  auto* radios = new QHBoxLayout;
  for (QRadioButton* r : {host_, link_, network_, url_, protocol_}) radios->addWidget(r);
  object_layout->addLayout(radios, 0, 0, 1, 2);
  object_layout->addWidget(first_label_, 1, 0);
  object_layout->addWidget(first_, 1, 1);
  object_layout->addWidget(second_label_, 2, 0);
  object_layout->addWidget(second_, 2, 1);

  auto* kind = new QGroupBox(QStringLiteral("Theshold Type"), this);
  occurrence_ = radio(QStringLiteral("Occurrence"), "10011", kind);
  hi_ = radio(QStringLiteral("Threshold hi"), "10012", kind);
  lo_ = radio(QStringLiteral("Threshold lo"), "10013", kind);
  auto* kind_layout = new QVBoxLayout(kind);
  for (QRadioButton* r : {occurrence_, hi_, lo_}) kind_layout->addWidget(r);

  auto* units = new QGroupBox(QStringLiteral("Traffic Units"), this);
  kbytes_ = radio(QStringLiteral("KBytes/sec"), "10014", units);
  packets_ = radio(QStringLiteral("Packets/sec"), "10015", units);
  bandwidth_ = radio(QStringLiteral("% Bandwidth"), "10016", units);
  auto* value_label = named<QLabel>("10028", QStringLiteral("Value"), units);
  value_ = named<QLineEdit>("10017", units);
  value_->setMaxLength(kNotifyMax);
  value_validator_ = new QIntValidator(0, std::numeric_limits<std::int32_t>::max(), value_);
  value_->setValidator(value_validator_);
  auto* units_layout = new QGridLayout(units);
  units_layout->addWidget(kbytes_, 0, 0);
  units_layout->addWidget(packets_, 1, 0);
  units_layout->addWidget(bandwidth_, 2, 0);
  units_layout->addWidget(value_label, 0, 1);
  units_layout->addWidget(value_, 1, 1);

  auto* actions = new QGroupBox(QStringLiteral("Actions"), this);
  play_ = named<QCheckBox>("10019", QStringLiteral("Play wave file"), actions);
  sound_ = named<QLineEdit>("10018", actions);
  sound_browse_ = button(QStringLiteral("Browse"), "10022", actions);
  execute_ = named<QCheckBox>("10021", QStringLiteral("Execute command"), actions);
  command_ = named<QLineEdit>("10020", actions);
  command_browse_ = button(QStringLiteral("Browse"), "10023", actions);
  auto* actions_layout = new QGridLayout(actions);
  actions_layout->addWidget(play_, 0, 0);
  actions_layout->addWidget(sound_, 0, 1);
  actions_layout->addWidget(sound_browse_, 0, 2);
  actions_layout->addWidget(execute_, 1, 0);
  actions_layout->addWidget(command_, 1, 1);
  actions_layout->addWidget(command_browse_, 1, 2);
  // Where a firing goes beyond this desktop, written as stored.
  delivery_ = named<QLineEdit>("delivery", actions);
  delivery_->setPlaceholderText(QStringLiteral("syslog webhook:https://host/path"));
  delivery_->setToolTip(QStringLiteral("Also deliver each firing: syslog (the system log) and webhook:URL "
                                       "(a JSON POST), separated by spaces"));
  actions_layout->addWidget(new QLabel(QStringLiteral("Deliver to"), actions), 2, 0);
  actions_layout->addWidget(delivery_, 2, 1, 1, 2);

  cancel_ = button(QStringLiteral("Cancel"), "30001", this);
  ok_ = button(QStringLiteral("OK"), "30000", this);

  auto* right = new QVBoxLayout;
  right->addWidget(object);
  auto* middle = new QHBoxLayout;
  middle->addWidget(kind);
  middle->addWidget(units);
  right->addLayout(middle);
  right->addWidget(actions);
  problem_ = named<QLabel>("problem", this);
  problem_->setWordWrap(true);
  problem_->setStyleSheet(QStringLiteral("color: #b00000"));
  right->addWidget(problem_);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(cancel_);
  bottom->addWidget(ok_);
  right->addLayout(bottom);
  auto* top = new QHBoxLayout(this);
  top->addWidget(alarms);
  top->addLayout(right, 1);

  // Enter in any control moves the focus on, and a line edit or box that
  // loses the focus hands its text over (see eventFilter).
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);

  connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& now) {
            current_row_ = now.isValid() ? now.row() : -1;
            current_ = now.isValid() ? builder_.at(now.row()) : nullptr;
            show_problem({});
            show_alarm();
          });
  connect(new_, &QPushButton::clicked, this, [this] { select_row(model_->add_new()); });
  connect(delete_, &QPushButton::clicked, this, [this] {
    if (current_row_ < 0) return;
    const int row = current_row_;
    model_->remove(row);
    select_row(builder_.count() == 0 ? -1 : std::min(row, builder_.count() - 1));
  });
  connect(host_, &QRadioButton::clicked, this, [this] { on_object(kAlarmHost); });
  connect(link_, &QRadioButton::clicked, this, [this] { on_object(kAlarmLink); });
  connect(network_, &QRadioButton::clicked, this, [this] { on_object(kAlarmNetwork); });
  connect(url_, &QRadioButton::clicked, this, [this] { on_object(kAlarmUrl); });
  connect(protocol_, &QRadioButton::clicked, this, [this] { on_object(kAlarmProtocol); });
  connect(occurrence_, &QRadioButton::clicked, this, [this] { on_kind(kAlarmOccurrence, 0); });
  connect(hi_, &QRadioButton::clicked, this, [this] { on_kind(kAlarmThreshold, kAlarmHigh); });
  connect(lo_, &QRadioButton::clicked, this, [this] { on_kind(kAlarmThreshold, kAlarmLow); });
  connect(kbytes_, &QRadioButton::clicked, this, [this] { on_unit(kAlarmKilobytes); });
  connect(packets_, &QRadioButton::clicked, this, [this] { on_unit(kAlarmPackets); });
  connect(bandwidth_, &QRadioButton::clicked, this, [this] { on_unit(kAlarmPercent); });
  connect(play_, &QCheckBox::clicked, this, [this] {
    if (!current_) return;
    AlarmBuilder::toggle_flag(current_->play_sound);
    play_->setChecked(current_->play_sound == 1);
  });
  connect(execute_, &QCheckBox::clicked, this, [this] {
    if (!current_) return;
    AlarmBuilder::toggle_flag(current_->run_command);
    execute_->setChecked(current_->run_command == 1);
  });
  connect(sound_browse_, &QPushButton::clicked, this, &AlarmBuilderDialog::browse_sound);
  connect(command_browse_, &QPushButton::clicked, this, &AlarmBuilderDialog::browse_command);
  // A choice from a drop-down list counts at once, as a typed entry does when
  // the box is left.
  connect(first_, qOverload<int>(&QComboBox::activated), this, [this] { take_first_box(); });
  connect(second_, qOverload<int>(&QComboBox::activated), this, [this] { take_second_box(); });
  connect(ok_, &QPushButton::clicked, this, &AlarmBuilderDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &AlarmBuilderDialog::reject);
}

bool AlarmBuilderDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    // A name being edited takes its Enter in its own editor; the key that
    // editor passes on to the list must not move the focus as well, or the
    // editor is closed twice.
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !list_->editing() &&
        watched != list_->viewport()) {
      focusNextChild();
      return true;
    }
  } else if (event->type() == QEvent::FocusOut) {
    // A combo box's own editor hears of focus changes only through the box.
    QLineEdit* edit = watched == first_    ? first_->lineEdit()
                      : watched == second_ ? second_->lineEdit()
                                           : qobject_cast<QLineEdit*>(watched);
    // Only typed text counts: a box left as it was shown changes nothing.
    if (edit != nullptr && edit->isModified() && current_) {
      edit->setModified(false);
      if (edit == first_->lineEdit())
        take_first_box();
      else if (edit == second_->lineEdit())
        take_second_box();
      else if (edit == value_)
        take_value();
      else if (edit == sound_)
        current_->sound_file = sound_->text().toStdString();
      else if (edit == command_)
        current_->command = command_->text().toStdString();
      else if (edit == delivery_)
        current_->delivery = delivery_->text().simplified().toStdString();
    }
  }
  return QDialog::eventFilter(watched, event);
}

void AlarmBuilderDialog::select_row(int row) {
  if (row < 0) {
    list_->selectionModel()->clearCurrentIndex();
    current_row_ = -1;
    current_ = nullptr;
    show_alarm();
    return;
  }
  const QModelIndex index = model_->index(row);
  list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
}

void AlarmBuilderDialog::fill_host_list(QComboBox* box) {
  box->clear();
  if (ctx_.services == nullptr) return;
  // The cache's last name first, as if each had been put on top; added in one
  // go, as a cache may hold thousands and each insertion at the top moves all.
  const std::vector<std::string> names = ctx_.services->host_names();
  QStringList items;
  items.reserve(qsizetype(names.size()));
  for (auto it = names.rbegin(); it != names.rend(); ++it) items.append(QString::fromStdString(*it));
  box->addItems(items);
}

void AlarmBuilderDialog::fill_protocol_list() {
  first_->clear();
  for (const ProtocolChoice& c : protocols_) first_->addItem(QString::fromStdString(c.text));
}

void AlarmBuilderDialog::show_host_box(QComboBox* box, int which) {
  box->setEnabled(true);
  fill_host_list(box);
  const QString text = host_text(current_->host(which));
  box->setEditText(text.isEmpty() ? kUnresolved : text);
}

void AlarmBuilderDialog::set_threshold_controls_enabled(bool on) {
  for (QWidget* w : std::initializer_list<QWidget*>{occurrence_, hi_, lo_, kbytes_, packets_, bandwidth_})
    w->setEnabled(on);
}

void AlarmBuilderDialog::set_kind_controls() {
  const Alarm& a = *current_;
  occurrence_->setChecked(a.kind == kAlarmOccurrence);
  hi_->setChecked(a.kind == kAlarmThreshold && a.direction == kAlarmHigh);
  lo_->setChecked(a.kind == kAlarmThreshold && a.direction == kAlarmLow);
  const bool threshold = a.kind == kAlarmThreshold;
  kbytes_->setChecked(threshold && a.unit == kAlarmKilobytes);
  packets_->setChecked(threshold && a.unit == kAlarmPackets);
  bandwidth_->setChecked(threshold && a.unit == kAlarmPercent);
  value_->setText(threshold ? QString::number(static_cast<std::int32_t>(a.threshold)) : kNa);
  value_->setReadOnly(!threshold || !occurrence_->isEnabled());
  value_validator_->setTop(threshold && a.unit == kAlarmPercent ? 100
                                                                : std::numeric_limits<std::int32_t>::max());
}

void AlarmBuilderDialog::show_alarm() {
  const bool any = current_ != nullptr;
  for (QWidget* w : std::initializer_list<QWidget*>{host_, link_, network_, url_, protocol_, first_, second_,
                                                    value_, play_, execute_, sound_, command_, sound_browse_,
                                                    command_browse_, delivery_, delete_})
    w->setEnabled(any);
  set_threshold_controls_enabled(any);
  if (!any) {
    for (QRadioButton* r : findChildren<QRadioButton*>()) r->setChecked(false);
    first_->clear();
    second_->clear();
    first_label_->clear();
    second_label_->clear();
    value_->clear();
    sound_->clear();
    command_->clear();
    delivery_->clear();
    play_->setChecked(false);
    execute_->setChecked(false);
    return;
  }
  Alarm& a = *current_;
  const std::int32_t type = a.object_type;
  host_->setChecked(type == kAlarmHost);
  link_->setChecked(type == kAlarmLink);
  network_->setChecked(type == kAlarmNetwork);
  url_->setChecked(type == kAlarmUrl);
  protocol_->setChecked(type == kAlarmProtocol);
  second_->clear();
  second_->setEditText(kNa);
  second_->setEnabled(false);
  second_label_->clear();
  first_label_->clear();
  bool thresholds = true;
  switch (type) {
    case kAlarmHost:
      show_host_box(first_, 1);
      first_label_->setText(QStringLiteral("Name/Address"));
      break;
    case kAlarmLink:
      show_host_box(first_, 1);
      show_host_box(second_, 2);
      first_label_->setText(QStringLiteral("Source"));
      second_label_->setText(QStringLiteral("Destination"));
      break;
    case kAlarmProtocol: {
      first_->setEnabled(true);
      fill_protocol_list();
      int at = -1;
      for (std::size_t i = 0; i < protocols_.size(); ++i)
        if (a.protocol.ptr == protocols_[i].node) at = static_cast<int>(i);
      first_->setCurrentIndex(at);
      if (at < 0) first_->setEditText({});
      first_label_->setText(QStringLiteral("Protocol"));
      thresholds = false;
      break;
    }
    case kAlarmUrl:
      a.kind = kAlarmOccurrence;
      first_->setEnabled(true);
      first_->clear();
      fetch_url_text(current_);
      first_label_->setText(QStringLiteral("URL"));
      thresholds = false;
      break;
    default:  // network, or a type this program does not know
      first_->clear();
      first_->setEditText(kNa);
      first_->setEnabled(false);
      break;
  }
  set_threshold_controls_enabled(thresholds);
  set_kind_controls();
  play_->setChecked(a.play_sound == 1);
  execute_->setChecked(a.run_command == 1);
  sound_->setText(QString::fromStdString(a.sound_file));
  command_->setText(QString::fromStdString(a.command));
  delivery_->setText(QString::fromStdString(a.delivery));
  for (QLineEdit* e : {first_->lineEdit(), second_->lineEdit(), value_, sound_, command_, delivery_})
    e->setModified(false);
}

void AlarmBuilderDialog::on_object(std::int32_t type) {
  if (!current_) return;
  AlarmBuilder::set_object_type(*current_, type);
  show_alarm();
  // A host box of a freshly chosen host alarm waits for typing, empty.
  if ((type == kAlarmHost || type == kAlarmLink) && first_->currentText() == kUnresolved)
    first_->setEditText({});
  if (type == kAlarmLink && second_->currentText() == kUnresolved) second_->setEditText({});
}

void AlarmBuilderDialog::on_kind(int kind, int direction) {
  if (!current_) return;
  if (kind == kAlarmOccurrence)
    AlarmBuilder::set_occurrence(*current_);
  else
    AlarmBuilder::set_threshold(*current_, direction);
  set_kind_controls();
}

void AlarmBuilderDialog::on_unit(std::int32_t unit) {
  if (!current_) return;
  current_->unit = unit;
  set_kind_controls();
}

void AlarmBuilderDialog::take_first_box() {
  if (!current_) return;
  const QString text = first_->currentText();
  switch (current_->object_type) {
    case kAlarmProtocol: {
      const int at = first_->findText(text.left(kNotifyMax), Qt::MatchStartsWith);
      if (at >= 0 && at < static_cast<int>(protocols_.size())) {
        current_->protocol = ModelProtocol{const_cast<protocol_node*>(protocols_[std::size_t(at)].node)};
        current_->protocol_name = protocols_[std::size_t(at)].node->name;
      } else {
        current_->protocol = {};
        current_->protocol_name.clear();
      }
      break;
    }
    case kAlarmUrl: {
      const std::string url = text.trimmed().toStdString();
      AlarmBuilderServices* services = ctx_.services;
      start_lookup({current_, Target::kUrl}, [services, url](std::optional<AlarmHost>&) {
        return services ? services->url_for(url) : 0;
      });
      break;
    }
    case kAlarmHost:
    case kAlarmLink:
      take_host(1, first_);
      break;
    default:
      break;
  }
}

void AlarmBuilderDialog::take_second_box() {
  if (current_ && current_->object_type == kAlarmLink) take_host(2, second_);
}

void AlarmBuilderDialog::take_host(int which, QComboBox* box) {
  const QString text = box->currentText().trimmed();
  if (text.isEmpty() || text == kUnresolved) {
    current_->clear_host(which);
    box->setEditText(kUnresolved);
    return;
  }
  const std::string name = text.toStdString();
  if (ctx_.services != nullptr) {
    if (std::optional<AlarmHost> cached = ctx_.services->find_host(name)) {
      current_->set_host(which, *cached);
      box->setEditText(host_text(current_->host(which)));
      return;
    }
  }
  AlarmBuilderServices* services = ctx_.services;
  start_lookup({current_, which == 1 ? Target::kHost1 : Target::kHost2},
               [services, name](std::optional<AlarmHost>& host) {
                 if (services != nullptr) host = services->resolve_host(name);
                 return host ? host->host_id : 0;
               });
}

void AlarmBuilderDialog::take_value() {
  bool number = false;
  const qint64 v = value_->text().trimmed().toLongLong(&number);
  const qint64 top = bandwidth_->isChecked() ? 100 : std::numeric_limits<std::int32_t>::max();
  const QString kept = QString::number(static_cast<std::int32_t>(current_->threshold));
  if (!number || v < 0 || v > top) {
    // Nothing typed is ever taken as 0: the value stays what it was.
    show_problem(
        QStringLiteral("The value must be a whole number from 0 to %1; it stays %2.").arg(top).arg(kept));
    value_->setText(kept);
    return;
  }
  current_->threshold = static_cast<std::uint32_t>(v);
  value_->setText(QString::number(v));
  show_problem({});
}

void AlarmBuilderDialog::show_problem(const QString& text) {
  problem_->setText(text);
}

QString AlarmBuilderDialog::problem_text() const {
  return problem_->text();
}

void AlarmBuilderDialog::start_lookup(Lookup lookup,
                                      std::function<std::int32_t(std::optional<AlarmHost>&)> work) {
  const int id = next_lookup_++;
  lookups_.emplace(id, std::move(lookup));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  off_thread(
      this,
      [work = std::move(work)] {
        std::optional<AlarmHost> host;
        const std::int32_t value = work(host);
        return std::pair(value, host);
      },
      [this, id](const std::pair<std::int32_t, std::optional<AlarmHost>>& answer) {
        finish_lookup(id, true, answer.first, answer.second);
      });
  QTimer::singleShot(ctx_.lookup_timeout, this, [this, id] { finish_lookup(id, false, 0, std::nullopt); });
}

void AlarmBuilderDialog::finish_lookup(int id, bool answered, std::int32_t value,
                                       std::optional<AlarmHost> host) {
  auto it = lookups_.find(id);
  if (it == lookups_.end()) return;  // given up on, or answered already
  Lookup l = std::move(it->second);
  lookups_.erase(it);
  QApplication::restoreOverrideCursor();
  Alarm& a = *l.alarm;
  const bool shown = l.alarm == current_;
  if (l.target == Target::kUrl) {
    if (answered && value != 0) {
      a.url_id = value;
      if (shown) fetch_url_text(l.alarm);
    } else if (shown && a.object_type == kAlarmUrl) {
      first_->setEditText(QStringLiteral("Unresolvable URL"));
    }
  } else {
    const int which = l.target == Target::kHost1 ? 1 : 2;
    if (host)
      a.set_host(which, *host);
    else
      a.clear_host(which);
    QComboBox* box = which == 1 ? first_ : second_;
    if (shown && (a.object_type == kAlarmHost || a.object_type == kAlarmLink)) {
      const QString text = host_text(a.host(which));
      box->setEditText(text.isEmpty() ? kUnresolved : text);
    }
  }
  Q_EMIT lookup_done();
  if (ok_waiting_ && lookups_.empty()) commit();
}

void AlarmBuilderDialog::fetch_url_text(const AlarmPtr& alarm) {
  if (ctx_.services == nullptr || alarm->url_id == 0) return;
  AlarmBuilderServices* services = ctx_.services;
  const std::int32_t url_id = alarm->url_id;
  off_thread(
      this, [services, url_id] { return QString::fromStdString(services->url_text(url_id)); },
      [this, alarm, url_id](const QString& text) {
        // Only while that alarm, still on that URL, is the one shown.
        if (current_ == alarm && alarm->url_id == url_id && alarm->object_type == kAlarmUrl &&
            !first_->lineEdit()->isModified())
          first_->setEditText(text);
      });
}

void AlarmBuilderDialog::browse_sound() {
  if (!current_) return;
  const QString path = QFileDialog::getOpenFileName(
      this, QString(), QString(), QStringLiteral("Sound files (*.wav *.ogg);;All files (*)"));
  if (path.isEmpty()) return;
  current_->sound_file = path.toStdString();
  sound_->setText(path);
}

void AlarmBuilderDialog::browse_command() {
  if (!current_) return;
  QFileDialog chooser(this);
  chooser.setFileMode(QFileDialog::ExistingFile);
  chooser.setOption(QFileDialog::DontUseNativeDialog);
  chooser.setFilter(QDir::AllDirs | QDir::Files | QDir::Executable | QDir::NoDotAndDotDot);
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return;
  const QString path = chooser.selectedFiles().first();
  current_->command = path.toStdString();
  command_->setText(path);
}

void AlarmBuilderDialog::accept() {
  if (committing_) return;
  // A box being typed in counts as left.
  if (QWidget* w = focusWidget()) w->clearFocus();
  if (!lookups_.empty()) {
    ok_waiting_ = true;  // OK completes once the look-ups are answered
    return;
  }
  commit();
}

void AlarmBuilderDialog::commit() {
  ok_waiting_ = false;
  std::string why;
  const int bad = builder_.first_problem(why);
  if (bad >= 0) {
    // The alarm is shown, and the dialog stays open for it to be mended.
    select_row(bad);
    const QString text =
        QStringLiteral("The alarm \"%1\" cannot be saved: %2.")
            .arg(QString::fromStdString(builder_.at(bad)->notify), QString::fromStdString(why));
    show_problem(text);
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  committing_ = true;
  setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // The replacement waits for the Alarm mutex and the save for the database:
  // both on a worker.
  auto list = std::make_shared<AlarmList>(builder_.take());
  AlarmBuilderContext ctx = ctx_;
  off_thread(
      this, [ctx, list] { alarm_builder_commit(*ctx.state, std::move(*list), ctx.table, ctx.services); },
      [this] {
        committing_ = false;
        QApplication::restoreOverrideCursor();
        QDialog::accept();
      });
}

void AlarmBuilderDialog::reject() {
  // Esc while a name is being edited ends the edit, not the dialog.
  if (list_->cancel_edit()) return;
  if (committing_) return;  // the set is being replaced; OK will end the dialog
  QDialog::reject();
}

int alarm_builder_run(AlarmBuilderContext context, QWidget* parent) {
  AlarmBuilderDialog dialog(context, parent);
  return dialog.exec() == QDialog::Accepted ? 1 : 2;
}

}  // namespace tarnix::ui
