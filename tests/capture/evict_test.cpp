// The model's bound: which records go, that every index, list and ranking
// forgets them, that what they counted is kept, and that their memory is
// reused only once nothing names them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "capture/bindings.h"
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

NetAddress ip(const char* text) {
  return NetAddress::parse(kAddrIpv4, text);
}

struct Bounded {
  Bounded(std::size_t hosts, std::size_t links, HostNamer* namer = nullptr)
      : model(&classifier, namer, nullptr) {
    model.max_hosts = hosts;
    model.max_links = links;
    net = net_create(model, "eth0");
  }
  void send(std::uint32_t from, std::uint32_t to, std::int32_t sec, std::int32_t usec = 0,
            std::size_t payload = 0) {
    FrameSpec s;
    for (int i = 0; i < 4; ++i) {
      s.src_ip[i] = static_cast<std::uint8_t>(from >> (24 - 8 * i));
      s.dst_ip[i] = static_cast<std::uint8_t>(to >> (24 - 8 * i));
    }
    s.payload = payload;
    const std::vector<std::uint8_t> f = make_frame(s);
    feed(*net, f, sec, usec);
    frames += 1;
    bytes += f.size();
  }
  // An IPv6 frame between fd00::FROM and fd00::TO (the low 32 bits).
  void send6(std::uint32_t from, std::uint32_t to, std::int32_t sec, std::int32_t usec = 0) {
    char src[48], dst[48];
    // Each address in a /64 of its own, as random sources of a flood come:
    // groups are made and emptied as often as hosts.
    std::snprintf(src, sizeof src, "fd00:0:%x:%x::1", from >> 16, from & 0xFFFF);
    std::snprintf(dst, sizeof dst, "fd00:0:%x:%x::1", to >> 16, to & 0xFFFF);
    const std::vector<std::uint8_t> f = testing::make_frame6(src, dst);
    feed(*net, f, sec, usec);
    frames += 1;
    bytes += f.size();
  }
  void tick(std::int32_t sec) {
    model.now = {sec, 0};
    net_tick(*net);
  }
  FakeClassifier classifier;
  TrafficModel model;
  Net* net;
  std::uint64_t frames = 0, bytes = 0;
};

constexpr std::uint32_t kBase = 0x0A000000;  // 10.0.0.0

// Every way of reaching a record agrees with the live set, nothing reaches
// an evicted one, and present plus evicted makes every frame and byte.
void expect_whole(Bounded& b) {
  Net& net = *b.net;
  std::set<const Node*> hosts(net.all_hosts.begin(), net.all_hosts.end());
  std::set<const Link*> links(net.all_links.begin(), net.all_links.end());
  std::uint64_t host_frames = 0, host_bytes = 0, link_frames = 0, link_bytes = 0;
  for (const Node* h : net.all_hosts) {
    EXPECT_FALSE(h->dead);
    EXPECT_EQ(node_find(net, h->address), h);
    EXPECT_EQ(net.all_hosts[h->all_index], h);
    host_frames += h->frames_sent;
    host_bytes += h->bytes_sent;
    h->links.foreach_link([&](const Link& l) { EXPECT_TRUE(links.count(&l)); });
    for (const Link* in = h->links_in; in != nullptr; in = in->next_in) EXPECT_EQ(in->destination, h);
  }
  for (const Link* l : net.all_links) {
    EXPECT_TRUE(hosts.count(l->source) && hosts.count(l->destination));
    if (l->source->address.is_ipv6()) {
      EXPECT_EQ(net.link_index6.find_if(link_key(net, *l), [&](const Link& x) { return &x == l; }), l);
    } else {
      EXPECT_EQ(net.link_index.find(link_key(net, *l)), l);
    }
    EXPECT_EQ(link_find(*l->source, l->destination->address), l);
    link_frames += l->frames;
    link_bytes += l->bytes;
  }
  EXPECT_EQ(net.host_list.count(), static_cast<int>(hosts.size()));
  net.host_list.foreach ([&](Node* h) { EXPECT_TRUE(hosts.count(h)); });
  int grouped = 0;
  net.subnets.foreach ([&](Subnet* s) {
    EXPECT_GT(s->host_count, 0);  // emptied groups go
    EXPECT_EQ(net.subnet_storage.at(s->storage_at).get(), s);
    EXPECT_EQ(s->address.is_ipv6() ? net.subnet_index6.at(ipv6_order(s->address))
                                   : net.subnet_index.at(address_order(s->address)),
              s);
    EXPECT_EQ(s->hosts.count(), s->host_count);
    s->hosts.foreach ([&](Node* h) {
      EXPECT_TRUE(hosts.count(h));
      EXPECT_EQ(h->group, s);
    });
    grouped += s->host_count;
  });
  EXPECT_EQ(grouped, static_cast<int>(hosts.size()));
  EXPECT_EQ(net.subnet_storage.size(), static_cast<std::size_t>(net.subnets.count()));
  EXPECT_EQ(net.subnet_index.size() + net.subnet_index6.size(), net.subnet_storage.size());
  for (int i = 0; i < net.top_hosts.count(); ++i) EXPECT_TRUE(hosts.count(net.top_hosts.at(i)));
  for (int i = 0; i < net.top_links.count(); ++i) EXPECT_TRUE(links.count(net.top_links.at(i)));
  for (const auto* recent : {net.recent_links.get(), net.recent_links6.get()})
    for (const Net::RecentLink& r : *recent)
      if (r.link != nullptr) {
        EXPECT_TRUE(links.count(r.link));
      }
  for (const Link* l : net.busy_links) EXPECT_TRUE(l->dead || links.count(l));

  EXPECT_EQ(host_frames + net.evicted.host_frames, b.frames);
  EXPECT_EQ(host_bytes + net.evicted.host_bytes, b.bytes);
  EXPECT_EQ(link_frames + net.evicted.link_frames, b.frames);
  EXPECT_EQ(link_bytes + net.evicted.link_bytes, b.bytes);
}

TEST(Bound, ChurnKeepsEveryIndexWholeAndTotalsAdd) {
  struct Case {
    std::size_t max_hosts, max_links;
    int per_second;  // frames a second
    int population;  // addresses drawn from
  };
  const Case cases[] = {{40, 60, 50, 400}, {200, 30, 200, 5000}, {25, 0, 30, 100}, {0, 10, 40, 60}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.max_hosts << " hosts, " << c.max_links << " links");
    Bounded b(c.max_hosts, c.max_links);
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::uint32_t> addr(1, static_cast<std::uint32_t>(c.population));
    for (std::int32_t sec = 100; sec < 160; ++sec) {
      for (int k = 0; k < c.per_second; ++k) {
        // Mostly to a few servers, as a LAN talks, the rest anywhere.
        const std::uint32_t to = k % 3 == 0 ? addr(rng) : 1 + k % 4;
        b.send(kBase + addr(rng), kBase + 0x10000 + to, sec, k * (1000000 / c.per_second), k % 7 * 10);
      }
      b.tick(sec + 1);
      if (sec == 130) {
        // A changed local network groups new hosts otherwise; those grouped
        // before leave the groups they joined.
        MutexLock g(b.net->lock);
        b.net->local_address = ip("10.0.0.1");
      }
      if (c.max_hosts != 0) {
        EXPECT_LE(b.net->all_hosts.size(), c.max_hosts);
      }
      if (c.max_links != 0) {
        EXPECT_LE(b.net->all_links.size(), c.max_links);
      }
      expect_whole(b);
    }
    EXPECT_GT(b.net->evicted.hosts + b.net->evicted.links, 0u);
    // Memory is reused, not taken anew for every address: besides the bound,
    // only records evicted within the last second or two wait.
    if (c.max_hosts != 0) {
      EXPECT_LE(b.net->all_hosts.size() + b.net->dead_hosts.size() + b.net->spare_hosts.size(),
                c.max_hosts + 4u * static_cast<std::size_t>(c.per_second));
    }
  }
}

// IPv6 hosts and links live in indexes of their own and sit after the IPv4
// hosts in the host list: the bound takes them out of those as well.
TEST(Bound, IPv6AndIPv4ChurnTogether) {
  Bounded b(40, 60);
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::uint32_t> addr(1, 300);
  for (std::int32_t sec = 100; sec < 140; ++sec) {
    for (int k = 0; k < 60; ++k) {
      const std::uint32_t from = addr(rng), to = k % 3 == 0 ? addr(rng) : 1 + k % 4;
      if (k % 2 == 0)
        b.send6(from, 0x10000 + to, sec, k * 16000);
      else
        b.send(kBase + from, kBase + 0x10000 + to, sec, k * 16000);
    }
    b.tick(sec + 1);
    EXPECT_LE(b.net->all_hosts.size(), 40u);
    EXPECT_LE(b.net->all_links.size(), 60u);
    expect_whole(b);
  }
  EXPECT_GT(b.net->evicted.hosts, 0u);
  EXPECT_GT(b.net->host_list.ipv6_count(), 0u);
}

TEST(Bound, LongestInactiveGoesHeldOnesStay) {
  // Hosts .1, .2, .3 each talk to .9 in turn; the bound of three hosts
  // takes .1, whose link last carried a frame, unless an alarm holds it.
  for (const bool held : {false, true}) {
    Bounded b(3, 0);
    b.send(kBase + 1, kBase + 9, 100);
    b.send(kBase + 2, kBase + 9, 200);
    if (held) node_find(*b.net, ip("10.0.0.1"))->held = true;
    b.send(kBase + 3, kBase + 9, 300);
    b.tick(300);
    EXPECT_NE(node_find(*b.net, ip("10.0.0.9")), nullptr);  // receives from the newest
    EXPECT_NE(node_find(*b.net, ip("10.0.0.3")), nullptr);
    EXPECT_EQ(node_find(*b.net, ip("10.0.0.1")) != nullptr, held);
    EXPECT_EQ(node_find(*b.net, ip("10.0.0.2")) != nullptr, !held);
    EXPECT_EQ(b.net->evicted.hosts, 1u);
    EXPECT_EQ(b.net->evicted.links, 1u);
    expect_whole(b);
  }
}

TEST(Bound, NewRecordsBetweenTicksTakeThePreparedVictims) {
  Bounded b(20, 0);
  for (std::uint32_t i = 0; i < 18; ++i)
    b.send(kBase + 100 + i, kBase + 1, 100 + static_cast<std::int32_t>(i));
  b.tick(120);  // within the headroom: victims chosen, none evicted
  EXPECT_EQ(b.net->evicted.hosts, 0u);
  ASSERT_FALSE(b.net->host_victims.empty());
  // Without a tick, each new host past the bound makes room at once, taking
  // the oldest first and never the frame's own hosts.
  for (std::uint32_t i = 0; i < 5; ++i) {
    b.send(kBase + 200 + i, kBase + 1, 130);
    EXPECT_LE(b.net->all_hosts.size(), 20u);
  }
  EXPECT_EQ(node_find(*b.net, ip("10.0.0.100")), nullptr);
  EXPECT_NE(node_find(*b.net, ip("10.0.0.204")), nullptr);
  EXPECT_NE(node_find(*b.net, ip("10.0.0.1")), nullptr);
  expect_whole(b);
}

TEST(Bound, MemoryIsReusedOnlyOnceNothingNamesIt) {
  FakeNamer namer;
  Bounded b(2, 0, &namer);
  b.send(kBase + 1, kBase + 2, 100, 0);
  Node* first = node_find(*b.net, ip("10.0.0.1"));
  Link* link = link_find(*first, ip("10.0.0.2"));
  const std::uint32_t generation = first->generation;
  // A new pair in the same second: the old pair's frame is still in the
  // one-second window and the name requests are unanswered.
  b.send(kBase + 3, kBase + 4, 100, 500000);
  b.tick(100);
  EXPECT_EQ(node_find(*b.net, ip("10.0.0.1")), nullptr);
  EXPECT_TRUE(first->dead);
  EXPECT_TRUE(link->dead);
  // The window lets go of the frame a second later; the host still waits
  // for its name.
  b.send(kBase + 3, kBase + 4, 102);
  b.tick(102);
  EXPECT_EQ(b.net->dead_links.size(), 0u);
  EXPECT_TRUE(first->dead);
  namer.answer_all({{"10.0.0.1", "gone.lan"}, {"10.0.0.2", "b.lan"}});
  b.tick(103);
  EXPECT_FALSE(first->dead);  // made a fresh record for the next host
  EXPECT_EQ(first->generation, generation + 1);
  expect_whole(b);
}

// A host whose look-up was turned away waits for no answer: its memory is
// reused as soon as the window lets go of it. Once the namer takes look-ups
// again, the hosts still present are asked, oldest first and each once.
TEST(Bound, TurnedAwayHostsAreReusedWithoutAnAnswerAndAskedAgainAsRoomComes) {
  FakeNamer namer;
  namer.refuse = true;
  Bounded b(2, 0, &namer);
  b.send(kBase + 1, kBase + 2, 100, 0);
  Node* first = node_find(*b.net, ip("10.0.0.1"));
  const std::uint32_t generation = first->generation;
  b.send(kBase + 3, kBase + 4, 100, 500000);
  b.tick(100);
  EXPECT_TRUE(first->dead);
  b.send(kBase + 3, kBase + 4, 102);
  b.tick(102);
  EXPECT_EQ(first->generation, generation + 1);
  EXPECT_TRUE(namer.pending.empty());
  namer.refuse = false;
  b.tick(103);
  b.tick(104);
  std::vector<std::string> asked;
  for (const auto& [address, done] : namer.pending) asked.push_back(address);
  EXPECT_EQ(asked, (std::vector<std::string>{"10.0.0.3", "10.0.0.4"}));
  namer.answer_all({{"10.0.0.4", "four.example"}});
  EXPECT_EQ(node_name(*node_find(*b.net, ip("10.0.0.4"))), "four.example");
  expect_whole(b);
}

// An evicted host lets go of its name-cache entry, which then leaves the
// cache with the next entries past its bound; present hosts keep theirs.
TEST(Bound, AnEvictedHostsNameEntryLeavesTheCache) {
  NullNameService ns;
  MemoryHostIdStore ids;
  HostCacheOptions options;
  options.max_entries = 16;
  HostCache cache(ns, ids, options);
  cache.start();
  HostCacheNamer namer(cache);
  Bounded b(4, 0, &namer);
  b.send(kBase + 1, kBase + 2, 100);
  cache.wait_idle();
  HostCacheRef first = node_find(*b.net, ip("10.0.0.1"))->name_entry.load();
  ASSERT_NE(first, nullptr);
  const std::weak_ptr<const HostCacheEntry> watch = first;
  for (std::uint32_t i = 0; i < 30; ++i) {
    b.send(kBase + 10 + 2 * i, kBase + 11 + 2 * i, 101 + static_cast<std::int32_t>(i));
    cache.wait_idle();
    b.tick(102 + static_cast<std::int32_t>(i));
  }
  EXPECT_EQ(node_find(*b.net, ip("10.0.0.1")), nullptr);
  EXPECT_EQ(first->name, "10.0.0.1");  // still whole for whoever kept it
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(cache.find_ipv4(ip("10.0.0.1")), watch.lock());
  EXPECT_EQ(watch.use_count(), 2);  // its keeper and the cache, no host
  for (int i = 0; i < 40; ++i)
    cache.request_ipv4(NetAddress::ipv4(10, 9, 0, static_cast<std::uint8_t>(i)), nullptr);
  cache.wait_idle();
  EXPECT_EQ(cache.find_ipv4(ip("10.0.0.1")), watch.lock());  // kept while held
  // Once its keeper lets go too, the next entries made take it.
  first.reset();
  for (int i = 40; i < 80; ++i)
    cache.request_ipv4(NetAddress::ipv4(10, 9, 0, static_cast<std::uint8_t>(i)), nullptr);
  cache.wait_idle();
  EXPECT_TRUE(watch.expired());
  EXPECT_LE(cache.entry_count(), 16);
  for (const Node* h : b.net->all_hosts) {
    const HostCacheRef e = h->name_entry.load();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(cache.find_ipv4(h->address), e);
  }
}

}  // namespace
}  // namespace tarnix
