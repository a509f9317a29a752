#include "sniff/http.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/wire_text.h"
#include "naming/netaddr.h"
#include "sniff/segments.h"

namespace tarnix {
namespace {

using testing_support::tcp_segment;

struct Call {
  std::string client, server;
  std::optional<std::string> host;
  std::string target;
  std::int64_t seen_at = 0;
};

class CollectingSink : public HttpRequestSink {
 public:
  int record_request_at_port(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                             const char* host_name, std::uint16_t host_port, const char* target,
                             std::int64_t seen_at) override {
    ports.push_back(host_port);
    return record_request(counters, client, server, host_name, target, seen_at);
  }
  int record_request(UrlCounters&, const NetAddress& client, const NetAddress& server, const char* host_name,
                     const char* target, std::int64_t seen_at) override {
    Call c;
    c.seen_at = seen_at;
    c.client = netaddr_text(client);
    c.server = netaddr_text(server);
    if (host_name != nullptr) c.host = host_name;
    c.target = target;
    calls.push_back(c);
    return 1;
  }
  std::vector<Call> calls;
  std::vector<std::uint16_t> ports;
};

const std::uint8_t kClient[4] = {10, 0, 0, 2};
const std::uint8_t kServer[4] = {10, 0, 0, 1};

class SnifferTest : public ::testing::Test {
 protected:
  // Both steps, as the frame handler runs them; returns what is_request said.
  int feed(std::string_view payload, std::uint16_t sport = 40000, std::uint16_t dport = 80,
           int options = 12) {
    auto seg = tcp_segment(sport, dport, payload, options);
    const bool accepted = sniffer.is_request(seg.data(), seg.size());
    if (accepted) sniffer.parse_request(seg.data(), seg.size(), seg.size(), kClient, kServer, counters);
    return accepted;
  }
  CollectingSink sink;
  HttpSniffer sniffer{sink};
  UrlCounters counters;
};

// Segments through both steps: whether the port table's check takes them
// for a request, and what request, if any, reaches the sink.
TEST_F(SnifferTest, WhatEachRequestLineHandsOver) {
  struct RequestCase {
    std::string name;
    std::string payload;
    std::uint16_t dport;
    int options;  // bytes of TCP options
    int accepted;
    std::optional<std::string> target;  // none: nothing reaches the sink
    std::optional<std::string> host;
  };
  const std::string plain = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  std::vector<RequestCase> cases = {
      {"host with a port", "GET /index.html HTTP/1.0\r\nHost: web.example:8080\r\n\r\n", 80, 12, 1,
       "/index.html", "web.example"},
      {"no tcp options", plain, 80, 0, 1, "/a", "h"},
      {"the timestamp options of modern stacks", plain, 80, 12, 1, "/a", "h"},
      {"the most tcp options", plain, 80, 40, 1, "/a", "h"},
      {"absolute target for a proxy, passed as it stands",
       "GET http://a.example:81/x HTTP/1.0\r\nHost: a.example:81\r\n\r\n", 3128, 12, 1,
       "http://a.example:81/x", "a.example"},
      {"nul where the target starts", std::string("GET \0 HTTP/1.0\r\nHost: h\r\n\r\n", 27), 80, 12, 1, "",
       "h"},
      {"no version", "GET /x\r\nHost: h\r\n\r\n", 80, 12, 1, std::nullopt, std::nullopt},
      {"cut at '>', no version there", "GET /a>b HTTP/1.0\r\nHost: h\r\n\r\n", 80, 12, 1, std::nullopt,
       std::nullopt},
      {"the version word is case-sensitive", "GET /x http/1.0\r\n\r\n", 80, 12, 1, std::nullopt,
       std::nullopt},
      {"another protocol's version", "GET /x FTP/1.0\r\n\r\n", 80, 12, 1, std::nullopt, std::nullopt},
      {"the method is case-sensitive", "get / HTTP/1.0\r\n", 80, 12, 0, std::nullopt, std::nullopt},
      {"a method cut by the capture", "OPTIO", 80, 12, 0, std::nullopt, std::nullopt},
      {"a response", "HTTP/1.1 200 OK\r\n", 80, 12, 0, std::nullopt, std::nullopt},
      {"no payload", "", 80, 12, 0, std::nullopt, std::nullopt},
  };
  for (const char* m : {"GET", "HEAD", "POST", "PUT", "OPTIONS", "DELETE", "TRACE"})
    cases.push_back({m, std::string(m) + " /x HTTP/1.1\r\n\r\n", 80, 12, 1, "/x", std::nullopt});
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    sink.calls.clear();
    EXPECT_EQ(feed(c.payload, 40000, c.dport, c.options), c.accepted);
    if (!c.target) {
      EXPECT_TRUE(sink.calls.empty());
      continue;
    }
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].target, *c.target);
    EXPECT_EQ(sink.calls[0].host, c.host);
    EXPECT_EQ(sink.calls[0].client, "10.0.0.2");
    EXPECT_EQ(sink.calls[0].server, "10.0.0.1");
  }
}

// The port after the host goes to the sink beside the name, never in it;
// anything that is no port is none.
TEST_F(SnifferTest, TheHostFieldsPortGoesBesideTheName) {
  const struct {
    const char* host;
    const char* name;
    std::uint16_t port;
  } cases[] = {
      {"web.example:8080", "web.example", 8080}, {"web.example", "web.example", 0},
      {"[fd00::2]:8080", "fd00::2", 8080},       {"[fd00::2]", "fd00::2", 0},
      {"10.0.0.1:65535", "10.0.0.1", 65535},     {"10.0.0.1:65536", "10.0.0.1", 0},
      {"10.0.0.1:80x", "10.0.0.1", 0},           {"10.0.0.1:", "10.0.0.1", 0},
      {"10.0.0.1:0000080", "10.0.0.1", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    sink.calls.clear();
    sink.ports.clear();
    ASSERT_EQ(feed(std::string("GET / HTTP/1.1\r\nHost: ") + c.host + "\r\n\r\n"), 1);
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].host, c.name);
    EXPECT_EQ(sink.ports[0], c.port);
  }
}

TEST_F(SnifferTest, ImpossibleDataOffsetsAreRejected) {
  auto seg = tcp_segment(40000, 80, "GET / HTTP/1.0\r\n\r\n", 0);
  seg[12] = 4 << 4;  // 16 bytes: shorter than a TCP header
  EXPECT_FALSE(sniffer.is_request(seg.data(), seg.size()));
  seg[12] = 15 << 4;  // 60 bytes of header, but the segment is shorter than that
  auto tiny = tcp_segment(40000, 80, "GET", 0);
  tiny[12] = 15 << 4;
  EXPECT_FALSE(sniffer.is_request(tiny.data(), tiny.size()));
  EXPECT_FALSE(sniffer.is_request(seg.data(), 10));  // header itself cut short
  HttpPortTable ports;
  EXPECT_FALSE(http_is_request(nullptr, 0, ports));
}

// A method word is known by its letters alone, whatever follows them.
TEST(HttpMethod, MatchesTheWordAtTheStartOfALongerOne) {
  int len = 0;
  const std::string getx = "GETX /";
  EXPECT_EQ(http_method_match(reinterpret_cast<const std::uint8_t*>(getx.data()),
                              reinterpret_cast<const std::uint8_t*>(getx.data()) + getx.size(), &len),
            1);
  EXPECT_EQ(len, 3);
}

TEST_F(SnifferTest, OnlyTheHeaderSectionsOwnHostFieldCountsInAnyCase) {
  struct Case {
    std::string payload;
    std::optional<std::string> host;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nhost: lower.example\r\n\r\n", "lower.example"},
      {"GET / HTTP/1.1\r\nHOST: upper.example\r\n\r\n", "upper.example"},
      {"GET / HTTP/1.1\r\nUser-Agent: x\r\n\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\nHost:    spaced.example\r\n\r\n", "spaced.example"},
      {"GET / HTTP/1.1\r\nHost:\ttabbed.example\r\n\r\n", "tabbed.example"},
      {"GET / HTTP/1.1\nHost: bare-lf.example\n\n", "bare-lf.example"},
      {"GET / HTTP/1.1\r\nHost: end.example", "end.example"},  // header cut by the segment's end
      {std::string("GET / HTTP/1.1\r\n\0Host: after.nul\r\n\r\n", 36), std::nullopt},
      {"GET / HTTP/1.1\r\nX-Forwarded-Host: evil.test\r\nHost: good.test\r\n\r\n", "good.test"},
      {"GET / HTTP/1.1\r\nX-Forwarded-Host: evil.test\r\n\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\nReferer: http://x/?Host: evil.test\r\n\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\nX: 1\r\n Host: folded.test\r\n\r\n", std::nullopt},
      {"POST / HTTP/1.1\r\nUser-Agent: x\r\n\r\nHost: body.test\r\n", std::nullopt},
      {"GET /Host: HTTP/1.1\r\n\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\nHost: first.test\r\nHost: second.test\r\n\r\n", "first.test"},
      {"GET / HTTP/1.1\r\nHost : spaced-name.test\r\n\r\n", std::nullopt},
      // An IPv6 literal keeps its colons; the port after its bracket goes.
      {"GET / HTTP/1.1\r\nHost: [fd00::5]:8080\r\n\r\n", "fd00::5"},
      {"GET / HTTP/1.1\r\nHost: [fd00::5]\r\n\r\n", "fd00::5"},
      {"GET / HTTP/1.1\r\nHost: [fd00::5\r\n\r\n", "fd00::5"},
      {"GET / HTTP/1.1\r\nHost: []\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    sink.calls.clear();
    feed(c.payload);
    ASSERT_EQ(sink.calls.size(), 1u) << wire_text(c.payload);
    EXPECT_EQ(sink.calls[0].host, c.host) << wire_text(c.payload);
  }
}

TEST_F(SnifferTest, OverlongTargetAndHostAreCutToTheirBuffers) {
  const std::string long_path = "/" + std::string(5000, 'p');
  const std::string long_host(2000, 'h');
  EXPECT_EQ(feed("GET " + long_path + " HTTP/1.1\r\nHost: " + long_host + "\r\n\r\n"), 1);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].target, long_path.substr(0, kHttpTargetMax));
  EXPECT_EQ(sink.calls[0].host, long_host.substr(0, kHttpHostMax));
}

TEST_F(SnifferTest, ALineCutByTheSegmentsEndIsKeptWithWhatWasSeen) {
  const std::string payload = "GET /abcdef HTTP/1.1\r\nHost: h.example\r\n\r\n";
  auto seg = tcp_segment(40000, 80, payload, 0);
  // Captured only up to the middle of the target; the wire length says more.
  const std::size_t caplen = 20 + 8;
  std::vector<std::uint8_t> cut(seg.begin(), seg.begin() + static_cast<std::ptrdiff_t>(caplen));
  ASSERT_TRUE(sniffer.is_request(cut.data(), cut.size()));
  sniffer.parse_request(cut.data(), cut.size(), seg.size(), kClient, kServer, counters);
  // A wire length shorter than the capture (trailer padding) bounds it too:
  // cut inside the version word.
  sniffer.parse_request(seg.data(), seg.size(), 20 + 14, kClient, kServer, counters);
  ASSERT_EQ(sink.calls.size(), 2u);
  EXPECT_EQ(sink.calls[0].target, "/abc");
  EXPECT_EQ(sink.calls[1].target, "/abcdef");
  EXPECT_FALSE(sink.calls[0].host.has_value());
  EXPECT_FALSE(sink.calls[1].host.has_value());
}

TEST_F(SnifferTest, TheFramesCaptureTimeReachesTheSink) {
  auto seg = tcp_segment(40000, 80, "GET / HTTP/1.0\r\n\r\n", 0);
  sniffer.handle_segment(seg.data(), seg.size(), seg.size(), kClient, kServer, counters, 1000000123);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].seen_at, 1000000123);
}

TEST(HttpPortTable, LearnsTheDestinationPortOfAcceptedRequestsOnUnknownPorts) {
  HttpPortTable ports;
  ASSERT_EQ(ports.count(), 4);
  EXPECT_EQ(ports.port(0), 80);
  EXPECT_EQ(ports.port(1), 8000);
  EXPECT_EQ(ports.port(2), 8080);
  EXPECT_EQ(ports.port(3), 81);

  auto seg = tcp_segment(40000, 3128, "GET http://a.example/ HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(http_is_request(seg.data(), seg.size(), ports));
  EXPECT_EQ(ports.count(), 5);
  EXPECT_EQ(ports.port(4), 3128);
  EXPECT_TRUE(http_is_request(seg.data(), seg.size(), ports));
  EXPECT_EQ(ports.count(), 5) << "a known port is not learned twice";

  // A known source port is enough; nothing is learned then.
  auto reply_side = tcp_segment(8080, 50000, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(http_is_request(reply_side.data(), reply_side.size(), ports));
  EXPECT_EQ(ports.count(), 5);

  // Something else than a request teaches nothing.
  auto data = tcp_segment(40000, 9999, "\x16\x03\x01 TLS");
  EXPECT_FALSE(http_is_request(data.data(), data.size(), ports));
  EXPECT_EQ(ports.count(), 5);
}

TEST(HttpPortTable, StopsLearningWhenFullButStillAccepts) {
  HttpPortTable ports;
  for (std::uint16_t p = 10000; ports.count() < HttpPortTable::kCapacity; ++p) {
    auto seg = tcp_segment(40000, p, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(http_is_request(seg.data(), seg.size(), ports));
  }
  auto seg = tcp_segment(40000, 60000, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(http_is_request(seg.data(), seg.size(), ports));
  EXPECT_EQ(ports.count(), HttpPortTable::kCapacity);
  EXPECT_FALSE(ports.contains(60000));
}

// Targets split as the URL lists keep them: the origin form, absolute URLs
// of each scheme, ports, and IPv6 literals in brackets, whose host is what
// they hold and whose port only what follows the closing one.
TEST(UrlParse, SplitsATargetIntoSchemeHostPortAndPath) {
  struct UrlCase {
    const char* target;
    int proxy;
    int scheme;
    const char* host;
    std::uint16_t port;
    const char* path;  // nullptr: not looked at
  };
  const UrlCase cases[] = {
      {"/index.html", 0, kSchemeHttp, "", 0, "/index.html"},
      {"http://a.example:81/x", 1, kSchemeHttp, "a.example", 81, "/x"},
      {"http://a.example", 1, kSchemeHttp, "a.example", 0, ""},
      {"FTP://files.example/pub/", 1, kSchemeFtp, "files.example", 0, "/pub/"},
      {"gopher://g.example:70x/1", 1, kSchemeGopher, "g.example", 70, nullptr},  // digits only
      {"http://a.example:/p", 1, kSchemeHttp, "a.example", 0, "/p"},
      {"http://a.example:99999/p", 1, kSchemeHttp, "a.example", 0, nullptr},  // no port number is that large
      // "https" is not taken for "http" and three unchecked characters...
      {"https://a.example:8443/x", 1, kSchemeHttps, "a.example", 8443, "/x"},
      // ...which are skipped after the scheme.
      {"httpXYZhost/p", 1, kSchemeHttp, "host", 0, "/p"},
      {"http:", 1, kSchemeHttp, "", 0, ""},
      {"http://[fd00::5]:8080/x", 1, kSchemeHttp, "fd00::5", 8080, "/x"},
      {"http://[fd00::5]/x", 1, kSchemeHttp, "fd00::5", 0, "/x"},
      {"http://[::ffff:10.0.0.1]", 1, kSchemeHttp, "::ffff:10.0.0.1", 0, ""},
      {"http://[fd00::5]x:81/x", 1, kSchemeHttp, "fd00::5", 0,
       "/x"},  // no colon right after the bracket: no port
      {"http://[fd00::5:81/x", 1, kSchemeHttp, "fd00::5:81", 0, "/x"},  // never closed: all of it is the host
      {"http://[]:80/", 1, kSchemeHttp, "", 80, "/"},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.target);
    UrlParts u;
    EXPECT_TRUE(db_urls_parse(c.target, u));
    EXPECT_EQ(u.proxy, c.proxy);
    EXPECT_EQ(u.scheme, c.scheme);
    EXPECT_STREQ(u.host, c.host);
    EXPECT_EQ(u.port, c.port);
    if (c.path != nullptr) {
      EXPECT_STREQ(u.path, c.path);
    }
  }
}

TEST(UrlParse, UnknownSchemeIsReportedAndRefused) {
  UrlParts u;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(db_urls_parse("news:comp.lang", u));
  EXPECT_FALSE(db_urls_parse("", u));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("db_urls_parse: Seriously botched URL detected (news:comp.lang) - ignoring\n"),
            std::string::npos);
  EXPECT_EQ(u.proxy, 1);
  EXPECT_STREQ(u.host, "");
}

TEST(UrlParse, HostileTargetsAreQuotedSafelyAndAFloodIsHeldBack) {
  UrlParts u;
  ::testing::internal::CaptureStderr();
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J";
  EXPECT_FALSE(db_urls_parse(hostile + std::string(5000, 'A'), u));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find('\x1b'), std::string::npos);
  EXPECT_NE(err.find("(\\x1b]0;owned\\x07\\x1b[2J" + std::string(kWireTextMax - hostile.size(), 'A') +
                     "...) - ignoring\n"),
            std::string::npos)
      << err;
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 100; ++i) db_urls_parse("bogus" + std::to_string(i), u);
  err = ::testing::internal::GetCapturedStderr();
  std::size_t lines = 0;
  for (std::size_t at = err.find("botched"); at != std::string::npos; at = err.find("botched", at + 1))
    ++lines;
  EXPECT_LE(lines, 10u);
}

TEST(UrlParse, LongHostAndPathAreCut) {
  UrlParts u;
  const std::string host(300, 'h');
  const std::string path = "/" + std::string(1000, 'p');
  EXPECT_TRUE(db_urls_parse("http://" + host + path, u));
  EXPECT_EQ(std::string(u.host), host.substr(0, kUrlHostMax));
  EXPECT_EQ(std::string(u.path), path.substr(0, kUrlPathMax));
  EXPECT_TRUE(db_urls_parse(path, u));
  EXPECT_EQ(std::string(u.path), path.substr(0, kUrlPathMax));
}

TEST(UrlScheme, ReverseLookupGivesLowerCaseWords) {
  const char* const words[] = {"file", "ftp", "gopher", "http", "telnet", "", "https"};
  for (int i = 0; i < 7; ++i) EXPECT_STREQ(url_scheme_word(i), words[i]) << i;
  EXPECT_STREQ(url_scheme_word(42), "");
}

}  // namespace
}  // namespace tarnix
