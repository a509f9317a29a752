#include "cli/summary.h"

#include <algorithm>
#include <cstdio>

#include "capture/source.h"
#include "core/wire_text.h"

namespace tarnix::cli {

namespace {

ProtoRow proto_row(const LinkProtoNode* n, const Classifier& c) {
  ProtoRow r;
  r.name = std::string(c.name_of(n->protocol));
  if (r.name.empty()) r.name = "(none)";
  r.description = std::string(c.description_of(n->protocol));
  r.frames = n->frames;
  r.bytes = n->bytes;
  for (const LinkProtoNode* ch = n->child; ch != nullptr; ch = ch->next) r.children.push_back(proto_row(ch, c));
  return r;
}

std::string fmt(const char* f, unsigned long long v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

void text_tree(std::string& out, const std::vector<ProtoRow>& rows, int depth) {
  for (const ProtoRow& r : rows) {
    std::string label(static_cast<std::size_t>(4 + depth * 2), ' ');
    label += r.name;
    if (!r.description.empty() && r.description != r.name) label += " (" + r.description + ")";
    char line[256];
    std::snprintf(line, sizeof line, "%-60s %12llu %16llu\n", label.c_str(),
                  static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.bytes));
    out += line;
    text_tree(out, r.children, depth + 1);
  }
}

void json_tree(std::string& out, const std::vector<ProtoRow>& rows) {
  out += "[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const ProtoRow& r = rows[i];
    if (i) out += ",";
    out += "{\"protocol\":" + json_string(r.name) + ",\"description\":" + json_string(r.description) +
           ",\"frames\":" + std::to_string(r.frames) + ",\"bytes\":" + std::to_string(r.bytes) +
           ",\"children\":";
    json_tree(out, r.children);
    out += "}";
  }
  out += "]";
}

// A block of lines, each shown by the text rule.
std::string escape_lines(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    out += escape_text(std::string_view(text).substr(pos, nl - pos));
    if (nl < text.size()) out += '\n';
    pos = nl + 1;
  }
  return out;
}

}  // namespace

std::string json_string(const std::string& text) {
  return escape_json(text);
}

namespace {

HostRow host_row(const Node& h) {
  HostRow r;
  r.address = h.address_text().c_str();
  HostNamer::Label label = node_name_source(h);
  r.name = std::move(label.name);
  r.name_source = std::string(label.source);
  r.ether = netaddr_text(h.ether_address);
  r.ether_shown = node_ether_label(h);
  r.vendor = node_maker(h);
  r.frames_sent = h.frames_sent;
  r.bytes_sent = h.bytes_sent;
  r.active = h.active != 0;
  r.vlan = h.vlan;
  return r;
}

LinkRow link_row(const Node& h, const Link& l, const Classifier& classifier, const FocusList* focus) {
  LinkRow lr;
  lr.source = h.address_text().c_str();
  lr.destination = l.destination->address_text().c_str();
  lr.frames = l.frames;
  lr.bytes = l.bytes;
  lr.active = l.active != 0;
  if (const FocusEntry* e = link_dominant_entry(l, focus))
    lr.dominant = std::string(classifier.name_of(e->protocol));
  for (const LinkProtoNode* n = l.protocol_tree; n != nullptr; n = n->next)
    lr.protocols.push_back(proto_row(n, classifier));
  return lr;
}

// The hosts by ascending address; only the pointers are gathered.
std::vector<const Node*> hosts_in_order(const Net& net) REQUIRES(net.lock) {
  std::vector<const Node*> hosts;
  hosts.reserve(net.all_hosts.size());
  net.host_list.foreach([&](Node* n) { hosts.push_back(n); });
  std::sort(hosts.begin(), hosts.end(),
            [](const Node* a, const Node* b) { return netaddr_compare(a->address, b->address) < 0; });
  return hosts;
}

// fn(host, link) for every link of the host, by destination address.
template <class Fn>
void links_in_order(const Node& h, Fn&& fn) {
  std::vector<const Link*> links;
  h.links.foreach ([&](const NetAddress&, const std::unique_ptr<Link>& l) { links.push_back(l.get()); });
  std::sort(links.begin(), links.end(), [](const Link* a, const Link* b) {
    return netaddr_compare(a->destination->address, b->destination->address) < 0;
  });
  for (const Link* l : links) fn(h, *l);
}

// A group whose hosts were all evicted is left out.
template <class Fn>
void subnets_in_order(const Net& net, Fn&& fn) REQUIRES(net.lock) {
  net.subnets.foreach ([&](Subnet* sn) {
    if (sn->host_count == 0) return;
    SubnetRow r;
    r.address = sn->address_text;
    r.host_count = sn->host_count;
    sn->hosts.foreach ([&](Node* m) { r.members.push_back(m->address_text().c_str()); });
    fn(r);
  });
}

Summary summary_of(const Net& net, const Classifier& classifier, const FocusList* focus, bool records)
    REQUIRES(net.lock) {
  Summary s;
  s.source = net.name;
  s.counters = net.counters;
  s.evicted = net.evicted;
  s.load_percent = net.load_percent.load();
  s.urls_proxied = net.urls.proxied.load();
  s.urls_direct = net.urls.direct.load();
  s.local_address = netaddr_text(net.local_address);
  s.local_mask = netaddr_text(net.local_mask);
  if (!records) {
    s.rows_from = &net;
    s.rows_classifier = &classifier;
    s.rows_focus = focus;
    return s;
  }
  for (const Node* h : hosts_in_order(net)) {
    s.hosts.push_back(host_row(*h));
    links_in_order(*h, [&](const Node& from, const Link& l) {
      s.links.push_back(link_row(from, l, classifier, focus));
    });
  }
  subnets_in_order(net, [&](const SubnetRow& r) { s.subnets.push_back(r); });
  return s;
}

void top_traffic_of(const Net& net, int n, TopLists& out) REQUIRES(net.lock) {
  for (int i = 0; i < net.top_hosts.count() && i < n; ++i) {
    const Node* h = net.top_hosts.at(i);
    out.hosts.push_back({node_display_name(*h), {}, 0, h->bytes_sent});
  }
  for (int i = 0; i < net.top_links.count() && i < n; ++i) {
    const Link* l = net.top_links.at(i);
    out.links.push_back({node_display_name(*l->source), node_display_name(*l->destination), 0, l->bytes});
  }
}

}  // namespace

Summary collect_summary(const Net& net, const Classifier& classifier, const FocusList* focus, bool records) {
  return net.read([&](const Net& locked) REQUIRES(locked.lock) {
    return summary_of(locked, classifier, focus, records);
  });
}

void collect_top_traffic(Net& net, int n, TopLists& out) {
  net.read_ranked([&](const Net& ranked) REQUIRES(ranked.lock) { top_traffic_of(ranked, n, out); });
}

namespace {

struct TopSection {
  const char* key;
  const char* title;
  const std::vector<TopRow>* rows;
};

std::vector<TopSection> top_sections(const TopLists& t) {
  return {{"hosts", "Top hosts (bytes sent)", &t.hosts},
          {"links", "Top links (bytes)", &t.links},
          {"alarms", "Top alarms (firings)", &t.alarms},
          {"urls", "Top URLs (accesses)", &t.urls},
          {"url_clients", "Top URL clients (URLs requested)", &t.url_clients},
          {"url_servers", "Top URL servers (URLs served)", &t.url_servers}};
}

void top_text(std::string& out, const TopLists& t) {
  for (const TopSection& sec : top_sections(t)) {
    out += std::string("\n") + sec.title + "\n";
    for (const TopRow& r : *sec.rows) {
      std::string name = escape_text(r.name);
      if (sec.rows == &t.links) name += " -> " + escape_text(r.destination);
      out += fmt("  %12llu  ", r.count) + name + "\n";
    }
  }
}

void top_json(std::string& out, const TopLists& t) {
  out += ",\"top\":{";
  bool first_section = true;
  for (const TopSection& sec : top_sections(t)) {
    out += std::string(first_section ? "" : ",") + "\"" + sec.key + "\":[";
    first_section = false;
    for (std::size_t i = 0; i < sec.rows->size(); ++i) {
      const TopRow& r = (*sec.rows)[i];
      out += i ? ",{" : "{";
      if (sec.rows == &t.links)
        out += "\"source\":" + json_string(r.name) + ",\"destination\":" + json_string(r.destination);
      else
        out += std::string(sec.rows == &t.urls ? "\"url\":" : "\"name\":") + json_string(r.name);
      out += ",\"count\":" + std::to_string(r.count);
      if (sec.rows == &t.urls)
        out += ",\"url_id\":" + std::to_string(r.id);
      else if (sec.rows == &t.url_clients || sec.rows == &t.url_servers)
        out += ",\"host_id\":" + std::to_string(r.id);
      out += "}";
    }
    out += "]";
  }
  out += "}";
}

}  // namespace

namespace {

// Where a summary goes: gathered in `buf`, and with a file handed to it a
// piece at a time.
struct Out {
  std::FILE* file = nullptr;
  std::string buf;
  bool ok = true;
  void spill(bool all = false) {
    if (file == nullptr || (!all && buf.size() < 65536)) return;
    if (!buf.empty() && std::fwrite(buf.data(), 1, buf.size(), file) != buf.size()) ok = false;
    buf.clear();
  }
};

// The rows of a summary: its own, or those of its network read now, under
// the network's lock, one at a time.
template <class Fn>
void each_host(const Summary& s, Fn&& fn) {
  if (s.rows_from == nullptr) {
    for (const HostRow& h : s.hosts) fn(h);
    return;
  }
  s.rows_from->read([&](const Net& net) REQUIRES(net.lock) {
    for (const Node* h : hosts_in_order(net)) fn(host_row(*h));
  });
}

template <class Fn>
void each_link(const Summary& s, Fn&& fn) {
  if (s.rows_from == nullptr) {
    for (const LinkRow& l : s.links) fn(l);
    return;
  }
  s.rows_from->read([&](const Net& net) REQUIRES(net.lock) {
    for (const Node* h : hosts_in_order(net))
      links_in_order(*h, [&](const Node& from, const Link& l) {
        fn(link_row(from, l, *s.rows_classifier, s.rows_focus));
      });
  });
}

// fn(row, members): members(g) calls g(address text) for each member. Read
// from the network, a group's members are handed over one at a time: a
// flood's group holds as many as the bound allows.
template <class Fn>
void each_subnet(const Summary& s, Fn&& fn) {
  if (s.rows_from == nullptr) {
    for (const SubnetRow& r : s.subnets)
      fn(r, [&](auto&& g) {
        for (const std::string& m : r.members) g(m);
      });
    return;
  }
  s.rows_from->read([&](const Net& net) REQUIRES(net.lock) {
    net.subnets.foreach ([&](Subnet* sn) {
      if (sn->host_count == 0) return;
      const SubnetRow r{sn->address_text, sn->host_count, {}};
      fn(r,
         [&](auto&& g) { sn->hosts.foreach ([&](Node* m) { g(std::string(m->address_text().c_str())); }); });
    });
  });
}

std::size_t host_total(const Summary& s) {
  return s.rows_from == nullptr
             ? s.hosts.size()
             : s.rows_from->read([](const Net& n) REQUIRES(n.lock) { return n.all_hosts.size(); });
}

std::size_t link_total(const Summary& s) {
  return s.rows_from == nullptr
             ? s.links.size()
             : s.rows_from->read([](const Net& n) REQUIRES(n.lock) { return n.all_links.size(); });
}

std::size_t subnet_total(const Summary& s) {
  if (s.rows_from == nullptr) return s.subnets.size();
  return s.rows_from->read([](const Net& n) REQUIRES(n.lock) {
    std::size_t count = 0;
    n.subnets.foreach ([&](Subnet* sn) { count += sn->host_count > 0 ? 1 : 0; });
    return count;
  });
}

void text_out(const Summary& s, Out& o) {
  std::string& out = o.buf;
  char line[512];
  out += "Capture: " + s.source + "\n";
  if (s.cut_short_after) out += "  " + capture_cut_short_text(*s.cut_short_after) + "\n";
  if (!s.read_stopped.empty()) out += "  " + escape_text(s.read_stopped) + "\n";
  out += "  frames seen          " + fmt("%llu", s.counters.frames_seen) + "\n";
  out += "  frames counted       " + fmt("%llu", s.counters.frames_accepted) + "\n";
  out += "  filtered out         " + fmt("%llu", s.counters.frames_filtered + s.filter_rejected) +
         " (not IPv4 or NetBIOS name service: " + fmt("%llu", s.counters.frames_filtered) +
         "; capture filter: " + fmt("%llu", s.filter_rejected) + ")\n";
  if (s.live) {
    out += "  received by library  " + fmt("%llu", s.counters.received) + "\n";
    out += "  dropped by kernel    " + fmt("%llu", s.counters.dropped) + "\n";
    out += "  dropped by interface " + fmt("%llu", s.counters.interface_dropped) + "\n";
    out += "  load                 " + fmt("%llu", s.load_percent) + "%\n";
  }
  if (s.evicted.hosts != 0 || s.evicted.links != 0) {
    out += "  evicted hosts        " + fmt("%llu", s.evicted.hosts) + " (frames sent " +
           fmt("%llu", s.evicted.host_frames) + ", bytes sent " + fmt("%llu", s.evicted.host_bytes) + ")\n";
    out += "  evicted links        " + fmt("%llu", s.evicted.links) + " (frames " +
           fmt("%llu", s.evicted.link_frames) + ", bytes " + fmt("%llu", s.evicted.link_bytes) + ")\n";
  }
  if (s.names_not_asked != 0)
    out += "  names not asked      " + fmt("%llu", s.names_not_asked) + " (name service queue full)\n";
  out += "  local address        " + s.local_address + " mask " + s.local_mask + "\n";

  out += "\nHosts (" + std::to_string(host_total(s)) + ")\n";
  std::snprintf(line, sizeof line, "  %-15s %-17s %12s %16s  %s\n", "address", "ethernet", "frames sent",
                "bytes sent", "name");
  out += line;
  each_host(s, [&](const HostRow& h) {
    const std::string& ether = h.ether_shown.empty() ? h.ether : h.ether_shown;
    std::snprintf(line, sizeof line, "  %-15s %-17s %12llu %16llu  %s", h.address.c_str(), ether.c_str(),
                  static_cast<unsigned long long>(h.frames_sent), static_cast<unsigned long long>(h.bytes_sent),
                  escape_text(h.name).c_str());
    out += line;
    // The maker beside the name: a text table has no room for it at the address.
    if (!h.vendor.empty()) out += (h.name.empty() ? "[" : "  [") + escape_text(h.vendor) + "]";
    out += "\n";
    o.spill();
  });

  out += "\nLinks (" + std::to_string(link_total(s)) + ")\n";
  std::snprintf(line, sizeof line, "  %-15s    %-15s %12s %16s\n", "source", "destination", "frames", "bytes");
  out += line;
  each_link(s, [&](const LinkRow& l) {
    std::snprintf(line, sizeof line, "  %-15s -> %-15s %12llu %16llu\n", l.source.c_str(),
                  l.destination.c_str(), static_cast<unsigned long long>(l.frames),
                  static_cast<unsigned long long>(l.bytes));
    out += line;
    if (!l.dominant.empty()) out += "    dominant " + l.dominant + "\n";
    text_tree(out, l.protocols, 0);
    o.spill();
  });

  out += "\nSubnets (" + std::to_string(subnet_total(s)) + ")\n";
  each_subnet(s, [&](const SubnetRow& sn, auto&& members) {
    out += "  " + sn.address + "  " + std::to_string(sn.host_count) + " host" + (sn.host_count == 1 ? "" : "s") +
           ":";
    members([&](const std::string& m) {
      out += " " + escape_text(m);
      o.spill();
    });
    out += "\n";
    o.spill();
  });
  if (!s.duplicates.empty()) {
    out += "\nDuplicate IP addresses\n";
    for (const std::string& d : s.duplicates) out += escape_text(d) + "\n";
  }
  if (s.recorded_urls) {
    out += "\nHTTP requests recorded: " + std::to_string(s.urls_recorded) + " of " +
           std::to_string(s.urls_seen) + " seen (" + std::to_string(s.urls_direct) + " direct, " +
           std::to_string(s.urls_proxied) + " through a proxy)\n";
    if (s.urls_dropped() > 0)
      out += "HTTP requests not recorded: " + std::to_string(s.urls_dropped()) + " (queue full " +
             std::to_string(s.urls_dropped_queue_full) + ", store failed " +
             std::to_string(s.urls_dropped_store_failed) + ", given up " +
             std::to_string(s.urls_dropped_given_up) + ")\n";
    if (!s.database.empty()) out += "Database: " + s.database + "\nSensor: " + s.sensor + "\n";
  }
  if (!s.alarms_text.empty()) out += "\n" + escape_lines(s.alarms_text);
  if (s.has_top) top_text(out, s.top);
  o.spill(true);
}

void json_out(const Summary& s, Out& o) {
  std::string& out = o.buf;
  out += "{";
  out += "\"source\":" + json_string(s.source);
  out += ",\"live\":" + std::string(s.live ? "true" : "false");
  out += ",\"frames_seen\":" + std::to_string(s.counters.frames_seen);
  out += ",\"frames_counted\":" + std::to_string(s.counters.frames_accepted);
  out += ",\"frames_filtered\":" + std::to_string(s.counters.frames_filtered);
  out += ",\"frames_rejected_by_capture_filter\":" + std::to_string(s.filter_rejected);
  if (s.cut_short_after) out += ",\"cut_short_after_frames\":" + std::to_string(*s.cut_short_after);
  if (!s.read_stopped.empty()) out += ",\"read_stopped\":" + json_string(s.read_stopped);
  out += ",\"received\":" + std::to_string(s.counters.received);
  out += ",\"dropped_by_kernel\":" + std::to_string(s.counters.dropped);
  out += ",\"dropped_by_interface\":" + std::to_string(s.counters.interface_dropped);
  out += ",\"evicted\":{\"hosts\":" + std::to_string(s.evicted.hosts) +
         ",\"host_frames\":" + std::to_string(s.evicted.host_frames) +
         ",\"host_bytes\":" + std::to_string(s.evicted.host_bytes) +
         ",\"links\":" + std::to_string(s.evicted.links) +
         ",\"link_frames\":" + std::to_string(s.evicted.link_frames) +
         ",\"link_bytes\":" + std::to_string(s.evicted.link_bytes) + "}";
  out += ",\"names_not_asked\":" + std::to_string(s.names_not_asked);
  out += ",\"load_percent\":" + std::to_string(s.load_percent);
  out += ",\"local_address\":" + json_string(s.local_address);
  out += ",\"local_mask\":" + json_string(s.local_mask);
  out += ",\"hosts\":[";
  bool first = true;
  each_host(s, [&](const HostRow& h) {
    if (!first) out += ",";
    first = false;
    out += "{\"address\":" + json_string(h.address) +
           ",\"name\":" + (h.name.empty() ? std::string("null") : json_string(h.name)) +
           (h.name.empty() || h.name_source.empty() ? std::string()
                                                    : ",\"name_source\":" + json_string(h.name_source)) +
           // A host heard only on raw IP or loopback links has no Ethernet address.
           ",\"ethernet\":" + (h.ether.empty() ? std::string("null") : json_string(h.ether)) +
           (h.vlan == 0 ? std::string() : ",\"vlan\":" + std::to_string(h.vlan)) +
           (h.vendor.empty() ? std::string() : ",\"vendor\":" + json_string(h.vendor)) + ",\"frames_sent\":" + std::to_string(h.frames_sent) +
           ",\"bytes_sent\":" + std::to_string(h.bytes_sent) + ",\"active\":" + (h.active ? "true" : "false") +
           "}";
    o.spill();
  });
  out += "],\"links\":[";
  first = true;
  each_link(s, [&](const LinkRow& l) {
    if (!first) out += ",";
    first = false;
    out += "{\"source\":" + json_string(l.source) + ",\"destination\":" + json_string(l.destination) +
           ",\"frames\":" + std::to_string(l.frames) + ",\"bytes\":" + std::to_string(l.bytes) +
           ",\"active\":" + (l.active ? "true" : "false") +
           ",\"dominant\":" + (l.dominant.empty() ? std::string("null") : json_string(l.dominant)) + ",\"protocols\":";
    json_tree(out, l.protocols);
    out += "}";
    o.spill();
  });
  out += "],\"subnets\":[";
  first = true;
  each_subnet(s, [&](const SubnetRow& sn, auto&& members) {
    if (!first) out += ",";
    first = false;
    out += "{\"address\":" + json_string(sn.address) + ",\"host_count\":" + std::to_string(sn.host_count) +
           ",\"members\":[";
    bool first_member = true;
    members([&](const std::string& m) {
      out += (first_member ? "" : ",") + json_string(m);
      first_member = false;
      o.spill();
    });
    out += "]}";
    o.spill();
  });
  out += "],\"duplicates\":[";
  for (std::size_t i = 0; i < s.duplicates.size(); ++i) out += (i ? "," : "") + json_string(s.duplicates[i]);
  out += "]";
  if (s.recorded_urls) {
    out += ",\"urls\":{\"recorded\":" + std::to_string(s.urls_recorded) +
           ",\"seen\":" + std::to_string(s.urls_seen) +
           ",\"dropped\":{\"total\":" + std::to_string(s.urls_dropped()) +
           ",\"queue_full\":" + std::to_string(s.urls_dropped_queue_full) +
           ",\"store_failed\":" + std::to_string(s.urls_dropped_store_failed) +
           ",\"given_up\":" + std::to_string(s.urls_dropped_given_up) +
           "},\"unusable\":" + std::to_string(s.urls_unusable) +
           ",\"direct\":" + std::to_string(s.urls_direct) + ",\"proxied\":" + std::to_string(s.urls_proxied);
    if (!s.database.empty())
      out += ",\"database\":" + json_string(s.database) + ",\"sensor\":" + json_string(s.sensor);
    out += "}";
  }
  if (!s.alarms_json.empty()) out += ",\"alarms\":" + s.alarms_json;
  if (s.has_top) top_json(out, s.top);
  out += "}\n";
  o.spill(true);
}

}  // namespace

std::string render_text(const Summary& s) {
  Out o;
  text_out(s, o);
  return std::move(o.buf);
}

std::string render_json(const Summary& s) {
  Out o;
  json_out(s, o);
  return std::move(o.buf);
}

bool write_text(const Summary& s, std::FILE* file) {
  Out o{file};
  text_out(s, o);
  return o.ok;
}

bool write_json(const Summary& s, std::FILE* file) {
  Out o{file};
  json_out(s, o);
  return o.ok;
}

namespace {

std::string rgb_text(std::uint32_t c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c & 0xff, (c >> 8) & 0xff, (c >> 16) & 0xff);
  return buf;
}

}  // namespace

std::string render_foci_text(const FocusStore& store, const Classifier& classifier) {
  std::string out = "Palette\n";
  for (int i = 0; i < kPaletteColours; ++i)
    out += "  " + std::to_string(i) + (i < 10 ? "  " : " ") + rgb_text(store.palette[std::size_t(i)]) +
           (i == kOtherColour ? "  Other\n" : "\n");
  for (std::size_t i = 0; i < store.dictionary.size(); ++i) {
    const FocusRecord& f = store.dictionary[i];
    out += "\nFocus \"" + f.name + "\"" + (int(i) == store.active ? " (active)" : "") + "\n";
    for (const FocusRecord::Entry& e : f.entries) {
      char line[160];
      std::snprintf(line, sizeof line, "  %-18s %2d %s  %s\n", e.protocol_name.c_str(), e.colour,
                    rgb_text(store.palette[std::size_t(e.colour)]).c_str(),
                    std::string(classifier.description_of(e.protocol)).c_str());
      out += line;
    }
  }
  return out;
}

std::string render_foci_json(const FocusStore& store, const Classifier& classifier) {
  std::string out = "{\"palette\":[";
  for (int i = 0; i < kPaletteColours; ++i) out += (i ? ",\"" : "\"") + rgb_text(store.palette[std::size_t(i)]) + "\"";
  out += "],\"foci\":[";
  for (std::size_t i = 0; i < store.dictionary.size(); ++i) {
    const FocusRecord& f = store.dictionary[i];
    out += std::string(i ? "," : "") + "{\"name\":" + json_string(f.name) +
           ",\"active\":" + (int(i) == store.active ? "true" : "false") + ",\"entries\":[";
    for (std::size_t k = 0; k < f.entries.size(); ++k) {
      const FocusRecord::Entry& e = f.entries[k];
      out += std::string(k ? "," : "") + "{\"protocol\":" + json_string(e.protocol_name) +
             ",\"description\":" + json_string(std::string(classifier.description_of(e.protocol))) +
             ",\"colour\":" + std::to_string(e.colour) + "}";
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

}  // namespace tarnix::cli
