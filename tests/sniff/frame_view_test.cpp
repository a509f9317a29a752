// The decoded frame view: what each kind of frame decodes to, that no field
// ever points past the captured bytes, and that the sniffers read a frame
// through the view exactly as they read its TCP segment on its own.
#include "sniff/frame_view.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <functional>
#include <string>
#include <vector>

#include "capture/frames.h"
#include "sniff/http.h"
#include "sniff/tls.h"

namespace tarnix {
namespace {

using testing::FrameSpec;
using testing::make_frame;

struct Case {
  const char* name;
  std::function<void(FrameSpec&)> shape;
  std::uint32_t cut;  // captured bytes; 0: the whole frame
  bool ipv4;
  std::uint32_t transport;
  bool ports;
  std::uint32_t payload;  // 0: none
};

TEST(FrameView, DecodesEachShapeAsFarAsItWasCaptured) {
  const auto tcp = [](FrameSpec& s) { s.protocol = kIpProtocolTcp; };
  const Case cases[] = {
      {"udp", [](FrameSpec&) {}, 0, true, 34, true, 42},
      {"tcp", tcp, 0, true, 34, true, 54},
      {"tcp behind ip options", [&](FrameSpec& s) { tcp(s), s.ip_options = 8; }, 0, true, 42, true, 62},
      {"tcp header cut after the ports", tcp, 40, true, 34, true, 0},
      {"udp ports cut", [](FrameSpec&) {}, 37, true, 34, false, 0},
      {"transport past the capture", [](FrameSpec& s) { s.ip_options = 40; }, 40, true, 74, false, 0},
      {"later fragment", [](FrameSpec& s) { s.fragment = 185; }, 0, true, 34, false, 0},
      {"first fragment, more to come", [](FrameSpec& s) { s.fragment = 0x2000; }, 0, true, 34, true, 42},
      {"icmp", [](FrameSpec& s) { s.protocol = 1; }, 0, true, 34, false, 0},
      {"arp", [](FrameSpec& s) { s.ether_type = 0x0806; }, 0, false, 0, false, 0},
      {"addresses cut", [](FrameSpec&) {}, 33, false, 0, false, 0},
      {"link header cut", [](FrameSpec&) {}, 13, false, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameSpec s;
    s.sport = 40000;
    s.dport = 80;
    c.shape(s);
    const std::vector<std::uint8_t> f = make_frame(s);
    const std::uint32_t cut = c.cut != 0 ? c.cut : static_cast<std::uint32_t>(f.size());
    FrameView v;
    EXPECT_EQ(frame_decode(f.data(), cut, static_cast<std::uint32_t>(f.size()), v), c.ipv4);
    EXPECT_EQ(v.network == NetworkKind::kIpv4, c.ipv4);
    EXPECT_EQ(v.link_source != nullptr, cut >= kEtherHeaderLength);
    if (c.ipv4) {
      EXPECT_EQ(v.link_header, kEtherHeaderLength);
      EXPECT_EQ(v.ether_type, kEtherTypeIpv4);
      EXPECT_EQ(v.link_source, f.data() + 6);
      EXPECT_EQ(v.source, f.data() + 26);
      EXPECT_EQ(v.destination, f.data() + 30);
      EXPECT_EQ(v.ip_protocol, s.protocol);
      EXPECT_EQ(v.transport, c.transport);
      EXPECT_EQ(v.ip_header_length, c.transport - kEtherHeaderLength);
    }
    EXPECT_EQ(v.has_ports, c.ports);
    if (c.ports) {
      EXPECT_EQ(v.source_port, 40000);
      EXPECT_EQ(v.destination_port, 80);
    }
    EXPECT_EQ(v.payload, c.payload);
    if (c.payload != 0) {
      EXPECT_EQ(v.payload_length, cut - c.payload);
    }
  }
}

TEST(FrameView, MalformedHeaderLengthsGiveNoTransport) {
  FrameSpec s;
  s.protocol = kIpProtocolTcp;
  std::vector<std::uint8_t> f = make_frame(s);
  FrameView v;
  f[14] = 0x44;  // an IPv4 header shorter than its fixed part
  EXPECT_FALSE(frame_decode(f.data(), static_cast<std::uint32_t>(f.size()), 60, v));
  f[14] = 0x45;
  f[46] = 0x40;  // a TCP data offset shorter than the TCP header
  ASSERT_TRUE(frame_decode(f.data(), static_cast<std::uint32_t>(f.size()), 60, v));
  EXPECT_TRUE(v.has_ports);
  EXPECT_EQ(v.payload, 0u);
  f[46] = 0xF0;  // 60 bytes of TCP header, more than the frame holds
  ASSERT_TRUE(frame_decode(f.data(), static_cast<std::uint32_t>(f.size()), 60, v));
  EXPECT_EQ(v.payload, 0u);
}

// Every prefix of frames with every header length: whatever the view
// points at was captured.
TEST(FrameView, NothingItNamesLiesPastTheCapturedBytes) {
  for (std::uint8_t protocol : {kIpProtocolTcp, kIpProtocolUdp}) {
    for (int options : {0, 4, 40}) {
      for (std::uint8_t data_offset : {0x00, 0x50, 0x80, 0xF0}) {
        FrameSpec s;
        s.protocol = protocol;
        s.ip_options = options;
        s.text = "GET / HTTP/1.0\r\n\r\n";
        std::vector<std::uint8_t> f = make_frame(s);
        if (protocol == kIpProtocolTcp) f[14 + 20 + static_cast<std::size_t>(options) + 12] = data_offset;
        for (std::uint32_t cut = 0; cut <= f.size(); ++cut) {
          SCOPED_TRACE(std::to_string(protocol) + "/" + std::to_string(options) + "/" +
                       std::to_string(data_offset) + " cut " + std::to_string(cut));
          FrameView v;
          if (!frame_decode(f.data(), cut, static_cast<std::uint32_t>(f.size()), v)) continue;
          EXPECT_LE(v.source + 4, f.data() + cut);
          EXPECT_LE(v.destination + 4, f.data() + cut);
          if (v.has_ports) {
            EXPECT_LE(v.transport + 4, cut);
          }
          if (v.payload != 0) {
            EXPECT_TRUE(v.has_ports);
            EXPECT_LE(v.payload, cut);
            EXPECT_EQ(v.payload + v.payload_length, cut);
          }
        }
      }
    }
  }
}

struct Heard : HttpRequestSink {
  int record_request(UrlCounters&, const std::uint8_t client[4], const std::uint8_t server[4],
                     const char* host, const char* target, std::int64_t seen_at) override {
    seen.push_back(std::to_string(client[3]) + ">" + std::to_string(server[3]) + " " + (host ? host : "-") +
                   " " + target + " @" + std::to_string(seen_at));
    return 1;
  }
  int record_server_name(UrlCounters&, const std::uint8_t* client, const std::uint8_t* server,
                         const char* name, std::int64_t seen_at) override {
    seen.push_back(std::to_string(client[3]) + ">" + std::to_string(server[3]) + " tls " + name + " @" +
                   std::to_string(seen_at));
    return 1;
  }
  std::vector<std::string> seen;
};

// What the sniffers hear from a frame through its view, and from its TCP
// segment cut out by hand, as the frame path used to.
struct BothWays {
  Heard by_view, by_segment;
  HttpSniffer http_view{by_view}, http_segment{by_segment};
  TlsSniffer tls_view{by_view}, tls_segment{by_segment};
  UrlCounters counters;

  void feed(const std::uint8_t* f, std::uint32_t caplen, std::uint32_t len, std::int64_t t) {
    FrameView v;
    if (!frame_decode(f, caplen, len, v) || !v.is_tcp() || !v.first_fragment || v.transport >= caplen) return;
    http_view.handle(v, counters, t);
    tls_view.handle(v, counters, t);
    const std::uint32_t ihl = (f[14] & 0x0Fu) * 4;
    const std::uint8_t* tcp = f + 14 + ihl;
    const std::size_t cap = caplen - 14 - ihl;
    const std::size_t wire = len > 14 + ihl ? len - 14 - ihl : 0;
    http_segment.handle_segment(tcp, cap, wire, f + 26, f + 30, counters, t);
    tls_segment.handle_segment(tcp, cap, wire, f + 26, f + 30, counters, t);
  }
};

TEST(FrameView, SniffersHearRealCapturesThroughTheViewAsFromTheSegment) {
  for (const char* file : {"/tests/db/data/curl_tinyproxy.pcap", "/tests/db/data/tls_handshakes.pcap"}) {
    SCOPED_TRACE(file);
    BothWays both;
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_open_offline((std::string(TARNIX_SOURCE_DIR) + file).c_str(), err);
    ASSERT_NE(p, nullptr) << err;
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    while (pcap_next_ex(p, &h, &d) == 1) both.feed(d, h->caplen, h->len, h->ts.tv_sec);
    pcap_close(p);
    EXPECT_GE(both.by_view.seen.size(), 5u);
    EXPECT_EQ(both.by_view.seen, both.by_segment.seen);
  }
}

// Requests cut by the capture and by a wire length shorter than what was
// captured (a damaged file): the view bounds its reads the same way.
TEST(FrameView, SniffersAgreeOnEveryCutOfARequest) {
  FrameSpec s;
  s.protocol = kIpProtocolTcp;
  s.ip_options = 4;
  s.text = "GET /some/page HTTP/1.1\r\nHost: web.example\r\n\r\n";
  const std::vector<std::uint8_t> f = make_frame(s);
  BothWays both;
  const auto size = static_cast<std::uint32_t>(f.size());
  for (std::uint32_t cut = 0; cut <= size; ++cut)
    for (std::uint32_t wire : {size, cut, cut > 70 ? cut - 10 : 0u}) both.feed(f.data(), cut, wire, cut);
  EXPECT_GT(both.by_view.seen.size(), 50u);
  EXPECT_EQ(both.by_view.seen, both.by_segment.seen);
}

}  // namespace
}  // namespace tarnix
