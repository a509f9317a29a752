// The decoded frame view: what each kind of frame decodes to, that no field
// ever points past the captured bytes, and that the sniffers read a frame
// through the view exactly as they read its TCP segment on its own.
#include "sniff/frame_view.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
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

using Bytes = std::vector<std::uint8_t>;

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An Ethernet frame carrying IPv6: the fixed header, the extension headers
// given as (type, bytes) in order, then a UDP or TCP header with ports
// 40000 > 80 and a few bytes of payload.
Bytes ipv6_frame(std::uint8_t transport, const std::vector<std::pair<std::uint8_t, Bytes>>& ext) {
  Bytes f = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x86, 0xDD};
  const std::uint8_t first = ext.empty() ? transport : ext.front().first;
  const std::uint8_t header[40] = {0x60, 0, 0, 0, 0,    0, first, 64, 0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0,    0, 0, 1, 0xfd, 0, 0,     0,  0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  f.insert(f.end(), header, header + 40);
  for (std::size_t i = 0; i < ext.size(); ++i) {
    Bytes h = ext[i].second;
    h[0] = i + 1 < ext.size() ? ext[i + 1].first : transport;
    f.insert(f.end(), h.begin(), h.end());
  }
  const std::size_t t = f.size();
  f.insert(f.end(), {0x9C, 0x40, 0x00, 0x50});
  if (transport == kIpProtocolTcp) {
    f.resize(t + 20);
    f[t + 12] = 0x50;
  } else {
    f.resize(t + 8);
  }
  f.insert(f.end(), {'d', 'a', 't', 'a'});
  return f;
}

Bytes with_byte(Bytes f, std::size_t at, std::uint8_t value) {
  f[at] = value;
  return f;
}

// Header fields that contradict the bytes around them: no network header,
// or no transport to hand over.
TEST(FrameView, MalformedHeadersGiveNoNetworkOrNoTransport) {
  FrameSpec s;
  s.protocol = kIpProtocolTcp;
  const Bytes tcp4 = make_frame(s);
  const Bytes udp6 = ipv6_frame(kIpProtocolUdp, {});
  struct MalformedCase {
    const char* name;
    Bytes frame;
    std::uint32_t cut;  // captured bytes; 0: the whole frame
    bool decodes;
  };
  const MalformedCase cases[] = {
      {"ipv4 header shorter than its fixed part", with_byte(tcp4, 14, 0x44), 0, false},
      {"tcp data offset shorter than the tcp header", with_byte(tcp4, 46, 0x40), 0, true},
      {"60 bytes of tcp header, more than the frame holds", with_byte(tcp4, 46, 0xF0), 0, true},
      {"ipv6 fixed header cut", udp6, 53, false},
      {"not version 6 behind the ipv6 type", with_byte(udp6, 14, 0x45), 0, false},
  };
  for (const MalformedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto size = static_cast<std::uint32_t>(c.frame.size());
    FrameView v;
    EXPECT_EQ(frame_decode(c.frame.data(), c.cut != 0 ? c.cut : size, size, v), c.decodes);
    if (c.decodes) {
      EXPECT_TRUE(v.has_ports);
      EXPECT_EQ(v.payload, 0u);
    }
  }
}

// Every prefix of `f` that decodes names nothing past its captured bytes;
// how many prefixes did not decode.
std::uint32_t expect_every_prefix_inside(const Bytes& f, LinkType link = LinkType::kEthernet) {
  const auto size = static_cast<std::uint32_t>(f.size());
  std::uint32_t refused = 0;
  for (std::uint32_t cut = 0; cut <= size; ++cut) {
    SCOPED_TRACE("cut " + std::to_string(cut));
    FrameView v;
    if (!frame_decode(f.data(), cut, size, v, link)) {
      ++refused;
      continue;
    }
    EXPECT_LE(v.link_header, cut);
    EXPECT_LE(v.source + v.address_length, f.data() + cut);
    EXPECT_LE(v.destination + v.address_length, f.data() + cut);
    if (v.has_ports) {
      EXPECT_LE(v.transport + 4, cut);
    }
    if (v.payload != 0) {
      EXPECT_TRUE(v.has_ports);
      EXPECT_LE(v.payload, cut);
      EXPECT_EQ(v.payload + v.payload_length, cut);
    }
  }
  return refused;
}

// IPv4 frames with every header length, and IPv6 frames with a chain of
// extension headers whose first length may point past the frame.
TEST(FrameView, NothingItNamesLiesPastTheCapturedBytes) {
  for (std::uint8_t protocol : {kIpProtocolTcp, kIpProtocolUdp}) {
    for (int options : {0, 4, 40}) {
      for (std::uint8_t data_offset : {0x00, 0x50, 0x80, 0xF0}) {
        SCOPED_TRACE(std::to_string(protocol) + "/" + std::to_string(options) + "/" +
                     std::to_string(data_offset));
        FrameSpec s;
        s.protocol = protocol;
        s.ip_options = options;
        s.text = "GET / HTTP/1.0\r\n\r\n";
        Bytes f = make_frame(s);
        if (protocol == kIpProtocolTcp) f[14 + 20 + static_cast<std::size_t>(options) + 12] = data_offset;
        expect_every_prefix_inside(f);
      }
    }
  }
  const Bytes options8(8, 0);
  const Bytes fragment = {0, 0, 0, 0, 0, 0, 0, 7};
  for (std::uint8_t stretch : {0, 1, 255}) {
    SCOPED_TRACE("ipv6, hop-by-hop length " + std::to_string(stretch));
    // Once its fixed header is in, an IPv6 frame decodes.
    EXPECT_EQ(
        expect_every_prefix_inside(with_byte(
            ipv6_frame(kIpProtocolTcp, {{0, options8}, {44, fragment}, {60, options8}}), 54 + 1, stretch)),
        54u);
  }
}

TEST(FrameView, WalksIpv6ExtensionHeadersToTheTransport) {
  const Bytes options8(8, 0);  // hop-by-hop / destination: length 0 = 8 bytes
  const Bytes options16 = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes first_fragment = {0, 0, 0x00, 0x01, 0, 0, 0, 7};  // offset 0, more
  const Bytes later_fragment = {0, 0, 0x05, 0x00, 0, 0, 0, 7};  // offset 160
  const Bytes auth = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};      // (1 + 2) * 4 bytes
  struct V6Case {
    const char* name;
    std::uint8_t transport;
    std::vector<std::pair<std::uint8_t, Bytes>> ext;
    std::uint8_t protocol;  // what the view reports
    std::uint32_t header;   // IPv6 header with its extensions
    bool ports;
  };
  const V6Case cases[] = {
      {"udp", kIpProtocolUdp, {}, kIpProtocolUdp, 40, true},
      {"tcp behind hop-by-hop and destination options",
       kIpProtocolTcp,
       {{0, options8}, {60, options16}},
       kIpProtocolTcp,
       64,
       true},
      {"first fragment", kIpProtocolUdp, {{44, first_fragment}}, kIpProtocolUdp, 48, true},
      {"later fragment", kIpProtocolUdp, {{44, later_fragment}}, kIpProtocolUdp, 48, false},
      {"behind an authentication header", kIpProtocolTcp, {{51, auth}}, kIpProtocolTcp, 52, true},
      {"chain longer than is followed", kIpProtocolUdp,
       std::vector<std::pair<std::uint8_t, Bytes>>(kIpv6ExtensionHeadersMax + 1, {60, options8}), 60,
       40 + 8 * kIpv6ExtensionHeadersMax, false},
      {"icmpv6", 58, {}, 58, 40, false},
  };
  for (const V6Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes f = ipv6_frame(c.transport, c.ext);
    const auto size = static_cast<std::uint32_t>(f.size());
    FrameView v;
    ASSERT_TRUE(frame_decode(f.data(), size, size, v));
    EXPECT_EQ(v.network, NetworkKind::kIpv6);
    EXPECT_EQ(v.address_length, 16);
    EXPECT_EQ(v.source, f.data() + 22);
    EXPECT_EQ(v.destination, f.data() + 38);
    EXPECT_EQ(v.ip_protocol, c.protocol);
    EXPECT_EQ(v.ip_header_length, c.header);
    EXPECT_EQ(v.transport, kEtherHeaderLength + c.header);
    EXPECT_EQ(v.has_ports, c.ports);
    if (c.ports) {
      EXPECT_EQ(v.source_port, 40000);
      EXPECT_EQ(v.destination_port, 80);
      EXPECT_EQ(v.payload_length, 4u);
    }
  }
}

struct Heard : HttpRequestSink {
  static std::string last(const NetAddress& a) { return std::to_string(a.bytes[a.is_ipv6() ? 15 : 3]); }
  int record_request(UrlCounters&, const NetAddress& client, const NetAddress& server, const char* host,
                     const char* target, std::int64_t seen_at) override {
    seen.push_back(last(client) + ">" + last(server) + " " + (host ? host : "-") + " " + target + " @" +
                   std::to_string(seen_at));
    return 1;
  }
  int record_server_name(UrlCounters&, const NetAddress& client, const NetAddress& server, const char* name,
                         std::int64_t seen_at) override {
    seen.push_back(last(client) + ">" + last(server) + " tls " + name + " @" + std::to_string(seen_at));
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

// An IPv6 request reaches the sink with both IPv6 addresses whole, behind an
// extension header as well.
TEST(FrameView, SniffersHandOverIpv6Addresses) {
  for (bool with_options : {false, true}) {
    std::vector<std::uint8_t> f = with_options
                                      ? ipv6_frame(kIpProtocolTcp, {{0, std::vector<std::uint8_t>(8, 0)}})
                                      : ipv6_frame(kIpProtocolTcp, {});
    f.resize(f.size() - 4);  // the placeholder payload
    const std::string request = "GET /six HTTP/1.1\r\nHost: [fd00::2]:80\r\n\r\n";
    f.insert(f.end(), request.begin(), request.end());
    FrameView v;
    ASSERT_TRUE(frame_decode(f.data(), static_cast<std::uint32_t>(f.size()),
                             static_cast<std::uint32_t>(f.size()), v));
    Heard heard;
    HttpSniffer http{heard};
    UrlCounters counters;
    http.handle(v, counters, 7);
    EXPECT_EQ(heard.seen, std::vector<std::string>{"1>2 fd00::2 /six @7"});
    EXPECT_EQ(netaddr_text(frame_source_address(v)), "fd00::1");
    EXPECT_EQ(netaddr_text(frame_destination_address(v)), "fd00::2");
  }
}

// The same IPv4 or IPv6 packet behind each link layer and tag shape: the
// view finds the same network header, the addresses the link layer has, and
// the innermost VLAN id; every prefix of it stays inside the captured bytes.
TEST(FrameView, EveryLinkTypeAndTagShapeReachesTheNetworkHeader) {
  FrameSpec s;
  s.protocol = kIpProtocolTcp;
  s.sport = 40000;
  s.dport = 80;
  const Bytes ether4 = make_frame(s);
  const Bytes ip4(ether4.begin() + 14, ether4.end());
  const Bytes ether6 = ipv6_frame(kIpProtocolTcp, {});
  const Bytes ip6(ether6.begin() + 14, ether6.end());
  const Bytes macs(ether4.begin(), ether4.begin() + 12);
  const Bytes mac = {2, 0, 0, 0, 0, 1};
  // Linux cooked headers: v1 (type, ARPHRD, address length, 8 address
  // bytes, protocol) and v2 (protocol, reserved, index, ARPHRD, type,
  // address length, 8 address bytes).
  const auto sll = [](std::uint16_t protocol, std::uint8_t halen) {
    return Bytes{
        0, 0, 0, 1, 0, halen, 2, 0, 0, 0, 0, 1, 0, 0, std::uint8_t(protocol >> 8), std::uint8_t(protocol)};
  };
  const auto sll2 = [](std::uint16_t protocol) {
    return Bytes{std::uint8_t(protocol >> 8),
                 std::uint8_t(protocol),
                 0,
                 0,
                 0,
                 0,
                 0,
                 3,
                 0,
                 1,
                 0,
                 6,
                 2,
                 0,
                 0,
                 0,
                 0,
                 1,
                 0,
                 0};
  };
  const auto tag = [](std::uint16_t tci, std::uint16_t next) {
    return Bytes{std::uint8_t(tci >> 8), std::uint8_t(tci), std::uint8_t(next >> 8), std::uint8_t(next)};
  };
  struct LinkCase {
    const char* name;
    LinkType link;
    Bytes frame;
    NetworkKind network;
    std::uint32_t header;  // where the network header starts
    int source_at;         // offset of the link source address, -1 for none
    std::uint16_t vlan;
  };
  const LinkCase cases[] = {
      {"ethernet", LinkType::kEthernet, ether4, NetworkKind::kIpv4, 14, 6, 0},
      {"ethernet ipv6", LinkType::kEthernet, ether6, NetworkKind::kIpv6, 14, 6, 0},
      {"802.1q, priority bits set", LinkType::kEthernet,
       cat(cat(macs, {0x81, 0}), cat(tag(0xE00A, 0x0800), ip4)), NetworkKind::kIpv4, 18, 6, 10},
      {"802.1ad over 802.1q: the inner id", LinkType::kEthernet,
       cat(cat(macs, {0x88, 0xA8}), cat(cat(tag(100, 0x8100), tag(10, 0x86DD)), ip6)), NetworkKind::kIpv6, 22,
       6, 10},
      {"0x9100 over 802.1q", LinkType::kEthernet,
       cat(cat(macs, {0x91, 0}), cat(cat(tag(7, 0x8100), tag(8, 0x0800)), ip4)), NetworkKind::kIpv4, 22, 6,
       8},
      {"three tags are not followed", LinkType::kEthernet,
       cat(cat(macs, {0x81, 0}), cat(cat(cat(tag(1, 0x8100), tag(2, 0x8100)), tag(3, 0x0800)), ip4)),
       NetworkKind::kNone, 0, 6, 0},
      {"priority tag only", LinkType::kEthernet, cat(cat(macs, {0x81, 0}), cat(tag(0x2000, 0x0800), ip4)),
       NetworkKind::kIpv4, 18, 6, 0},
      {"cooked", LinkType::kLinuxSll, cat(sll(0x0800, 6), ip4), NetworkKind::kIpv4, 16, 6, 0},
      {"cooked without an address", LinkType::kLinuxSll, cat(sll(0x0800, 0), ip4), NetworkKind::kIpv4, 16, -1,
       0},
      {"cooked, tagged", LinkType::kLinuxSll, cat(sll(0x8100, 6), cat(tag(20, 0x86DD), ip6)),
       NetworkKind::kIpv6, 20, 6, 20},
      {"cooked, not IP", LinkType::kLinuxSll, cat(sll(0x0004, 6), ip4), NetworkKind::kNone, 0, 6, 0},
      {"cooked v2", LinkType::kLinuxSll2, cat(sll2(0x0800), ip4), NetworkKind::kIpv4, 20, 12, 0},
      {"cooked v2, tagged", LinkType::kLinuxSll2, cat(sll2(0x8100), cat(tag(30, 0x0800), ip4)),
       NetworkKind::kIpv4, 24, 12, 30},
      {"raw ipv4", LinkType::kRaw, ip4, NetworkKind::kIpv4, 0, -1, 0},
      {"raw ipv6", LinkType::kRaw, ip6, NetworkKind::kIpv6, 0, -1, 0},
      {"raw, version 5", LinkType::kRaw, cat({0x50}, Bytes(ip4.begin() + 1, ip4.end())), NetworkKind::kNone,
       0, -1, 0},
      {"ipv4 link", LinkType::kIpv4, ip4, NetworkKind::kIpv4, 0, -1, 0},
      {"ipv6 link", LinkType::kIpv6, ip6, NetworkKind::kIpv6, 0, -1, 0},
      {"null, little-endian AF_INET", LinkType::kNull, cat({2, 0, 0, 0}, ip4), NetworkKind::kIpv4, 4, -1, 0},
      {"null, big-endian AF_INET", LinkType::kNull, cat({0, 0, 0, 2}, ip4), NetworkKind::kIpv4, 4, -1, 0},
      {"null, FreeBSD AF_INET6", LinkType::kNull, cat({28, 0, 0, 0}, ip6), NetworkKind::kIpv6, 4, -1, 0},
      {"loop, macOS AF_INET6", LinkType::kLoop, cat({0, 0, 0, 30}, ip6), NetworkKind::kIpv6, 4, -1, 0},
      {"loop, another family", LinkType::kLoop, cat({0, 0, 0, 7}, ip4), NetworkKind::kNone, 0, -1, 0},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto size = static_cast<std::uint32_t>(c.frame.size());
    FrameView v;
    EXPECT_EQ(frame_decode(c.frame.data(), size, size, v, c.link), c.network != NetworkKind::kNone);
    EXPECT_EQ(v.network, c.network);
    EXPECT_EQ(v.vlan, c.vlan);
    EXPECT_EQ(v.link_type, c.link);
    EXPECT_EQ(v.link_source, c.source_at < 0 ? nullptr : c.frame.data() + c.source_at);
    if (c.network != NetworkKind::kNone) {
      EXPECT_EQ(v.link_header, c.header);
      EXPECT_EQ(v.source, c.frame.data() + c.header + (c.network == NetworkKind::kIpv4 ? 12 : 8));
      EXPECT_TRUE(v.has_ports);
      EXPECT_EQ(v.destination_port, 80);
    }
    expect_every_prefix_inside(c.frame, c.link);
  }
}

// The protocol tree reads Ethernet frames: a frame of another link layer is
// shown to it as the Ethernet frame that carries the same payload, with the
// tag still in place so that a focus on VLAN traffic sees it.
TEST(FrameView, EthernetShapeOfOtherLinkLayers) {
  FrameSpec s;
  const Bytes ether = make_frame(s);
  const Bytes ip4(ether.begin() + 14, ether.end());
  Bytes no_destination = ether;
  std::fill(no_destination.begin(), no_destination.begin() + 6, 0);
  Bytes no_addresses = no_destination;
  std::fill(no_addresses.begin() + 6, no_addresses.begin() + 12, 0);
  const Bytes tagged_cooked =
      cat({0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x81, 0}, cat({0, 5, 8, 0}, ip4));
  Bytes tagged = cat(Bytes(no_destination.begin(), no_destination.begin() + 12), {0x81, 0, 0, 5, 8, 0});
  tagged = cat(tagged, ip4);
  struct ShapeCase {
    const char* name;
    LinkType link;
    Bytes frame;
    Bytes shaped;
  } cases[] = {
      {"cooked", LinkType::kLinuxSll, cat({0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 8, 0}, ip4),
       no_destination},
      {"cooked, tagged", LinkType::kLinuxSll, tagged_cooked, tagged},
      {"raw", LinkType::kRaw, ip4, no_addresses},
      {"loopback", LinkType::kNull, cat({2, 0, 0, 0}, ip4), no_addresses},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FrameView v;
    const auto size = static_cast<std::uint32_t>(c.frame.size());
    ASSERT_TRUE(frame_decode(c.frame.data(), size, size, v, c.link));
    Bytes out(size + kEtherHeaderLength);
    const std::uint32_t n = frame_ethernet_shape(v, out.data(), static_cast<std::uint32_t>(out.size()));
    out.resize(n);
    EXPECT_EQ(out, c.shaped);
    // Less room cuts the payload, never the header.
    EXPECT_EQ(frame_ethernet_shape(v, out.data(), 20), 20u);
    EXPECT_EQ(frame_ethernet_shape(v, out.data(), 13), 0u);
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
