// The URL watch windows: the URLs a host requested, the URLs it served and
// the accesses of one URL, each read from the database incrementally (only
// accesses strictly later than the newest one shown).
#include <functional>
#include <vector>

#include "app/settings.h"
#include "db/db_store.h"
#include "ui/monitor/db_reader.h"
#include "ui/monitor/window_makers.h"

namespace tarnix::ui {

namespace {

struct WatchRow {
  QStringList cells;
  RowRef ref;
};
struct WatchRead {
  bool ok = false;
  TimestampRecord since;
  std::vector<WatchRow> rows;
};

TimestampRecord start_of_1995() {
  TimestampRecord t;
  t.year = 1995;
  t.month = 1;
  t.day = 1;
  return t;
}

std::string host_name(DbSession& s, std::int32_t id) {
  std::string name;
  db_host_cache_name(s, id, name);
  return name;
}

QString padded_time(const TimestampRecord& t) {
  return QString::asprintf("%02d-%02d-%02d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute,
                           t.second);
}

// Accessed (client = host) or served (server = host) URLs after `since`.
WatchRead read_host_urls(DbSession* s, std::int32_t host_id, bool served, TimestampRecord since) {
  WatchRead r;
  r.since = since;
  if (s == nullptr) return r;
  r.ok = true;
  AccessQuery q;
  AccessRow row;
  while ((served ? db_server_accesses : db_client_accesses)(q, *s, host_id, since, row)) {
    r.since = row.ts;
    std::string url;
    db_url_text(*s, row.url_id, url);
    const std::int32_t other = served ? row.client : row.server;
    WatchRow w;
    w.cells = {padded_time(row.ts), QString::fromStdString(url),
               QString::fromStdString(host_name(*s, other))};
    w.ref.id[0] = row.url_id;
    w.ref.id[1] = other;
    r.rows.push_back(std::move(w));
  }
  return r;
}

WatchRead read_url_accesses(DbSession* s, std::int32_t url_id, TimestampRecord since) {
  WatchRead r;
  r.since = since;
  if (s == nullptr) return r;
  r.ok = true;
  AccessQuery q;
  AccessRow row;
  while (db_url_accesses(q, *s, url_id, since, row)) {
    r.since = row.ts;
    WatchRow w;
    const TimestampRecord& t = row.ts;
    w.cells << QString::asprintf("%d-%d-%d %d:%d:%d", t.day, t.month, t.year, t.hour, t.minute, t.second)
            << QString::fromStdString(host_name(*s, row.client));
    w.ref.id[1] = row.client;
    if (row.cached == 1) {
      // Through a proxy: the host asked for, and the proxy that served it.
      w.cells << QString::fromStdString(row.hostname_used)
              << QString::fromStdString(host_name(*s, row.server));
      w.ref.id[0] = db_host_cache_find_id(*s, &row.hostname_used, nullptr);
      w.ref.id[2] = row.server;
    } else {
      w.cells << QString::fromStdString(host_name(*s, row.server)) << QString();
      w.ref.id[0] = row.server;
    }
    r.rows.push_back(std::move(w));
  }
  return r;
}

class UrlWatchWindow : public ListWindow {
 public:
  using Reader = std::function<WatchRead(DbSession*, TimestampRecord)>;
  UrlWatchWindow(WindowOpener& m, Design d, Reader reader)
      : ListWindow(*m.services().settings, std::move(d), m.services().parent),
        m_(m),
        reader_(std::move(reader)) {}

 protected:
  // Where the rows of one read go.
  virtual void place(const std::vector<WatchRow>& rows) = 0;

  void refresh() override {
    if (!gate_.enter()) return;
    m_.reader()->read<WatchRead>(
        this, [reader = reader_, since = since_](DbSession* s) { return reader(s, since); },
        [this](WatchRead r) {
          if (r.ok) {
            since_ = r.since;
            place(r.rows);
          }
          if (gate_.leave()) refresh();
        });
  }

  WindowOpener& m_;

 private:
  const Reader reader_;
  TimestampRecord since_ = start_of_1995();
  ReadGate gate_;
};

// Accessed or served URLs of a host.
class HostUrlsWindow final : public UrlWatchWindow {
 public:
  HostUrlsWindow(WindowOpener& m, std::int32_t host_id, bool served)
      : UrlWatchWindow(m,
                       served ? Design{served_urls_title(QString()),
                                       QStringLiteral("wnurldaccesslist"),
                                       {QStringLiteral("Date & Time"), QStringLiteral("URL"),
                                        QStringLiteral("Requested By")},
                                       QStringLiteral("wnurld"),
                                       2,
                                       true}
                              : Design{accessed_urls_title(QString()),
                                       QStringLiteral("wnurlsaccesslist"),
                                       {QStringLiteral("Date & Time"), QStringLiteral("URL"),
                                        QStringLiteral("Served By")},
                                       QStringLiteral("wnurls"),
                                       2,
                                       true},
                       [host_id, served](DbSession* s, TimestampRecord since) {
                         return read_host_urls(s, host_id, served, since);
                       }),
        served_(served) {
    m.reader()->read<std::string>(
        this, [host_id](DbSession* s) { return s != nullptr ? host_name(*s, host_id) : std::string(); },
        [this](std::string name) {
          const QString n = QString::fromStdString(name);
          set_base_title(served_ ? served_urls_title(n) : accessed_urls_title(n));
        });
  }

 protected:
  void place(const std::vector<WatchRow>& rows) override {
    // Each row goes where the list ended before this read, so one read's
    // rows end up newest first.
    const int at = model()->rows();
    for (const WatchRow& r : rows) model()->insert_row(at, r.cells, r.ref);
  }
  void fill_menu(QMenu& menu, const RowRef&) override {
    const QString who = served_ ? QStringLiteral("Client") : QStringLiteral("Server");
    add_command(menu, kWatchCmd0,
                served_ ? QStringLiteral("Watch URL &accesses ") : QStringLiteral("Watch URL accesses "));
    add_command(menu, kWatchCmd0 + 1, QStringLiteral("Browse URL"));
    add_command(menu, kWatchCmd0 + 2, QStringLiteral("Watch %1 accessed URLs").arg(who));
    add_command(
        menu, kWatchCmd0 + 3,
        served_ ? QStringLiteral("Watch Client served URLS") : QStringLiteral("Watch Server served URLs"));
    add_command(menu, kWatchCmd0 + 4, QStringLiteral("Watch %1 traffic").arg(who));
  }
  void command(int id, const RowRef& ref) override {
    const std::int32_t url = ref.id[0], host = ref.id[1];
    switch (id - kWatchCmd0) {
      case 0:
        m_.open_url_accesses(url);
        break;
      case 1:
        m_.browse_url(url);
        break;
      case 2:
        m_.open_accessed_urls(host);
        break;
      case 3:
        m_.open_served_urls(host);
        break;
      case 4:
        m_.watch_host_traffic(host, served_ ? app::kNoticeTitle : app::kErrorTitle);
        break;
      default:
        break;
    }
  }

 private:
  const bool served_;
};

class UrlAccessesWindow final : public UrlWatchWindow {
 public:
  UrlAccessesWindow(WindowOpener& m, std::int32_t url_id, const QString& title)
      : UrlWatchWindow(
            m,
            {title,
             QStringLiteral("urlaccesslist"),
             {QStringLiteral("Date & Time"), QStringLiteral("Source IP"), QStringLiteral("Dest IP"),
              QStringLiteral("Served By")},
             QStringLiteral("wurl"),
             -1,
             true},
            [url_id](DbSession* s, TimestampRecord since) { return read_url_accesses(s, url_id, since); }) {}

 protected:
  void place(const std::vector<WatchRow>& rows) override {
    for (const WatchRow& r : rows) model()->insert_row(model()->rows(), r.cells, r.ref);
    view()->scrollToBottom();
  }
  void fill_menu(QMenu& menu, const RowRef& ref) override {
    add_host_commands(menu, kWatchCmd0, QStringLiteral("Source"), ref.id[1] != 0);
    add_host_commands(menu, kWatchCmd0 + 3, QStringLiteral("Dest"), ref.id[0] != 0);
    add_host_commands(menu, kWatchCmd0 + 6, QStringLiteral("Proxy"), ref.id[2] != 0);
  }
  void command(int id, const RowRef& ref) override {
    const int k = id - kWatchCmd0;
    if (k < 0 || k > 8) return;
    // Source, destination, proxy: ids 1, 0, 2 of the row.
    const std::int32_t host = ref.id[k < 3 ? 1 : k < 6 ? 0 : 2];
    run_host_command(m_, kWatchCmd0 + k % 3, kWatchCmd0, host);
  }
};

}  // namespace

ListWindow* make_url_host_window(WindowOpener& m, std::int32_t host_id, bool served) {
  return new HostUrlsWindow(m, host_id, served);
}

ListWindow* make_url_accesses(WindowOpener& m, std::int32_t url_id, const QString& title) {
  return new UrlAccessesWindow(m, url_id, title);
}

}  // namespace tarnix::ui
