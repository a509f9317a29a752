// Hosts, links, ticks, names, subnet groups, protocol trees and the dominant
// protocol.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "capture/adapter.h"
#include "capture/fakes.h"
#include "capture/frames.h"
#include "capture/net.h"

namespace tarnix {
namespace {

using testing::as_node;
using testing::FakeClassifier;
using testing::FakeNamer;
using testing::FakeProto;
using testing::FrameSpec;
using testing::feed;
using testing::make_frame;

NetAddress ip(const char* text) { return NetAddress::parse(kAddrIpv4, text); }

struct Fixture {
  explicit Fixture(HostNamer* namer = nullptr, FocusSource* focus = nullptr)
      : model(&classifier, namer, focus) {
    net = net_create(model, "eth0");
  }
  FakeClassifier classifier;
  TrafficModel model;
  Net* net;
};

// One frame from 10.0.0.1 to 10.0.0.2, then ticks: a host is active while
// it sent within the host time-out or a link to it is active, a link while
// it carried a frame within the link time-out.
TEST(Tick, WhoIsActiveAfterOneFrame) {
  struct Step {
    TimeValue now;
    int sender, receiver, link;
  };
  struct TickCase {
    const char* name;
    std::int32_t sent_at;
    int link_timeout_s;  // 0: the default
    std::vector<Step> steps;
  };
  const TickCase cases[] = {
      {"host time-out boundary; 9.999 s is past a 5 s link time-out",
       100,
       5,
       {{{109, 999000}, 1, 0, 0}, {{110, 0}, 0, 0, 0}}},
      {"a receive-only host lives through its links", 1000, 0, {{{1001, 0}, 1, 1, 1}, {{1005, 0}, 1, 0, 0}}},
      {"a host that never sent is inactive even near time zero", 0, 0, {{{30, 0}, 0, 0, 0}}},
      // 4,294,968 s on, the 32-bit millisecond difference has wrapped to a
      // small number.
      {"ageing survives the millisecond wrap", 1000, 0, {{{1000 + 4294967, 300000}, 0, 0, 0}}},
  };
  for (const TickCase& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    FrameSpec s;
    feed(*f.net, make_frame(s), c.sent_at, 0);
    Node* a = node_find(*f.net, ip("10.0.0.1"));
    Node* b = node_find(*f.net, ip("10.0.0.2"));
    Link* l = link_find(*a, b->address);
    if (c.link_timeout_s != 0) f.model.link_timeout_s = c.link_timeout_s;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(std::to_string(step.now.sec) + "." + std::to_string(step.now.usec));
      f.model.now = step.now;
      net_tick(*f.net);
      EXPECT_EQ(a->active, step.sender);
      EXPECT_EQ(b->active, step.receiver);
      EXPECT_EQ(l->active, step.link);
    }
  }
}

TEST(Tick, RateClimbsOverTenTicks) {
  Fixture f;
  FrameSpec s;
  feed(*f.net, make_frame(s), 10, 0, 1000);
  Node* a = node_find(*f.net, ip("10.0.0.1"));
  Link* l = link_find(*a, ip("10.0.0.2"));
  net_tick(*f.net);
  EXPECT_DOUBLE_EQ(a->byte_rate(), 100.0);
  EXPECT_DOUBLE_EQ(l->byte_rate(), 100.0);
  EXPECT_DOUBLE_EQ(a->frame_rate(), 0.1);
  for (int i = 1; i < 10; ++i) net_tick(*f.net);
  EXPECT_DOUBLE_EQ(a->byte_rate(), 1000.0);
  EXPECT_DOUBLE_EQ(l->byte_rate(), 1000.0);
}

// The tick skips links that have been quiet and inactive for ten ticks; what
// it shows must be what visiting every link would show.
TEST(Tick, QuietLinksSleepWithoutChangingWhatTheTickShows) {
  Fixture f;
  FrameSpec s;
  feed(*f.net, make_frame(s), 100, 0, 1000);
  Node* a = node_find(*f.net, ip("10.0.0.1"));
  Link* l = link_find(*a, ip("10.0.0.2"));
  FrameSpec other;
  other.src_ip[3] = 9;
  feed(*f.net, make_frame(other), 102, 0, 10);  // empties the window
  for (int i = 0; i < 12; ++i) {
    f.model.now = {110 + i, 0};
    net_tick(*f.net);
  }
  EXPECT_EQ(l->active, 0);
  EXPECT_DOUBLE_EQ(l->byte_rate(), 0.0);
  EXPECT_EQ(l->tick_state, LinkTickState::kAsleep);
  // Ten zeros in both rates: the records let go of them.
  EXPECT_EQ(l->rates, nullptr);
  EXPECT_EQ(a->rates, nullptr);

  // A longer link time-out makes it active again, as a full tick would.
  f.model.link_timeout_s = 100;
  net_tick(*f.net);
  EXPECT_EQ(l->active, 1);
  f.model.link_timeout_s = 5;
  for (int i = 0; i < 12; ++i) net_tick(*f.net);
  EXPECT_EQ(l->active, 0);

  // So does capture time running backwards (a merged file).
  f.model.now = {101, 0};
  net_tick(*f.net);
  EXPECT_EQ(l->active, 1);

  // A frame wakes it; its rate climbs again.
  feed(*f.net, make_frame(s), 200, 0, 1000);
  net_tick(*f.net);
  EXPECT_EQ(l->active, 1);
  EXPECT_DOUBLE_EQ(l->byte_rate(), 100.0);
  EXPECT_DOUBLE_EQ(a->byte_rate(), 100.0);
}

// The tick as the rules give it: every host, then every host's links in the
// table's order, each time.
void plain_tick(Net& net) {
  const TimeValue now = net.model->now;
  const std::uint32_t node_ms = static_cast<std::uint32_t>(net.model->node_timeout_s.load()) * 1000u;
  const std::uint32_t link_ms = static_cast<std::uint32_t>(net.model->link_timeout_s.load()) * 1000u;
  auto elapsed_ms = [&](const TimeValue& then) -> std::uint64_t {
    const std::int64_t d = (static_cast<std::int64_t>(now.sec) - then.sec) * 1000000 + (now.usec - then.usec);
    return d < 0 ? 0 : static_cast<std::uint64_t>(d) / 1000u;
  };
  std::shared_ptr<const FocusList> focus = net.model->focus ? net.model->focus->active_focus() : nullptr;
  net.host_list.foreach ([&](Node* h) {
    sampler_add(rates_of(*h).frames, h->window_frames);
    sampler_add(rates_of(*h).bytes, h->window_bytes);
    h->active = h->frames_sent > 0 && elapsed_ms(h->last_seen) < node_ms ? 1 : 0;
  });
  net.host_list.foreach ([&](Node* h) {
    h->links.foreach ([&](const NetAddress&, std::unique_ptr<Link>& l) {
      sampler_add(rates_of(*l).frames, l->window_frames);
      sampler_add(rates_of(*l).bytes, l->window_bytes);
      if (elapsed_ms(l->last_seen) < link_ms) {
        l->dominant_protocol.store(link_dominant(*l, focus.get()));
        l->active = 1;
        l->source->active = 1;
        l->destination->active = 1;
      } else {
        l->active = 0;
      }
    });
  });
}

// What the tick shows of every host and link, as text.
std::string tick_view(Net& net) {
  std::string out;
  net.host_list.foreach ([&](Node* h) {
    out += netaddr_text(h->address) + " a" + std::to_string(h->active) + " " +
           std::to_string(h->frame_rate()) + " " + std::to_string(h->byte_rate()) + "\n";
    h->links.foreach ([&](const NetAddress& to, std::unique_ptr<Link>& l) {
      out += "  > " + netaddr_text(to) + " a" + std::to_string(l->active) + " d" +
             std::to_string(l->dominant_protocol.load()) + " " + std::to_string(l->frame_rate()) + " " +
             std::to_string(l->byte_rate()) + "\n";
    });
  });
  return out;
}

// The tick leaves quiet links alone until their time-out ends; whatever it
// shows must be what ticking every host and link each time shows: under
// bursts and silences, capture time running backwards, time-outs changed
// either way and the focus replaced.
TEST(Tick, ShowsWhatTickingEveryLinkShows) {
  SharedFocus focus_a, focus_b;
  Fixture fast(nullptr, &focus_a), plain(nullptr, &focus_b);
  const protocol_node* tcp = as_node(fast.classifier.tcp);
  const protocol_node* udp = as_node(fast.classifier.udp);
  const protocol_node* http = as_node(fast.classifier.http);
  // The fixtures' classifiers are distinct objects with distinct nodes; the
  // plain side's focus must name its own.
  auto translate = [&](const protocol_node* p) -> const protocol_node* {
    if (p == tcp) return as_node(plain.classifier.tcp);
    if (p == udp) return as_node(plain.classifier.udp);
    return as_node(plain.classifier.http);
  };
  auto set_both = [&](std::vector<FocusEntry> entries) {
    std::vector<FocusEntry> other = entries;
    for (FocusEntry& e : other) e.protocol = translate(e.protocol);
    focus_a.set(std::make_shared<const FocusList>(std::move(entries)));
    focus_b.set(std::make_shared<const FocusList>(std::move(other)));
  };
  set_both({{tcp, 3}, {udp, 5}});

  std::mt19937 rng(5);
  std::int64_t usec = 100LL * 1000000;
  for (int tick = 0; tick < 600; ++tick) {
    // Bursts on a few of 12 hosts, then silences long enough for links to
    // fall quiet and time out.
    const bool silent = (tick / 40) % 3 == 2;
    const int frames = silent ? 0 : static_cast<int>(rng() % 30);
    for (int i = 0; i < frames; ++i) {
      FrameSpec s;
      s.src_ip[3] = static_cast<std::uint8_t>(1 + rng() % 12);
      s.dst_ip[3] = static_cast<std::uint8_t>(1 + rng() % (tick % 7 == 0 ? 12 : 4));
      s.protocol = rng() % 3 == 0 ? 17 : 6;
      s.sport = rng() % 2 ? 80 : 4000;
      s.payload = rng() % 600;
      const auto f = make_frame(s);
      usec += static_cast<std::int64_t>(rng() % 20000);
      const auto sec = static_cast<std::int32_t>(usec / 1000000);
      const auto us = static_cast<std::int32_t>(usec % 1000000);
      feed(*fast.net, f, sec, us);
      feed(*plain.net, f, sec, us);
    }
    usec += 100000;  // a cycle's worth of capture time passes
    TimeValue now = {static_cast<std::int32_t>(usec / 1000000), static_cast<std::int32_t>(usec % 1000000)};
    if (tick == 250 || tick == 480) now.sec -= 30;  // a merged file runs backwards for one tick
    fast.model.now = plain.model.now = now;
    if (tick == 150) fast.model.link_timeout_s = plain.model.link_timeout_s = 2;
    if (tick == 300) fast.model.link_timeout_s = plain.model.link_timeout_s = 9;
    if (tick == 420) fast.model.node_timeout_s = plain.model.node_timeout_s = 3;
    if (tick == 200) set_both({{http, 7}, {udp, 1}});
    if (tick == 350) set_both({});
    if (tick == 360) set_both({{udp, 2}, {tcp, 4}, {http, 6}});
    net_tick(*fast.net);
    plain_tick(*plain.net);
    ASSERT_EQ(tick_view(*fast.net), tick_view(*plain.net)) << "tick " << tick;
  }
}

TEST(Names, CachedNameAtOnceOtherwiseOnCompletion) {
  FakeNamer namer;
  namer.cached["10.0.0.1"] = {"alpha.example.org"};
  Fixture f(&namer);
  FrameSpec s;
  feed(*f.net, make_frame(s), 1, 0);
  Node* a = node_find(*f.net, ip("10.0.0.1"));
  Node* b = node_find(*f.net, ip("10.0.0.2"));
  EXPECT_EQ(node_name(*a), "alpha.example.org");
  EXPECT_EQ(node_short_name(*a), "alpha");
  EXPECT_EQ(node_name(*b), "");
  EXPECT_EQ(node_display_name(*b), "10.0.0.2");
  ASSERT_EQ(namer.pending.size(), 1u);  // only the uncached one was asked

  namer.answer_all({{"10.0.0.2", "beta"}});
  EXPECT_EQ(node_name(*b), "beta");
  EXPECT_EQ(node_short_name(*b), "beta");
  EXPECT_EQ(LinkRankTraits::name(link_find(*a, b->address)), "alpha.example.org, beta");
}

TEST(Names, EntryWithoutRecordLeavesAddress) {
  FakeNamer namer;
  Fixture f(&namer);
  FrameSpec s;
  feed(*f.net, make_frame(s), 1, 0);
  namer.answer_all({});
  Node* a = node_find(*f.net, ip("10.0.0.1"));
  EXPECT_NE(a->name_entry.load(), nullptr);
  EXPECT_EQ(node_display_name(*a), "10.0.0.1");
}

TEST(Names, CompletionAfterModelIsGoneIsHarmless) {
  FakeNamer namer;
  {
    Fixture f(&namer);
    FrameSpec s;
    feed(*f.net, make_frame(s), 1, 0);
  }
  // Without a request still outstanding there would be nothing to test.
  ASSERT_FALSE(namer.pending.empty());
  namer.answer_all({{"10.0.0.1", "late"}});  // must not touch freed hosts
  EXPECT_TRUE(namer.pending.empty());
}

// Groups for a host address given a local address and mask.
std::string group_of(const char* host, const char* local, const char* mask) {
  return netaddr_text(ip_net_address(ip(host), ip(local), ip(mask)));
}

TEST(Grouping, ClassAndLocalMask) {
  EXPECT_EQ(group_of("10.1.9.9", "10.1.2.3", "255.255.0.0"), "10.1.0.0");
  EXPECT_EQ(group_of("11.2.3.4", "10.1.2.3", "255.255.0.0"), "11.0.0.0");
  EXPECT_EQ(group_of("172.16.5.5", "10.1.2.3", "255.255.0.0"), "172.16.0.0");
  EXPECT_EQ(group_of("192.168.7.7", "10.1.2.3", "255.255.0.0"), "192.168.0.0");
  EXPECT_EQ(group_of("127.0.0.1", "10.1.2.3", "255.255.0.0"), "127.0.0.0");
  EXPECT_EQ(group_of("224.0.0.5", "10.1.2.3", "255.255.0.0"), "224.0.0.0");

  EXPECT_EQ(group_of("192.168.7.20", "192.168.7.1", "255.255.255.0"), "192.168.7.0");
  EXPECT_EQ(group_of("192.168.8.20", "192.168.7.1", "255.255.255.0"), "192.168.8.0");
  EXPECT_EQ(group_of("192.169.1.1", "192.168.7.1", "255.255.255.0"), "192.169.0.0");
}

TEST(Grouping, HostsJoinGroupsOnceInOrderOfCreation) {
  Fixture f;
  f.net->local_address = ip("192.168.7.1");
  f.net->local_mask = ip("255.255.255.0");
  Node* a = node_create(*f.net, ip("192.168.7.20"));
  Node* b = node_create(*f.net, ip("10.9.9.9"));
  Node* c = node_create(*f.net, ip("192.168.7.30"));
  ip_net_assign(*f.net, *a);
  ip_net_assign(*f.net, *b);
  ip_net_assign(*f.net, *c);
  ip_net_assign(*f.net, *a);  // again: nothing changes
  ASSERT_EQ(f.net->subnets.count(), 2);
  Subnet* first = f.net->subnets.head()->data;
  Subnet* second = f.net->subnets.head()->next->data;
  EXPECT_STREQ(first->address_text, "192.168.7.0");
  EXPECT_EQ(first->host_count, 2);
  EXPECT_EQ(first->hosts.first(), a);
  EXPECT_EQ(first->hosts.last(), c);
  EXPECT_EQ(first->layout_flag, 1);
  EXPECT_STREQ(second->address_text, "10.0.0.0");
  EXPECT_EQ(second->host_count, 1);
}

TEST(Mask, ParsedFromText) {
  NetAddress m;
  ASSERT_TRUE(parse_mask_text("255.255.240.0", m));
  EXPECT_EQ(netaddr_text(m), "255.255.240.0");
  ASSERT_TRUE(parse_mask_text("255.25x.0.junk", m));
  EXPECT_EQ(netaddr_text(m), "255.25.0.0");
  EXPECT_FALSE(parse_mask_text("255.255.0", m));
  EXPECT_FALSE(parse_mask_text("", m));
}

TEST(Mask, FromAdapterOrDefault) {
  std::vector<Device> devs(1);
  devs[0].name = "eth1";
  devs[0].has_netmask = true;
  devs[0].ipv4_netmask = ip("255.255.252.0");
  EXPECT_EQ(netaddr_text(local_mask_for(devs, "eth1")), "255.255.252.0");
  EXPECT_EQ(netaddr_text(local_mask_for(devs, "eth2")), "255.255.255.0");
}

struct TreeFixture : Fixture {
  FakeProto ether{"ETHER"}, ipn{"IP"}, tcp{"TCP"}, udp{"UDP"}, http{"HTTP"};
  Link* link() {
    Node* a = node_create(*net, ip("10.0.0.1"));
    Node* b = node_create(*net, ip("10.0.0.2"));
    return link_create(*net, *a, *b);
  }
};

TEST(LinkStat, TreeShapeForFourPaths) {
  TreeFixture f;
  Link* l = f.link();
  const protocol_node* p1[] = {as_node(f.ether), as_node(f.ipn), as_node(f.tcp), as_node(f.http), nullptr};
  const protocol_node* p2[] = {as_node(f.ether), as_node(f.ipn), as_node(f.udp), nullptr};
  linkstat_add(*l, p1, 100);
  linkstat_add(*l, p2, 40);
  LinkProtoNode* root = l->protocol_tree;
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->protocol, as_node(f.ether));
  EXPECT_EQ(root->frames, 2u);
  EXPECT_EQ(root->bytes, 140u);
  EXPECT_EQ(root->next, nullptr);
  LinkProtoNode* ipn = root->child;
  ASSERT_NE(ipn, nullptr);
  EXPECT_EQ(ipn->protocol, as_node(f.ipn));
  EXPECT_EQ(ipn->frames, 2u);
  LinkProtoNode* tcp = ipn->child;
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->protocol, as_node(f.tcp));
  EXPECT_EQ(tcp->frames, 1u);
  ASSERT_NE(tcp->next, nullptr);
  EXPECT_EQ(tcp->next->protocol, as_node(f.udp));
  EXPECT_EQ(tcp->next->frames, 1u);
  EXPECT_EQ(tcp->next->bytes, 40u);
  ASSERT_NE(tcp->child, nullptr);
  EXPECT_EQ(tcp->child->protocol, as_node(f.http));
  EXPECT_EQ(tcp->child->frames, 1u);
  EXPECT_EQ(tcp->child->child, nullptr);
  EXPECT_EQ(l->tree_inline_used + static_cast<int>(l->tree_storage.size()), 5);
}

TEST(LinkStat, EmptyPathMakesARootForNothing) {
  TreeFixture f;
  Link* l = f.link();
  const protocol_node* empty[] = {nullptr};
  linkstat_add(*l, empty, 100);
  ASSERT_NE(l->protocol_tree, nullptr);
  EXPECT_EQ(l->protocol_tree->protocol, nullptr);
  EXPECT_EQ(l->protocol_tree->frames, 0u);
}

TEST(LinkStat, FullPathOfSixStops) {
  TreeFixture f;
  Link* l = f.link();
  FakeProto p[6] = {{"a"}, {"b"}, {"c"}, {"d"}, {"e"}, {"f"}};
  const protocol_node* path[7];
  for (int i = 0; i < 6; ++i) path[i] = as_node(p[i]);
  path[6] = nullptr;
  linkstat_add(*l, path, 10);
  int depth = 0;
  for (LinkProtoNode* n = l->protocol_tree; n; n = n->child) {
    ++depth;
    EXPECT_EQ(n->frames, 1u);
  }
  EXPECT_EQ(depth, 6);
}

TEST(Dominant, HeaviestFocusProtocolEarlierWinsTies) {
  TreeFixture f;
  Link* l = f.link();
  const protocol_node* p1[] = {as_node(f.ether), as_node(f.ipn), as_node(f.tcp), nullptr};
  const protocol_node* p2[] = {as_node(f.ether), as_node(f.ipn), as_node(f.udp), nullptr};
  linkstat_add(*l, p1, 500);
  linkstat_add(*l, p2, 500);
  FocusList both = {{as_node(f.udp), 7}, {as_node(f.tcp), 3}};
  EXPECT_EQ(link_dominant(*l, &both), 7);
  FocusList swapped = {{as_node(f.tcp), 3}, {as_node(f.udp), 7}};
  EXPECT_EQ(link_dominant(*l, &swapped), 3);
  linkstat_add(*l, p2, 1);
  EXPECT_EQ(link_dominant(*l, &swapped), 7);
  FocusList none = {{as_node(f.http), 1}};
  EXPECT_EQ(link_dominant(*l, &none), -1);
  EXPECT_EQ(link_dominant(*l, nullptr), -1);
}

TEST(Dominant, TickStoresItForActiveLinksOnly) {
  SharedFocus focus;
  FakeClassifier c;
  TrafficModel model(&c, nullptr, &focus);
  Net* net = net_create(model, "eth0");
  focus.set(std::make_shared<FocusList>(FocusList{{as_node(c.udp), 4}}));
  FrameSpec s;
  feed(*net, make_frame(s), 1, 0);
  Link* l = link_find(*node_find(*net, ip("10.0.0.1")), ip("10.0.0.2"));
  EXPECT_EQ(l->dominant_protocol.load(), 0);
  net_tick(*net);
  EXPECT_EQ(l->dominant_protocol.load(), 4);
  model.now = {100, 0};
  focus.set(std::make_shared<FocusList>(FocusList{{as_node(c.tcp), 9}}));
  net_tick(*net);
  EXPECT_EQ(l->dominant_protocol.load(), 4);  // inactive: left alone
  link_refresh_dominant_all(*net);
  EXPECT_EQ(l->dominant_protocol.load(), -1);
}

TEST(Networks, CreateFindCurrent) {
  FakeClassifier c;
  TrafficModel model(&c, nullptr, nullptr);
  model.local_address = ip("10.0.0.1");
  Net* a = net_create(model, "eth0");
  Net* b = net_create(model, std::string(300, 'x'));
  EXPECT_EQ(b->name.size(), 254u);
  EXPECT_EQ(model.networks().front(), b);  // newest first
  EXPECT_EQ(net_find(model, "eth0"), a);
  EXPECT_EQ(net_find(model, "eth9"), nullptr);
  EXPECT_EQ(netaddr_text(a->local_address), "10.0.0.1");
  EXPECT_EQ(net_current(model), nullptr);
  net_set_current(model, a);
  net_set_current(model, nullptr);
  EXPECT_EQ(net_current(model), a);
}

TEST(Rankings, HostsByBytesSentLinksByBytes) {
  Fixture f;
  for (int i = 1; i <= 60; ++i) {
    FrameSpec s;
    s.src_ip[3] = static_cast<std::uint8_t>(i);
    s.dst_ip[2] = 9;
    feed(*f.net, make_frame(s), 1, i, static_cast<std::uint32_t>(100 + i));
  }
  // 61 hosts (60 senders, one receiver); the ranking holds the 50 largest.
  EXPECT_EQ(f.net->top_hosts.count(), 50);
  EXPECT_EQ(f.net->top_hosts.at(0)->address_text().c_str(), std::string("10.0.0.60"));
  EXPECT_EQ(f.net->top_links.at(0)->bytes, 160u);
  // A small sender grows past everyone and rises to the top.
  FrameSpec s;
  s.src_ip[3] = 5;
  s.dst_ip[2] = 9;
  feed(*f.net, make_frame(s), 2, 0, 10000);
  EXPECT_EQ(f.net->top_links.at(0)->source->address_text().c_str(), std::string("10.0.0.5"));
}

}  // namespace
}  // namespace tarnix
