// The monitor windows of the desktop program: the six top-N lists, the
// watch windows of hosts and URLs, the Host List and the host watch. They
// open from the main menu and from each other's context menus.
#pragma once

#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/messages.h"
#include "naming/netaddr.h"
#include "ui/monitor/popup.h"

namespace tarnix {
struct AlarmState;
struct Node;
class TrafficModel;
}  // namespace tarnix

namespace tarnix::app {
struct Settings;
}

namespace tarnix::ui {

class DbReader;
class MainWindow;

struct MonitorServices {
  app::Settings* settings = nullptr;
  TrafficModel* model = nullptr;
  AlarmState* alarms = nullptr;  // null: Top Alarms stays empty
  std::string db_file;           // empty: the database lists stay empty
  app::Messenger* messenger = nullptr;
  QWidget* parent = nullptr;
  // Opens a URL in the browser; QDesktopServices by default.
  std::function<void(const QString&)> browse;
  // Opens the Alarm Builder on a new alarm for a host (its address); null:
  // the lists offer no such command.
  std::function<void(const QString& host)> new_host_alarm;
};

enum class TopList { kHosts, kLinks, kAlarms, kUrls, kClients, kServers };

// Context-menu command ids.
enum WatchCommand : int {
  kWatchCmd0 = 15000,
};

class WindowOpener {
 public:
  explicit WindowOpener(MonitorServices services);
  ~WindowOpener();
  WindowOpener(const WindowOpener&) = delete;
  WindowOpener& operator=(const WindowOpener&) = delete;

  // Enables the main menu's Top and Host List commands.
  void install(MainWindow& window);

  // The single windows: an open one is shown and raised instead.
  ListWindow* open_top(TopList which);
  ListWindow* open_host_list();
  // A new window each time.
  ListWindow* open_host_watch(const Node* host);
  ListWindow* open_accessed_urls(std::int32_t host_id);
  ListWindow* open_served_urls(std::int32_t host_id);
  // Once the URL's text is read: no window when the URL is unknown.
  void open_url_accesses(std::int32_t url_id);
  // A host of the database: its address is read, then the host watch opens
  // for it in the current network, else "Host Currently Inactive" shows in
  // a box with `title`.
  void watch_host_traffic(std::int32_t host_id, const QString& title = app::kNoticeTitle);
  // Accessed or served URLs of a host of the traffic model: by its name
  // entry's host id, else the one stored for its address.
  void watch_host_urls(const Node* host, bool served);
  // A host by its address (a row of the request log): its host id is read,
  // then the command (15000-15002 from `first`) runs as for a host of the
  // database.
  void run_address_command(int id, int first, const NetAddress& address);
  // The URL's text form in the browser.
  void browse_url(std::int32_t url_id);
  // The Alarm Builder on a new alarm for a host of the traffic model.
  bool can_make_alarms() const { return static_cast<bool>(services_.new_host_alarm); }
  void new_host_alarm(const Node* host);

  // Ends database reading (before the database closes).
  void stop_reading();
  DbReader* reader() const { return reader_.get(); }
  const MonitorServices& services() const { return services_; }

 private:
  ListWindow* raise_or_open(QPointer<ListWindow>& slot, const std::function<ListWindow*()>& make);
  void inactive(const QString& title);

  MonitorServices services_;
  std::unique_ptr<DbReader> reader_;
  QPointer<ListWindow> tops_[6];
  QPointer<ListWindow> host_list_;
  // Receives the results of reads made for no window (look-ups behind
  // context commands).
  std::unique_ptr<QObject> context_;
};

// The title of an accessed- or served-URLs window for a host name.
QString accessed_urls_title(const QString& name);
QString served_urls_title(const QString& name);

}  // namespace tarnix::ui
