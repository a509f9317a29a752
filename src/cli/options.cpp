#include "cli/options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "core/paths.h"

namespace tarnix::cli {

namespace {

bool parse_number(const std::string& text, double& out) {
  if (text.empty()) return false;
  // The C locale's way, whatever the environment's locale says.
  const char* begin = text.c_str();
  const char* const end = begin + text.size();
  if (*begin == '+') ++begin;
  double v = 0;
  const auto [stop, ec] = std::from_chars(begin, end, v);
  if (ec != std::errc() || stop != end || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool dotted_quad(const std::string& text) {
  int parts = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('.', pos);
    std::string p = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (p.empty() || p.size() > 3) return false;
    for (char c : p)
      if (c < '0' || c > '9') return false;
    if (std::atoi(p.c_str()) > 255) return false;
    ++parts;
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return parts == 4;
}

}  // namespace

const char* usage_text() {
  return "Usage: tarnix-cli [options]\n"
         "Captures IPv4 traffic from an adapter or a capture file and prints what it saw.\n"
         "  --interface NAME     capture live on adapter NAME (needs capture rights)\n"
         "  --read FILE          read a pcap or pcapng capture file, gzip-compressed or not\n"
         "                       (neither: the first usable adapter)\n"
         "  --filter EXPR        BPF capture filter, as for tcpdump\n"
         "  --buffer-size MB     the adapter's kernel buffer in megabytes (default 64: half a second\n"
         "                       of a saturated 1 Gbit/s link)\n"
         "  --replay-speed X     play a file at X times its recorded pace (0: as fast as possible)\n"
         "  --no-read-ahead      read the file on the counting thread, not on a thread of its own\n"
         "  --duration SECONDS   stop after this long (default: end of file, or a signal)\n"
         "  --protocols FILE     protocol definition file (default: protocol.pdl in the per-user\n"
         "                       data folder, else the one shipped with Tarnix)\n"
         "  --local-address A    this computer's address, for subnet grouping (IPv4 or IPv6;\n"
         "                       give it twice for both)\n"
         "  --local-mask M       the local network mask (default: the adapter's, else 255.255.255.0)\n"
         "  --local-prefix N     the local IPv6 prefix length (default: the adapter's, else 64)\n"
         "  --node-timeout S     seconds a silent host stays active (default 10)\n"
         "  --link-timeout S     seconds a silent link stays active (default 5)\n"
         "  --max-hosts N        hosts kept at most; past it the longest inactive host goes,\n"
         "                       with its links (default 100000; 0: no bound)\n"
         "  --max-links N        links kept at most, likewise (default 200000; 0: no bound)\n"
         "  --no-resolve         send nothing to the name service (no host names looked up,\n"
         "                       not even this computer's own)\n"
         "  --no-heard-names     do not name hosts by what DNS, mDNS, LLMNR and DHCP traffic says\n"
         "  --ethers FILE        names of Ethernet addresses (default /etc/ethers)\n"
         "  --manufacturers FILE\n"
         "                       adapter makers: an IEEE registry (CSV or .txt) or a manuf file\n"
         "                       (default: the IEEE registries in /usr/share/ieee-data)\n"
         "  --show-manufacturers\n"
         "                       show Ethernet addresses as Maker_xx:yy:zz\n"
         "  --detect-duplicates  report IPv4 addresses seen from more than one Ethernet address\n"
         "  --db FOLDER          record every HTTP request seen, and the server name of every TLS\n"
         "                       handshake (as https://NAME/), into the database in FOLDER\n"
         "  --db-connect CONNINFO  record into a PostgreSQL server shared with other sensors\n"
         "                       (a libpq connection string or postgresql:// URI) instead of --db\n"
         "  --db-server DIR      record into a PostgreSQL server of our own with its data in DIR\n"
         "                       (made on first use, started now and stopped at the end)\n"
         "  --sensor NAME        the name this sensor records under (default: the host name)\n"
         "  --only-sensor NAME   --top and the urls report count only the accesses of sensor NAME\n"
         "                       (default: every sensor's)\n"
         "  --print-requests     print each recorded request as it is stored (needs --db); an\n"
         "                       HTTPS visit (a TLS server name) ends its line with \"tls\"\n"
         "  --no-tls             record HTTP requests only, not the server names of TLS handshakes\n"
         "  --alarm DEFINITION   watch for a condition during this run (repeatable); with --db the\n"
         "                       alarms stored in the database are watched too. DEFINITION is\n"
         "                       OBJECT:CONDITION:NOTIFY with\n"
         "                         OBJECT    host:ADDR | link:ADDR:ADDR | net | protocol:NAME | url:URL\n"
         "                         ADDR      an IPv4 address, or an IPv6 address in brackets: [fd00::5]\n"
         "                         CONDITION occurrence | threshold-high:UNIT:N | threshold-low:UNIT:N\n"
         "                         UNIT      packets | kilobytes | percent (of a 10 Mbit/s channel)\n"
         "                       e.g. host:10.0.0.5:threshold-high:packets:100:busy host\n"
         "                       URL alarms need --db. After NOTIFY, each '|to=TARGET' also\n"
         "                       delivers the firing: |to=syslog (the journal or system log, as\n"
         "                       \"tarnix\", priority warning) or |to=webhook:URL (a JSON POST,\n"
         "                       5 s time-out, up to 5 tries, at most 5 posts a minute per alarm),\n"
         "                       when the condition starts to hold and then at most once a minute.\n"
         "  --report KINDS       after the run, write reports: a comma-separated choice of host,\n"
         "                       stats, alarms, urls, or all (urls needs --db); each in four forms,\n"
         "                       DIR/hostrep.txt .rtf .html .csv, statsrep, alarmrep, urlsrep\n"
         "  --report-dir DIR     the existing folder the reports go into (files there are replaced)\n"
         "  --add-alarm DEFINITION  store an alarm (same grammar as --alarm, enabled) in the\n"
         "                       database of --db, then end (repeatable)\n"
         "  --list-alarms        print the alarms stored in the database of --db, one --alarm\n"
         "                       definition a line; disabled ones start with '# disabled: ',\n"
         "                       those the grammar cannot write with '# cannot list: '\n"
         "  --focus NAME         the protocol focus that names each link's dominant protocol\n"
         "                       (default \"IP Networking\"; the last focus of that name counts)\n"
         "  --focus-file FILE    focus file (default: cfdump.bin in the per-user data folder,\n"
         "                       else the shipped one)\n"
         "  --list-foci          print the focus file's foci with their protocols and colours\n"
         "  --top N              add the first N (1-50) of the rankings: hosts and links by bytes,\n"
         "                       alarms by firings, URLs, URL clients and URL servers by accesses\n"
         "                       (the last three need --db)\n"
         "  -Z, --user NAME      (root) once the adapter or file and the database folder are open,\n"
         "                       run as the user NAME, with its groups and no capabilities\n"
         "  --listen [ADDR:]PORT while capturing, serve GET /metrics (Prometheus text) and the\n"
         "                       JSON API /api/summary, /api/top?n=N, /api/requests?after=ID&limit=N\n"
         "                       and /api/alarms on ADDR (default 127.0.0.1)\n"
         "  --listen-token-file FILE  every request must carry the file's first line as\n"
         "                       \"Authorization: Bearer TOKEN\" (401 otherwise); needed when ADDR\n"
         "                       is not a loopback address; the file must not be world-readable\n"
         "  --events FILE        write each recorded request, alarm firing, duplicate address and\n"
         "                       adapter failure as one JSON object a line into FILE (- for\n"
         "                       standard output), appended; SIGHUP reopens FILE (log rotation)\n"
         "  --events-interval S  with --events, a summary line every S seconds (default 60; 0: none)\n"
         "  --log-file FILE      append standard output and standard error (notices, printed\n"
         "                       requests, the summary) to FILE; SIGHUP reopens FILE (log rotation)\n"
         "  --list-interfaces    list the adapters with their status and description\n"
         "  --json               print the summary as JSON\n"
         "  --help               this text\n"
         "  --version            print the version\n"
         "The summary is printed when the capture ends, or on SIGINT or SIGTERM. SIGHUP reopens\n"
         "the --log-file and --events files by name, and otherwise changes nothing. The load is\n"
         "the last second's bytes against the link speed in /sys/class/net/NAME/speed, or against\n"
         "100 Mbit/s where the system reports no speed (virtual, wireless or down links).\n"
         "Exit status: 0 done; 1 an error (a source, database or report that failed); 2 a bad\n"
         "command line or alarm definition; 3 the run recorded into a database but some HTTP\n"
         "requests were not stored (the summary's \"dropped\" says how many and why).\n";
}

bool parse_options(const std::vector<std::string>& args, Options& o, std::string& error) {
  auto value = [&](std::size_t& i, const std::string& name, std::string& out) {
    if (i + 1 >= args.size()) {
      error = "option " + name + " needs a value";
      return false;
    }
    out = args[++i];
    return true;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::string inline_value;
    bool has_inline = false;
    if (a.rfind("--", 0) == 0) {
      std::size_t eq = a.find('=');
      if (eq != std::string::npos) {
        inline_value = a.substr(eq + 1);
        a = a.substr(0, eq);
        has_inline = true;
      }
    }
    auto take = [&](std::string& out) {
      if (has_inline) {
        out = inline_value;
        return true;
      }
      return value(i, a, out);
    };
    auto take_nonempty = [&](std::string& out, const std::string& what) {
      if (!take(out)) return false;
      if (out.empty()) {
        error = "option " + what;
        return false;
      }
      return true;
    };
    auto take_number = [&](double& out, bool positive_or_zero) {
      std::string text;
      if (!take(text)) return false;
      if (!parse_number(text, out) || (positive_or_zero && out < 0)) {
        error = "option " + a + " needs a number of zero or more, not '" + text + "'";
        return false;
      }
      return true;
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--list-interfaces") {
      o.list_interfaces = true;
    } else if (a == "--list-foci") {
      o.list_foci = true;
    } else if (a == "--focus") {
      if (!take(o.focus)) return false;
      o.focus_given = true;
    } else if (a == "--focus-file") {
      if (!take(o.focus_file)) return false;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--no-resolve") {
      o.no_resolve = true;
    } else if (a == "--no-heard-names") {
      o.no_heard_names = true;
    } else if (a == "--ethers") {
      if (!take_nonempty(o.ethers, "--ethers needs a file name")) return false;
    } else if (a == "--manufacturers") {
      if (!take_nonempty(o.manufacturers, "--manufacturers needs a file name")) return false;
    } else if (a == "--show-manufacturers") {
      o.show_manufacturers = true;
    } else if (a == "--detect-duplicates") {
      o.detect_duplicates = true;
    } else if (a == "--interface" || a == "-i") {
      if (!take_nonempty(o.interface, "--interface needs an adapter name")) return false;
    } else if (a == "--read" || a == "-r") {
      if (!take_nonempty(o.read, "--read needs a file name")) return false;
    } else if (a == "--print-requests") {
      o.print_requests = true;
    } else if (a == "--no-tls") {
      o.no_tls = true;
    } else if (a == "--alarm") {
      std::string def;
      if (!take_nonempty(def, "--alarm needs a definition")) return false;
      o.alarms.push_back(std::move(def));
    } else if (a == "--list-alarms") {
      o.list_alarms = true;
    } else if (a == "--add-alarm") {
      std::string def;
      if (!take_nonempty(def, "--add-alarm needs a definition")) return false;
      o.add_alarms.push_back(std::move(def));
    } else if (a == "--db") {
      if (!take_nonempty(o.db, "--db needs a folder")) return false;
    } else if (a == "--db-connect" || a == "--db-server" || a == "--sensor" || a == "--only-sensor") {
      std::string& field = a == "--db-connect"  ? o.db_connect
                           : a == "--db-server" ? o.db_server
                           : a == "--sensor"    ? o.sensor
                                                : o.only_sensor;
      if (!take_nonempty(field, a + " needs a value")) return false;
    } else if (a == "--report") {
      std::string kinds, bad;
      if (!take(kinds)) return false;
      if (!report_kinds_parse(kinds, o.reports, &bad)) {
        error = "option --report takes host, stats, alarms, urls or all, not '" + bad + "'";
        return false;
      }
    } else if (a == "--report-dir") {
      if (!take_nonempty(o.report_dir, "--report-dir needs a folder")) return false;
    } else if (a == "--listen") {
      if (!take_nonempty(o.listen, "--listen needs [ADDR:]PORT")) return false;
    } else if (a == "--listen-token-file") {
      if (!take_nonempty(o.listen_token_file, "--listen-token-file needs a file")) return false;
    } else if (a == "--events") {
      if (!take_nonempty(o.events, "--events needs a file, or - for standard output")) return false;
    } else if (a == "--log-file") {
      if (!take_nonempty(o.log_file, "--log-file needs a file")) return false;
    } else if (a == "--events-interval") {
      if (!take_number(o.events_interval, true)) return false;
      if (o.events_interval > 86400) {
        error = "option --events-interval is too large (at most 86400 seconds)";
        return false;
      }
    } else if (a == "--user" || a == "-Z") {
      if (!take_nonempty(o.user, "--user needs a user name")) return false;
    } else if (a == "--filter") {
      if (!take(o.filter)) return false;
    } else if (a == "--protocols") {
      if (!take(o.protocols)) return false;
    } else if (a == "--buffer-size") {
      double mb = 0;
      if (!take_number(mb, true)) return false;
      if (mb < 1 || mb > 2047) {
        error = "option --buffer-size takes 1 to 2047 (megabytes)";
        return false;
      }
      o.buffer_mb = static_cast<int>(mb);
    } else if (a == "--no-read-ahead") {
      o.no_read_ahead = true;
    } else if (a == "--replay-speed") {
      if (!take_number(o.replay_speed, true)) return false;
    } else if (a == "--duration") {
      if (!take_number(o.duration, true)) return false;
    } else if (a == "--node-timeout" || a == "--link-timeout") {
      double v = 0;
      if (!take_number(v, true)) return false;
      if (v > 86400 * 365) {
        error = "option " + a + " is too large";
        return false;
      }
      (a == "--node-timeout" ? o.node_timeout : o.link_timeout) = static_cast<int>(v);
    } else if (a == "--max-hosts" || a == "--max-links") {
      double v = 0;
      if (!take_number(v, true)) return false;
      if (v > 4294967295.0 || v != static_cast<double>(static_cast<std::uint32_t>(v))) {
        error = "option " + a + " needs a whole number from 0 to 4294967295";
        return false;
      }
      (a == "--max-hosts" ? o.max_hosts : o.max_links) = static_cast<std::size_t>(v);
    } else if (a == "--top") {
      double v = 0;
      if (!take_number(v, true)) return false;
      if (v < 1 || v > 50 || v != static_cast<int>(v)) {
        error = "option --top needs a whole number from 1 to 50";
        return false;
      }
      o.top = static_cast<int>(v);
    } else if (a == "--local-address") {
      std::string text;
      if (!take(text)) return false;
      in6_addr parsed{};
      if (text.find(':') != std::string::npos && inet_pton(AF_INET6, text.c_str(), &parsed) == 1) {
        o.local_address6 = text;
      } else if (dotted_quad(text)) {
        o.local_address = text;
      } else {
        error = "option --local-address needs a dotted IPv4 address or an IPv6 address, not '" + text + "'";
        return false;
      }
    } else if (a == "--local-prefix") {
      double v = 0;
      if (!take_number(v, true)) return false;
      if (v > 128 || v != static_cast<int>(v)) {
        error = "option --local-prefix needs a whole number from 0 to 128";
        return false;
      }
      o.local_prefix6 = static_cast<int>(v);
    } else if (a == "--local-address" || a == "--local-mask") {
      std::string& out = a == "--local-address" ? o.local_address : o.local_mask;
      if (!take(out)) return false;
      if (!dotted_quad(out)) {
        error = "option " + a + " needs a dotted IPv4 address, not '" + out + "'";
        return false;
      }
    } else {
      error = "unknown option '" + args[i] + "'";
      return false;
    }
  }
  if (int(!o.db.empty()) + int(!o.db_connect.empty()) + int(!o.db_server.empty()) > 1) {
    error = "give one of --db, --db-connect and --db-server";
    return false;
  }
  if (o.print_requests && !o.has_db()) {
    error = "option --print-requests needs --db FOLDER";
    return false;
  }
  if (o.reports.empty() != o.report_dir.empty()) {
    error = o.reports.empty() ? "option --report-dir needs --report KINDS" : "option --report needs --report-dir DIR";
    return false;
  }
  for (ReportKind k : o.reports) {
    if (k == ReportKind::kUrls && !o.has_db()) {
      error = "the urls report needs --db FOLDER";
      return false;
    }
  }
  if ((o.list_alarms || !o.add_alarms.empty()) && !o.has_db()) {
    error = std::string(o.list_alarms ? "option --list-alarms" : "option --add-alarm") + " needs --db FOLDER";
    return false;
  }
  if (!o.listen_token_file.empty() && o.listen.empty()) {
    error = "option --listen-token-file needs --listen [ADDR:]PORT";
    return false;
  }
  if (o.events == "-" && o.json) {
    error = "give --events a file with --json: both would write to standard output";
    return false;
  }
  if (!o.interface.empty() && !o.read.empty()) {
    error = "give either --interface or --read, not both";
    return false;
  }
  return true;
}

namespace {

// The per-user data folder's copy of a file when there is one, else the
// shipped one. When neither is found the shipped path is still named, so
// that the error says where the file was expected, never a file of
// whatever the current folder is.
std::string data_file(const char* name) {
  const std::string user = user_data_dir() + "/" + name;
  std::error_code ec;
  if (std::filesystem::is_regular_file(user, ec)) return user;
  const std::vector<std::string> dirs = shipped_data_dirs(running_layout());
  std::string shipped = find_shipped_file(dirs, name);
  if (shipped.empty()) shipped = dirs.empty() ? user : dirs.back() + "/" + name;
  return shipped;
}

}  // namespace

std::string default_protocols_path() { return data_file("protocol.pdl"); }
std::string default_focus_path() { return data_file("cfdump.bin"); }

}  // namespace tarnix::cli
