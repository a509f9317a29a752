// The frame path: filters, host and link creation, Ethernet changes, the
// one-second window and the TCP hand-off.
#include <gtest/gtest.h>

#include "capture/capture_thread.h"
#include "capture/fakes.h"
#include "capture/frames.h"
#include "capture/net.h"

namespace tarnix {
namespace {

using testing::FakeClassifier;
using testing::FakeNamer;
using testing::feed;
using testing::FrameSpec;
using testing::make_frame;
using testing::RecordingHooks;

class FramePath : public ::testing::Test {
 protected:
  FramePath() : model(&classifier, &namer, nullptr, hooks.hooks()) {
    model.local_address = NetAddress::ipv4(10, 0, 0, 1);
    model.local_mask = NetAddress::ipv4(255, 255, 255, 0);
    net = net_create(model, "eth0");
    net_set_current(model, net);
  }
  Node* host(const char* text) { return node_find(*net, NetAddress::parse(kAddrIpv4, text)); }

  FakeClassifier classifier;
  FakeNamer namer;
  RecordingHooks hooks;
  TrafficModel model;
  Net* net;
};

// Which frames reach the model: ARP and NetBIOS name datagrams stop at the
// filter, wherever IP options put their ports; TCP on the name ports, and
// option or fragment bytes that only look like the port, go on. Every frame
// moves capture time on.
TEST_F(FramePath, FilterDropsArpAndNetbiosNameDatagramsOnly) {
  using Bytes = std::vector<std::uint8_t>;
  const auto frame = [](auto shape) {
    FrameSpec s;
    shape(s);
    return make_frame(s);
  };
  // With 4 bytes of options the ports are at byte 38; 36 reads 137.
  Bytes options_read_137 = frame([](FrameSpec& s) { s.ip_options = 4; });
  options_read_137[36] = 0;
  options_read_137[37] = 137;
  struct FilterCase {
    const char* name;
    Bytes frame;
    bool kept;
  };
  const FilterCase cases[] = {
      {"arp", frame([](FrameSpec& s) { s.ether_type = 0x0806; }), false},
      {"udp from the name port", frame([](FrameSpec& s) { s.sport = 137, s.dport = 53; }), false},
      {"udp to the name port", frame([](FrameSpec& s) { s.sport = 53, s.dport = 137; }), false},
      {"tcp on the name ports", frame([](FrameSpec& s) { s.protocol = 6, s.sport = 137, s.dport = 139; }),
       true},
      {"udp to the name port behind ip options", frame([](FrameSpec& s) { s.ip_options = 8, s.dport = 137; }),
       false},
      {"option bytes where the ports would be without options", options_read_137, true},
      {"later fragment: its first bytes are data, not ports",
       frame([](FrameSpec& s) { s.fragment = 100, s.dport = 137; }), true},
  };
  std::int32_t usec = 0;
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.name);
    net = net_create(model, c.name);
    feed(*net, c.frame, 100, ++usec);
    EXPECT_EQ(model.now, (TimeValue{100, usec}));
    EXPECT_EQ(net->counters.frames_seen, 1u);
    EXPECT_EQ(net->counters.frames_filtered, c.kept ? 0u : 1u);
    EXPECT_EQ(net->counters.frames_accepted, c.kept ? 1u : 0u);
    EXPECT_EQ(net->hosts.count(), c.kept ? 2 : 0);
    EXPECT_EQ(net->window_frames, c.kept ? 1u : 0u);
  }
}

TEST_F(FramePath, FirstFrameMakesTwoHostsOneLinkReplyOneMoreLink) {
  FrameSpec s;
  s.payload = 100;
  feed(*net, make_frame(s), 10, 0);
  ASSERT_EQ(net->hosts.count(), 2);
  Node* a = host("10.0.0.1");
  Node* b = host("10.0.0.2");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->links.count(), 1);
  EXPECT_EQ(b->links.count(), 0);
  Link* ab = link_find(*a, b->address);
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(ab->source, a);
  EXPECT_EQ(ab->destination, b);
  EXPECT_EQ(ab->frames, 1u);

  FrameSpec r;
  std::swap(r.src_ip, r.dst_ip);
  std::swap(r.src_mac, r.dst_mac);
  feed(*net, make_frame(r), 10, 1);
  EXPECT_EQ(net->hosts.count(), 2);
  EXPECT_EQ(b->links.count(), 1);
  Link* ba = link_find(*b, a->address);
  ASSERT_NE(ba, nullptr);
  EXPECT_NE(ba, ab);
  // Hosts were grouped once and ranked.
  ASSERT_EQ(net->subnets.count(), 1);
  EXPECT_EQ(net->subnets.head()->data->host_count, 2);
  EXPECT_EQ(net->top_hosts.count(), 2);
  EXPECT_EQ(net->top_links.count(), 2);
}

TEST_F(FramePath, SourceAndDestinationCounters) {
  FrameSpec s;
  feed(*net, make_frame(s), 10, 0, 1500);
  feed(*net, make_frame(s), 10, 1, 500);
  Node* a = host("10.0.0.1");
  Node* b = host("10.0.0.2");
  EXPECT_EQ(a->frames_sent, 2u);
  EXPECT_EQ(a->bytes_sent, 2000u);
  EXPECT_EQ(a->last_seen, (TimeValue{10, 1}));
  // A receive-only host is active but has sent nothing and has no time.
  EXPECT_EQ(b->frames_sent, 0u);
  EXPECT_EQ(b->bytes_sent, 0u);
  EXPECT_EQ(b->last_seen, (TimeValue{0, 0}));
  EXPECT_EQ(b->active, 1);
  // Ethernet addresses as the frame gave them.
  EXPECT_EQ(netaddr_text(a->ether_address), "02:00:00:00:00:01");
  EXPECT_EQ(netaddr_text(b->ether_address), "02:00:00:00:00:02");
}

TEST_F(FramePath, BytesAreCountedBeyond32Bits) {
  FrameSpec s;
  const std::uint32_t big = 0xFFFF0000u;
  feed(*net, make_frame(s), 10, 0, big);
  feed(*net, make_frame(s), 10, 1, big);
  Node* a = host("10.0.0.1");
  EXPECT_EQ(a->bytes_sent, 2ull * big);
  EXPECT_EQ(link_find(*a, host("10.0.0.2")->address)->bytes, 2ull * big);
}

// A source address sent from a second station is reported when detection
// is on, for IPv4 and IPv6 alike, and its host then carries the newer
// station; with detection off nothing is. A destination's station is never
// compared.
TEST_F(FramePath, SecondStationForASourceAddressIsReportedWhenDetecting) {
  using Bytes = std::vector<std::uint8_t>;
  using MakeFrame = Bytes (*)(std::uint8_t from_station, std::uint8_t to_station);
  const MakeFrame v4 = [](std::uint8_t from_station, std::uint8_t to_station) {
    FrameSpec s;
    s.src_mac[5] = from_station;
    s.dst_mac[5] = to_station;
    return make_frame(s);
  };
  const MakeFrame v6 = [](std::uint8_t from_station, std::uint8_t to_station) {
    Bytes f = testing::make_frame6("fd00::7", "fd00::1", 0, from_station);
    f[5] = to_station;
    return f;
  };
  struct StationCase {
    const char* name;
    bool detecting;
    MakeFrame frame;
    NetAddress source;
  };
  const StationCase cases[] = {
      {"ipv4, detection off", false, v4, NetAddress::ipv4(10, 0, 0, 1)},
      {"ipv4", true, v4, NetAddress::ipv4(10, 0, 0, 1)},
      {"ipv6, detection off", false, v6, NetAddress::parse(kAddrIpv6, "fd00::7")},
      {"ipv6", true, v6, NetAddress::parse(kAddrIpv6, "fd00::7")},
  };
  for (const StationCase& c : cases) {
    SCOPED_TRACE(c.name);
    net = net_create(model, c.name);
    hooks.on = c.detecting;
    hooks.reports.clear();
    feed(*net, c.frame(0x17, 2), 1, 0);
    feed(*net, c.frame(0x17, 2), 1, 1);  // same station: nothing to report
    EXPECT_TRUE(hooks.reports.empty());
    feed(*net, c.frame(0x18, 2), 1, 2);
    const Node* h = node_find(*net, c.source);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(netaddr_text(h->ether_address), c.detecting ? "02:00:00:00:00:18" : "02:00:00:00:00:17");
    ASSERT_EQ(hooks.reports.size(), c.detecting ? 1u : 0u);
    if (c.detecting) {
      EXPECT_EQ(hooks.reports[0].ip, netaddr_text(c.source));
      EXPECT_EQ(hooks.reports[0].recorded, "02:00:00:00:00:17");
      EXPECT_EQ(hooks.reports[0].frame, "02:00:00:00:00:18");
    }
    feed(*net, c.frame(0x18, 0x77), 1, 3);
    EXPECT_EQ(hooks.reports.size(), c.detecting ? 1u : 0u);
  }
}

TEST_F(FramePath, ThousandFramesThenExpiry) {
  FrameSpec s;
  for (int i = 0; i < 1000; ++i) feed(*net, make_frame(s), 50, i * 900, 100);
  EXPECT_EQ(net->window_frames, 1000u);
  EXPECT_EQ(net->window_bytes, 100000u);
  Node* a = host("10.0.0.1");
  Link* l = link_find(*a, host("10.0.0.2")->address);
  EXPECT_EQ(a->window_frames, 1000u);
  EXPECT_EQ(l->window_bytes, 100000u);

  // From another host, just over a second after the last frame.
  FrameSpec o;
  o.src_ip[3] = 7;
  feed(*net, make_frame(o), 51, 999 * 900 + 1, 60);
  EXPECT_EQ(net->window_frames, 1u);
  EXPECT_EQ(net->window_bytes, 60u);
  EXPECT_EQ(a->window_frames, 0u);
  EXPECT_EQ(a->window_bytes, 0u);
  EXPECT_EQ(l->window_frames, 0u);
  EXPECT_EQ(a->frames_sent, 1000u);  // totals stay
}

// With no frames the window ages by the clock: its frames leave a second
// after they came, and every count they were in falls with them.
TEST_F(FramePath, QuietWindowAgesByTheClockAlone) {
  FrameSpec s;
  feed(*net, make_frame(s), 50, 0, 100);
  feed(*net, make_frame(s), 50, 600000, 100);
  Node* a = host("10.0.0.1");
  Link* l = link_find(*a, host("10.0.0.2")->address);
  const struct {
    TimeValue now;
    std::uint32_t frames;
  } steps[] = {{{50, 900000}, 2}, {{51, 0}, 2}, {{51, 1}, 1}, {{51, 600001}, 0}, {{90, 0}, 0}};
  for (const auto& step : steps) {
    net_age_window(*net, step.now);
    EXPECT_EQ(net->window_frames, step.frames) << step.now.sec << "." << step.now.usec;
    EXPECT_EQ(net->window_bytes, 100u * step.frames);
    EXPECT_EQ(a->window_frames, step.frames);
    EXPECT_EQ(l->window_bytes, 100u * step.frames);
  }
  // The window goes on as before once frames come again.
  feed(*net, make_frame(s), 91, 0, 100);
  EXPECT_EQ(net->window_frames, 1u);
  EXPECT_EQ(a->frames_sent, 3u);
}

TEST_F(FramePath, FrameExactlyOneSecondOldStaysInWindow) {
  FrameSpec s;
  feed(*net, make_frame(s), 20, 0, 100);
  feed(*net, make_frame(s), 21, 0, 100);
  EXPECT_EQ(net->window_frames, 2u);
  feed(*net, make_frame(s), 21, 1, 100);
  EXPECT_EQ(net->window_frames, 2u);
}

TEST_F(FramePath, WindowCountersNeverDriftOnHugeFrames) {
  // Lengths above 16 bits (segmentation offload) must leave the counters
  // exactly as they found them once they expire.
  FrameSpec s;
  feed(*net, make_frame(s), 30, 0, 70000);
  feed(*net, make_frame(s), 30, 1, 65536);
  EXPECT_EQ(net->window_bytes, 135536u);
  feed(*net, make_frame(s), 32, 0, 10);
  EXPECT_EQ(net->window_bytes, 10u);
  EXPECT_EQ(host("10.0.0.1")->window_bytes, 10u);
}

// Per-second figures stay exact at any rate: the window grows instead of
// letting frames go before their second is over, and what leaves it later
// leaves every counter it entered.
TEST_F(FramePath, PerSecondFiguresAtHighRates) {
  struct Case {
    int frames;
    int span_us;  // the frames spread evenly over this much capture time
    std::uint32_t length;
    std::uint32_t load;  // percent of 100 Mbit/s
  };
  for (const Case c : {Case{8000, 800000, 1250, 80}, Case{100000, 999990, 60, 48}}) {
    net = net_create(model, "eth" + std::to_string(c.frames));
    FrameSpec a, b;
    b.src_ip[3] = 9;
    for (int i = 0; i < c.frames; ++i) {
      const std::int64_t us = std::int64_t(i) * c.span_us / c.frames;
      feed(*net, make_frame(i % 4 == 0 ? b : a), 5 + static_cast<std::int32_t>(us / 1000000),
           static_cast<std::int32_t>(us % 1000000), c.length);
    }
    const std::uint32_t n = static_cast<std::uint32_t>(c.frames);
    EXPECT_EQ(net->window_frames, n);
    EXPECT_EQ(net->window_bytes, std::uint64_t(n) * c.length);
    EXPECT_EQ(load_percent_of(net->window_bytes, 100'000'000), c.load);
    EXPECT_EQ(host("10.0.0.9")->window_frames, n / 4);
    EXPECT_EQ(host("10.0.0.1")->window_frames, n - n / 4);
    Link* l = link_find(*host("10.0.0.9"), NetAddress::parse(kAddrIpv4, "10.0.0.2"));
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->window_bytes, std::uint64_t(n / 4) * c.length);
    // Two seconds on, one frame: everything before it has left every counter.
    feed(*net, make_frame(a), 8, 0, 10);
    EXPECT_EQ(net->window_frames, 1u);
    EXPECT_EQ(net->window_bytes, 10u);
    EXPECT_EQ(host("10.0.0.9")->window_frames, 0u);
    EXPECT_EQ(l->window_bytes, 0u);
    EXPECT_EQ(host("10.0.0.1")->window_bytes, 10u);
  }
}

TEST_F(FramePath, ShortAndMalformedFramesAreDroppedSafely) {
  FrameSpec s;
  std::vector<std::uint8_t> f = make_frame(s);
  for (std::uint32_t cap : {0u, 1u, 13u, 14u, 20u, 33u}) {
    FrameHeader h;
    h.time = {3, static_cast<std::int32_t>(cap)};
    h.caplen = cap;
    h.len = 60;
    netif_callback(*net, h, f.data());
  }
  EXPECT_EQ(net->hosts.count(), 0);
  EXPECT_EQ(net->counters.frames_filtered, 6u);
  // A header length below 5 words is not an IPv4 header.
  f[14] = 0x43;
  feed(*net, f, 3, 100);
  EXPECT_EQ(net->hosts.count(), 0);
  // Exactly the fixed header captured: counted, no ports to look at.
  f[14] = 0x45;
  FrameHeader h;
  h.time = {3, 200};
  h.caplen = 34;
  h.len = 1000;
  netif_callback(*net, h, f.data());
  EXPECT_EQ(net->hosts.count(), 2);
}

TEST_F(FramePath, TcpHandOffUsesHeaderLength) {
  FrameSpec s;
  s.protocol = 6;
  s.sport = 40000;
  s.dport = 80;
  s.ip_options = 12;
  s.text = "GET / HTTP/1.0\r\n\r\n";
  std::vector<std::uint8_t> f = make_frame(s);
  feed(*net, f, 7, 0, 1200);
  ASSERT_EQ(hooks.segments.size(), 1u);
  const auto& seg = hooks.segments[0];
  const std::size_t offset = 14 + 32;
  ASSERT_EQ(seg.tcp.size(), f.size() - offset);
  EXPECT_EQ((seg.tcp[0] << 8) | seg.tcp[1], 40000);
  EXPECT_EQ((seg.tcp[2] << 8) | seg.tcp[3], 80);
  EXPECT_EQ(std::string(seg.tcp.begin() + 20, seg.tcp.begin() + 23), "GET");
  EXPECT_EQ(seg.wire_length, 1200u - offset);
  EXPECT_EQ(seg.src, "10.0.0.1");
  EXPECT_EQ(seg.dst, "10.0.0.2");
  EXPECT_EQ(seg.urls, &net->urls);

  // UDP goes nowhere near the sniffer.
  FrameSpec u;
  feed(*net, make_frame(u), 7, 1);
  EXPECT_EQ(hooks.segments.size(), 1u);
}

TEST_F(FramePath, ProtocolTreeFollowsClassification) {
  FrameSpec http;
  http.protocol = 6;
  http.dport = 80;
  feed(*net, make_frame(http), 1, 0, 100);
  FrameSpec udp;
  feed(*net, make_frame(udp), 1, 1, 50);
  Link* l = link_find(*host("10.0.0.1"), host("10.0.0.2")->address);
  ASSERT_NE(l->protocol_tree, nullptr);
  EXPECT_EQ(l->protocol_tree->protocol, testing::as_node(classifier.ether));
  EXPECT_EQ(l->protocol_tree->frames, 2u);
  EXPECT_EQ(l->protocol_tree->bytes, 150u);
}

// A frame of any link layer is counted as the Ethernet frame with its
// payload would be: classified the same, its host keeping the VLAN it was
// last seen on and only an Ethernet address the link layer really gave.
TEST_F(FramePath, EveryLinkLayerCountsLikeEthernet) {
  using Bytes = std::vector<std::uint8_t>;
  const auto http_from = [](std::uint8_t last) {
    FrameSpec s;
    s.protocol = 6;
    s.dport = 80;
    s.src_ip[3] = last;
    return make_frame(s);
  };
  const auto payload = [](const Bytes& f) { return Bytes(f.begin() + 14, f.end()); };
  const auto join = [](Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const Bytes tagged =
      join({2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x81, 0, 0, 10, 8, 0}, payload(http_from(11)));
  struct Case {
    const char* name;
    LinkType link;
    Bytes frame;
    const char* host;
    const char* ether;  // "" for none
    std::uint16_t vlan;
    const char* path;  // the fake tree stops at a tag, as the real one names it
  } cases[] = {
      {"ethernet", LinkType::kEthernet, http_from(10), "10.0.0.10", "02:00:00:00:00:01", 0,
       "ETHER IP TCP HTTP "},
      {"tagged", LinkType::kEthernet, tagged, "10.0.0.11", "02:00:00:00:00:01", 10, "ETHER "},
      {"cooked", LinkType::kLinuxSll,
       join({0, 4, 0, 1, 0, 6, 2, 0, 0, 0, 0, 7, 0, 0, 8, 0}, payload(http_from(12))), "10.0.0.12",
       "02:00:00:00:00:07", 0, "ETHER IP TCP HTTP "},
      {"cooked v2, tagged", LinkType::kLinuxSll2,
       join({0x81, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 2, 0, 0, 0, 0, 8, 0, 0, 0, 20, 8, 0},
            payload(http_from(13))),
       "10.0.0.13", "02:00:00:00:00:08", 20, "ETHER "},
      {"raw", LinkType::kRaw, payload(http_from(14)), "10.0.0.14", "", 0, "ETHER IP TCP HTTP "},
      {"loopback", LinkType::kNull, join({2, 0, 0, 0}, payload(http_from(15))), "10.0.0.15", "", 0,
       "ETHER IP TCP HTTP "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameHeader h = testing::header_at(1.0, static_cast<std::uint32_t>(c.frame.size()),
                                       static_cast<std::uint32_t>(c.frame.size()));
    h.link = c.link;
    netif_callback(*net, h, c.frame.data());
    Node* src = host(c.host);
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->frames_sent, 1u);
    EXPECT_EQ(src->vlan, c.vlan);
    EXPECT_EQ(host("10.0.0.2")->vlan, c.vlan);
    EXPECT_EQ(netaddr_text(src->ether_address), c.ether);
    const Link* l = link_find(*src, host("10.0.0.2")->address);
    ASSERT_NE(l, nullptr);
    const LinkProtoNode* n = l->protocol_tree;
    std::string path;
    for (; n != nullptr; n = n->child) path += std::string(classifier.name_of(n->protocol)) + " ";
    EXPECT_EQ(path, c.path);
  }
  // The VLAN is the last frame's: an untagged frame from a tagged host
  // clears it.
  feed(*net, http_from(11), 2, 0);
  EXPECT_EQ(host("10.0.0.11")->vlan, 0);
}

TEST_F(FramePath, HostListStaysOrderedByAddress) {
  const std::uint8_t order[] = {9, 3, 200, 1, 50};
  for (std::uint8_t last : order) {
    FrameSpec s;
    s.src_ip[3] = last;
    s.dst_ip[0] = 192;
    s.dst_ip[1] = 168;
    s.dst_ip[2] = 0;
    s.dst_ip[3] = last;
    feed(*net, make_frame(s), 1, last);
  }
  std::vector<std::string> seen;
  net->host_list.foreach ([&](Node* n) { seen.push_back(n->address_text().c_str()); });
  ASSERT_EQ(seen.size(), 10u);
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_GE(netaddr_compare(NetAddress::parse(kAddrIpv4, seen[i - 1].c_str()),
                              NetAddress::parse(kAddrIpv4, seen[i].c_str())),
              0)
        << seen[i - 1] << " then " << seen[i];
  }
}

}  // namespace
}  // namespace tarnix
