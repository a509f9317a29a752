// The reports from a real SQLite database and a traffic model: what an
// empty model writes, hostile names and URLs in every form, the proxy count,
// and how the files are created.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/net.h"
#include "db/db_store.h"
#include "reports/reports.h"
#include "sniff/http.h"

namespace tarnix {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class ReportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/tarnix-reports-test-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir = templ;
    sources.started = 875620800;  // Thu Oct 30 12:00:00 1997 UTC
    sources.clock = [] { return std::int64_t{875624400}; };
  }
  void TearDown() override { fs::remove_all(dir); }
  // A file "victim" holding "keep", and a link to it under a report's name.
  std::string plant_link(const std::string& name) {
    const std::string victim = dir + "/victim";
    { std::ofstream(victim) << "keep"; }
    EXPECT_EQ(::symlink(victim.c_str(), (dir + "/" + name).c_str()), 0);
    return victim;
  }

  std::string write(ReportKind kind) {
    const std::string base = dir + "/" + report_kind_info(kind).base_name;
    std::string error;
    EXPECT_TRUE(report_write(kind, sources, base, ReportFileMode::kPrivate, &error)) << error;
    return base;
  }

  std::string dir;
  ReportSources sources;
};

TEST_F(ReportsTest, EmptyModelWritesOnlyTitlesTimesAndFooter) {
  TrafficModel model(nullptr, nullptr, nullptr);
  Net* net = net_create(model, "eth0");
  sources.net = net;
  sources.db_file = dir + "/tarnix.db";
  ASSERT_TRUE(db_open_session(sources.db_file));  // an empty database

  const std::string host = slurp(write(ReportKind::kHost) + ".txt");
  const std::string product = report_product_line();
  EXPECT_EQ(host, "Report of Monitored Host Statistics\n\n\n\n\nrecording started at " +
                      report_time_text(sources.started) + "\n\nreport generated on " +
                      report_time_text(sources.clock()) + "\n" + product + "\n\n\n");

  const std::string stats = slurp(write(ReportKind::kStats) + ".txt");
  EXPECT_EQ(stats.find("Top "), std::string::npos) << stats;
  EXPECT_NE(stats.find("Overall Statistics\nPeak Network Load = 0\nAverage Network Load = 0.000000\n"),
            std::string::npos)
      << stats;
}

TEST_F(ReportsTest, HostileUrlsAreEscapedAndProxiedAccessesCounted) {
  sources.db_file = dir + "/tarnix.db";
  auto s = db_open_session(sources.db_file);
  ASSERT_TRUE(s);
  HostCacheEntry server;
  server.address = NetAddress::ipv4(10, 0, 0, 9);
  server.name = "evil<b>&{x}\\\x1b]2;t\x07";
  server.host = HostRecord{};
  server.host->name = server.name;
  server.host->addresses = {{10, 0, 0, 9}};
  server.host_id = db_host_cache_store(*s, server);
  HostCacheEntry client;
  client.address = NetAddress::ipv4(10, 0, 0, 2);
  client.name = "10.0.0.2";
  client.host_id = db_host_cache_store(*s, client);
  const std::int32_t url =
      db_urls_add(*s, server.host_id, "/q?a=<script>&b=\"{\\}\"\x1b[2J", kSchemeHttp, 80);
  ASSERT_NE(url, 0);
  ASSERT_NE(db_url_hist_add(*s, url, "evil", &client, &server, 1, 0, nullptr), 0);
  ASSERT_NE(db_url_hist_add(*s, url, "evil", &client, &server, 0, 0, nullptr), 0);
  s.reset();

  const std::string base = write(ReportKind::kUrls);
  const std::string html = slurp(base + ".html"), rtf = slurp(base + ".rtf"), text = slurp(base + ".txt");
  const std::string csv = slurp(base + ".csv");
  for (const std::string* form : {&html, &rtf, &text, &csv}) {
    EXPECT_EQ(form->find('\x1b'), std::string::npos) << *form;
    EXPECT_EQ(form->find('\x07'), std::string::npos) << *form;
  }
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_EQ(html.find("evil<b>"), std::string::npos);
  const std::string shown_host = "evil<b>&{x}\\x5c\\x1b]2;t\\x07";
  EXPECT_NE(
      html.find("<A HREF=\"http://evil&lt;b&gt;&amp;{x}\\x5c\\x1b]2;t\\x07/q?a=&lt;script&gt;&amp;b=&quot;{"
                "\\x5c}&quot;\\x1b[2J\">"),
      std::string::npos)
      << html;
  EXPECT_NE(
      rtf.find("http://evil<b>&\\{x\\}\\\\x5c\\\\x1b]2;t\\\\x07/q?a=<script>&b=\"\\{\\\\x5c\\}\"\\\\x1b[2J"),
      std::string::npos)
      << rtf;
  EXPECT_NE(text.find("client=10.0.0.2, server=" + shown_host + ", (proxy)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("client=10.0.0.2, server=" + shown_host + "\n"), std::string::npos);
  EXPECT_NE(text.find("Total Cached accesses = 1\n"), std::string::npos);
  EXPECT_NE(text.find("Total Non Cached accesses = 1\n"), std::string::npos);
  EXPECT_NE(text.find("Total Monitored URLs (in Database) = 2\n"), std::string::npos);

  // RFC 4180 fields: quoted, quotes doubled; one row proxied, one direct.
  const std::string row =
      "\n\"http://evil<b>&{x}\\x5c\\x1b]2;t\\x07/q?a=<script>&b=\"\"{\\x5c}\"\"\\x1b[2J\",\"";
  EXPECT_NE(csv.find(row), std::string::npos) << csv;
  EXPECT_NE(csv.find(row, csv.find(row) + 1), std::string::npos) << csv;
  EXPECT_NE(csv.find("\",\"10.0.0.2\",\"" + shown_host + "\",\"proxy\"\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\",\"10.0.0.2\",\"" + shown_host + "\",\"\"\n"), std::string::npos) << csv;
}

TEST_F(ReportsTest, PrivateFilesAreNewAndOwnerOnly) {
  // Something planted under a report's name is neither followed nor touched.
  const std::string victim = plant_link("hostrep.txt");
  std::string error;
  EXPECT_FALSE(report_write(ReportKind::kHost, sources, dir + "/hostrep", ReportFileMode::kPrivate, &error));
  EXPECT_NE(error.find("hostrep.txt"), std::string::npos) << error;
  EXPECT_EQ(slurp(victim), "keep");
  EXPECT_FALSE(fs::exists(dir + "/hostrep.rtf"));

  const std::string run = report_make_private_dir(dir, "hostrep-", &error);
  ASSERT_FALSE(run.empty()) << error;
  const std::string base = run + "/hostrep";
  ASSERT_TRUE(report_write(ReportKind::kHost, sources, base, ReportFileMode::kPrivate, &error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat((base + ".rtf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(run.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  report_remove_files(base);
  EXPECT_FALSE(fs::exists(run));
}

TEST_F(ReportsTest, ReplaceModeReplacesALinkInsteadOfFollowingIt) {
  const std::string victim = plant_link("alarmrep.html");
  std::string error;
  ASSERT_TRUE(
      report_write(ReportKind::kAlarms, sources, dir + "/alarmrep", ReportFileMode::kReplace, &error));
  EXPECT_EQ(slurp(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(dir + "/alarmrep.html"));
  EXPECT_NE(slurp(dir + "/alarmrep.html").find("Monitored Alarms Report"), std::string::npos);
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir))
    files += e.path().filename().string().find(".part") == std::string::npos;
  EXPECT_EQ(files, 5u) << "four forms and the victim, no part files";
}

// A link between two long IPv6 addresses is longer than the text column:
// written whole (a cut address would name another host), the count after it;
// dotted names keep the column.
TEST_F(ReportsTest, LongIpv6NamesAreNeverCutInTheColumns) {
  TrafficModel model(nullptr, nullptr, nullptr);
  Net* net = net_create(model, "eth0");
  const std::string a = "2001:db8:85a3:1234:5678:8a2e:370:7334";
  const std::string b = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
  Node* from = node_create(*net, NetAddress::parse(kAddrIpv6, a.c_str()));
  Node* to = node_create(*net, NetAddress::parse(kAddrIpv6, b.c_str()));
  Node* v4 = node_create(*net, NetAddress::ipv4(10, 0, 0, 1));
  Link* six = link_create(*net, *from, *to);
  Link* four = link_create(*net, *v4, *from);
  six->bytes = 900;
  four->bytes = 100;
  from->bytes_sent = 900;
  v4->bytes_sent = 100;
  for (Link* l : {six, four}) net->top_links.insert(l);
  for (Node* n : {from, v4}) net->top_hosts.insert(n);
  sources.net = net;

  const std::string text = slurp(write(ReportKind::kStats) + ".txt");
  EXPECT_NE(text.find("\n" + a + ", " + b + " 900\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n" + a + std::string(71 - a.size(), ' ') + " 900\n"), std::string::npos) << text;
  const std::string dotted = "10.0.0.1, " + a;
  EXPECT_NE(text.find("\n" + dotted + std::string(71 - dotted.size(), ' ') + " 100\n"), std::string::npos)
      << text;
}

TEST(ReportKinds, Parse) {
  std::vector<ReportKind> kinds;
  std::string bad;
  ASSERT_TRUE(report_kinds_parse("urls,host,urls", kinds, &bad));
  EXPECT_EQ(kinds, (std::vector<ReportKind>{ReportKind::kUrls, ReportKind::kHost}));
  ASSERT_TRUE(report_kinds_parse("all", kinds, &bad));
  EXPECT_EQ(kinds.size(), 4u);
  EXPECT_FALSE(report_kinds_parse("host,,stats", kinds, &bad));
  EXPECT_EQ(bad, "");
  EXPECT_FALSE(report_kinds_parse("hosts", kinds, &bad));
  EXPECT_EQ(bad, "hosts");
}

}  // namespace
}  // namespace tarnix
