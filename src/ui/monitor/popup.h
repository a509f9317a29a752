// The design shared by the top-N lists and the watch windows: a toolbar with
// "Force update" and "Close window", a list, a one-second timer counting down
// to the next refresh (every 900 seconds) in the title, a context menu on the
// rows, and the size and column widths kept in the settings. Also the
// registry of open list windows that an adapter switch refreshes.
#pragma once

#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

#include "ui/monitor/list_model.h"

namespace tarnix::app {
struct Settings;
}

namespace tarnix::ui {

// Opens a URL in the desktop's browser (`open`, QDesktopServices by default).
// When none can be started the user is told in a message beside `parent`
// with the URL to copy, not only on standard error. False then.
bool open_url_or_say(const QString& url, QWidget* parent, const std::function<bool(const QUrl&)>& open = {});

// Where the list windows keep their place, size, column widths and sort
// between runs: the user's own store unless a file was named (tests).
void set_window_state_file(const QString& path);
std::unique_ptr<QSettings> window_state_store();

class ListWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kRefreshSeconds = 900;

  struct Design {
    QString title;
    QString object_name;  // the window class
    QStringList columns;
    QString key;          // settings prefix: "<key> 0".., "<key> x", "<key> y"
    int width_keys = -1;  // columns with a width key of their own (-1: all);
                          // later ones use the last key's width
    bool filter = false;  // a filter box above a long list
  };
  ListWindow(app::Settings& settings, Design design, QWidget* parent);
  ~ListWindow() override;

  ListModel* model() const { return model_; }
  QTableView* view() const { return view_; }
  // What the view shows: the model sorted and filtered.
  QSortFilterProxyModel* proxy() const { return proxy_; }
  QLineEdit* filter_box() const { return filter_; }
  // The selected rows (or all when none is) as text: tab-separated, or CSV
  // with a comma; the plain figures, not their shown form.
  QString selection_text(QChar separator = QLatin1Char('\t')) const;
  // Ctrl+C: the selection on the clipboard as text and as CSV.
  void copy_selection() const;
  QToolBar* toolbar() const { return toolbar_; }
  int countdown() const { return countdown_; }

  // First refresh (on open): countdown 900, " ** UPDATING **     " appended.
  void first_refresh();
  // After an adapter switch: rows deleted, then refreshed.
  virtual void clear_and_refresh();
  // The next tick refreshes.
  void force_update() { countdown_ = 0; }
  // One second of the timer (public for tests).
  void tick();
  // The context menu for a row, or null when the window has none.
  QMenu* context_menu(int row);
  // Runs the context command `id` on a row (what choosing it does).
  void run_command(int row, int id);
  // Replaces the part of the title before the countdown.
  void set_base_title(const QString& title);
  // A context command: data = its id, object name "cmd_<id>".
  static QAction* add_command(QMenu& menu, int id, const QString& text, bool enabled = true);

 protected:
  virtual void refresh() = 0;
  // Adds the commands of the row's menu (data = command id); none: no menu.
  virtual void fill_menu(QMenu& menu, const RowRef& ref) {
    (void)menu;
    (void)ref;
  }
  virtual void command(int id, const RowRef& ref) {
    (void)id;
    (void)ref;
  }
  void resizeEvent(QResizeEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

  app::Settings& settings_;

 private:
  void show_title();
  void replace_tail(const QString& text);
  QString width_key(int column) const;
  void save_widths();
  void save_state();
  bool restore_state();
  void place_beside_parent();
  void fit_columns();

  Design design_;
  ListModel* model_;
  QSortFilterProxyModel* proxy_;
  QLineEdit* filter_ = nullptr;
  QTableView* view_;
  bool fit_pending_ = false;
  QToolBar* toolbar_;
  QTimer timer_;
  int countdown_ = kRefreshSeconds;
  QString base_;
  QString tail_;
  bool widths_saved_ = false;
};

// Every list window adds itself when it opens.
void popup_register(ListWindow* w);
// Clear-and-refresh for every registered window still open; the others are
// dropped from the registry.
void popup_refresh_all();
// Registered windows still open (for tests).
int popup_count();

}  // namespace tarnix::ui
