// The headless program: its options, its summary, and the program itself on
// capture files made here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/fakes.h"
#include "capture/frames.h"
#include "cli/options.h"
#include "cli/summary.h"

namespace tarnix {
namespace {

using cli::Options;
using cli::parse_options;

Options parse_ok(std::vector<std::string> args) {
  Options o;
  std::string err;
  EXPECT_TRUE(parse_options(args, o, err)) << err;
  return o;
}

std::string parse_error(std::vector<std::string> args) {
  Options o;
  std::string err;
  EXPECT_FALSE(parse_options(args, o, err));
  return err;
}

TEST(Options, ReadsEveryOption) {
  Options o = parse_ok({"--read", "x.pcap", "--filter", "tcp port 80", "--replay-speed", "2.5", "--duration",
                        "3", "--protocols=p.pdl", "--json", "--no-resolve", "--detect-duplicates",
                        "--local-address", "10.1.2.3", "--local-mask", "255.255.0.0", "--node-timeout", "20",
                        "--link-timeout", "7"});
  EXPECT_EQ(o.read, "x.pcap");
  EXPECT_EQ(o.filter, "tcp port 80");
  EXPECT_DOUBLE_EQ(o.replay_speed, 2.5);
  EXPECT_DOUBLE_EQ(o.duration, 3.0);
  EXPECT_EQ(o.protocols, "p.pdl");
  EXPECT_TRUE(o.json && o.no_resolve && o.detect_duplicates);
  EXPECT_EQ(o.local_address, "10.1.2.3");
  EXPECT_EQ(o.local_mask, "255.255.0.0");
  EXPECT_EQ(o.node_timeout, 20);
  EXPECT_EQ(o.link_timeout, 7);
  EXPECT_EQ(parse_ok({"--top", "50"}).top, 50);
  EXPECT_EQ(parse_ok({"--interface", "eth0"}).interface, "eth0");
  EXPECT_TRUE(parse_ok({"--list-interfaces"}).list_interfaces);
  const Options focus = parse_ok({"--focus", "Web", "--focus-file=f.bin", "--list-foci"});
  EXPECT_EQ(focus.focus, "Web");
  EXPECT_TRUE(focus.focus_given && focus.list_foci);
  EXPECT_EQ(focus.focus_file, "f.bin");
  const Options both =
      parse_ok({"--local-address", "fd00::1", "--local-address=10.0.0.5", "--local-prefix", "48"});
  EXPECT_EQ(both.local_address6, "fd00::1");
  EXPECT_EQ(both.local_address, "10.0.0.5");
  EXPECT_EQ(both.local_prefix6, 48);
}

TEST(Options, RejectsWhatCannotWork) {
  EXPECT_EQ(parse_error({"--bogus"}), "unknown option '--bogus'");
  EXPECT_EQ(parse_error({"--read"}), "option --read needs a value");
  EXPECT_EQ(parse_error({"--interface", "a", "--read", "b"}), "give either --interface or --read, not both");
  EXPECT_NE(parse_error({"--replay-speed", "-1"}).find("zero or more"), std::string::npos);
  EXPECT_NE(parse_error({"--duration", "soon"}).find("'soon'"), std::string::npos);
  EXPECT_NE(parse_error({"--duration", "nan"}).find("'nan'"), std::string::npos);
  EXPECT_NE(parse_error({"--local-mask", "255.255.0"}).find("dotted"), std::string::npos);
  EXPECT_NE(parse_error({"--local-address", "1.2.3.300"}).find("dotted"), std::string::npos);
  EXPECT_NE(parse_error({"--local-address", "fd00::1::2"}).find("IPv6"), std::string::npos);
  for (const char* n : {"129", "6.5"})
    EXPECT_NE(parse_error({"--local-prefix", n}).find("0 to 128"), std::string::npos);
  EXPECT_EQ(parse_error({"--interface="}), "option --interface needs an adapter name");
  EXPECT_EQ(parse_error({"--print-requests"}), "option --print-requests needs --db FOLDER");
  EXPECT_EQ(parse_error({"--list-alarms"}), "option --list-alarms needs --db FOLDER");
  EXPECT_EQ(parse_error({"--add-alarm", "net:threshold-high:packets:1:x"}), "option --add-alarm needs --db FOLDER");
  for (const char* n : {"0", "51", "2.5"}) EXPECT_NE(parse_error({"--top", n}).find("1 to 50"), std::string::npos);
  EXPECT_EQ(parse_error({"--listen-token-file", "t"}), "option --listen-token-file needs --listen [ADDR:]PORT");
  EXPECT_NE(parse_error({"--events", "-", "--json"}).find("standard output"), std::string::npos);
  EXPECT_NE(parse_error({"--events-interval", "-1"}).find("zero or more"), std::string::npos);
  const Options service = parse_ok({"--listen", "10.0.0.1:9100", "--listen-token-file=t", "--events",
                                    "e.jsonl", "--events-interval", "2.5", "--log-file", "s.log"});
  EXPECT_EQ(service.listen, "10.0.0.1:9100");
  EXPECT_EQ(service.listen_token_file, "t");
  EXPECT_EQ(service.events, "e.jsonl");
  EXPECT_DOUBLE_EQ(service.events_interval, 2.5);
  EXPECT_EQ(service.log_file, "s.log");
  EXPECT_EQ(parse_error({"--log-file="}), "option --log-file needs a file");
  Options db = parse_ok({"--db", "/tmp/x", "--print-requests"});
  EXPECT_EQ(db.db, "/tmp/x");
  EXPECT_TRUE(db.print_requests);
}

TEST(Options, BoundsTakeWholeNumbers) {
  const Options o = parse_ok({"--max-hosts", "500", "--max-links=0"});
  EXPECT_EQ(o.max_hosts, 500u);
  EXPECT_EQ(o.max_links, 0u);
  EXPECT_EQ(parse_ok({}).max_hosts, kDefaultMaxHosts);
  for (const char* n : {"2.5", "4294967296", "1e300"})
    EXPECT_NE(parse_error({"--max-hosts", n}).find("whole number"), std::string::npos) << n;
  EXPECT_NE(parse_error({"--max-links", "-1"}).find("zero or more"), std::string::npos);
}

// Lead bytes that take only part of the continuation range: an overlong
// form, a surrogate and a code point past U+10FFFF are no UTF-8, the last
// characters below each limit are.
TEST(Summary, JsonStringsTakeOnlyWellFormedUtf8) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(cli::json_string("\xE0\x94\x94"), "\"" + r + r + r + "\"");
  EXPECT_EQ(cli::json_string("\xED\xA0\x80"), "\"" + r + r + r + "\"");
  EXPECT_EQ(cli::json_string("\xF0\x8F\xBF\xBF"), "\"" + r + r + r + r + "\"");
  EXPECT_EQ(cli::json_string("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");
  EXPECT_EQ(cli::json_string("\xE0\xA0\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF"),
            "\"\xE0\xA0\x80\xED\x9F\xBF\xF4\x8F\xBF\xBF\"");
}

TEST(Summary, JsonStringsAlwaysParse) {
  EXPECT_EQ(cli::json_string("plain"), "\"plain\"");
  EXPECT_EQ(cli::json_string("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
  EXPECT_EQ(cli::json_string("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  EXPECT_EQ(cli::json_string("bad\xFF\xC3"), "\"bad\xEF\xBF\xBD\xEF\xBF\xBD\"");
  // DEL and C1 controls are valid JSON, but commands to some terminals.
  EXPECT_EQ(cli::json_string("\x7f\xC2\x9b"
                             "2J\xC2\xA0"),
            "\"\\u007f\\u009b2J\xC2\xA0\"");
}

TEST(Summary, TextOutputShowsHostileNamesEscaped) {
  cli::Summary sum;
  sum.hosts.push_back({"10.0.0.9", "evil\x1b[2J", "02:00:00:00:00:09", 1, 60});
  sum.subnets.push_back({"10.0.0.0", 1, {"evil\x1b[2J"}});
  sum.duplicates.push_back("10.0.0.9 is claimed by evil\x1b]2;t\x07");
  sum.alarms_text = "Alarms\n  fired: evil\x1b[2J\n";
  sum.has_top = true;
  sum.top.urls.push_back({"http://h/\x1b]2;t\x07", {}, 1, 3});
  sum.top.links.push_back({"evil\x1b[2J",
                           "\xc2\x9b"
                           "2J",
                           0, 5});
  const std::string text = cli::render_text(sum);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
  for (const char* shown : {"evil\\x1b[2J", "evil\\x1b]2;t\\x07", "http://h/\\x1b]2;t\\x07",
                            "evil\\x1b[2J -> \\xc2\\x9b2J", "  fired: evil\\x1b[2J\n"})
    EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
}

// Where a name came from and who made the adapter: in JSON only when known,
// the Ethernet field itself always the plain address; in text beside the row.
TEST(Summary, HostNameSourceAndMaker) {
  cli::Summary sum;
  sum.hosts.push_back({"10.0.0.5", "laptop", "00:22:72:01:02:03", 1, 60, true, "American_01:02:03", "dhcp",
                       "American Micro-Fuel Device Corp."});
  sum.hosts.push_back({"10.0.0.6", "", "02:00:00:00:00:06", 1, 60, true, "", "", ""});
  const std::string json = cli::render_json(sum);
  struct Case {
    const char* text;
    bool present;
  } cases[] = {
      {"\"name\":\"laptop\",\"name_source\":\"dhcp\",\"ethernet\":\"00:22:72:01:02:03\","
       "\"vendor\":\"American Micro-Fuel Device Corp.\"",
       true},
      {"\"name\":null,\"ethernet\":\"02:00:00:00:00:06\",\"frames_sent\"", true},
      {"American_01", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(json.find(c.text) != std::string::npos, c.present) << c.text << "\n" << json;
  const std::string text = cli::render_text(sum);
  EXPECT_NE(text.find("American_01:02:03"), std::string::npos) << text;
  EXPECT_NE(text.find("laptop  [American Micro-Fuel Device Corp.]"), std::string::npos) << text;
}

TEST(Summary, CollectsHostsLinksTreesAndSubnets) {
  testing::FakeClassifier cl;
  testing::FakeNamer namer;
  namer.cached["10.0.0.2"] = {"server.lan"};
  TrafficModel model(&cl, &namer, nullptr);
  model.local_address = NetAddress::ipv4(10, 0, 0, 1);
  Net* net = net_create(model, "eth0");
  testing::FrameSpec s;
  s.protocol = 6;
  s.dport = 80;
  testing::feed(*net, testing::make_frame(s), 1, 0, 100);
  testing::FrameSpec r;
  std::swap(r.src_ip, r.dst_ip);
  testing::feed(*net, testing::make_frame(r), 1, 1, 60);

  cli::Summary sum = cli::collect_summary(*net, cl);
  ASSERT_EQ(sum.hosts.size(), 2u);
  EXPECT_EQ(sum.hosts[0].address, "10.0.0.1");  // ascending
  EXPECT_EQ(sum.hosts[1].name, "server.lan");
  ASSERT_EQ(sum.links.size(), 2u);
  EXPECT_EQ(sum.links[0].source, "10.0.0.1");
  EXPECT_EQ(sum.links[0].bytes, 100u);
  ASSERT_EQ(sum.links[0].protocols.size(), 1u);
  EXPECT_EQ(sum.links[0].protocols[0].name, "ETHER");
  EXPECT_EQ(sum.links[0].protocols[0].children[0].children[0].children[0].name, "HTTP");
  ASSERT_EQ(sum.subnets.size(), 1u);
  EXPECT_EQ(sum.subnets[0].address, "10.0.0.0");

  const std::string text = cli::render_text(sum);
  EXPECT_NE(text.find("10.0.0.1        -> 10.0.0.2"), std::string::npos) << text;
  EXPECT_NE(text.find("server.lan"), std::string::npos);
  const std::string json = cli::render_json(sum);
  EXPECT_NE(json.find("\"name\":\"server.lan\""), std::string::npos);
  EXPECT_NE(json.find("\"protocol\":\"HTTP\""), std::string::npos);
}

// The end of a run writes the rows as it reads them from the model: the
// same bytes as a copied summary gives, in text and JSON, with evictions.
TEST(Summary, StreamedOutputIsTheCopiedOne) {
  testing::FakeClassifier cl;
  testing::FakeNamer namer;
  namer.cached["10.0.0.2"] = {"server.lan"};
  TrafficModel model(&cl, &namer, nullptr);
  model.max_hosts = 6;
  Net* net = net_create(model, "eth0");
  for (int i = 0; i < 12; ++i) {
    testing::FrameSpec s;
    s.src_ip[3] = static_cast<std::uint8_t>(10 + i);
    s.dst_ip[3] = static_cast<std::uint8_t>(i % 3 == 0 ? 200 : 2);
    s.protocol = i % 2 == 0 ? 6 : 17;
    s.dport = 80;
    testing::feed(*net, testing::make_frame(s), 100 + i, 0, 100 + i);
    model.now = {100 + i, 0};
    net_tick(*net);
  }
  ASSERT_GT(net->evicted.hosts, 0u);
  const cli::Summary copied = cli::collect_summary(*net, cl);
  const cli::Summary streamed = cli::collect_summary(*net, cl, nullptr, false);
  EXPECT_TRUE(streamed.hosts.empty());
  for (const bool json : {false, true}) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(json ? cli::write_json(streamed, f) : cli::write_text(streamed, f));
    std::string written(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    ASSERT_EQ(std::fread(written.data(), 1, written.size(), f), written.size());
    std::fclose(f);
    EXPECT_EQ(written, json ? cli::render_json(copied) : cli::render_text(copied));
  }
  const std::string text = cli::render_text(copied);
  EXPECT_NE(text.find("evicted hosts        " + std::to_string(net->evicted.hosts) + " (frames sent"),
            std::string::npos)
      << text;
  EXPECT_NE(cli::render_json(copied).find("\"evicted\":{\"hosts\":" + std::to_string(net->evicted.hosts)),
            std::string::npos);
}

// Running the program itself.
struct CliRun {
  int status;
  std::string out;
  std::string err;
};

CliRun run_cli(const std::string& args) {
  const std::string bin = std::string(TARNIX_BINARY_DIR) + "/src/cli/tarnix-cli";
  const std::string err_file = testing::temp_path("cli.err");
  const std::string cmd = bin + " " + args + " 2>" + err_file;
  CliRun r{};
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return {-1, "", "popen failed"};
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(err_file);
  std::stringstream ss;
  ss << e.rdbuf();
  r.err = ss.str();
  std::remove(err_file.c_str());
  return r;
}

const std::string kProtocols = std::string(" --protocols ") + TARNIX_SOURCE_DIR + "/data/protocol.pdl";

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

TEST(Program, ErrorsAreOneLineAndNonZero) {
  CliRun missing = run_cli("--read /nonexistent/file.pcap" + kProtocols);
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(lines(missing.err), 1) << missing.err;
  EXPECT_EQ(missing.err.rfind("tarnix-cli: cannot read capture file /nonexistent/file.pcap", 0), 0u);

  const std::string path = testing::temp_path("cli_ok.pcap");
  ASSERT_TRUE(testing::write_pcap(path, {{100, 0, testing::make_frame({}), 0}}));
  CliRun bad_filter = run_cli("--read " + path + " --filter 'port port'" + kProtocols);
  EXPECT_NE(bad_filter.status, 0);
  EXPECT_EQ(lines(bad_filter.err), 1) << bad_filter.err;
  EXPECT_NE(bad_filter.err.find("bad capture filter 'port port'"), std::string::npos);

  CliRun bad_pdl = run_cli("--read " + path + " --protocols /nonexistent/p.pdl");
  EXPECT_NE(bad_pdl.status, 0);
  EXPECT_EQ(lines(bad_pdl.err), 1) << bad_pdl.err;

  CliRun unknown_if = run_cli("--interface tarnix-no-such-if0" + kProtocols);
  EXPECT_NE(unknown_if.status, 0);
  EXPECT_EQ(unknown_if.err, "tarnix-cli: unknown interface tarnix-no-such-if0\n");

  CliRun usage = run_cli("--frobnicate");
  EXPECT_EQ(usage.status, 2);

  // A malformed alarm stops the run before capture, naming what is wrong.
  CliRun bad_alarm = run_cli("--read " + path + " --no-resolve --alarm 'host:10.0.0:occurrence:x'" + kProtocols);
  EXPECT_EQ(bad_alarm.status, 2);
  EXPECT_EQ(lines(bad_alarm.err), 1) << bad_alarm.err;
  EXPECT_NE(bad_alarm.err.find("'10.0.0' is not an IPv4 address"), std::string::npos) << bad_alarm.err;
  EXPECT_EQ(bad_alarm.out, "");
  CliRun empty_alarm = run_cli("--read " + path + " --alarm ''" + kProtocols);
  EXPECT_EQ(empty_alarm.status, 2);

  // The service port beyond loopback only with a private token file.
  CliRun open_port = run_cli("--read " + path + " --listen 0.0.0.0:19555" + kProtocols);
  EXPECT_EQ(open_port.status, 1);
  EXPECT_EQ(lines(open_port.err), 1) << open_port.err;
  EXPECT_NE(open_port.err.find("--listen-token-file"), std::string::npos) << open_port.err;
  const std::string token = testing::temp_path("cli_token");
  for (const auto& [mode, refused] : {std::pair{0644, true}, std::pair{0600, false}}) {
    std::FILE* f = std::fopen(token.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(" s3cret \n", f);
    std::fclose(f);
    ::chmod(token.c_str(), static_cast<mode_t>(mode));
    CliRun r = run_cli("--read " + path + " --listen 0.0.0.0:19556 --listen-token-file " + token + kProtocols);
    EXPECT_EQ(r.err.find("readable by every user") != std::string::npos, refused) << r.err;
  }
  std::remove(token.c_str());
  std::remove(path.c_str());
}

TEST(Program, AlarmsFireAndAreSummarised) {
  // 30 frames from one host within a second: a threshold of 10 packets is
  // crossed, one of 1000 never is.
  const std::string path = testing::temp_path("cli_alarm.pcap");
  std::vector<testing::TimedFrame> frames;
  for (int i = 0; i < 30; ++i) frames.push_back({100, i * 1000, testing::make_frame({}), 0});
  ASSERT_TRUE(testing::write_pcap(path, frames));
  CliRun r = run_cli("--read " + path + " --json --no-resolve" +
                     " --alarm 'net:threshold-high:packets:10:net busy'" +
                     " --alarm 'net:threshold-high:packets:1000:net flooded'" + kProtocols);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"alarms\":["), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"notify\":\"net flooded\",\"object\":\"network\",\"kind\":\"threshold\",\"disabled\":false,\"firings\":0"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("\"notify\":\"net busy\",\"object\":\"network\",\"kind\":\"threshold\",\"disabled\":false,\"firings\":0"),
            std::string::npos)
      << r.out;
  // With --json the alarm log goes to standard error.
  EXPECT_NE(r.err.find("  net busy"), std::string::npos) << r.err;
  std::remove(path.c_str());
}

TEST(Program, SummaryOfAFile) {
  const std::string path = testing::temp_path("cli_sum.pcapng");
  std::vector<testing::TimedFrame> frames;
  testing::FrameSpec a;
  a.protocol = 6;
  a.dport = 80;
  testing::FrameSpec arp;
  arp.ether_type = 0x0806;
  testing::FrameSpec nb;
  nb.dport = 137;
  for (int i = 0; i < 10; ++i) frames.push_back({1000, i, testing::make_frame(a), 1000});
  frames.push_back({1000, 50, testing::make_frame(arp), 0});
  frames.push_back({1000, 60, testing::make_frame(nb), 0});
  ASSERT_TRUE(testing::write_pcapng(path, frames));

  CliRun r = run_cli("--read " + path + " --json --no-resolve" + kProtocols);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"frames_seen\":12"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"frames_counted\":10"), std::string::npos);
  EXPECT_NE(r.out.find("\"frames_filtered\":2"), std::string::npos);
  EXPECT_NE(r.out.find("{\"source\":\"10.0.0.1\",\"destination\":\"10.0.0.2\",\"frames\":10,\"bytes\":10000"),
            std::string::npos)
      << r.out;

  CliRun filtered = run_cli("--read " + path + " --filter 'not arp' --no-resolve" + kProtocols);
  ASSERT_EQ(filtered.status, 0) << filtered.err;
  EXPECT_NE(filtered.out.find("capture filter: 1)"), std::string::npos) << filtered.out;
  std::remove(path.c_str());
}

// The same conversation in every link layer Tarnix reads gives the same
// link totals; a tagged one names its VLAN on the hosts and in the
// protocols; a link layer it cannot read is refused by name.
TEST(Program, EveryLinkTypeGivesTheSameLinks) {
  using Bytes = std::vector<std::uint8_t>;
  testing::FrameSpec s;
  s.protocol = 6;
  s.dport = 80;
  const Bytes ether = testing::make_frame(s);
  const Bytes ip(ether.begin() + 14, ether.end());
  const auto join = [](Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    const char* name;
    int dlt;
    Bytes frame;
    const char* vlan;  // what the hosts show, "" for nothing
  } cases[] = {
      {"ethernet", DLT_EN10MB, ether, ""},
      {"tagged", DLT_EN10MB, join({2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x81, 0, 0, 42, 8, 0}, ip),
       ",\"vlan\":42"},
      {"cooked", DLT_LINUX_SLL, join({0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 8, 0}, ip), ""},
      {"cooked v2", DLT_LINUX_SLL2, join({8, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0}, ip),
       ""},
      {"raw", DLT_RAW, ip, ""},
      {"loopback", DLT_NULL, join({2, 0, 0, 0}, ip), ""},
  };
  const std::string path = testing::temp_path("cli_links.pcap");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<testing::TimedFrame> frames;
    for (int i = 0; i < 4; ++i) frames.push_back({1000, i, c.frame, 500});
    ASSERT_TRUE(testing::write_pcap(path, frames, 65535, c.dlt));
    CliRun r = run_cli("--read " + path + " --json --no-resolve" + kProtocols);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{\"source\":\"10.0.0.1\",\"destination\":\"10.0.0.2\",\"frames\":4,\"bytes\":2000"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(",\"vlan\":") != std::string::npos, *c.vlan != '\0') << r.out;
    if (*c.vlan != '\0') {
      EXPECT_NE(r.out.find(c.vlan), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("\"VLAN\""), std::string::npos) << r.out;
    }
    if (c.dlt == DLT_RAW || c.dlt == DLT_NULL) {
      EXPECT_NE(r.out.find("\"ethernet\":null"), std::string::npos) << r.out;
    }
  }
  ASSERT_TRUE(testing::write_pcap(path, {{1000, 0, ether, 0}}, 65535, DLT_IEEE802_11));
  CliRun refused = run_cli("--read " + path + " --json --no-resolve" + kProtocols);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("link type IEEE802_11"), std::string::npos) << refused.err;
  std::remove(path.c_str());
}

// The shipped "Web" focus lists HTTP before DNS: the heavier of the two names
// the link, the earlier on a tie, and a link with neither has none.
TEST(Program, FocusNamesEachLinksDominantProtocol) {
  const std::string path = testing::temp_path("cli_focus.pcapng");
  const std::string foci = std::string(" --focus-file ") + TARNIX_SOURCE_DIR + "/data/cfdump.bin";
  testing::FrameSpec http;
  http.protocol = 6;
  http.dport = 80;
  testing::FrameSpec dns;
  dns.dport = 53;
  testing::FrameSpec other;
  other.dst_ip[3] = 3;
  auto run = [&](int http_frames, const std::string& focus) {
    std::vector<testing::TimedFrame> frames;
    for (int i = 0; i < http_frames; ++i) frames.push_back({1000, i, testing::make_frame(http), 100});
    for (int i = 0; i < 7; ++i) frames.push_back({1000, 100 + i, testing::make_frame(dns), 100});
    frames.push_back({1000, 200, testing::make_frame(other), 100});
    EXPECT_TRUE(testing::write_pcapng(path, frames));
    return run_cli("--read " + path + " --json --no-resolve" + kProtocols + foci + focus);
  };
  const std::string to2 = "\"destination\":\"10.0.0.2\"", to3 = "\"destination\":\"10.0.0.3\"";
  auto dominant_after = [](const std::string& out, const std::string& link) {
    const std::size_t at = out.find(link);
    if (at == std::string::npos) return std::string("(no link)");
    const std::size_t from = out.find("\"dominant\":", at) + 11;
    return out.substr(from, out.find(',', from) - from);
  };
  CliRun heavier = run(5, " --focus Web");
  ASSERT_EQ(heavier.status, 0) << heavier.err;
  EXPECT_EQ(dominant_after(heavier.out, to2), "\"DNS\"");
  EXPECT_EQ(dominant_after(heavier.out, to3), "null");
  EXPECT_EQ(dominant_after(run(7, " --focus Web").out, to2), "\"HTTP\"");
  EXPECT_EQ(dominant_after(run(7, " --focus Mail").out, to2), "null");
  CliRun unknown = run(7, " --focus 'No Such Focus'");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("no focus named \"No Such Focus\""), std::string::npos) << unknown.err;

  CliRun list = run_cli("--list-foci --json" + kProtocols + foci);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("{\"name\":\"IP Networking\",\"active\":true,\"entries\":[{\"protocol\":\"TCP\""),
            std::string::npos)
      << list.out;
  EXPECT_EQ(run_cli("--list-foci --focus-file /nonexistent/cf.bin" + kProtocols).status, 1);
  std::remove(path.c_str());
}

TEST(Program, DurationStopsAPacedReplay) {
  const std::string path = testing::temp_path("cli_slow.pcap");
  // Two frames an hour apart, played at recorded pace: only the duration ends it.
  ASSERT_TRUE(testing::write_pcap(path, {{1000, 0, testing::make_frame({}), 0},
                                         {4600, 0, testing::make_frame({}), 0}}));
  CliRun r = run_cli("--read " + path + " --replay-speed 1 --duration 0.5 --json --no-resolve" + kProtocols);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"frames_seen\":1,"), std::string::npos) << r.out;
  std::remove(path.c_str());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Real traffic (curl to a web server, directly and through tinyproxy) into
// a real database holding alarms, then every report in every form.
TEST(Program, ReportsAndStoredAlarmsFromARecordedCapture) {
  namespace fs = std::filesystem;
  const fs::path work = testing::temp_path("cli_reports");
  fs::remove_all(work);
  fs::create_directories(work / "out");
  const std::string db = " --no-resolve --db " + (work / "db").string();
  const std::string defs[] = {
      "host:10.77.0.2:threshold-high:packets:1:client: busy",
      "url:http://10.77.0.1/index.html:occurrence:index page",
      "protocol:TCP:occurrence:tcp seen",
      "host:10.9.9.9:occurrence:never seen",
  };
  for (const std::string& def : defs) {
    CliRun add = run_cli(db + " --add-alarm '" + def + "'" + kProtocols);
    ASSERT_EQ(add.status, 0) << add.err;
  }
  CliRun bad = run_cli(db + " --add-alarm 'protocol:NOPE:occurrence:x'" + kProtocols);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("NOPE"), std::string::npos) << bad.err;
  CliRun list = run_cli(db + " --list-alarms" + kProtocols);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, defs[0] + "\n" + defs[1] + "\n" + defs[2] + "\n" + defs[3] + "\n");

  const std::string capture = std::string(TARNIX_SOURCE_DIR) + "/tests/db/data/curl_tinyproxy.pcap";
  CliRun r = run_cli("--read " + capture + db + " --report all --report-dir " + (work / "out").string() + kProtocols);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* base : {"hostrep", "statsrep", "alarmrep", "urlsrep"})
    for (const char* ext : {".txt", ".rtf", ".html", ".csv"})
      EXPECT_TRUE(fs::is_regular_file(work / "out" / (std::string(base) + ext))) << base << ext;
  // A listed line given back as --alarm watches the traffic alike.
  CliRun pasted = run_cli("--read " + capture + " --no-resolve --json --alarm '" + defs[0] + "'" + kProtocols);
  ASSERT_EQ(pasted.status, 0) << pasted.err;
  EXPECT_NE(pasted.out.find("\"notify\":\"client: busy\""), std::string::npos) << pasted.out;
  EXPECT_EQ(pasted.out.find("\"firings\":0"), std::string::npos) << pasted.out;

  const std::string host = read_file((work / "out/hostrep.txt").string());
  // Descriptions are cut to 15 characters ("Other TCP connections").
  EXPECT_NE(host.find("10.77.0.3                           Other TCP conne         19       1545\n"),
            std::string::npos)
      << host;
  const std::string alarms = read_file((work / "out/alarmrep.txt").string());
  for (const char* fired : {"client: busy", "index page", "tcp seen"})
    EXPECT_NE(alarms.find(std::string("Alarm Notify String: ") + fired + "\n"), std::string::npos) << alarms;
  EXPECT_EQ(alarms.find("never seen"), std::string::npos) << "an alarm that never fired is left out";
  const std::string urls = read_file((work / "out/urlsrep.txt").string());
  EXPECT_NE(urls.find("http://www.e2e.test/p.html\n"), std::string::npos) << urls;
  EXPECT_NE(urls.find("client=10.77.0.2, server=10.77.0.3, (proxy)\n"), std::string::npos);
  EXPECT_NE(urls.find("Total Cached accesses = 2\n"), std::string::npos);
  const std::string stats = read_file((work / "out/statsrep.html").string());
  EXPECT_NE(stats.find("<A HREF=\"http://nowhere.invalid:8080/x&#39;y\">"), std::string::npos) << stats;

  CliRun missing = run_cli("--read " + capture + " --report host --report-dir " + (work / "nowhere").string() +
                           kProtocols);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "tarnix-cli: report folder " + (work / "nowhere").string() + " does not exist\n");
  CliRun no_db = run_cli("--read " + capture + " --report urls --report-dir " + (work / "out").string() + kProtocols);
  EXPECT_EQ(no_db.status, 2);
  EXPECT_EQ(lines(no_db.err), 2) << no_db.err;  // the error and the hint
  // A folder where no file can be made, even by root.
  CliRun ro = run_cli("--read " + capture + " --report host --report-dir /proc" + kProtocols);
  EXPECT_EQ(ro.status, 1);
  EXPECT_EQ(ro.err.rfind("tarnix-cli: cannot write the Host Report: /proc/hostrep.txt", 0), 0u) << ro.err;
  EXPECT_EQ(lines(ro.err), 1) << ro.err;
  fs::remove_all(work);
}

// Three clients asking two web servers directly and through tinyproxy
// (tests/ui/data/make_http_top.sh). The expected counts come from tshark:
//   bytes:    tshark -T fields -e ip.src -e ip.dst -e frame.len, summed
//   requests: tshark -Y http.request -T fields -e ip.src -e ip.dst -e http.host
//             -e http.request.uri | sort | uniq -c
TEST(Program, TopRankingsOfRealHttpTraffic) {
  const std::string db = testing::temp_path("cli_top_db");
  std::filesystem::remove_all(db);
  CliRun r = run_cli("--read " + std::string(TARNIX_SOURCE_DIR) + "/tests/ui/data/http_top.pcap --db " + db +
                     " --json --no-resolve --top 3" + kProtocols);
  std::filesystem::remove_all(db);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto top = r.out.find("\"top\":");
  ASSERT_NE(top, std::string::npos) << r.out;
  const std::string t = r.out.substr(top);
  const char* expected[] = {
      "\"hosts\":[{\"name\":\"10.77.0.2\",\"count\":4156},{\"name\":\"10.77.0.1\",\"count\":3656},"
      "{\"name\":\"10.77.0.3\",\"count\":3483}]",
      "\"links\":[{\"source\":\"10.77.0.1\",\"destination\":\"10.77.0.2\",\"count\":2417},"
      "{\"source\":\"10.77.0.3\",\"destination\":\"10.77.0.2\",\"count\":2320},"
      "{\"source\":\"10.77.0.2\",\"destination\":\"10.77.0.3\",\"count\":2134}]",
      "\"alarms\":[]",
      // /index.html of 10.77.0.1 (www.e2e.test, the site the clients
      // named): three times from .2, once from .5. Ids are not checked: a
      // request waiting for a name look-up is stored after later ones.
      "\"urls\":[{\"url\":\"http://www.e2e.test/index.html\",\"count\":4,",
      // Requests per client; per server, proxied ones count for the proxy.
      "\"url_clients\":[{\"name\":\"10.77.0.2\",\"count\":6,",
      "{\"name\":\"10.77.0.5\",\"count\":4,",
      "{\"name\":\"10.77.0.6\",\"count\":1,",
      "\"url_servers\":[{\"name\":\"10.77.0.1\",\"count\":6,",
      "{\"name\":\"10.77.0.3\",\"count\":3,",
      "{\"name\":\"10.77.0.4\",\"count\":2,",
  };
  for (const char* e : expected) EXPECT_NE(t.find(e), std::string::npos) << e << "\n" << t;
  // "recorded" is what the store committed, beside what was seen.
  EXPECT_NE(r.out.find("\"urls\":{\"recorded\":11,\"seen\":11,\"dropped\":{\"total\":0,\"queue_full\":0,"
                       "\"store_failed\":0,\"given_up\":0},\"unusable\":0,"),
            std::string::npos)
      << r.out;
}

// A file read on a thread of its own, read by the counting thread itself,
// and gzip-compressed: one summary, the file's name aside, with a capture
// filter or without.
TEST(Program, ReadAheadDirectAndGzipGiveOneSummary) {
  const std::string path = testing::temp_path("cli_ahead.pcap");
  const std::string gz = path + ".gz";
  std::vector<testing::TimedFrame> frames;
  for (int i = 0; i < 5000; ++i) {
    testing::FrameSpec s;
    s.protocol = i % 4 == 0 ? 6 : 17;
    s.src_ip[3] = static_cast<std::uint8_t>(1 + i % 40);
    s.dst_ip[3] = static_cast<std::uint8_t>(100 + i % 7);
    s.payload = static_cast<std::size_t>((i * 53) % 1200);
    frames.push_back({1000 + i / 500, (i % 500) * 2000, testing::make_frame(s), 0});
  }
  ASSERT_TRUE(testing::write_pcap(path, frames));
  ASSERT_EQ(std::system(("gzip -c " + path + " > " + gz).c_str()), 0);
  const auto without_source = [](std::string json) {
    const std::size_t at = json.find("\"source\":\"");
    if (at != std::string::npos) json.erase(at, json.find('"', at + 10) + 1 - at);
    return json;
  };
  for (const std::string filter : {"", " --filter udp"}) {
    SCOPED_TRACE(filter);
    const std::string opts = " --json --no-resolve" + filter + kProtocols;
    const CliRun ahead = run_cli("--read " + path + opts);
    const CliRun direct = run_cli("--read " + path + " --no-read-ahead" + opts);
    const CliRun zipped = run_cli("--read " + gz + opts);
    ASSERT_EQ(ahead.status, 0) << ahead.err;
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(zipped.status, 0) << zipped.err;
    EXPECT_NE(ahead.out.find("\"frames_seen\":" + std::string(filter.empty() ? "5000" : "3750")), std::string::npos)
        << ahead.out.substr(0, 200);
    EXPECT_EQ(ahead.out, direct.out);
    EXPECT_EQ(without_source(zipped.out), without_source(ahead.out));
  }
  std::remove(path.c_str());
  std::remove(gz.c_str());
}

}  // namespace
}  // namespace tarnix
