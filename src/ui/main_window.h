// The main window: menu "TARNIX", the map on the left, the panel on the
// right and the output area along the bottom.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <functional>
#include <map>

#include "app/settings.h"

namespace tarnix::ui {

class Panel;

// Menu command ids.
enum Command : int {
  kCmdQuit = 4001,
  kCmdAdapter = 4002,
  kCmdDbOptions = 4003,
  kCmdFocusBuilder = 4005,
  kCmdAlarmsBuilder = 4006,
  kCmdDynamicHosts = 4032,
  kCmdDynamicLinks = 4033,
  kCmdCumulativeHosts = 4034,
  kCmdCumulativeLinks = 4035,
  kCmdAbout = 4041,
  kCmdHelp = 4043,
  kCmdTopUrls = 4046,
  kCmdTopHosts = 4047,
  kCmdTopAlarms = 4049,
  kCmdUrlsReport = 4051,
  kCmdHostReport = 4052,
  kCmdStatsReport = 4053,
  kCmdAlarmsReport = 4054,
  kCmdIpAddress = 4056,
  kCmdLocalName = 4057,
  kCmdHostList = 4304,
  kCmdTopUrlClients = 4305,
  kCmdTopUrlServers = 4306,
  kCmdTopLinks = 4310,
  kCmdDuplicateIp = 4311,
  kCmdOpenCaptureFile = 4400,
};

// The child windows' rectangles for a client area of w x h.
struct MainLayout {
  QRect map, panel, output;
};
MainLayout main_layout(int w, int h);

// "%s :    %s (%s)" from the product name, the adapter and its description.
QString main_title(const QString& adapter, const QString& description);

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(app::Settings& settings, QWidget* parent = nullptr);

  QAction* command(int id) const;
  // Gives a command its action and enables it.
  void set_command(int id, std::function<void()> action);

  void set_check_marks_from_settings();
  void set_main_title(const QString& adapter, const QString& description);

  Panel* panel() const { return panel_; }
  QWidget* map_area() const { return map_; }
  QWidget* output_area() const { return output_; }
  // Replace the placeholders of the map and the output area.
  void set_map_window(QWidget* w);
  void set_output_area(QWidget* w);

  // Runs once when the window is closed, before it goes away.
  void set_close_hook(std::function<void()> hook) { close_hook_ = std::move(hook); }
  // Runs after the About box closes (the Protocol Key is refilled).
  void set_about_closed_hook(std::function<void()> hook) { about_closed_ = std::move(hook); }

  // Help: the HTML book's first page, or "Unable to activate help".
  void show_help();
  // The help book's first page; by default the shipped help/index.html.
  void set_help_index(const QString& path) { help_index_ = path; }
  void show_about();

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void build_menu();
  QAction* add(QMenu* menu, int id, const QString& label);
  void choose(int on, int off, app::Tunable<int>& setting, int value);

  app::Settings& settings_;
  QWidget* area_;
  QWidget* map_;
  Panel* panel_;
  QWidget* output_;
  std::map<int, QAction*> actions_;
  std::map<int, std::function<void()>> handlers_;
  std::function<void()> close_hook_;
  std::function<void()> about_closed_;
  QString help_index_;
  bool closed_ = false;
};

}  // namespace tarnix::ui
