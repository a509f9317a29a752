// The recorder end to end inside the engine: the real name cache and its
// resolver thread (with a scripted name service), the store thread, and a
// real SQLite file read back through a connection of the test's own.
#include "db/recorder.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "db_test_support.h"
#include "naming/fake_name_service.h"

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
    ASSERT_EQ(db_urls_parse("http://" + h.substr(0, kHttpTargetMax) + "/p", parts), 1);
    EXPECT_GT(host_id_of_name(std::string(parts.host).substr(0, kHostNameColumn)), 0) << h.substr(0, 30);
  }
  EXPECT_EQ(count("SELECT count(*) FROM url_hist WHERE hostname_used = 'before'"), 1);
  EXPECT_EQ(sql_text(*reader, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(count("SELECT count(*) FROM urls WHERE urlpath = '/d'"), 1) << "all direct ones under 10.0.0.1";
}

TEST_F(RecorderTest, FinishIsBoundedAndTellsWhatIsLeft) {
  ns.close_gate();
  send(kClient, kServer, "slow.example", "/");
  ns.wait_until_held();
  EXPECT_GE(recorder->finish(std::chrono::milliseconds(50)), 1);
  ns.open_gate();
  settle();
  EXPECT_EQ(recorder->parked(), 0);
}

TEST_F(RecorderTest, FinishingAtExitSaysHowManyWereLeft) {
  ns.close_gate();
  send(kClient, kServer, "slow.example", "/");
  ns.wait_until_held();
  std::FILE* report = std::tmpfile();
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(db_urls_finish(*recorder, std::chrono::milliseconds(20), report), 1);
  std::rewind(report);
  char line[128] = "";
  ASSERT_NE(std::fgets(line, sizeof line, report), nullptr);
  EXPECT_STREQ(line, "db_urls_finish: 1 HTTP request left unrecorded\n");
  std::fclose(report);
  ns.open_gate();
  cache->wait_idle();
  EXPECT_EQ(recorder->parked(), 0) << "an answer after the stop releases the parked request";
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 0);
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
  void hold(std::size_t max_queued = UrlRecorder::Options().max_queued) {
    UrlRecorder::Options o;
    o.max_queued = max_queued;
    open(o);
    ns.answer_name("known.example", reply("known.example", {}, {ip(10, 0, 0, 1)}));
    send(kClient, kServer, "known.example", "/first");
    settle();
    ns.close_gate();
    send(kClient, kOther, "slow.example", "/slow");
    ns.wait_until_held();
    quick("/quick");
  }
  // Sent, and taken from the queue (until then it counts as left).
  void quick(const char* target) {
    send(kClient, kServer, "known.example", target);
    for (int i = 0; i < 1000 && recorder->finish(std::chrono::milliseconds(10)) > 1; ++i) {
    }
    ASSERT_EQ(recorder->finish(std::chrono::milliseconds(0)), 1) << "only the slow one outstanding";
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

TEST_F(HeldBehindTest, WhatWaitsBehindAnUnansweredRequestIsWrittenAtTheStop) {
  ASSERT_NO_FATAL_FAILURE(hold());
  EXPECT_EQ(db_urls_finish(*recorder, std::chrono::milliseconds(20), nullptr), 1);
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/quick"}));
  ns.open_gate();
  cache->wait_idle();
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/quick"}));
}

TEST_F(HeldBehindTest, NoMoreWaitBehindAHangingLookUpThanTheQueueHolds) {
  ASSERT_NO_FATAL_FAILURE(hold(2));
  quick("/q2");
  quick("/q3");
  // A third one waiting is one too many: the slow one is passed over, and
  // with it skipped the rest are in turn.
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/quick", "/q2", "/q3"}));
  ns.open_gate();
  settle();
  EXPECT_EQ(paths_in_order(), (Paths{"/first", "/quick", "/q2", "/q3", "/slow"}));
}

TEST_F(RecorderTest, UrlAddByNameWaitsForTheResolver) {
  ns.answer_name("alarm.example", reply("alarm.example", {}, {ip(10, 1, 1, 1)}));
  auto s = db_open_session(path, cache.get());
  HostcRequestDescriptor d;
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
  send(kClient, kServer, nullptr, "/1");
  send(kClient, kServer, nullptr, "/2");
  send(kClient, kServer, nullptr, "/3");
  EXPECT_EQ(recorder->stats().dropped_full, 1u);
  EXPECT_EQ(counters.seen.load(), 3u);
  recorder->start();
  settle();
  EXPECT_EQ(count("SELECT count(*) FROM url_hist"), 2);
}

}  // namespace
}  // namespace tarnix
