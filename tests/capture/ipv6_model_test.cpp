// IPv6 frames through the traffic model: hosts, links, window, rankings,
// ageing, subnet groups and duplicate addresses, beside IPv4 ones.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/fakes.h"
#include "capture/frames.h"
#include "capture/net.h"

namespace tarnix {
namespace {

using testing::FakeClassifier;
using testing::FakeNamer;
using testing::feed;
using testing::make_frame6;
using testing::RecordingHooks;

NetAddress ip6(const char* text) {
  return NetAddress::parse(kAddrIpv6, text);
}

class Ipv6Model : public ::testing::Test {
 protected:
  Ipv6Model() : model(&classifier, &namer, nullptr, hooks.hooks()) {
    model.local_address6 = ip6("2001:db8:5::10");
    model.local_prefix6 = 48;
    net = net_create(model, "eth0");
  }
  Link* link(const NetAddress& from, const NetAddress& to) {
    Node* s = node_find(*net, from);
    return s != nullptr ? link_find(*s, to) : nullptr;
  }
  std::string group_of(const char* host) { return node_find(*net, ip6(host)) ? group_text(ip6(host)) : "-"; }
  std::string group_text(const NetAddress& host) {
    std::string out;
    net->subnets.foreach ([&](Subnet* s) {
      s->hosts.foreach ([&](Node* h) {
        if (netaddr_compare(h->address, host) == 0) out = s->address_text;
      });
    });
    return out;
  }

  FakeClassifier classifier;
  FakeNamer namer;
  RecordingHooks hooks;
  TrafficModel model;
  Net* net;
};

// Every directed pair counts its own frames and bytes, and an IPv6 address
// that begins with an IPv4 address's bytes is another host.
TEST_F(Ipv6Model, DirectedPairsCountTheirFramesAndBytes) {
  struct Pair {
    const char* src;
    const char* dst;
    int frames;
    std::size_t payload;
  };
  const Pair pairs[] = {{"fd00::1", "fd00::2", 3, 100},
                        {"fd00::2", "fd00::1", 2, 0},
                        {"fd00::1", "2001:db8:5:7::9", 1, 500},
                        {"fe80::1", "ff02::1", 1, 10},
                        {"a00:1::", "a00:2::", 2, 40}};
  int frames = 0;
  for (const Pair& p : pairs) {
    for (int i = 0; i < p.frames; ++i) feed(*net, make_frame6(p.src, p.dst, p.payload), 10, frames++);
  }
  testing::FrameSpec v4;  // 10.0.0.1 to 10.0.0.2: the first bytes of a00:1:: and a00:2::
  feed(*net, testing::make_frame(v4), 10, frames++);

  EXPECT_EQ(net->counters.frames_accepted, static_cast<std::uint64_t>(frames));
  EXPECT_EQ(net->hosts.count(), 9);
  EXPECT_EQ(net->window_frames, static_cast<std::uint32_t>(frames));
  for (const Pair& p : pairs) {
    Link* l = link(ip6(p.src), ip6(p.dst));
    ASSERT_NE(l, nullptr) << p.src << " > " << p.dst;
    const std::uint64_t length = p.payload + 62;  // Ethernet, IPv6 and UDP headers
    EXPECT_EQ(l->frames, static_cast<std::uint64_t>(p.frames)) << p.src << " > " << p.dst;
    EXPECT_EQ(l->bytes, p.frames * length) << p.src << " > " << p.dst;
    EXPECT_EQ(l->window_frames, static_cast<std::uint32_t>(p.frames));
    EXPECT_EQ(l->source->address_text().c_str(), std::string(p.src));
  }
  EXPECT_EQ(link(NetAddress::ipv4(10, 0, 0, 1), NetAddress::ipv4(10, 0, 0, 2))->frames, 1u);
  EXPECT_EQ(link(ip6("fd00::2"), ip6("2001:db8:5:7::9")), nullptr);

  // The busiest sender and link lead their rankings.
  std::vector<TopNEntry> top = net->read_ranked([](const Net& n) { return n.top_hosts.snapshot(); });
  EXPECT_EQ(top.front().name, "fd00::1");
  top = net->read_ranked([](const Net& n) { return n.top_links.snapshot(); });
  EXPECT_EQ(top.front().name, "fd00::1, 2001:db8:5:7::9");

  // IPv4 hosts first, then IPv6 ones, each from the highest address down.
  std::vector<std::string> order;
  net->host_list.foreach ([&](Node* h) { order.push_back(h->address_text().c_str()); });
  EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.2", "10.0.0.1", "ff02::1", "fe80::1", "fd00::2",
                                             "fd00::1", "2001:db8:5:7::9", "a00:2::", "a00:1::"}));

  // A link ages out by capture time, as an IPv4 one does.
  feed(*net, make_frame6("fd00::2", "fd00::1"), 16, 0);
  net_tick(*net);
  EXPECT_EQ(link(ip6("fd00::1"), ip6("fd00::2"))->active, 0);
  EXPECT_EQ(link(ip6("fd00::2"), ip6("fd00::1"))->active, 1);
}

// Two pairs that share a key never share a link: neither in the recent
// pairs nor in the index.
TEST_F(Ipv6Model, PairsWithOneKeyKeepTheirOwnLinks) {
  feed(*net, make_frame6("fd00::1", "fd00::2"), 1, 0);
  feed(*net, make_frame6("fd00::3", "fd00::4"), 1, 1);
  Link* decoy = link(ip6("fd00::3"), ip6("fd00::4"));
  const std::uint64_t key = ipv6_pair_key(ip6("fd00::1").bytes, ip6("fd00::2").bytes, net->key_seed);
  // The decoy takes both places of the pair's recent set, and the index
  // answers it first for the pair's key.
  for (Net::RecentLink& r : *net->recent_links6) r = {key, decoy, decoy->source, decoy->destination};
  RecordIndex<Link> index;
  index.add(key, decoy);
  index.add(key, link(ip6("fd00::1"), ip6("fd00::2")));
  net->link_index6 = std::move(index);

  feed(*net, make_frame6("fd00::1", "fd00::2"), 1, 2);
  EXPECT_EQ(link(ip6("fd00::1"), ip6("fd00::2"))->frames, 2u);
  EXPECT_EQ(decoy->frames, 1u);
  EXPECT_EQ(net->hosts.count(), 4);
}

TEST(Ipv6Groups, ByPrefix) {
  struct Case {
    const char* host;
    const char* local;
    int prefix;
    const char* group;
  };
  const Case cases[] = {
      {"2001:db8:1:2::5", "::", 64, "2001:db8:1:2::"},
      {"2001:db8:1:2:aaaa::5", "2001:db8:1:2::1", 64, "2001:db8:1:2::"},
      {"2001:db8:1:7::5", "2001:db8:1:2::1", 48, "2001:db8:1::"},  // the local /48
      {"2001:db8:2:7::5", "2001:db8:1:2::1", 48, "2001:db8:2:7::"},
      {"2001:db8:1:2::ff05", "2001:db8:1:2::ff01", 120, "2001:db8:1:2::ff00"},
      {"2001:db8:1:2::5", "2001:db8:1:2::ff01", 120, "2001:db8:1:2::"},  // in the /64, not the /120
      {"fe80::1:2:3:4", "2001:db8:1:2::1", 64, "fe80::"},
      {"febf:1::1", "::", 64, "fe80::"},
      {"fec0::1", "::", 64, "fec0::"},
      {"ff02::fb", "::", 64, "ff02::"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(netaddr_text(ip_net_address6(ip6(c.host), ip6(c.local), c.prefix)), c.group)
        << c.host << " from " << c.local << "/" << c.prefix;
  }
}

TEST_F(Ipv6Model, HostsJoinTheirGroupOnce) {
  const struct {
    const char* host;
    const char* group;
  } hosts[] = {{"2001:db8:5:1::1", "2001:db8:5::"},
               {"2001:db8:5:2::2", "2001:db8:5::"},
               {"2001:db8:6:1::1", "2001:db8:6:1::"},
               {"fe80::1", "fe80::"},
               {"fe80::2", "fe80::"}};
  int i = 0;
  for (const auto& h : hosts) feed(*net, make_frame6(h.host, "fe80::99"), 1, i++);
  for (const auto& h : hosts) EXPECT_EQ(group_of(h.host), h.group) << h.host;
  int link_local = 0;
  net->subnets.foreach ([&](Subnet* s) {
    if (std::string(s->address_text) == "fe80::") link_local = s->host_count;
  });
  EXPECT_EQ(link_local, 3);
  EXPECT_EQ(net->subnets.count(), 3);
}

}  // namespace
}  // namespace tarnix
