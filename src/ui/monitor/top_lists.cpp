// The six top-N lists: hosts, links and alarms from the rankings in memory;
// URLs, URL clients and URL servers from the database.
#include <functional>
#include <mutex>
#include <vector>

#include "alarms/alarm.h"
#include "app/settings.h"
#include "capture/net.h"
#include "db/db_store.h"
#include "ui/monitor/db_reader.h"
#include "ui/monitor/window_makers.h"

namespace tarnix::ui {

namespace {

constexpr int kListRows = 50;

QString count_u(std::uint64_t v) {
  return QString::number(v);
}

class TopWindow : public ListWindow {
 public:
  TopWindow(WindowOpener& m, Design d)
      : ListWindow(*m.services().settings, std::move(d), m.services().parent), m_(m) {
    model()->set_numeric(model()->columnCount() - 1);
  }

 protected:
  // A ranking of the current network: its records and their texts are read
  // under the network's lock, the rows written after it; the record is the
  // row's data.
  template <class Ranking, class Cells>
  void show_ranking(Ranking Net::*ranking, Cells cells) {
    Net* net = net_current(*m_.services().model);
    if (net == nullptr) return;
    std::vector<std::pair<const void*, QStringList>> rows;
    net->read_ranked([&](const Net& ranked) {
      const Ranking& top = ranked.*ranking;
      for (int i = 0; i < top.count(); ++i) rows.push_back({top.at(i), cells(*top.at(i))});
    });
    for (int i = 0; i < int(rows.size()); ++i) {
      RowRef ref;
      ref.record = rows[std::size_t(i)].first;
      model()->set_row(i, rows[std::size_t(i)].second, ref);
    }
  }

  WindowOpener& m_;
};

// Top Hosts: the host record is the row's data.
class TopHosts final : public TopWindow {
 public:
  explicit TopHosts(WindowOpener& m)
      : TopWindow(m, {QStringLiteral("Top Hosts"),
                      QStringLiteral("tophostlist"),
                      {QStringLiteral("Host"), QStringLiteral("Total Bytes Sent")},
                      QStringLiteral("host")}) {}

 protected:
  void refresh() override {
    show_ranking(&Net::top_hosts, [](const Node& n) {
      return QStringList{QString::fromStdString(node_display_name(n)), count_u(n.bytes_sent)};
    });
  }
  void fill_menu(QMenu& menu, const RowRef&) override {
    add_node_commands(menu, m_, kWatchCmd0, QStringLiteral("Host"));
  }
  void command(int id, const RowRef& ref) override {
    run_node_command(m_, id, kWatchCmd0, static_cast<const Node*>(ref.record));
  }
};

// Top Links: the link record is the row's data.
class TopLinks final : public TopWindow {
 public:
  explicit TopLinks(WindowOpener& m)
      : TopWindow(m, {QStringLiteral("Top Links"),
                      QStringLiteral("toplinklist"),
                      {QStringLiteral("Source"), QStringLiteral("Destination"), QStringLiteral("Bytes")},
                      QStringLiteral("link")}) {}

 protected:
  void refresh() override {
    show_ranking(&Net::top_links, [](const Link& l) {
      return QStringList{QString::fromStdString(node_display_name(*l.source)),
                         QString::fromStdString(node_display_name(*l.destination)), count_u(l.bytes)};
    });
  }
  void fill_menu(QMenu& menu, const RowRef&) override {
    add_node_commands(menu, m_, kWatchCmd0, QStringLiteral("Source"));
    add_node_commands(menu, m_, kWatchCmd0 + kNodeCommands, QStringLiteral("Destination"));
  }
  void command(int id, const RowRef& ref) override {
    const Link* l = static_cast<const Link*>(ref.record);
    if (!run_node_command(m_, id, kWatchCmd0, l->source))
      run_node_command(m_, id, kWatchCmd0 + kNodeCommands, l->destination);
  }
};

// Top Alarms: in the order of the ranking, which the alarm thread keeps.
class TopAlarms final : public TopWindow {
 public:
  explicit TopAlarms(WindowOpener& m)
      : TopWindow(m, {QStringLiteral("Top Alarms"),
                      QStringLiteral("topalarmlist"),
                      {QStringLiteral("Notify String"), QStringLiteral("Events")},
                      QStringLiteral("alarm")}) {}

 protected:
  void refresh() override {
    if (m_.services().alarms == nullptr) return;
    int i = 0;
    for (const TopNEntry& e : alarm_top_snapshot(*m_.services().alarms)) {
      if (!e.has_name) break;
      model()->set_row(i++, {QString::fromStdString(e.name), count_u(e.value)}, RowRef{});
    }
  }
};

struct DbRow {
  QStringList cells;
  std::int32_t id = 0;
};
struct DbRows {
  bool ok = false;
  std::vector<DbRow> rows;
};

// The database lists: the query runs on the reader's thread; the rows are
// written in when it answers. Rows beyond a shorter answer stay as they were.
class DbTopWindow : public TopWindow {
 public:
  using Query = std::function<DbRows(DbSession&)>;
  DbTopWindow(WindowOpener& m, Design d, Query query)
      : TopWindow(m, std::move(d)), query_(std::move(query)) {}

 protected:
  void refresh() override {
    if (!gate_.enter()) return;
    m_.reader()->read<DbRows>(
        this,
        // The query is copied: the window may close while it runs.
        [query = query_](DbSession* s) { return s != nullptr ? query(*s) : DbRows{}; },
        [this](DbRows r) {
          if (r.ok) {
            for (int i = 0; i < int(r.rows.size()); ++i) {
              RowRef ref;
              ref.id[0] = r.rows[std::size_t(i)].id;
              model()->set_row(i, r.rows[std::size_t(i)].cells, ref);
            }
          }
          if (gate_.leave()) refresh();
        });
  }

 private:
  const Query query_;
  ReadGate gate_;
};

DbRows top_urls(DbSession& s) {
  DbRows r;
  std::vector<UrlRow> urls;
  r.ok = db_urls_by_refs(s, [&](const UrlRow& u) {
           if (urls.size() < std::size_t(kListRows)) urls.push_back(u);
         }).ok();
  for (const UrlRow& u : urls) {
    std::string text;
    db_url_text(s, u.url_id, text);
    r.rows.push_back({{QString::fromStdString(text), QString::number(u.ref_count)}, u.url_id});
  }
  return r;
}

DbRows top_hosts(DbSession& s, bool servers) {
  DbRows r;
  auto add = [&](const HostAccessCount& h) {
    if (r.rows.size() < std::size_t(kListRows))
      r.rows.push_back({{QString::fromStdString(h.name), QString::number(h.count)}, h.host_id});
  };
  r.ok = (servers ? db_top_servers(s, add) : db_top_clients(s, add)).ok();
  return r;
}

class TopUrls final : public DbTopWindow {
 public:
  explicit TopUrls(WindowOpener& m)
      : DbTopWindow(m,
                    {QStringLiteral("Top URLs"),
                     QStringLiteral("topurllist"),
                     {QStringLiteral("URL"), QStringLiteral("Total Accesses")},
                     QStringLiteral("url"),
                     -1,
                     true},
                    top_urls) {}

 protected:
  void fill_menu(QMenu& menu, const RowRef&) override {
    add_command(menu, kWatchCmd0, QStringLiteral("Watch URL Accesses"));
    add_command(menu, kWatchCmd0 + 1, QStringLiteral("Browse URL"));
  }
  void command(int id, const RowRef& ref) override {
    if (id == kWatchCmd0) m_.open_url_accesses(ref.id[0]);
    if (id == kWatchCmd0 + 1) m_.browse_url(ref.id[0]);
  }
};

class TopUrlHosts final : public DbTopWindow {
 public:
  TopUrlHosts(WindowOpener& m, bool servers)
      : DbTopWindow(m,
                    servers ? Design{QStringLiteral("Top URL Servers"),
                                     QStringLiteral("topserverlist"),
                                     {QStringLiteral("Host"), QStringLiteral("Total URLs Served")},
                                     QStringLiteral("server")}
                            : Design{QStringLiteral("Top URL Clients"),
                                     QStringLiteral("topclientlist"),
                                     {QStringLiteral("Host"), QStringLiteral("Total URLs Requested")},
                                     QStringLiteral("client")},
                    [servers](DbSession& s) { return top_hosts(s, servers); }),
        servers_(servers) {}

 protected:
  void fill_menu(QMenu& menu, const RowRef&) override {
    add_host_commands(menu, kWatchCmd0, servers_ ? QStringLiteral("Server") : QStringLiteral("Client"));
  }
  void command(int id, const RowRef& ref) override { run_host_command(m_, id, kWatchCmd0, ref.id[0]); }

 private:
  const bool servers_;
};

}  // namespace

ListWindow* make_top_window(WindowOpener& m, TopList which) {
  switch (which) {
    case TopList::kHosts:
      return new TopHosts(m);
    case TopList::kLinks:
      return new TopLinks(m);
    case TopList::kAlarms:
      return new TopAlarms(m);
    case TopList::kUrls:
      return new TopUrls(m);
    case TopList::kClients:
      return new TopUrlHosts(m, false);
    case TopList::kServers:
      return new TopUrlHosts(m, true);
  }
  return nullptr;
}

}  // namespace tarnix::ui
