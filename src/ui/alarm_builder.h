// The Alarm Builder: edits a copy of the alarm set; OK makes the copy live
// and saves it, Cancel throws it away. Controls carry their dialog ids as
// object names ("10002" the list, "30000" OK, ...).
//
// Look-ups that may wait (host names, URLs, the save itself) run on a worker
// of the global thread pool; the dialog shows the wait cursor meanwhile and
// stays responsive. An answer that takes longer than the time-out is given
// up on: the box shows "(unresolved)" or "Unresolvable URL".
#pragma once

#include <QAbstractListModel>
#include <QDialog>
#include <QIcon>
#include <QListView>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "alarms/alarm_builder.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QIntValidator;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tarnix::ui {

// The alarm list: one row per alarm of the working copy, its notify string
// editable, with the enabled or disabled icon.
class AlarmListModel final : public QAbstractListModel {
  Q_OBJECT
 public:
  explicit AlarmListModel(AlarmBuilder& builder, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  int add_new();
  void remove(int row);
  void toggle_disabled(int row);

 private:
  AlarmBuilder& builder_;
  QIcon enabled_, disabled_;
};

// The alarm list's view; an edit of a name can be cancelled from outside
// (the dialog's Esc).
class AlarmListView final : public QListView {
  Q_OBJECT
 public:
  using QListView::QListView;
  // Ends a name edit without taking its text; false when none is open.
  bool cancel_edit();
  bool editing() const { return state() == QAbstractItemView::EditingState; }
};

struct AlarmBuilderContext {
  AlarmState* state = nullptr;
  AlarmBuilderServices* services = nullptr;
  const protocol_node* protocols = nullptr;  // the protocol tree's root, or none
  // Where OK saves; null: the set is replaced but not saved.
  AlarmTable* table = nullptr;
  std::chrono::milliseconds lookup_timeout = std::chrono::seconds(20);
  // A host's name or address: the dialog opens on a new alarm for that host
  // (above a threshold, still disabled), the host looked up as if typed.
  QString new_host_alarm;
};

class AlarmBuilderDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit AlarmBuilderDialog(AlarmBuilderContext context, QWidget* parent = nullptr);
  ~AlarmBuilderDialog() override;

  // The alarm shown on the right, or null.
  const AlarmPtr& current() const { return current_; }
  int current_row() const { return current_row_; }
  int pending_lookups() const { return static_cast<int>(lookups_.size()); }
  AlarmListModel* list_model() const { return model_; }
  // What the dialog last had to refuse (a value, or an alarm at OK); empty
  // when nothing.
  QString problem_text() const;

  void accept() override;
  void reject() override;

 Q_SIGNALS:
  // A look-up was answered, or given up on.
  void lookup_done();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  enum class Target { kHost1, kHost2, kUrl };
  struct Lookup {
    AlarmPtr alarm;
    Target target;
  };

  void build();
  void start_host_alarm(const QString& host);
  void select_row(int row);
  void show_alarm();
  void show_host_box(QComboBox* box, int which);
  void fill_host_list(QComboBox* box);
  void fill_protocol_list();
  void set_kind_controls();
  void set_threshold_controls_enabled(bool on);

  void on_object(std::int32_t type);
  void on_kind(int kind, int direction);
  void on_unit(std::int32_t unit);
  void take_first_box();
  void take_second_box();
  void take_host(int which, QComboBox* box);
  void take_value();
  void show_problem(const QString& text);
  void browse_sound();
  void browse_command();

  // Runs work on a worker; done(result) later on this thread, unless the
  // dialog has gone or the look-up was given up on.
  void start_lookup(Lookup lookup, std::function<std::int32_t(std::optional<AlarmHost>&)> work);
  void finish_lookup(int id, bool answered, std::int32_t value, std::optional<AlarmHost> host);
  void fetch_url_text(const AlarmPtr& alarm);
  void commit();

  AlarmBuilderContext ctx_;
  AlarmBuilder builder_;
  AlarmListModel* model_ = nullptr;
  AlarmPtr current_;
  int current_row_ = -1;
  std::vector<ProtocolChoice> protocols_;

  std::map<int, Lookup> lookups_;
  int next_lookup_ = 1;
  bool ok_waiting_ = false;
  bool committing_ = false;

  AlarmListView* list_ = nullptr;
  QRadioButton *host_ = nullptr, *link_ = nullptr, *network_ = nullptr, *url_ = nullptr, *protocol_ = nullptr;
  QLabel *first_label_ = nullptr, *second_label_ = nullptr;
  QComboBox *first_ = nullptr, *second_ = nullptr;
  QRadioButton *occurrence_ = nullptr, *hi_ = nullptr, *lo_ = nullptr;
  QRadioButton *kbytes_ = nullptr, *packets_ = nullptr, *bandwidth_ = nullptr;
  QButtonGroup* units_ = nullptr;
  QLineEdit* value_ = nullptr;
  QIntValidator* value_validator_ = nullptr;
  QLabel* problem_ = nullptr;
  QCheckBox *play_ = nullptr, *execute_ = nullptr;
  QLineEdit *sound_ = nullptr, *command_ = nullptr;
  QLineEdit* delivery_ = nullptr;  // "syslog" and "webhook:URL", space-separated
  QPushButton *new_ = nullptr, *delete_ = nullptr, *ok_ = nullptr, *cancel_ = nullptr;
  QPushButton *sound_browse_ = nullptr, *command_browse_ = nullptr;
};

// Opens the dialog modally; 1 after OK, 2 after Cancel.
int alarm_builder_run(AlarmBuilderContext context, QWidget* parent);

}  // namespace tarnix::ui
