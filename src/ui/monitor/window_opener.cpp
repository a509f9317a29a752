#include "ui/monitor/window_opener.h"

#include <QDesktopServices>
#include <QUrl>
#include <mutex>

#include "capture/net.h"
#include "db/db_store.h"
#include "ui/main_window.h"
#include "ui/monitor/db_reader.h"
#include "ui/monitor/window_makers.h"

namespace tarnix::ui {

namespace {

// A new window shown and filled; those that read the traffic model are
// refreshed on an adapter switch too.
ListWindow* show_new(ListWindow* w, bool refresh_on_switch) {
  w->show();
  w->first_refresh();
  if (refresh_on_switch) popup_register(w);
  return w;
}

}  // namespace

QString accessed_urls_title(const QString& name) {
  return name + QStringLiteral(" (URLs Accessed)");
}

QString served_urls_title(const QString& name) {
  return name + QStringLiteral(" (URLs Served)");
}

WindowOpener::WindowOpener(MonitorServices services)
    : services_(std::move(services)),
      reader_(std::make_unique<DbReader>(services_.db_file)),
      context_(std::make_unique<QObject>()) {
  if (!services_.browse)
    services_.browse = [parent = QPointer<QWidget>(services_.parent)](const QString& url) {
      open_url_or_say(url, parent.data());
    };
}

WindowOpener::~WindowOpener() {
  stop_reading();
}

void WindowOpener::stop_reading() {
  if (reader_) reader_->stop();
}

void WindowOpener::install(MainWindow& window) {
  const std::pair<int, TopList> tops[] = {
      {kCmdTopHosts, TopList::kHosts},        {kCmdTopLinks, TopList::kLinks},
      {kCmdTopAlarms, TopList::kAlarms},      {kCmdTopUrls, TopList::kUrls},
      {kCmdTopUrlClients, TopList::kClients}, {kCmdTopUrlServers, TopList::kServers},
  };
  // Not a structured binding: clang 14 cannot capture one.
  for (const auto& top : tops) window.set_command(top.first, [this, which = top.second] { open_top(which); });
  window.set_command(kCmdHostList, [this] { open_host_list(); });
}

ListWindow* WindowOpener::raise_or_open(QPointer<ListWindow>& slot,
                                        const std::function<ListWindow*()>& make) {
  if (slot) {
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
  }
  slot = show_new(make(), true);
  return slot;
}

ListWindow* WindowOpener::open_top(TopList which) {
  return raise_or_open(tops_[static_cast<int>(which)], [&] { return make_top_window(*this, which); });
}

ListWindow* WindowOpener::open_host_list() {
  return raise_or_open(host_list_, [&] { return make_host_list(*this); });
}

ListWindow* WindowOpener::open_host_watch(const Node* host) {
  if (host == nullptr) return nullptr;
  return show_new(make_host_watch(*this, host), true);
}

ListWindow* WindowOpener::open_accessed_urls(std::int32_t host_id) {
  return show_new(make_url_host_window(*this, host_id, false), false);
}

ListWindow* WindowOpener::open_served_urls(std::int32_t host_id) {
  return show_new(make_url_host_window(*this, host_id, true), false);
}

void WindowOpener::open_url_accesses(std::int32_t url_id) {
  struct Text {
    bool ok = false;
    std::string text;
  };
  reader_->read<Text>(
      context_.get(),
      [url_id](DbSession* s) {
        Text t;
        t.ok = s != nullptr && db_url_text(*s, url_id, t.text) == 1 && !t.text.empty();
        return t;
      },
      [this, url_id](Text t) {
        if (t.ok) show_new(make_url_accesses(*this, url_id, QString::fromStdString(t.text)), false);
      });
}

void WindowOpener::inactive(const QString& title) {
  if (services_.messenger != nullptr)
    services_.messenger->show(
        {QStringLiteral("Host Currently Inactive"),
         title,
         title == app::kErrorTitle ? app::MessageIcon::Exclamation : app::MessageIcon::Information,
         {}});
}

void WindowOpener::watch_host_traffic(std::int32_t host_id, const QString& title) {
  struct Addr {
    bool ok = false;
    NetAddress address;
  };
  reader_->read<Addr>(
      context_.get(),
      [host_id](DbSession* s) {
        Addr a;
        a.ok = s != nullptr && host_id != 0 && db_host_cache_addr(*s, host_id, a.address);
        return a;
      },
      [this, title](Addr a) {
        const Node* host = nullptr;
        if (a.ok && is_ip_address(a.address)) {
          if (Net* net = net_current(*services_.model))
            host = net->read([&](const Net& n) REQUIRES(n.lock) { return node_find(n, a.address); });
        }
        if (host == nullptr)
          inactive(title);
        else
          open_host_watch(host);
      });
}

void WindowOpener::watch_host_urls(const Node* host, bool served) {
  if (host == nullptr) return;
  const HostCacheRef entry = host->name_entry.load();
  if (entry != nullptr && entry->host_id != 0) {
    served ? open_served_urls(entry->host_id) : open_accessed_urls(entry->host_id);
    return;
  }
  run_address_command(kWatchCmd0 + (served ? 2 : 1), kWatchCmd0, host->address);
}

void WindowOpener::run_address_command(int id, int first, const NetAddress& address) {
  reader_->read<std::int32_t>(
      context_.get(),
      [address](DbSession* s) { return s != nullptr ? db_host_cache_find_id(*s, nullptr, &address) : 0; },
      [this, id, first](std::int32_t host_id) { run_host_command(*this, id, first, host_id); });
}

void WindowOpener::browse_url(std::int32_t url_id) {
  reader_->read<std::string>(
      context_.get(),
      [url_id](DbSession* s) {
        std::string text;
        if (s != nullptr) db_url_text(*s, url_id, text);
        return text;
      },
      [this](std::string text) {
        if (!text.empty()) services_.browse(QString::fromStdString(text));
      });
}

void add_host_commands(QMenu& menu, int first, const QString& who, bool enabled) {
  const QString texts[] = {QStringLiteral("Watch %1 Traffic"), QStringLiteral("Watch %1 Accessed URLs"),
                           QStringLiteral("Watch %1 Served URLs")};
  for (int k = 0; k < 3; ++k) ListWindow::add_command(menu, first + k, texts[k].arg(who), enabled);
}

bool run_host_command(WindowOpener& m, int id, int first, std::int32_t host_id,
                      const QString& inactive_title) {
  if (id < first || id > first + 2) return false;
  if (id == first)
    m.watch_host_traffic(host_id, inactive_title);
  else if (id == first + 1)
    m.open_accessed_urls(host_id);
  else
    m.open_served_urls(host_id);
  return true;
}

void WindowOpener::new_host_alarm(const Node* host) {
  if (host != nullptr && services_.new_host_alarm)
    services_.new_host_alarm(QString::fromLatin1(host->address_text().c_str()));
}

void add_node_commands(QMenu& menu, const WindowOpener& m, int first, const QString& who) {
  add_host_commands(menu, first, who);
  if (m.can_make_alarms())
    ListWindow::add_command(menu, first + 3, QStringLiteral("New Alarm for %1").arg(who));
}

bool run_node_command(WindowOpener& m, int id, int first, const Node* host) {
  if (id < first || id >= first + kNodeCommands) return false;
  if (id == first)
    m.open_host_watch(host);
  else if (id == first + 3)
    m.new_host_alarm(host);
  else
    m.watch_host_urls(host, id == first + 2);
  return true;
}

}  // namespace tarnix::ui
