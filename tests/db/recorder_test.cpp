// The recorder end to end inside the engine: the real name cache and its
// resolver thread (with a scripted name service), the store thread, and a
// real SQLite file read back through a connection of the test's own.
#include "db/recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db_test_support.h"
#include "naming/fake_name_service.h"
#include "sniff/segments.h"

namespace tarnix {
namespace {

using testing_support::ip;
using testing_support::reply;
using testing_support::sql_int;
using testing_support::sql_text;
using testing_support::TempDir;

class Collect : public RequestListener {
 public:
  void on_request_recorded(const RecordedRequest& r) override {
    std::lock_guard lock(mutex);
    seen.push_back(r);
  }
  std::vector<RecordedRequest> all() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::vector<RecordedRequest> seen;
};

constexpr std::uint8_t kServer[4] = {10, 0, 0, 1};
constexpr std::uint8_t kClient[4] = {10, 0, 0, 2};
constexpr std::uint8_t kProxy[4] = {10, 0, 0, 3};
constexpr std::uint8_t kOther[4] = {10, 0, 0, 4};

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { open(UrlRecorder::Options()); }
  void open(UrlRecorder::Options options, bool start = true) {
    path = dir.file("tarnix.db");
    ids = std::make_unique<DbHostIdStore>(db_open_session(path));
    cache = std::make_unique<HostCache>(ns, *ids);
    ids->set_names(cache.get());
    cache->start();
    recorder = std::make_unique<UrlRecorder>(db_open_session(path, cache.get()), *cache, options);
    recorder->add_listener(&log);
    if (start) recorder->start();
    reader = db_open_session(path);
    ASSERT_TRUE(reader);
  }
  void TearDown() override {
    if (recorder) recorder->stop();
    if (cache) cache->stop();
  }
  int send(const std::uint8_t client[4], const std::uint8_t server[4], const char* host, const char* target) {
    return recorder->record_request(counters, client, server, host, target);
  }
  void settle() { ASSERT_EQ(recorder->finish(std::chrono::seconds(10)), 0); }
  void wait_unparked() {
    for (int i = 0; i < 2000 && recorder->parked() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::int64_t count(const char* sql) { return sql_int(*reader, sql); }
  std::int64_t host_id_of_name(const std::string& name) {
    auto st = reader->connection().prepare("SELECT host_id FROM host_cache WHERE name = ?");
    st->bind_text(1, name);
    return st->step() == StepResult::kRow ? st->column_int64(1) : -1;
  }

  TempDir dir;
  std::string path;
  testing_support::FakeNameService ns;
  std::unique_ptr<DbHostIdStore> ids;
  std::unique_ptr<HostCache> cache;
  std::unique_ptr<UrlRecorder> recorder;
  std::unique_ptr<DbSession> reader;
  Collect log;
  UrlCounters counters;
};

TEST_F(RecorderTest, FirstRequestForAnUnseenHostIsWrittenOnceTheResolverAnswers) {
  ns.answer_name("www.example", reply("www.example", {}, {ip(10, 0, 0, 1)}));
  ns.close_gate();
  EXPECT_EQ(send(kClient, kServer, "www.example", "/index.html"), 1);
  ns.wait_until_held();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 0) << "nothing before the resolver has answered";
  EXPECT_GE(recorder->parked(), 1);
  ns.open_gate();
  settle();

  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 1);
  EXPECT_EQ(count("SELECT cached FROM url_hist"), 0);
  EXPECT_EQ(sql_text(*reader, "SELECT hostname_used FROM url_hist"), "www.example");
  EXPECT_EQ(count("SELECT server FROM url_hist"), host_id_of_name("www.example"));
  EXPECT_EQ(count("SELECT client FROM url_hist"), host_id_of_name("10.0.0.2"));
  EXPECT_EQ(count("SELECT host FROM urls"), host_id_of_name("www.example"));
  EXPECT_EQ(sql_text(*reader, "SELECT urlpath FROM urls"), "/index.html");
  // The name cache's entries carry the ids of their database rows.
  ASSERT_NE(cache->find_text("www.example"), nullptr);
  EXPECT_EQ(cache->find_text("www.example")->host_id, host_id_of_name("www.example"));

  auto seen = log.all();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].proxy);
  EXPECT_EQ(seen[0].url, "http://www.example/index.html");
  EXPECT_EQ(seen[0].server_name, "www.example");
  EXPECT_EQ(seen[0].client_name, "10.0.0.2");
  EXPECT_GT(seen[0].url_hist_id, 0);
  EXPECT_EQ(seen[0].url_id, count("SELECT url_id FROM urls"));
  EXPECT_EQ(counters.seen.load(), 1u);
  EXPECT_EQ(counters.direct.load(), 1u);
  EXPECT_EQ(counters.proxied.load(), 0u);
}

// Names heard on the wire reach the request log and the host rows: a
// client named by DHCP before its request, a server named by mDNS after its
// entry was made (the log keeps the name known when the access was written;
// the row, which the reports read, takes the later one), and a host whose
// look-up was still out when its name was heard keeps one row and one id.
TEST_F(RecorderTest, HeardNamesReachTheRequestLogAndTheHostRows) {
  cache->hear({"laptop-7", NameSource::kDhcp, NetAddress::ipv4(kClient), {}});
  cache->wait_heard();
  EXPECT_EQ(send(kClient, kServer, nullptr, "/a"), 1);
  settle();
  cache->hear({"files.local", NameSource::kMulticast, NetAddress::ipv4(kServer), {}});
  cache->wait_heard();
  EXPECT_EQ(send(kClient, kServer, nullptr, "/b"), 1);
  settle();

  ns.close_gate();
  EXPECT_EQ(send(kOther, kServer, nullptr, "/c"), 1);
  ASSERT_TRUE(ns.wait_until_held());
  const HostCacheRef provisional = cache->ipv4_now(NetAddress::ipv4(kOther));
  ASSERT_NE(provisional, nullptr);
  cache->hear({"phone", NameSource::kMulticast, NetAddress::ipv4(kOther), {}});
  cache->wait_heard();
  ns.open_gate();
  settle();

  const std::vector<RecordedRequest> seen = log.all();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].client_name, "laptop-7");
  EXPECT_EQ(seen[0].server_name, "10.0.0.1");
  EXPECT_EQ(seen[1].server_name, "files.local");
  EXPECT_EQ(seen[2].client_name, "phone");
  EXPECT_EQ(sql_text(*reader, "SELECT name FROM host_cache WHERE addr = '10.0.0.1'"), "files.local");
  EXPECT_EQ(count("SELECT count(*) FROM host_cache WHERE addr = '10.0.0.1'"), 1);
  EXPECT_EQ(count("SELECT min(client) FROM url_hist"), host_id_of_name("laptop-7"));
  EXPECT_EQ(count("SELECT count(*) FROM host_cache WHERE addr = '10.0.0.4'"), 1);
  EXPECT_EQ(host_id_of_name("phone"), provisional->host_id);

  // The next run over the same file: the same name heard at the same
  // address is the same host.
  recorder->stop();
  cache->stop();
  DbHostIdStore next_ids(db_open_session(path));
  HostCache next(ns, next_ids);
  next_ids.set_names(&next);
  next.start();
  next.hear({"laptop-7", NameSource::kDhcp, NetAddress::ipv4(kClient), {}});
  next.wait_heard();
  next.request_ipv4(NetAddress::ipv4(kClient), nullptr);
  next.wait_idle();
  ASSERT_NE(next.find_ipv4(NetAddress::ipv4(kClient)), nullptr);
  EXPECT_EQ(next.find_ipv4(NetAddress::ipv4(kClient))->host_id, host_id_of_name("laptop-7"));
  next.stop();
}

TEST_F(RecorderTest, AccessesAreStampedWithTheFramesCaptureTime) {
  ns.answer_name("www.example", reply("www.example", {}, {ip(10, 0, 0, 1)}));
  // 2001-09-09: a capture file read long after it was made.
  EXPECT_EQ(recorder->record_request(counters, kClient, kServer, "www.example", "/old", 1000000000), 1);
  settle();
  EXPECT_EQ(sql_text(*reader, "SELECT ts FROM url_hist"), TimestampRecord::from_time(1000000000).text());
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].time, 1000000000);
}

TEST_F(RecorderTest, TlsServerNameIsAnHttpsVisitWithItsOwnMethodAndTime) {
  ns.answer_name("secure.example", reply("secure.example", {}, {ip(10, 0, 0, 1)}));
  EXPECT_EQ(recorder->record_server_name(counters, kClient, kServer, "secure.example", 1700000000), 1);
  settle();
  EXPECT_EQ(count("SELECT proto FROM urls"), kSchemeHttps);
  EXPECT_EQ(sql_text(*reader, "SELECT urlpath FROM urls"), "/");
  EXPECT_EQ(count("SELECT host FROM urls"), host_id_of_name("secure.example"));
  EXPECT_EQ(count("SELECT method FROM url_hist"), kMethodTls);
  EXPECT_EQ(sql_text(*reader, "SELECT hostname_used FROM url_hist"), "secure.example");
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].url, "https://secure.example/");
  EXPECT_EQ(seen[0].time, 1700000000);
  const std::string line = RequestLogPrinter::format(seen[0]);
  EXPECT_EQ(line.substr(line.size() - 43), "10.0.0.1 https://secure.example/ direct tls");
  EXPECT_EQ(counters.direct.load(), 1u);
}

TEST_F(RecorderTest, TwoRequestsForOneUrlShareItsRow) {
  ns.answer_name("www.example", reply("www.example", {}, {ip(10, 0, 0, 1)}));
  send(kClient, kServer, "www.example", "/a");
  settle();
  send(kClient, kServer, "www.example", "/a");
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM urls"), 1);
  EXPECT_EQ(count("SELECT ref_count FROM urls"), 2);
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 2);
  EXPECT_EQ(count("SELECT ref_count FROM host_cache WHERE name = 'www.example'"), 1);
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].url_id, seen[1].url_id);
  EXPECT_LT(seen[0].url_hist_id, seen[1].url_hist_id);
}

TEST_F(RecorderTest, ProxiedRequestIsStoredUnderTheRequestedHostWithTheProxyAsServer) {
  ns.answer_name("a.example", reply("a.example", {}, {ip(192, 0, 2, 9)}));
  ns.answer_address(ip(10, 0, 0, 3), reply("proxy.lan", {}, {ip(10, 0, 0, 3)}));
  EXPECT_EQ(send(kClient, kProxy, "a.example", "http://a.example/x"), 1);
  settle();
  EXPECT_EQ(count("SELECT host FROM urls"), host_id_of_name("a.example"));
  EXPECT_EQ(sql_text(*reader, "SELECT urlpath FROM urls"), "/x");
  EXPECT_EQ(count("SELECT cached FROM url_hist"), 1);
  EXPECT_EQ(count("SELECT server FROM url_hist"), host_id_of_name("proxy.lan"));
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].proxy);
  EXPECT_EQ(seen[0].url, "http://a.example/x");
  EXPECT_EQ(RequestLogPrinter::format(seen[0]).substr(20), "10.0.0.2 -> 10.0.0.3 http://a.example/x proxy");
  EXPECT_EQ(counters.proxied.load(), 1u);
}

TEST_F(RecorderTest, RequestWithoutHostHeaderIsStoredUnderTheServerAddress) {
  EXPECT_EQ(send(kClient, kServer, nullptr, "/plain"), 1);
  settle();
  EXPECT_EQ(sql_text(*reader, "SELECT hostname_used FROM url_hist"), "(null)");
  EXPECT_EQ(count("SELECT host FROM urls"), host_id_of_name("10.0.0.1"));
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].url, "http://10.0.0.1/plain");
}

TEST_F(RecorderTest, DirectRequestToAnUnresolvableNameIsStillRecorded) {
  // The name service knows neither the name nor the addresses.
  EXPECT_EQ(send(kClient, kServer, "intranet.local", "/wiki"), 1);
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 1);
  EXPECT_EQ(count("SELECT host FROM urls"), host_id_of_name("10.0.0.1"));
  EXPECT_EQ(sql_text(*reader, "SELECT hostname_used FROM url_hist"), "intranet.local");
  EXPECT_EQ(recorder->stats().given_up, 0u);
}

TEST_F(RecorderTest, ProxiedRequestToAnUnresolvableNameIsKeptUnderThatName) {
  EXPECT_EQ(send(kClient, kProxy, "internal.corp", "http://internal.corp:8080/x"), 1);
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 1);
  const std::int64_t id = host_id_of_name("internal.corp");
  ASSERT_GT(id, 0);
  EXPECT_EQ(sql_text(*reader, "SELECT addr FROM host_cache WHERE name = 'internal.corp'"), "");
  EXPECT_EQ(count("SELECT host FROM urls"), id);
  EXPECT_EQ(count("SELECT port FROM urls"), 8080);
  std::string text;
  db_url_text(*reader, static_cast<std::int32_t>(count("SELECT url_id FROM urls")), text);
  EXPECT_EQ(text, "http://internal.corp:8080/x");
  // A second request for it reuses the row.
  send(kClient, kProxy, "internal.corp", "http://internal.corp:8080/x");
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM host_cache WHERE name = 'internal.corp'"), 1);
  EXPECT_EQ(count("SELECT ref_count FROM urls"), 2);
}

// One site on two ports is two URLs, directly or through a proxy; the
// scheme's own port, named or not, is the same URL.
TEST_F(RecorderTest, ThePortTheClientNamedTellsUrlsApart) {
  // Direct requests as the sniffer hands them over: the "Host:" field's
  // port beside its name.
  const struct {
    const std::uint8_t* server;
    const char* host;
    std::uint16_t port;
    const char* target;
  } requests[] = {
      {kServer, "10.0.0.1", 0, "/index.html"},    {kServer, "10.0.0.1", 80, "/index.html"},
      {kServer, "10.0.0.1", 8000, "/index.html"}, {kProxy, "x", 0, "http://internal.corp:8080/x"},
      {kProxy, "x", 0, "http://internal.corp/x"}, {kProxy, "x", 0, "http://internal.corp:80/x"},
  };
  for (const auto& r : requests) {
    EXPECT_EQ(
        recorder->record_request_at_port(counters, NetAddress::ipv4(kClient), NetAddress::ipv4(r.server),
                                         r.host, r.port, r.target, kNoCaptureTime),
        1)
        << r.target;
  }
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 6);
  EXPECT_EQ(
      sql_text(*reader,
               "SELECT group_concat(u, ', ') FROM (SELECT urlpath || ':' || port || ' x' || ref_count AS u "
               "FROM urls ORDER BY urlpath, port)"),
      "/index.html:0 x2, /index.html:8000 x1, /x:0 x2, /x:8080 x1");
}

// Requests between IPv6 hosts, each shape of them, end as rows under hosts
// stored by their IPv6 addresses, and are announced with them.
TEST_F(RecorderTest, Ipv6RequestsAreStoredUnderTheirIpv6Hosts) {
  auto six = [](const char* text) { return NetAddress::parse(kAddrIpv6, text); };
  const std::array<std::uint8_t, 16> named{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  ns.answer_ipv6(named, reply("six.example", {}, {}));
  struct Case {
    const char* client;
    const char* server;
    const char* host;  // null: no Host header; "tls": a TLS server name
    const char* target;
    const char* url;         // announced
    const char* url_host;    // the name of the URL's host row
    const char* server_row;  // the name of the access's server row
  } cases[] = {
      {"fd00::2", "2001:db8::1", nullptr, "/plain", "http://six.example/plain", "six.example", "six.example"},
      {"fd00::2", "2001:db8::9", "2001:db8::9", "/a", "http://[2001:db8::9]/a", "2001:db8::9", "2001:db8::9"},
      {"fd00::2", "fd00::3", "fd00::7", "http://[fd00::7]:8080/p", "http://[fd00::7]:8080/p", "fd00::7",
       "fd00::3"},
      {"fd00::4", "2001:db8::1", "tls", "secure.example", "https://secure.example/", "six.example",
       "six.example"},
  };
  for (const Case& c : cases) {
    const bool tls = c.host != nullptr && std::string(c.host) == "tls";
    const int sent =
        tls ? recorder->record_server_name(counters, six(c.client), six(c.server), c.target, 1700000000)
            : recorder->record_request(counters, six(c.client), six(c.server), c.host, c.target);
    EXPECT_EQ(sent, 1) << c.target;
  }
  // Addresses that name no host are no request.
  const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  EXPECT_EQ(recorder->record_request(counters, NetAddress::ether(mac), six("fd00::3"), nullptr, "/"), -1);
  settle();

  const auto seen = log.all();
  ASSERT_EQ(seen.size(), std::size(cases));
  auto name_of = [&](std::int64_t id) {
    return sql_text(*reader, ("SELECT name FROM host_cache WHERE host_id = " + std::to_string(id)).c_str());
  };
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.url);
    EXPECT_EQ(seen[i].url, c.url);
    EXPECT_EQ(netaddr_text(seen[i].client), c.client);
    EXPECT_EQ(netaddr_text(seen[i].server), c.server);
    const std::string row = " FROM url_hist WHERE url_hist_id = " + std::to_string(seen[i].url_hist_id);
    const std::int64_t client = count(("SELECT client" + row).c_str());
    EXPECT_EQ(
        sql_text(*reader, ("SELECT addr FROM host_cache WHERE host_id = " + std::to_string(client)).c_str()),
        c.client);
    EXPECT_EQ(name_of(count(("SELECT server" + row).c_str())), c.server_row);
    EXPECT_EQ(name_of(count(("SELECT u.host FROM urls u JOIN url_hist h ON h.url_id = u.url_id"
                             " WHERE h.url_hist_id = " +
                             std::to_string(seen[i].url_hist_id))
                                .c_str())),
              c.url_host);
  }
  EXPECT_EQ(RequestLogPrinter::format(seen[2]).substr(20),
            "fd00::2 -> fd00::3 http://[fd00::7]:8080/p proxy");
  EXPECT_EQ(recorder->stats().unusable, 1u);
  EXPECT_EQ(recorder->stats().dropped(), 0u);
  EXPECT_EQ(sql_text(*reader, "PRAGMA integrity_check"), "ok");
}

TEST_F(RecorderTest, BotchedTargetsAreCountedAndDropped) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(send(kClient, kServer, "h", "news:comp.lang"), -1);
  EXPECT_EQ(send(kClient, kServer, "h", "http://"), -1);
  ::testing::internal::GetCapturedStderr();
  settle();
  EXPECT_EQ(counters.seen.load(), 2u);
  EXPECT_EQ(counters.proxied.load(), 2u);
  EXPECT_EQ(count("SELECT count(*) FROM urls"), 0);
  EXPECT_TRUE(log.all().empty());
  // Not requests that were lost: nothing the store could have kept.
  EXPECT_EQ(recorder->stats().unusable, 2u);
  EXPECT_EQ(recorder->stats().dropped(), 0u);
}

TEST_F(RecorderTest, SniffedSegmentsReachTheDatabaseThroughTheSniffer) {
  ns.answer_name("shop.example", reply("shop.example", {}, {ip(10, 0, 0, 1)}));
  HttpSniffer sniffer(*recorder);
  const std::string hostile_path = "/q?name=O'Brien;\"x\"--%00\xc3\xa9";
  auto seg = testing_support::tcp_segment(50000, 80,
                                          "GET " + hostile_path + " HTTP/1.1\r\nHost: shop.example\r\n\r\n");
  sniffer.handle_segment(seg.data(), seg.size(), seg.size(), kClient, kServer, counters);
  settle();
  EXPECT_EQ(sql_text(*reader, "SELECT urlpath FROM urls"), hostile_path);
  EXPECT_EQ(sql_text(*reader, "PRAGMA integrity_check"), "ok");
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, hostile_path);
}

// Hostile "Host:" values and URL hosts, sniffed from segments: stored as
// seen or cut at their documented lengths, nothing else disturbed. (A blank
// ends a value on the wire, so none of them holds one.)
TEST_F(RecorderTest, HostileHostValuesFromTheWireAreStoredAsSeenOrCut) {
  HttpSniffer sniffer(*recorder);
  const std::vector<std::string> hosts = {
      "o'hara.example",   "\"quoted\".example",    "a';DROP/**/TABLE/**/url_hist;--",
      "caf\xc3\xa9.\xff", std::string(10240, 'L'),
  };
  for (const std::string& h : hosts) {
    auto direct = testing_support::tcp_segment(50000, 80, "GET /d HTTP/1.1\r\nHost: " + h + "\r\n\r\n");
    sniffer.handle_segment(direct.data(), direct.size(), direct.size(), kClient, kServer, counters);
    auto proxied =
        testing_support::tcp_segment(50001, 3128, "GET http://" + h + "/p HTTP/1.1\r\nHost: x\r\n\r\n");
    sniffer.handle_segment(proxied.data(), proxied.size(), proxied.size(), kClient, kProxy, counters);
  }
  // A NUL inside the header block ends it: no host name at all.
  const std::string with_nul("GET /n HTTP/1.1\r\nHost: before\0after\r\n\r\n", 39);
  auto nul = testing_support::tcp_segment(50002, 80, with_nul);
  sniffer.handle_segment(nul.data(), nul.size(), nul.size(), kClient, kServer, counters);
  settle();

  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 2 * static_cast<std::int64_t>(hosts.size()) + 1);
  for (const std::string& h : hosts) {
    auto st =
        reader->connection().prepare("SELECT count(*) FROM url_hist WHERE hostname_used = ? AND cached = 0");
    st->bind_text(1, h.substr(0, kHostnameUsedColumn));
    ASSERT_EQ(st->step(), StepResult::kRow);
    EXPECT_EQ(st->column_int(1), 1) << h.substr(0, 30);
    // The URL host of the proxied request names a host row of its own (no
    // name service answers these), cut to the name column.
    UrlParts parts;
    ASSERT_TRUE(db_urls_parse("http://" + h.substr(0, kHttpTargetMax) + "/p", parts));
    EXPECT_GT(host_id_of_name(std::string(parts.host).substr(0, kHostNameColumn)), 0) << h.substr(0, 30);
  }
  EXPECT_EQ(count("SELECT count(*) FROM url_hist WHERE hostname_used = 'before'"), 1);
  EXPECT_EQ(sql_text(*reader, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(count("SELECT count(DISTINCT host) FROM urls WHERE urlpath = '/d'"), 1) << "all under 10.0.0.1";
  EXPECT_EQ(count("SELECT count(*) FROM urls WHERE urlpath = '/d'"), static_cast<std::int64_t>(hosts.size()))
      << "each value a site of its own";
}

TEST_F(RecorderTest, FinishIsBoundedAndTellsWhatIsLeft) {
  ns.close_gate();
  send(kClient, kServer, "slow.example", "/");
  ns.wait_until_held();
  EXPECT_GE(recorder->finish(std::chrono::milliseconds(50)), 1);
  ns.open_gate();
  settle();
  // The parked count falls when the resolver and the store thread have both
  // let go of the request, which may be a moment after it was written.
  wait_unparked();
  EXPECT_EQ(recorder->parked(), 0);
}

TEST_F(RecorderTest, AtTheStopWhatIsStillParkedIsWrittenWithWhatIsKnown) {
  ns.close_gate();
  send(kClient, kServer, "slow.example", "/");
  ns.wait_until_held();
  std::FILE* report = std::tmpfile();
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(db_urls_finish(*recorder, std::chrono::milliseconds(20), report), 0);
  EXPECT_EQ(std::ftell(report), 0) << "nothing was left unrecorded";
  std::fclose(report);
  ns.open_gate();
  cache->wait_idle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 1);
  EXPECT_EQ(sql_text(*reader, "SELECT hostname_used FROM url_hist"), "slow.example");
  EXPECT_EQ(count("SELECT server FROM url_hist"), host_id_of_name("10.0.0.1"));
  EXPECT_EQ(log.all().size(), 1u);
  EXPECT_EQ(recorder->stats().recorded, 1u);
  wait_unparked();
  EXPECT_EQ(recorder->parked(), 0) << "an answer after the stop releases the parked request";
}

TEST_F(RecorderTest, ManyRequestsKeepTheirOrder) {
  ns.answer_name("www.example", reply("www.example", {}, {ip(10, 0, 0, 1)}));
  for (int i = 0; i < 500; ++i) {
    const std::string target = "/page" + std::to_string(i % 50);
    send(kClient, kServer, "www.example", target.c_str());
  }
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 500);
  EXPECT_EQ(count("SELECT count(*) FROM urls"), 50);
  EXPECT_EQ(count("SELECT sum(ref_count) FROM urls"), 500);
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 500u);
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1].url_hist_id, seen[i].url_hist_id);
  EXPECT_EQ(recorder->stats().recorded, 500u);
}

// A request whose names are all known overtakes nothing: it waits for an
// earlier one that is still with the resolver.
using Paths = std::vector<std::string>;
class HeldBehindTest : public RecorderTest {
 protected:
  void SetUp() override {}
  // "/first" written, "/slow" held in the resolver, "/quick" waiting for it.
  void hold() {
    open(UrlRecorder::Options());
    ns.answer_name("known.example", reply("known.example", {}, {ip(10, 0, 0, 1)}));
    send(kClient, kServer, "known.example", "/first");
    settle();
    ns.close_gate();
    send(kClient, kOther, "slow.example", "/slow");
    ns.wait_until_held();
    quick("/quick");
  }
  // Sent, and held behind the slow one.
  void quick(const char* target) {
    const int before = recorder->held();
    send(kClient, kServer, "known.example", target);
    for (int i = 0; i < 1000 && recorder->held() == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(recorder->held(), before + 1) << "not held behind the slow one";
  }
  Paths paths_in_order() {
    Paths out;
    auto st = reader->connection().prepare(
        "SELECT u.urlpath FROM url_hist h JOIN urls u USING (url_id) ORDER BY h.url_hist_id");
    while (st->step() == StepResult::kRow) out.emplace_back(st->column_text(1));
    return out;
  }
};

TEST_F(HeldBehindTest, ALaterRequestIsWrittenAfterTheOneBeforeIt) {
  ASSERT_NO_FATAL_FAILURE(hold());
  EXPECT_EQ(paths_in_order(), Paths{"/first"});
  EXPECT_EQ(log.all().size(), 1u);
  ns.open_gate();
  settle();
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/slow", "/quick"}));
  auto seen = log.all();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].target, "/slow");
  EXPECT_EQ(seen[2].target, "/quick");
}

TEST_F(HeldBehindTest, AtTheStopTheUnansweredOneIsWrittenInItsTurn) {
  ASSERT_NO_FATAL_FAILURE(hold());
  EXPECT_EQ(db_urls_finish(*recorder, std::chrono::milliseconds(20), nullptr), 0);
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/slow", "/quick"}));
  ns.open_gate();
  cache->wait_idle();
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/slow", "/quick"})) << "the late answer writes nothing twice";
}

TEST_F(HeldBehindTest, NoLongerWaitForANameThanTheBound) {
  UrlRecorder::Options o;
  o.name_wait = std::chrono::milliseconds(30);
  open(o);
  ns.answer_name("known.example", reply("known.example", {}, {ip(10, 0, 0, 1)}));
  send(kClient, kServer, "known.example", "/first");
  settle();
  ns.close_gate();
  send(kClient, kOther, "slow.example", "/slow");
  ns.wait_until_held();
  send(kClient, kServer, "known.example", "/quick");
  settle();  // while the name service still holds the look-up
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/slow", "/quick"}));
  EXPECT_EQ(count("SELECT server FROM url_hist WHERE hostname_used = 'slow.example'"),
            host_id_of_name("10.0.0.4"));
  ns.open_gate();
  cache->wait_idle();
  settle();
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/slow", "/quick"}));
  EXPECT_EQ(log.all().size(), 3u);
}

TEST_F(RecorderTest, UrlAddByNameWaitsForTheResolver) {
  ns.answer_name("alarm.example", reply("alarm.example", {}, {ip(10, 1, 1, 1)}));
  auto s = db_open_session(path, cache.get());
  HostCacheRequestDescriptor d;
  d.kind = kHostcByName;
  d.name = "alarm.example";
  const std::int32_t u = db_urls_add_by_name(*s, *cache, &d, "/watch", kSchemeHttp, 0);
  EXPECT_GT(u, 0);
  EXPECT_EQ(db_urls_add_by_name(*s, *cache, &d, "/watch", kSchemeHttp, 0), u);
  d.name = "nowhere.example";
  EXPECT_EQ(db_urls_add_by_name(*s, *cache, &d, "/", kSchemeHttp, 0), 0);
  d.kind = kHostcByIpv4;
  EXPECT_EQ(db_urls_add_by_name(*s, *cache, &d, "/", kSchemeHttp, 0), 0);
  EXPECT_EQ(db_urls_add_by_name(*s, *cache, nullptr, "/", kSchemeHttp, 0), 0);
}

class BoundedRecorderTest : public RecorderTest {
 protected:
  void SetUp() override {
    UrlRecorder::Options o;
    o.max_queued = 2;
    o.batch_max = 1;
    open(o, false);
  }
};

TEST_F(BoundedRecorderTest, AFullQueueRefusesAndCountsInsteadOfGrowing) {
  ::testing::internal::CaptureStderr();
  for (const char* target : {"/1", "/2", "/3", "/4"}) send(kClient, kServer, nullptr, target);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(recorder->stats().dropped_full, 2u);
  // Said once when it starts, never silent, never once per request.
  EXPECT_EQ(err,
            "db_urls_record_access: more than 2 HTTP requests on their way to the database; further ones "
            "are counted and not recorded\n");
  EXPECT_EQ(counters.seen.load(), 4u);
  recorder->start();
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 2);
}

// A file can wait: its reader is held while too many requests are on their
// way, and nothing is lost.
class BlockingRecorderTest : public RecorderTest {
 protected:
  void SetUp() override {
    UrlRecorder::Options o;
    o.max_queued = 2;
    o.block_when_full = true;
    open(o);
  }
};

TEST_F(BlockingRecorderTest, WhenFullASenderThatCanWaitWaitsAndLosesNothing) {
  ns.close_gate();
  send(kClient, kServer, "a.example", "/1");
  send(kClient, kServer, "b.example", "/2");
  auto third = std::async(std::launch::async, [&] { return send(kClient, kServer, "c.example", "/3"); });
  EXPECT_EQ(third.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "the sender did not wait for room";
  ns.open_gate();
  EXPECT_EQ(third.get(), 1);
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 3);
  EXPECT_EQ(recorder->stats().dropped_full, 0u);
}

TEST_F(RecorderTest, NamesThatAreNotHostNamesAreNeverLookedUp) {
  for (const char* host : {"anything attacker.example", "-x.example", "a..b", "\x1b[2J.example"})
    send(kClient, kServer, host, "/");
  send(kClient, kProxy, nullptr, "http://bad_name.example/p");
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 5);
  for (const char* host :
       {"anything attacker.example", "-x.example", "a..b", "\x1b[2J.example", "bad_name.example"})
    EXPECT_EQ(ns.name_calls(host), 0) << host;
  EXPECT_EQ(count("SELECT count(DISTINCT server) FROM url_hist WHERE cached = 0"), 1) << "all under 10.0.0.1";
}

// A connection whose commits fail while `failing` is set, like a full disk.
class FailingCommits final : public Connection {
 public:
  FailingCommits(std::unique_ptr<Connection> real, std::atomic<bool>& failing)
      : real_(std::move(real)), failing_(failing) {}
  std::unique_ptr<Statement> prepare(std::string_view sql, Status* status) override {
    return real_->prepare(sql, status);
  }
  Status exec(std::string_view sql) override {
    if (sql == "COMMIT" && failing_) return Status::error(13, "database or disk is full");
    return real_->exec(sql);
  }
  std::int64_t last_insert_id() override { return real_->last_insert_id(); }
  bool in_transaction() override { return real_->in_transaction(); }
  Status savepoint() override { return real_->savepoint(); }
  Status release_savepoint() override { return real_->release_savepoint(); }
  Status rollback_to_savepoint() override { return real_->rollback_to_savepoint(); }

 private:
  std::unique_ptr<Connection> real_;
  std::atomic<bool>& failing_;
};

class FailingStoreTest : public RecorderTest {
 protected:
  void SetUp() override {}
  void open_failing(std::size_t retain_max) {
    path = dir.file("tarnix.db");
    ASSERT_TRUE(db_open_session(path));  // the tables
    ids = std::make_unique<DbHostIdStore>(db_open_session(path));
    cache = std::make_unique<HostCache>(ns, *ids);
    ids->set_names(cache.get());
    cache->start();
    auto writer = std::make_unique<DbSession>(
        std::make_unique<FailingCommits>(sqlite_open(path, {}), failing), cache.get());
    writer->set_sensor(db_sensor_name());
    UrlRecorder::Options o;
    o.retain_max = retain_max;
    o.retry_every = std::chrono::milliseconds(5);
    recorder = std::make_unique<UrlRecorder>(std::move(writer), *cache, o);
    recorder->add_listener(&log);
    recorder->start();
    reader = db_open_session(path);
    ns.answer_name("www.example", reply("www.example", {}, {ip(10, 0, 0, 1)}));
  }
  std::atomic<bool> failing{true};
};

TEST_F(FailingStoreTest, AFailedCommitAnnouncesNothingSaysSoOnceAndIsTriedAgain) {
  ASSERT_NO_FATAL_FAILURE(open_failing(100));
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) send(kClient, kServer, "www.example", "/p");
  for (int i = 0; i < 1000 && recorder->stats().failed < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GE(recorder->stats().failed, 3u) << "tried again while failing";
  EXPECT_EQ(recorder->stats().recorded, 0u);
  EXPECT_TRUE(log.all().empty()) << "announced before it was stored";
  failing = false;
  settle();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 3);
  EXPECT_EQ(log.all().size(), 3u);
  EXPECT_EQ(recorder->stats().recorded, 3u);
  EXPECT_EQ(recorder->stats().dropped(), 0u);
  const auto lines = [&](const char* text) {
    std::size_t n = 0;
    for (std::size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(lines("cannot store HTTP requests: database or disk is full"), 1u) << err;
  EXPECT_EQ(lines("storing HTTP requests again"), 1u) << err;
}

TEST_F(FailingStoreTest, WhatTheStoreNeverTookIsCountedAsLostAndSaidAtTheEnd) {
  ASSERT_NO_FATAL_FAILURE(open_failing(2));
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) send(kClient, kServer, "www.example", "/p");
  std::FILE* report = std::tmpfile();
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(db_urls_finish(*recorder, std::chrono::milliseconds(50), report), 5);
  ::testing::internal::GetCapturedStderr();
  std::rewind(report);
  char line[128] = "";
  ASSERT_NE(std::fgets(line, sizeof line, report), nullptr);
  EXPECT_STREQ(line, "db_urls_finish: 5 HTTP requests left unrecorded\n");
  std::fclose(report);
  const UrlRecorderStats st = recorder->stats();
  EXPECT_EQ(st.store_failed, 5u);
  EXPECT_EQ(st.seen, 5u);
  EXPECT_EQ(st.recorded, 0u);
  EXPECT_TRUE(log.all().empty());
}

// An id store that could not write (its own connection found the disk
// full): the hosts get their rows with the access instead.
class NoIdStore final : public HostIdStore {
 public:
  std::int32_t find_id(const std::string&, const NetAddress&) override { return 0; }
  std::int32_t store(const HostCacheEntry&) override { return 0; }
};

TEST_F(FailingStoreTest, HostsWhoseIdsCouldNotBeStoredAreWrittenWithTheAccess) {
  path = dir.file("tarnix.db");
  NoIdStore no_ids;
  cache = std::make_unique<HostCache>(ns, no_ids);
  cache->start();
  recorder = std::make_unique<UrlRecorder>(db_open_session(path, cache.get()), *cache);
  recorder->start();
  reader = db_open_session(path);
  send(kClient, kServer, nullptr, "/a");
  send(kClient, kProxy, nullptr, "http://nowhere.example/b");
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 2);
  EXPECT_EQ(count("SELECT count(*) FROM url_hist h JOIN host_cache c ON c.host_id = h.client"), 2);
  EXPECT_EQ(count("SELECT count(*) FROM urls u JOIN host_cache c ON c.host_id = u.host"), 2);
  EXPECT_EQ(recorder->stats().dropped(), 0u);
  recorder->stop();
  cache->stop();
}

}  // namespace
}  // namespace tarnix
