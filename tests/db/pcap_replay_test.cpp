// Real traffic: a capture of curl asking a web server directly and through
// tinyproxy (made by the end-to-end script's network namespaces), replayed
// frame by frame through the sniffer and the recorder into a fresh database.
// Its TCP headers carry timestamp options, as every modern stack sends them.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>

#include "db/recorder.h"
#include "db_test_support.h"
#include "naming/fake_name_service.h"

namespace tarnix {
namespace {

using testing_support::ip;
using testing_support::reply;
using testing_support::sql_int;
using testing_support::sql_text;

TEST(PcapReplay, CurlAndTinyproxyRequestsAreRecorded) {
  testing_support::TempDir dir;
  const std::string path = dir.file("tarnix.db");
  testing_support::FakeNameService ns;
  ns.answer_name("www.e2e.test", reply("www.e2e.test", {}, {ip(10, 77, 0, 1)}));
  ns.answer_address(ip(10, 77, 0, 1), reply("www.e2e.test", {}, {ip(10, 77, 0, 1)}));
  ns.answer_address(ip(10, 77, 0, 2), reply("client.e2e.test", {}, {ip(10, 77, 0, 2)}));
  ns.answer_address(ip(10, 77, 0, 3), reply("proxy.e2e.test", {}, {ip(10, 77, 0, 3)}));
  DbHostIdStore ids(db_open_session(path));
  HostCache cache(ns, ids);
  ids.set_names(&cache);
  cache.start();
  UrlRecorder recorder(db_open_session(path, &cache), cache);
  recorder.start();
  HttpSniffer sniffer(recorder);
  UrlCounters counters;

  char err[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = pcap_open_offline(TARNIX_SOURCE_DIR "/tests/db/data/curl_tinyproxy.pcap", err);
  ASSERT_NE(p, nullptr) << err;
  pcap_pkthdr* h = nullptr;
  const u_char* d = nullptr;
  int frames = 0;
  while (pcap_next_ex(p, &h, &d) == 1) {
    ++frames;
    if (h->caplen < 34 || d[12] != 0x08 || d[13] != 0x00 || d[23] != 6) continue;
    const std::size_t ihl = static_cast<std::size_t>(d[14] & 0x0f) * 4;
    if (h->caplen < 14 + ihl) continue;
    sniffer.handle_segment(d + 14 + ihl, h->caplen - 14 - ihl, h->len - 14 - ihl, d + 26, d + 30, counters);
  }
  pcap_close(p);
  EXPECT_GT(frames, 50);
  ASSERT_EQ(recorder.finish(std::chrono::seconds(10)), 0);
  recorder.stop();
  cache.stop();

  EXPECT_EQ(counters.seen.load(), 5u);
  EXPECT_EQ(counters.direct.load(), 3u);
  EXPECT_EQ(counters.proxied.load(), 2u);
  EXPECT_TRUE(sniffer.ports().contains(8888)) << "the proxy's port was learned";

  auto s = db_open_session(path);
  ASSERT_TRUE(s);
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM url_hist"), 5);
  EXPECT_EQ(sql_int(*s, "SELECT ref_count FROM urls WHERE urlpath = '/index.html'"), 2);
  // Asked for once by the server's address and once by its name: two sites.
  EXPECT_EQ(sql_int(*s, "SELECT count(*) FROM urls WHERE urlpath = '/p.html' AND ref_count = 1"), 2);
  EXPECT_EQ(sql_int(*s,
                    "SELECT count(*) FROM url_hist h, host_cache c WHERE h.server = c.host_id AND "
                    "c.name = 'proxy.e2e.test' AND h.cached = 1"),
            2);
  EXPECT_EQ(sql_int(*s,
                    "SELECT count(*) FROM url_hist h, host_cache c WHERE h.client = c.host_id AND "
                    "c.name = 'client.e2e.test'"),
            5);
  EXPECT_EQ(sql_text(*s, "SELECT addr FROM host_cache WHERE name = 'nowhere.invalid'"), "");
  EXPECT_EQ(sql_int(*s, "SELECT port FROM urls WHERE urlpath = '/x''y'"), 8080);
}

}  // namespace
}  // namespace tarnix
