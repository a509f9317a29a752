// The traffic watch windows: the Host List (every host of the network) and
// the host watch (one host's traffic by destination and protocol), both read
// from the traffic model under the network's lock and rewritten in place.
#include <functional>
#include <mutex>
#include <vector>

#include "app/settings.h"
#include "capture/net.h"
#include "ui/monitor/window_makers.h"

namespace tarnix::ui {

namespace {

struct TrafficRow {
  RowRef ref;
  QString key;  // first column, written only when the row is new
  QStringList cells;
};

class TrafficWindow : public ListWindow {
 public:
  TrafficWindow(WindowOpener& m, Design d, int first_count)
      : ListWindow(*m.services().settings, std::move(d), m.services().parent), m_(m) {
    for (int c = first_count; c < model()->columnCount(); ++c) model()->set_numeric(c);
  }

 protected:
  // Rows in their order: a row whose place holds another record gets a new
  // row there; every row's other columns are rewritten.
  void write(const std::vector<TrafficRow>& rows) {
    for (int i = 0; i < int(rows.size()); ++i) {
      const TrafficRow& r = rows[std::size_t(i)];
      const RowRef* at = model()->ref(i);
      if (at == nullptr || !(*at == r.ref)) model()->insert_row(i, {r.key}, r.ref);
      model()->set_cells(i, 1, r.cells);
    }
  }
  void add_node_commands(QMenu& menu) { ui::add_node_commands(menu, m_, kWatchCmd0, QStringLiteral("Node")); }

  WindowOpener& m_;
};

class HostList final : public TrafficWindow {
 public:
  explicit HostList(WindowOpener& m)
      : TrafficWindow(
            m,
            {QStringLiteral("Host List"),
             QStringLiteral("hostlist"),
             {QStringLiteral("IP Address"), QStringLiteral("Host Name"), QStringLiteral("Total Bytes Sent"),
              QStringLiteral("Bytes/Sec"), QStringLiteral("Total Packets Sent"),
              QStringLiteral("Packets/Sec"), QStringLiteral("Ethernet"), QStringLiteral("VLAN")},
             QStringLiteral("wnet"),
             -1,
             true},
            2),
        net_(net_current(*m.services().model)) {}

  void clear_and_refresh() override {
    net_ = net_current(*m_.services().model);
    ListWindow::clear_and_refresh();
  }

 protected:
  void refresh() override {
    if (net_ == nullptr) return;
    std::vector<TrafficRow> rows;
    net_->read([&](const Net& net) REQUIRES(net.lock) {
      net.host_list.foreach([&](Node* h) {
        TrafficRow r;
        r.ref.record = h;
        r.key = QString::fromLatin1(h->address_text().c_str());
        r.cells = {QString::fromStdString(node_name(*h)), QString::number(h->bytes_sent),
                   QString::number(h->window_bytes), QString::number(h->frames_sent),
                   QString::number(h->window_frames), QString::fromStdString(node_ether_label(*h)),
                   h->vlan != 0 ? QString::number(h->vlan) : QString()};
        rows.push_back(std::move(r));
      });
    });
    write(rows);
  }
  void fill_menu(QMenu& menu, const RowRef&) override { add_node_commands(menu); }
  void command(int id, const RowRef& ref) override {
    run_node_command(m_, id, kWatchCmd0, static_cast<const Node*>(ref.record));
  }

 private:
  Net* net_;
};

// The leaves of a link's protocol tree, depth first, inner protocols first.
void leaves(const LinkProtoNode* n, const std::function<void(const LinkProtoNode*)>& fn) {
  for (; n != nullptr; n = n->next) {
    if (n->child == nullptr)
      fn(n);
    else
      leaves(n->child, fn);
  }
}

// "address : name", then where the name came from ("(dhcp)") when there is
// one, and the adapter as Maker_xx:yy:zz when makers are shown and known.
QString host_watch_title(const Node& host) {
  HostNamer::Label label;
  std::string ether, plain;
  int vlan = 0;
  // The frame path rewrites the Ethernet address and the VLAN under the lock.
  const auto take = [&] {
    label = node_name_source(host);
    ether = node_ether_label(host);
    plain = netaddr_text(host.ether_address);
    vlan = host.vlan;
  };
  if (host.net != nullptr)
    host.net->read([&](const Net&) { take(); });
  else
    take();
  QString t = QStringLiteral("%1 : %2").arg(QString::fromLatin1(host.address_text().c_str()),
                                            QString::fromStdString(label.name));
  if (!label.name.empty() && !label.source.empty())
    t += QStringLiteral(" (%1)").arg(QString::fromLatin1(label.source.data(), int(label.source.size())));
  if (ether != plain) t += QStringLiteral("  ") + QString::fromStdString(ether);
  if (vlan != 0) t += QStringLiteral("  VLAN %1").arg(vlan);
  return t;
}

class HostWatch final : public TrafficWindow {
 public:
  HostWatch(WindowOpener& m, const Node* host)
      : TrafficWindow(m,
                      {host_watch_title(*host),
                       QStringLiteral("hostwatch"),
                       {QStringLiteral("Dest IP"), QStringLiteral("Dest Name"), QStringLiteral("Protocol"),
                        QStringLiteral("Bytes Total"), QStringLiteral("Packet Total")},
                       QStringLiteral("wnode")},
                      3),
        host_(host),
        generation_(host->generation),
        net_(host->net),
        title_(host_watch_title(*host)) {}

  // The host belongs to the network that was left: the window goes.
  void clear_and_refresh() override { close(); }

 protected:
  void refresh() override {
    Net* net = net_;
    if (net == nullptr || gone_) return;
    const Classifier* classifier = m_.services().model->classifier;
    std::vector<TrafficRow> rows;
    net->read([&](const Net&) {
      // The model's bound evicted the host: its record's memory may hold
      // another host by now (records are reused, never freed).
      if (host_->dead || host_->generation != generation_) {
        gone_ = true;
        return;
      }
      host_->links.foreach([&](const NetAddress&, const std::unique_ptr<Link>& l) {
        const Node* dest = l->destination;
        leaves(l->protocol_tree, [&](const LinkProtoNode* n) {
          TrafficRow r;
          r.ref.record = dest;
          r.ref.record2 = n;
          r.key = QString::fromLatin1(dest->address_text().c_str());
          QString proto;
          if (classifier != nullptr) {
            const std::string_view name = classifier->name_of(n->protocol);
            proto = QString::fromUtf8(name.data(), qsizetype(name.size()));
          }
          r.cells = {QString::fromStdString(node_name(*dest)), proto, QString::number(n->bytes),
                     QString::number(n->frames)};
          rows.push_back(std::move(r));
        });
      });
    });
    if (gone_) {
      // The last rows stay, under a title that says they are all there is.
      set_base_title(title_ + QStringLiteral(" (gone: evicted)"));
      return;
    }
    write(rows);
  }
  void fill_menu(QMenu& menu, const RowRef&) override { add_node_commands(menu); }
  void command(int id, const RowRef& ref) override {
    run_node_command(m_, id, kWatchCmd0, static_cast<const Node*>(ref.record));
  }

 private:
  const Node* host_;
  std::uint32_t generation_;
  Net* net_;
  QString title_;
  bool gone_ = false;
};

}  // namespace

ListWindow* make_host_list(WindowOpener& m) {
  return new HostList(m);
}

ListWindow* make_host_watch(WindowOpener& m, const Node* host) {
  return new HostWatch(m, host);
}

}  // namespace tarnix::ui
