// The TLS server-name sniffer: ClientHellos built to the wire format, segments
// cut, out of order, twice or never, a flood, and real curl handshakes.
#include "sniff/tls.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <fstream>
#include <string>
#include <vector>

#include "sniff/frame_view.h"
#include "sniff/segments.h"

namespace tarnix {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

Bytes ext(std::uint16_t type, const Bytes& body) {
  Bytes e;
  put16(e, type);
  put16(e, body.size());
  e.insert(e.end(), body.begin(), body.end());
  return e;
}

Bytes sni(const std::string& name, std::uint8_t name_type = 0) {
  Bytes list;
  list.push_back(name_type);
  put16(list, name.size());
  list.insert(list.end(), name.begin(), name.end());
  Bytes body;
  put16(body, list.size());
  body.insert(body.end(), list.begin(), list.end());
  return ext(0, body);
}

// A ClientHello handshake message with these extensions, in this order.
Bytes hello(const std::vector<Bytes>& extensions) {
  Bytes body = {3, 3};
  body.insert(body.end(), 32, 0xaa);  // random
  body.push_back(32);
  body.insert(body.end(), 32, 0xbb);  // session id
  put16(body, 4);
  body.insert(body.end(), {0x13, 0x01, 0x13, 0x02});
  body.insert(body.end(), {1, 0});  // compression: null
  Bytes all;
  for (const Bytes& e : extensions) all.insert(all.end(), e.begin(), e.end());
  put16(body, all.size());
  body.insert(body.end(), all.begin(), all.end());
  Bytes msg = {1, 0};
  put16(msg, body.size());
  msg.insert(msg.end(), body.begin(), body.end());
  return msg;
}

// The message in handshake records of at most `fragment` bytes each.
Bytes records(const Bytes& msg, std::size_t fragment = 16384) {
  Bytes out;
  for (std::size_t at = 0; at < msg.size(); at += fragment) {
    const std::size_t n = std::min(fragment, msg.size() - at);
    out.insert(out.end(), {22, 3, 1});
    put16(out, n);
    out.insert(out.end(), msg.begin() + static_cast<std::ptrdiff_t>(at),
               msg.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  return out;
}

const Bytes kKeyShare = ext(51, Bytes(1250, 0x5c));  // X25519MLKEM768-sized
const Bytes kAlpn = ext(16, {0, 3, 2, 'h', '2'});

struct ParseCase {
  const char* what;
  Bytes stream;
  TlsHello want;
  const char* name;
};

TEST(TlsClientHello, ReadsTheNameOrSaysWhyNot) {
  const Bytes plain = records(hello({kAlpn, sni("www.example.org")}));
  Bytes bad_record = plain;
  bad_record[0] = 23;  // application data
  Bytes long_message = plain;
  long_message[6] = 0xff;  // declares far more than the record holds, name included
  Bytes overrun = records(hello({sni("a.example")}));
  overrun[overrun.size() - 14] = 0x40;  // the name's list claims more than its extension
  const std::vector<ParseCase> cases = {
      {"name after other extensions", plain, TlsHello::kName, "www.example.org"},
      {"name after a post-quantum key share", records(hello({kKeyShare, kAlpn, sni("pq.example")})),
       TlsHello::kName, "pq.example"},
      {"hello split over three records", records(hello({kKeyShare, sni("frag.example")}), 500),
       TlsHello::kName, "frag.example"},
      {"name that starts with a digit", records(hello({sni("3com.example")})), TlsHello::kName,
       "3com.example"},
      {"first of several names",
       records(hello({ext(0, {0, 14, 0, 0, 3, 'a', '.', 'b', 0, 0, 5, 'c', '.', 'd', 'e', 'f'})})),
       TlsHello::kName, "a.b"},
      {"no extensions", records(hello({})), TlsHello::kNoName, ""},
      {"no server_name", records(hello({kAlpn})), TlsHello::kNoName, ""},
      {"address literal", records(hello({sni("192.0.2.7")})), TlsHello::kNoName, ""},
      {"blank in the name", records(hello({sni("a b.example")})), TlsHello::kNoName, ""},
      {"control byte in the name", records(hello({sni("a\nb")})), TlsHello::kNoName, ""},
      {"name over 255 characters", records(hello({sni(std::string(256, 'n'))})), TlsHello::kNoName, ""},
      {"name of another type", records(hello({sni("x.example", 1)})), TlsHello::kNoName, ""},
      {"doubled dot", records(hello({sni("a..example")})), TlsHello::kNoName, ""},
      {"leading hyphen", records(hello({sni("-evil.example")})), TlsHello::kNoName, ""},
      {"label over 63 characters", records(hello({sni(std::string(64, 'l') + ".example")})),
       TlsHello::kNoName, ""},
      {"not a handshake record", bad_record, TlsHello::kNotHello, ""},
      {"not a ClientHello", records(Bytes{2, 0, 0, 2, 3, 3}), TlsHello::kNotHello, ""},
      {"list longer than its extension", overrun, TlsHello::kNotHello, ""},
      {"record cut short", Bytes(plain.begin(), plain.begin() + 60), TlsHello::kIncomplete, ""},
      {"only part of a record header", Bytes{22, 3}, TlsHello::kIncomplete, ""},
      {"stream of something else", Bytes{'G', 'E', 'T', ' '}, TlsHello::kNotHello, ""},
      {"message declaring more than its records hold", long_message, TlsHello::kName, "www.example.org"},
  };
  for (const ParseCase& c : cases) {
    char name[kTlsNameMax + 1] = "junk";
    EXPECT_EQ(tls_client_hello_name(c.stream.data(), c.stream.size(), name), c.want) << c.what;
    EXPECT_STREQ(name, c.name) << c.what;
  }
}

TEST(TlsClientHello, EveryPrefixIsIncompleteUntilTheNameIsIn) {
  const Bytes s = records(hello({kKeyShare, sni("late.example"), kAlpn}), 700);
  char name[kTlsNameMax + 1];
  std::size_t first_name = 0;
  for (std::size_t n = 0; n <= s.size(); ++n) {
    const TlsHello r = tls_client_hello_name(s.data(), n, name);
    if (r == TlsHello::kName) {
      if (first_name == 0) first_name = n;
      EXPECT_STREQ(name, "late.example");
    } else {
      ASSERT_EQ(r, TlsHello::kIncomplete) << n;
      ASSERT_EQ(first_name, 0u) << "a longer prefix lost the name at " << n;
    }
  }
  EXPECT_GT(first_name, 1300u);  // behind the key share
}

class Names : public HttpRequestSink {
 public:
  int record_request(UrlCounters&, const NetAddress&, const NetAddress&, const char*, const char*,
                     std::int64_t) override {
    return 0;
  }
  int record_server_name(UrlCounters&, const NetAddress& client, const NetAddress& server, const char* name,
                         std::int64_t seen_at) override {
    names.emplace_back(name);
    last_client = netaddr_text(client);
    last_server = server.bytes[3];
    last_time = seen_at;
    return 1;
  }
  std::vector<std::string> names;
  int last_server = 0;
  std::string last_client;
  std::int64_t last_time = 0;
};

struct SnifferTest : ::testing::Test {
  // Bytes [at, at + n) of the stream in one segment from this port.
  void feed(std::uint16_t sport, std::uint32_t seq, const Bytes& stream, std::size_t at, std::size_t n,
            std::int64_t now = 1000) {
    Bytes s = testing_support::tcp_segment(sport, 443, "");
    for (std::size_t i = 0; i < 4; ++i) s[4 + i] = static_cast<std::uint8_t>((seq + at) >> (24 - 8 * i));
    s.insert(s.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
             stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + n)));
    sniffer.handle_segment(s.data(), s.size(), s.size(), client, server, counters, now);
  }
  Names sink;
  TlsSniffer sniffer{sink};
  UrlCounters counters;
  std::uint8_t client[4] = {10, 0, 0, 2};
  std::uint8_t server[4] = {10, 0, 0, 1};
};

TEST_F(SnifferTest, GathersAHelloFromSegmentsInAnyOrderAndRecordsItOnce) {
  const Bytes s = records(hello({kKeyShare, kAlpn, sni("split.example")}));
  const std::uint32_t isn = 0xfffffa00u;  // the sequence numbers wrap inside the hello
  feed(40000, isn, s, 0, 600);
  feed(40000, isn, s, 1200, 600);  // ahead of a gap
  EXPECT_TRUE(sink.names.empty());
  EXPECT_EQ(sniffer.active(), 1);
  feed(40000, isn, s, 600, 600, 1003);
  ASSERT_EQ(sink.names, std::vector<std::string>{"split.example"});
  EXPECT_EQ(sink.last_time, 1003);
  EXPECT_EQ(sniffer.active(), 0);
  // The whole hello sent again (a retransmission) is no second visit.
  feed(40000, isn, s, 0, s.size());
  EXPECT_EQ(sink.names.size(), 1u);
  EXPECT_EQ(sniffer.stats().repeated, 1u);
}

TEST_F(SnifferTest, AFloodOfHalfHandshakesNeitherGrowsTheTableNorCrowdsOutANewHello) {
  const Bytes s = records(hello({kKeyShare, sni("flood.example")}));
  for (std::uint16_t port = 1; port <= 5000; ++port) feed(port, 7, s, 0, 100);
  EXPECT_EQ(sniffer.active(), kTlsFlowSets * kTlsFlowWays);
  EXPECT_EQ(sniffer.stats().evicted, 5000u - kTlsFlowSets * kTlsFlowWays);
  feed(60000, 7, s, 0, 700);
  feed(60000, 7, s, 700, 700);
  EXPECT_EQ(sink.names, std::vector<std::string>{"flood.example"});
  // Entries go once their time is up, and the table is empty again.
  feed(60001, 7, s, 0, 10, 1000 + kTlsFlowSeconds + 1);
  EXPECT_EQ(sniffer.active(), 1);
  EXPECT_EQ(sniffer.stats().expired, static_cast<std::uint64_t>(kTlsFlowSets * kTlsFlowWays - 1));
}

TEST_F(SnifferTest, AHelloWhoseNameLiesBeyondWhatIsKeptIsGivenUp) {
  const Bytes s = records(hello({ext(21, Bytes(kTlsFlowBytes, 0)), sni("far.example")}));
  for (std::size_t at = 0; at < s.size(); at += 1000) feed(40000, 1, s, at, 1000);
  feed(40001, 1, s, 0, s.size());  // all of it in one segment merged by the adapter
  EXPECT_TRUE(sink.names.empty());
  EXPECT_EQ(sniffer.stats().overflowed, 2u);
  EXPECT_EQ(sniffer.active(), 0);
}

// IPv6 flows through the frame path: two clients whose addresses differ
// only past their first four bytes, on the same ports, each sending its hello
// in two segments, interleaved. Each name goes to its own client.
TEST(TlsIpv6, SplitHellosOfTwoIpv6ClientsAreKeptApart) {
  auto frame = [](std::uint8_t client_last, std::uint32_t seq, const Bytes& payload) {
    Bytes f = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x86, 0xDD, 0x60, 0, 0, 0};
    put16(f, 20 + payload.size());
    f.insert(f.end(), {6, 64});
    Bytes client(16, 0), server(16, 0);
    client[0] = server[0] = 0xfd;
    client[15] = client_last;
    server[15] = 1;
    f.insert(f.end(), client.begin(), client.end());
    f.insert(f.end(), server.begin(), server.end());
    Bytes tcp = testing_support::tcp_segment(40000, 443, "");
    for (std::size_t i = 0; i < 4; ++i) tcp[4 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
    f.insert(f.end(), tcp.begin(), tcp.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
  };
  Names sink;
  TlsSniffer sniffer{sink};
  UrlCounters counters;
  std::vector<std::string> clients;
  auto feed = [&](std::uint8_t client_last, const Bytes& stream, std::size_t at, std::size_t n) {
    const Bytes part(stream.begin() + static_cast<std::ptrdiff_t>(at),
                     stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + n)));
    const Bytes f = frame(client_last, 1000 + static_cast<std::uint32_t>(at), part);
    FrameView v;
    ASSERT_TRUE(frame_decode(f.data(), static_cast<std::uint32_t>(f.size()),
                             static_cast<std::uint32_t>(f.size()), v));
    const std::size_t before = sink.names.size();
    sniffer.handle(v, counters, 1000);
    if (sink.names.size() > before) clients.push_back(sink.last_client);
  };
  const Bytes a = records(hello({kKeyShare, sni("a.example")}));
  const Bytes b = records(hello({kKeyShare, sni("b.example")}));
  feed(2, a, 0, 700);
  feed(3, b, 0, 700);
  EXPECT_EQ(sniffer.active(), 2);
  feed(3, b, 700, b.size());
  feed(2, a, 700, a.size());
  EXPECT_EQ(sink.names, (std::vector<std::string>{"b.example", "a.example"}));
  EXPECT_EQ(clients, (std::vector<std::string>{"fd00::3", "fd00::2"}));
  EXPECT_EQ(sniffer.active(), 0);
}

// curl against openssl s_server: five names (one hello cut into three
// segments with its name in the second), and one to an address literal.
TEST_F(SnifferTest, RealHandshakesGiveEachNameOnce) {
  char err[PCAP_ERRBUF_SIZE] = "";
  pcap_t* p = pcap_open_offline(TARNIX_SOURCE_DIR "/tests/db/data/tls_handshakes.pcap", err);
  ASSERT_NE(p, nullptr) << err;
  pcap_pkthdr* h = nullptr;
  const u_char* d = nullptr;
  while (pcap_next_ex(p, &h, &d) == 1) {
    if (h->caplen < 34 || d[12] != 0x08 || d[13] != 0x00 || d[23] != 6) continue;
    const std::size_t ihl = static_cast<std::size_t>(d[14] & 0x0f) * 4;
    sniffer.handle_segment(d + 14 + ihl, h->caplen - 14 - ihl, h->len - 14 - ihl, d + 26, d + 30, counters,
                           h->ts.tv_sec);
  }
  pcap_close(p);
  std::ifstream list(TARNIX_SOURCE_DIR "/tests/db/data/tls_handshakes.names");
  std::vector<std::string> want;
  for (std::string line; std::getline(list, line);) want.push_back(line);
  ASSERT_EQ(want.size(), 5u);
  EXPECT_EQ(sink.names, want);
  EXPECT_EQ(sink.last_server, 1);
  EXPECT_EQ(sniffer.stats().gathered, 1u);  // only the three-segment hello needed the table
}

}  // namespace
}  // namespace tarnix
