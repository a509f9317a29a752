// Command line of the headless program.
#pragma once

#include <string>
#include <vector>

#include "capture/net.h"
#include "reports/reports.h"

namespace tarnix::cli {

struct Options {
  bool help = false;
  bool version = false;
  bool list_interfaces = false;
  std::string interface;  // --interface
  std::string read;       // --read
  std::string filter;     // --filter
  double replay_speed = 0.0;
  int buffer_mb = 0;  // 0: the default kernel buffer
  double duration = 0.0;  // seconds; 0: until the file ends or a signal
  bool no_read_ahead = false;  // --no-read-ahead: the counting thread reads the file itself
  std::string protocols;  // empty: the per-user file, else the shipped one
  bool json = false;
  bool no_resolve = false;
  bool no_heard_names = false;      // --no-heard-names
  std::string ethers;               // --ethers (empty: /etc/ethers)
  std::string manufacturers;        // --manufacturers (empty: ieee-data)
  bool show_manufacturers = false;  // --show-manufacturers
  bool detect_duplicates = false;
  std::string db;             // --db: record HTTP requests into this folder's database
  std::string db_connect;     // --db-connect: ... into this PostgreSQL server (conninfo or URI)
  std::string db_server;      // --db-server: ... into a server of our own with its data here
  std::string sensor;         // --sensor: this sensor's name (default: the host name)
  std::string only_sensor;    // --only-sensor: lists and reports count this sensor's accesses only
  bool has_db() const { return !db.empty() || !db_connect.empty() || !db_server.empty(); }
  bool print_requests = false;
  bool no_tls = false;        // --no-tls: record no HTTPS server names
  std::vector<std::string> alarms;  // --alarm, in order
  bool list_alarms = false;         // --list-alarms: print the stored alarms (needs --db)
  std::vector<std::string> add_alarms;  // --add-alarm, stored in the database (needs --db)
  std::string local_address;  // dotted; empty: from the host name
  std::string local_mask;     // dotted; empty: the adapter's, else 255.255.255.0
  std::string local_address6;           // --local-address given an IPv6 address; empty: the adapter's
  int local_prefix6 = -1;               // --local-prefix; -1: the adapter's, else 64
  std::string focus = "IP Networking";  // --focus: the active focus's name
  std::string focus_file;                // empty: the per-user cfdump.bin, else the shipped one
  bool focus_given = false;  // --focus was on the command line
  bool list_foci = false;
  int top = 0;  // --top N: the rankings' first N entries; 0: none
  int node_timeout = 10;
  int link_timeout = 5;
  std::size_t max_hosts = kDefaultMaxHosts;
  std::size_t max_links = kDefaultMaxLinks;
  std::vector<ReportKind> reports;  // --report, written after the run
  std::string report_dir;           // --report-dir
  std::string user;                 // --user: run as this account once the source is open
  std::string listen;               // --listen [ADDR:]PORT: metrics and JSON API while capturing
  std::string listen_token_file;    // --listen-token-file: the bearer token requests must carry
  std::string events;               // --events FILE|-: events as JSON lines
  double events_interval = 60;      // --events-interval S: a summary line this often; 0: none
  std::string log_file;             // --log-file FILE: standard output and error go there
};

// Parses argv[1..]. On failure returns false with one line in `error`.
bool parse_options(const std::vector<std::string>& args, Options& out, std::string& error);

const char* usage_text();

// The protocol file to read when none is given: the per-user data folder's
// protocol.pdl when it exists, else the shipped one (beside the program's
// bin folder, in the build tree, or under the install prefix).
std::string default_protocols_path();
// The same for the focus file, cfdump.bin.
std::string default_focus_path();

}  // namespace tarnix::cli
