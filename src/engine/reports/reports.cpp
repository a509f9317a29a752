#include "reports/reports.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "alarms/alarm.h"
#include "capture/net.h"
#include "core/mutex.h"
#include "core/wire_text.h"
#include "db/db_store.h"
#include "pdl/protocol_tree.h"

#ifndef TARNIX_VERSION
#define TARNIX_VERSION "unknown"
#endif

namespace tarnix {

namespace {

constexpr ReportKindInfo kInfo[] = {
    {ReportKind::kHost, "hostrep", "Host Report", "host"},
    {ReportKind::kStats, "statsrep", "Statistics Report", "stats"},
    {ReportKind::kAlarms, "alarmrep", "Alarms Report", "alarms"},
    {ReportKind::kUrls, "urlsrep", "URLs Report", "urls"},
};

// The most rows a database section reads.
constexpr int kTopRows = 50;

std::int64_t now_of(const ReportSources& src) {
  return src.clock ? src.clock() : static_cast<std::int64_t>(std::time(nullptr));
}

std::unique_ptr<ReportProgress> open_progress(const ReportSources& src, int range, const char* title) {
  if (!src.progress) return nullptr;
  ReportProgressPlace place;
  place.x = 5;
  place.y = 44;
  place.w = 295;
  place.h = 40;
  place.range = range;
  place.step = 1;
  place.start = 0;
  place.title = title;
  return src.progress(place);
}

void step(const std::unique_ptr<ReportProgress>& p) {
  if (p) p->step();
}

// The footer of the common frame; `closing` names the files of the last
// "\n" line.
void footer(ReportOut& out, unsigned closing, bool product_newline = false) {
  const std::string product = report_product_line() + (product_newline ? "\n" : "");
  out.html("<HR WIDTH=75%><FONT SIZE=-6>");
  out.html(escape_html(product));
  out.html("</FONT>");
  out.line(kToTextRtf, product);
  out.line(closing, "\n");
}

// The report's title: centred in HTML, a heading in `heading_to`, then an
// empty line in `break_to`.
void title(ReportOut& out, const char* text, unsigned heading_to, unsigned break_to) {
  out.html(std::string("<CENTER><H2><B>") + text + "</B></H2><HR WIDTH=75%></CENTER><P>");
  out.heading(heading_to, text);
  out.line(break_to, "\n");
}

// A name in a fixed-width column: padded, and cut to the width, except a
// name holding an IPv6 address (names of hosts never hold a ':' but IPv6
// and Ethernet addresses do), which a cut would turn into another address:
// that one is written whole and pushes the rest of its row along.
int column_cut(const std::string& name, int width) {
  const bool address = name.find(':') != std::string::npos;
  return address && static_cast<int>(name.size()) > width ? static_cast<int>(name.size()) : width;
}

// ---- host report

struct HostRow {
  std::string destination, protocol;
  std::uint64_t frames = 0, bytes = 0;
};
struct HostBlock {
  std::string name;
  std::vector<HostRow> rows;
};

// Only leaves are written, and a node's later siblings before the node.
void walk_tree(const LinkProtoNode* node, const std::string& destination, std::vector<HostRow>& rows) {
  if (node == nullptr) return;
  walk_tree(node->next, destination, rows);
  if (node->child != nullptr) {
    walk_tree(node->child, destination, rows);
  } else {
    rows.push_back({destination, node->protocol ? node->protocol->description : std::string(), node->frames,
                    node->bytes});
  }
}

std::vector<HostBlock> host_blocks(const Net& net) REQUIRES(net.lock) {
  std::vector<HostBlock> blocks;
  net.hosts.foreach ([&](const HostTableKey&, const std::unique_ptr<Node>& host) {
    if (host->dead || host->links.count() == 0) return;
    HostBlock b{node_display_name(*host), {}};
    host->links.foreach ([&](const NetAddress&, const std::unique_ptr<Link>& link) {
      walk_tree(link->protocol_tree, node_display_name(*link->destination), b.rows);
    });
    blocks.push_back(std::move(b));
  });
  return blocks;
}

void host_report(ReportOut& out, const ReportSources& src) {
  title(out, "Report of Monitored Host Statistics", kToTextRtf, kToTextRtf);
  std::vector<HostBlock> blocks;
  if (src.net != nullptr)
    blocks = src.net->read([](const Net& net) REQUIRES(net.lock) { return host_blocks(net); });
  for (const HostBlock& b : blocks) {
    out.heading(kToAll, report_format("hostname: %s\n", b.name.c_str()));
    out.html("<TABLE WIDTH=100% BORDER=1>");
    out.html(
        "<TR><TD WIDTH=40%>Traffic to:</TD><TD WIDTH=20%>Protocol</TD><TD WIDTH=20%>Packets</TD>"
        "<TD WIDTH=20%>Bytes</TD></TR>");
    out.line(kToText | kToRtf, "Traffic to:                         Protocol           Packets      Bytes");
    out.csv_row({"Traffic to", "Protocol", "Packets", "Bytes"});
    for (const HostRow& r : b.rows) {
      const auto frames = static_cast<unsigned long long>(r.frames);
      const auto bytes = static_cast<unsigned long long>(r.bytes);
      out.html(
          report_format("<TR><TD WIDTH=40%%>%s</TD><TD WIDTH=20%%>%s</TD><TD WIDTH=20%%>%llu</TD>"
                        "<TD WIDTH=20%%>%llu</TD></TR>",
                        escape_html(r.destination).c_str(), escape_html(r.protocol).c_str(), frames, bytes));
      out.line(kToText | kToRtf,
               report_format("%-35.*s %-15.15s %10llu %10llu", column_cut(r.destination, 35),
                             r.destination.c_str(), r.protocol.c_str(), frames, bytes));
      out.csv_row({r.destination, r.protocol, std::to_string(frames), std::to_string(bytes)});
    }
    out.html("</TABLE>");
  }
  out.line(kToAll, "\n");
  out.line(kToAll, report_format("recording started at %s", report_time_text(src.started).c_str()));
  out.line(kToAll, report_format("\nreport generated on %s", report_time_text(now_of(src)).c_str()));
  footer(out, kToAll);
}

// ---- statistics report

struct Column {
  const char* text_heading;
  const char* rtf_heading;
  const char* count_format;  // HTML
  const char* csv_name;
  const char* csv_value;
};
constexpr Column kHostsColumn{
    "Hosts Name:                                                             Bytes Sent",
    "Hosts Name:                                                     Bytes Sent", "   (%llu bytes sent)\n",
    "Hosts Name", "Bytes Sent"};
constexpr Column kAlarmsColumn{"Alarm Notify String:                      Times Activated",
                               "Alarm Notify String:                      Times Activated",
                               "   (%llu activations)\n", "Alarm Notify String", "Times Activated"};
constexpr Column kLinksColumn{
    "Source, Destination:                                                    Bytes Sent",
    "Source, Destination:                                            Bytes Sent", "   (%llu bytes sent)\n",
    "Source, Destination", "Bytes Sent"};
constexpr Column kServersColumn{
    "Server Name:                                                            URLs Served",
    "Server Name:                                                    URLs Served", "   (%llu URLs served)\n",
    "Server Name", "URLs Served"};
constexpr Column kClientsColumn{
    "Client Name:                                                            URLs Requested",
    "Client Name:                                                    URLs Requested",
    "   (%llu URLs requested)\n", "Client Name", "URLs Requested"};

struct Ranked {
  std::string name;
  unsigned long long value = 0;
};

void ranking_section(ReportOut& out, const std::string& heading, const Column& column,
                     const std::vector<Ranked>& entries) {
  if (entries.empty()) return;
  out.line(kToAll, "\n\n");
  out.heading(kToAll, heading);
  out.heading(kToText, column.text_heading);
  out.heading(kToRtf, column.rtf_heading);
  out.heading(kToHtml, column.text_heading);
  out.csv_row({column.csv_name, column.csv_value});
  out.html("<TABLE BORDER=0 WIDTH=100%>");
  for (const Ranked& e : entries) {
    out.html("<TR><TD>");
    out.line(kToHtml, e.name);
    out.html("</TD><TD>");
    out.html(report_format(column.count_format, e.value));
    out.html("</TD></TR>");
    out.line(kToText | kToRtf,
             report_format("%-71.*s %llu\n", column_cut(e.name, 71), e.name.c_str(), e.value));
    out.csv_row({e.name, std::to_string(e.value)});
  }
  out.html("</TABLE>");
}

std::vector<Ranked> from_snapshot(const std::vector<TopNEntry>& snapshot) {
  std::vector<Ranked> out;
  for (const TopNEntry& e : snapshot)
    if (e.has_name) out.push_back({e.name, static_cast<unsigned long long>(e.value)});
  return out;
}

void top_urls_section(ReportOut& out, const ReportSources& src, DbSession& db) {
  std::vector<UrlRow> rows;
  {
    auto progress = open_progress(src, kTopRows, "Building Top Urls Summary");
    db_urls_by_refs(db, [&](const UrlRow& r) {
      if (static_cast<int>(rows.size()) >= kTopRows) return;
      rows.push_back(r);
      step(progress);
    });
  }
  if (rows.empty()) return;
  out.line(kToAll, "\n\n");
  out.heading(kToAll, "Top Urls Accessed were: ");
  out.csv_row({"URL", "Accesses"});
  out.html("<TABLE BORDER=0 WIDTH=100%>");
  for (const UrlRow& r : rows) {
    const std::string url = db_url_text_of(db, r);
    const auto refs = static_cast<unsigned long long>(r.ref_count < 0 ? 0 : r.ref_count);
    out.html("<TR><TD>");
    out.html_link(url);
    out.html("</TD><TD>");
    out.html(report_format("   (%llu accesses)\n", refs));
    out.html("</TD></TR>");
    out.line(kToText | kToRtf, report_format("%-71s %llu\n", url.c_str(), refs));
    out.csv_row({url, std::to_string(refs)});
  }
  out.html("</TABLE>");
}

void top_hosts_db_section(ReportOut& out, const ReportSources& src, DbSession& db, bool servers) {
  std::vector<Ranked> rows;
  {
    auto progress = open_progress(src, kTopRows,
                                  servers ? "Building Top Servers Summary" : "Building Top Clients Summary");
    auto take = [&](const HostAccessCount& r) {
      if (static_cast<int>(rows.size()) >= kTopRows) return;
      rows.push_back({r.name, static_cast<unsigned long long>(r.count < 0 ? 0 : r.count)});
      step(progress);
    };
    if (servers)
      db_top_servers(db, take);
    else
      db_top_clients(db, take);
  }
  if (servers)
    ranking_section(out, "Top URL Servers are: ", kServersColumn, rows);
  else
    ranking_section(out, "Top URL Clients (Requestors) are: ", kClientsColumn, rows);
}

void stats_report(ReportOut& out, const ReportSources& src) {
  title(out, "Report of Monitored Statistics", kToText | kToCsv, kToRtf);

  std::unique_ptr<DbSession> db;
  if (!src.db_file.empty()) db = db_open_session(src.db_file, src.names);
  std::vector<TopNEntry> hosts, links;
  std::uint32_t peak = 0;
  double average = 0;
  if (src.net != nullptr) {
    src.net->read([&](const Net& net) REQUIRES(net.lock) {
      hosts = net.top_hosts.snapshot();
      links = net.top_links.snapshot();
      peak = net.peak_load;
      average = net.average_load;
    });
  }

  if (db) top_urls_section(out, src, *db);
  auto ranked = [](const char* format, const std::vector<Ranked>& v) {
    return report_format(format, static_cast<int>(v.size()));
  };
  const std::vector<Ranked> top_hosts = from_snapshot(hosts);
  ranking_section(out, ranked("Top %d Hosts are: ", top_hosts), kHostsColumn, top_hosts);
  if (src.alarms != nullptr) {
    const std::vector<Ranked> top_alarms = from_snapshot(alarm_top_snapshot(*src.alarms));
    ranking_section(out, ranked("Top %d Alarms are: ", top_alarms), kAlarmsColumn, top_alarms);
  }
  const std::vector<Ranked> top_links = from_snapshot(links);
  ranking_section(out, ranked("Top %d Links are: ", top_links), kLinksColumn, top_links);
  if (db) {
    top_hosts_db_section(out, src, *db, true);
    top_hosts_db_section(out, src, *db, false);
  }

  out.line(kToAll, "\n\n");
  out.heading(kToAll, "Overall Statistics");
  out.line(kToAll, report_format("Peak Network Load = %u", peak));
  out.line(kToAll, report_format("Average Network Load = %f", average));
  out.line(kToAll, report_format("recording started at %s", report_time_text(src.started).c_str()));
  out.line(kToAll, report_format("report generated at %s", report_time_text(now_of(src)).c_str()));
  footer(out, kToAll);
}

// ---- alarms report

void alarms_report(ReportOut& out, const ReportSources& src) {
  title(out, "Monitored Alarms Report", kToAll, kToAll);
  std::vector<AlarmSummary> alarms;
  if (src.alarms != nullptr) alarms = alarm_summaries(*src.alarms);
  for (const AlarmSummary& a : alarms) {
    if (a.firings.empty()) continue;
    out.heading(kToAll, a.kind == kAlarmThreshold ? "Alarm Type: Threshold" : "Alarm Type: Occurrence");
    out.heading(kToAll, report_format("Alarm Notify String: %s", a.notify.c_str()));
    out.heading(kToAll, report_format("Alarm was triggered %d times", static_cast<int>(a.firings.size())));
    for (std::uint32_t t : a.firings) out.line(kToAll, report_time_text(t));
    out.line(kToAll, "\n\n");
  }
  footer(out, kToTextRtf);
}

// ---- URLs report

std::string host_name_or(DbSession& db, std::int32_t id) {
  std::string name;
  if (!db_host_cache_name(db, id, name) || name.empty()) name = "(unknown)";
  return name;
}

void urls_report(ReportOut& out, const ReportSources& src) {
  title(out, "Report of All Accessed URLs", kToTextRtf, kToTextRtf);
  std::unique_ptr<DbSession> db;
  if (!src.db_file.empty()) db = db_open_session(src.db_file, src.names);
  UrlAccessIndex index;
  std::int64_t accesses = 0;
  std::unique_ptr<ReportProgress> progress;
  if (db) {
    accesses = db_urls_cache_build(*db, index, nullptr);
    progress = open_progress(src, index.count(), "Building URLs Report");
  }
  unsigned long long cached = 0, direct = 0;

  std::vector<UrlRow> urls;
  if (!db || !db_urls_all(*db, [&](const UrlRow& r) { urls.push_back(r); }).ok()) {
    out.line(kToAll, "The request database could not be read.");
  } else {
    out.csv_row({"URL", "Time", "Client", "Server", "Proxy"});
    for (const UrlRow& r : urls) {
      step(progress);
      const std::string url = db_url_text_of(*db, r);
      out.html_link(url);
      out.line(kToHtml, "");
      out.heading(kToText | kToRtf, url);
      if (const auto* ids = index.find(r.url_id)) {
        (*ids)->foreach ([&](std::int32_t id) {
          AccessRow a;
          if (!db_url_hist_read(*db, id, a)) return;
          const std::string when = report_format("%02d-%02d-%02d %02d:%02d:%02d", a.ts.day, a.ts.month,
                                                 a.ts.year, a.ts.hour, a.ts.minute, a.ts.second);
          const std::string client = host_name_or(*db, a.client), server = host_name_or(*db, a.server);
          out.put(
              kToText | kToRtf | kToHtml, LineKind::kSmall,
              report_format(a.cached ? "%s  client=%s, server=%s, (proxy)\n" : "%s  client=%s, server=%s\n",
                            when.c_str(), client.c_str(), server.c_str()));
          out.csv_row({url, when, client, server, a.cached ? "proxy" : ""});
          (a.cached ? cached : direct) += 1;
        });
      }
      out.line(kToText | kToRtf | kToHtml, "\n");
    }
    progress.reset();
    unsigned long long proxied_now = 0, direct_now = 0;
    if (src.net != nullptr) {
      proxied_now = src.net->urls.proxied.load();
      direct_now = src.net->urls.direct.load();
    }
    out.line(kToAll, report_format("\nURLs monitored this session = %llu", proxied_now + direct_now));
    out.line(kToAll, report_format("Cached URLs Accessed this session = %llu", proxied_now));
    out.line(kToAll, report_format("Non Cached URLs Accessed this session = %llu", direct_now));
    out.line(kToAll,
             report_format("\nTotal Monitored URLs (in Database) = %lld", static_cast<long long>(accesses)));
    out.line(kToAll, report_format("\nTotal Cached accesses = %llu", cached));
    out.line(kToAll, report_format("\nTotal Non Cached accesses = %llu", direct));
    out.line(kToAll, report_format("This session started at %s", report_time_text(src.started).c_str()));
    out.line(kToAll, report_format("Report generated at %s", report_time_text(now_of(src)).c_str()));
  }
  footer(out, 0, true);
}

}  // namespace

const ReportKindInfo& report_kind_info(ReportKind kind) {
  return kInfo[static_cast<int>(kind)];
}

bool report_kinds_parse(const std::string& text, std::vector<ReportKind>& out, std::string* bad) {
  out.clear();
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string word = text.substr(pos, comma - pos);
    pos = comma + 1;
    std::vector<ReportKind> chosen;
    if (word == "all") {
      chosen.assign(std::begin(kReportKinds), std::end(kReportKinds));
    } else {
      for (const ReportKindInfo& i : kInfo)
        if (word == i.word) chosen.push_back(i.kind);
    }
    if (chosen.empty()) {
      if (bad) *bad = word;
      out.clear();
      return false;
    }
    for (ReportKind k : chosen) {
      bool held = false;
      for (ReportKind h : out) held = held || h == k;
      if (!held) out.push_back(k);
    }
  }
  return true;
}

std::string report_product_line() {
  return "Generated by Tarnix " TARNIX_VERSION ", a passive network traffic monitor";
}

std::string report_time_text(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char buf[64];
  if (localtime_r(&t, &tm) == nullptr || std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y\n", &tm) == 0)
    return "(unknown time)\n";
  return buf;
}

bool report_write(ReportKind kind, const ReportSources& sources, const std::string& base, ReportFileMode mode,
                  std::string* error) {
  ReportFiles files;
  if (!files.open(base, mode, error)) return false;
  ReportOut out(files);
  out.begin();
  switch (kind) {
    case ReportKind::kHost:
      host_report(out, sources);
      break;
    case ReportKind::kStats:
      stats_report(out, sources);
      break;
    case ReportKind::kAlarms:
      alarms_report(out, sources);
      break;
    case ReportKind::kUrls:
      urls_report(out, sources);
      break;
  }
  out.end();
  return files.close(error);
}

std::string report_make_private_dir(const std::string& parent, const std::string& prefix,
                                    std::string* error) {
  std::string templ = parent + "/" + prefix + "XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    if (error) *error = parent + ": " + std::strerror(errno);
    return {};
  }
  return templ;
}

void report_remove_files(const std::string& base) {
  for (int i = 0; i < kReportForms; ++i)
    ::unlink((base + report_extension(static_cast<ReportForm>(i))).c_str());
  const std::size_t slash = base.rfind('/');
  if (slash != std::string::npos && slash > 0) ::rmdir(base.substr(0, slash).c_str());
}

}  // namespace tarnix
