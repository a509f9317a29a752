#include "ui/map_questions.h"

#include <QLocale>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "capture/net.h"
#include "pdl/protocol_tree.h"
#include "ui/monitor/list_format.h"
#include "ui/monitor/window_makers.h"
#include "ui/zoom.h"

namespace tarnix::ui {
namespace {

Node* live_host(Net& net, std::uint64_t key, const Node* expected) REQUIRES(net.lock) {
  return host_by_key(net, key, expected);
}

Link* live_link(Net& net, const MapSpot& spot) REQUIRES(net.lock) {
  Node* from = live_host(net, spot.key, spot.host);
  if (from == nullptr) return nullptr;
  if (from->address.is_ipv6()) {
    // An IPv6 destination's key is no address: the link is looked for
    // among the source's own.
    Link* found = nullptr;
    from->links.foreach_link([&](Link& l) {
      if (&l == spot.link) found = &l;
    });
    return found;
  }
  const auto peer = static_cast<std::uint32_t>(spot.peer_key);
  std::uint8_t to[4];
  std::memcpy(to, &peer, 4);
  std::unique_ptr<Link>* l = from->links.find(NetAddress::ipv4(to));
  return l != nullptr && l->get() == spot.link ? l->get() : nullptr;
}

QString rate_text(double bytes_per_s, double frames_per_s) {
  return QStringLiteral("%1/s, %2 frames/s")
      .arg(format_bytes(std::uint64_t(std::max(0.0, bytes_per_s))), QLocale().toString(frames_per_s, 'f', 1));
}

struct ProtoShare {
  QString path;
  std::uint64_t bytes;
};

// The innermost protocols a link carried, by bytes: "IP/TCP/HTTP".
std::vector<ProtoShare> protocol_shares(const Link& l) {
  std::vector<ProtoShare> out;
  const auto walk = [&](const auto& self, const LinkProtoNode* n, const QString& above) -> void {
    for (; n != nullptr; n = n->next) {
      const QString name = n->protocol ? QString::fromStdString(n->protocol->name) : QStringLiteral("?");
      // Every frame is ROOT/ETHERNET: the path starts below them.
      const bool frame_level =
          above.isEmpty() && (name == QLatin1String("ROOT") || name == QLatin1String("ETHERNET"));
      const QString path = frame_level ? QString() : above.isEmpty() ? name : above + QLatin1Char('/') + name;
      if (n->child == nullptr)
        out.push_back({path.isEmpty() ? name : path, n->bytes});
      else
        self(self, n->child, path);
    }
  };
  walk(walk, l.protocol_tree, QString());
  std::sort(out.begin(), out.end(),
            [](const ProtoShare& a, const ProtoShare& b) { return a.bytes > b.bytes; });
  return out;
}

QString host_text(Node& h) {
  const QString name = QString::fromStdString(node_name(h));
  QStringList lines;
  lines << (name.isEmpty() ? QString::fromLatin1(h.address_text().c_str()) : name);
  if (!name.isEmpty())
    lines << QStringLiteral("Address: %1").arg(QString::fromLatin1(h.address_text().c_str()));
  if (h.ether_address.present())
    lines << QStringLiteral("Ethernet: %1").arg(QString::fromStdString(netaddr_text(h.ether_address)));
  lines << QStringLiteral("Sent: %1 frames, %2").arg(format_count(h.frames_sent), format_bytes(h.bytes_sent));
  lines << QStringLiteral("Now: %1").arg(rate_text(h.byte_rate(), h.frame_rate()));
  const Link* busiest = nullptr;
  h.links.foreach_link([&](Link& l) {
    if (busiest == nullptr || l.byte_rate() > busiest->byte_rate() ||
        (l.byte_rate() == busiest->byte_rate() && l.bytes > busiest->bytes))
      busiest = &l;
  });
  if (busiest != nullptr) {
    const std::vector<ProtoShare> shares = protocol_shares(*busiest);
    lines << QStringLiteral("Busiest link: to %1%2")
                 .arg(QString::fromStdString(node_display_name(*busiest->destination)),
                      shares.empty() ? QString() : QStringLiteral(", mostly ") + shares.front().path);
  }
  return lines.join(QLatin1Char('\n'));
}

QString link_text(Link& l) {
  QStringList lines;
  lines << QStringLiteral("%1 → %2").arg(QString::fromStdString(node_display_name(*l.source)),
                                         QString::fromStdString(node_display_name(*l.destination)));
  lines << QStringLiteral("Carried: %1 frames, %2").arg(format_count(l.frames), format_bytes(l.bytes));
  lines << QStringLiteral("Now: %1").arg(rate_text(l.byte_rate(), l.frame_rate()));
  const std::vector<ProtoShare> shares = protocol_shares(l);
  std::uint64_t total = 0;
  for (const ProtoShare& s : shares) total += s.bytes;
  constexpr std::size_t kShown = 6;
  for (std::size_t i = 0; i < shares.size() && i < kShown && total > 0; ++i)
    lines << QStringLiteral("  %1  %2 %")
                 .arg(shares[i].path, QLocale().toString(100.0 * shares[i].bytes / total, 'f', 1));
  if (shares.size() > kShown) lines << QStringLiteral("  and %1 more").arg(shares.size() - kShown);
  return lines.join(QLatin1Char('\n'));
}

}  // namespace

QString spot_tooltip(Net& net, const MapSpot& spot) {
  return net.read([&](const Net&) {
    net.lock.assert_held();  // read() hands over this network
    if (spot.kind == MapSpot::kHost) {
      Node* h = live_host(net, spot.key, spot.host);
      return h ? host_text(*h) : QString();
    }
    if (spot.kind == MapSpot::kLink) {
      Link* l = live_link(net, spot);
      return l ? link_text(*l) : QString();
    }
    return QString();
  });
}

Node* spot_host(Net& net, const MapSpot& spot) {
  return net.read([&](const Net&) -> Node* {
    net.lock.assert_held();  // read() hands over this network
    return spot.kind == MapSpot::kNone ? nullptr : live_host(net, spot.key, spot.host);
  });
}

Node* spot_peer(Net& net, const MapSpot& spot) {
  return net.read([&](const Net&) -> Node* {
    net.lock.assert_held();  // read() hands over this network
    Link* l = spot.kind == MapSpot::kLink ? live_link(net, spot) : nullptr;
    return l ? l->destination : nullptr;
  });
}

void install_map_questions(MapWindow& map, ZoomImage& zoom, TrafficModel& model, WindowOpener* lists) {
  map.set_zoom_follower([&zoom](double l, double t, double r, double b) { zoom.show_zoom(l, t, r, b); });
  TrafficModel* mp = &model;
  map.set_spot_text([mp](const MapSpot& s) {
    Net* net = net_current(*mp);
    return net ? spot_tooltip(*net, s) : QString();
  });
  if (lists == nullptr) return;
  map.set_spot_open([mp, lists](const MapSpot& s) {
    Net* net = net_current(*mp);
    if (Node* h = net ? spot_host(*net, s) : nullptr) lists->open_host_watch(h);
  });
  map.set_spot_menu([mp, lists](const MapSpot& s, QWidget* parent) -> QMenu* {
    Net* net = net_current(*mp);
    if (net == nullptr || spot_host(*net, s) == nullptr) return nullptr;
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("map_menu"));
    const bool link = s.kind == MapSpot::kLink;
    add_node_commands(*menu, *lists, kWatchCmd0, link ? QStringLiteral("Source") : QStringLiteral("Host"));
    if (link) add_node_commands(*menu, *lists, kWatchCmd0 + kNodeCommands, QStringLiteral("Destination"));
    QObject::connect(menu, &QMenu::triggered, menu, [mp, lists, s](QAction* a) {
      // The host is looked up again: the adapter may have changed meanwhile.
      Net* now = net_current(*mp);
      if (now == nullptr) return;
      const int id = a->data().toInt();
      if (Node* h = spot_host(*now, s); h && run_node_command(*lists, id, kWatchCmd0, h)) return;
      if (Node* p = spot_peer(*now, s)) run_node_command(*lists, id, kWatchCmd0 + kNodeCommands, p);
    });
    return menu;
  });
}

}  // namespace tarnix::ui
