#include <gtest/gtest.h>

#include "naming/dupip.h"
#include "naming/fake_name_service.h"
#include "naming/host_cache.h"

namespace tarnix {
namespace {

using testing_support::FakeNameService;
using testing_support::ip;
using testing_support::reply;

NetAddress mac(std::uint8_t last) {
  const std::uint8_t b[6] = {0x00, 0x22, 0x72, 0x1b, 0x2c, last};
  return NetAddress::ether(b);
}

struct Hear {
  const char* name;
  NameSource source;
  bool by_ether = false;  // the name is for the Ethernet address (a DHCP request)
};

// A host 10.0.0.5 with adapter ...:05: whatever is heard, looked up or
// written in the ethers file, the best source names it, and a later name of
// the same source replaces an earlier one.
TEST(HeardNames, BestSourceWinsAndSameSourceReplaces) {
  struct Case {
    const char* what;
    std::vector<Hear> heard;
    const char* reverse;  // the name service's answer, or null
    const char* ethers;   // the ethers file's name for the adapter, or null
    const char* name;
    NameSource source;
  } cases[] = {
      {"nothing", {}, nullptr, nullptr, "", NameSource::kNone},
      {"one dns answer",
       {{"web.lan", NameSource::kDnsAnswer}},
       nullptr,
       nullptr,
       "web.lan",
       NameSource::kDnsAnswer},
      {"later dns answer replaces",
       {{"a.lan", NameSource::kDnsAnswer}, {"b.lan", NameSource::kDnsAnswer}},
       nullptr,
       nullptr,
       "b.lan",
       NameSource::kDnsAnswer},
      {"own record over an alias either way",
       {{"web.lan", NameSource::kDnsAnswer}, {"www.lan", NameSource::kDnsAlias}},
       nullptr,
       nullptr,
       "web.lan",
       NameSource::kDnsAnswer},
      {"mdns over dns either way",
       {{"a.local", NameSource::kMulticast}, {"b.lan", NameSource::kDnsAnswer}},
       nullptr,
       nullptr,
       "a.local",
       NameSource::kMulticast},
      {"dhcp by adapter over mdns",
       {{"a.local", NameSource::kMulticast}, {"laptop", NameSource::kDhcp, true}},
       nullptr,
       nullptr,
       "laptop",
       NameSource::kDhcp},
      {"reverse look-up over dhcp",
       {{"laptop", NameSource::kDhcp}},
       "host5.example",
       nullptr,
       "host5.example",
       NameSource::kLookup},
      {"ethers over everything",
       {{"laptop", NameSource::kDhcp, true}, {"x.lan", NameSource::kDnsAnswer}},
       "host5.example",
       "printer",
       "printer",
       NameSource::kEthers},
      {"not a host name is not heard",
       {{"bad_name!", NameSource::kDhcp}},
       nullptr,
       nullptr,
       "",
       NameSource::kNone},
      {"root dot dropped",
       {{"web.lan.", NameSource::kDnsAnswer}},
       nullptr,
       nullptr,
       "web.lan",
       NameSource::kDnsAnswer},
  };
  for (const Case& c : cases) {
    FakeNameService ns;
    if (c.reverse != nullptr) ns.answer_address(ip(10, 0, 0, 5), reply(c.reverse, {}, {ip(10, 0, 0, 5)}));
    MemoryHostIdStore ids;
    HostCache cache(ns, ids);
    auto ethers = std::make_shared<EtherNames>();
    if (c.ethers != nullptr)
      ethers->load_text(std::string("00:22:72:1b:2c:05 ") + c.ethers, "ethers", nullptr);
    cache.set_name_files(ethers, nullptr, false);
    cache.start();
    const NetAddress host = NetAddress::ipv4(10, 0, 0, 5);
    if (c.reverse != nullptr) cache.request_ipv4(host, nullptr);
    for (const Hear& h : c.heard) {
      HeardName heard{h.name, h.source, h.by_ether ? NetAddress{} : host, h.by_ether ? mac(5) : NetAddress{}};
      cache.hear(heard);
    }
    cache.wait_idle();
    const NetAddress ether = mac(5);
    const NameAndSource got = cache.name_of(host, &ether);
    EXPECT_EQ(got.name, c.name) << c.what;
    EXPECT_EQ(got.source, c.source) << c.what;
  }
}

// The host rows and the shown name of 10.0.0.5 follow what was heard,
// whether the name came before or after the host's entry, and never over a
// name a look-up gave.
TEST(HeardNames, StoredRowsAndShownNameFollowHeardNames) {
  struct Case {
    const char* what;
    bool entry_first;
    const char* reverse;  // the name service's answer, or null
    std::vector<Hear> heard;
    const char* shown;
    NameSource source;
  } cases[] = {
      {"heard before the entry",
       false,
       nullptr,
       {{"laptop", NameSource::kDhcp}},
       "laptop",
       NameSource::kDhcp},
      {"heard after the entry", true, nullptr, {{"laptop", NameSource::kDhcp}}, "laptop", NameSource::kDhcp},
      {"a better source renames",
       true,
       nullptr,
       {{"web.lan", NameSource::kDnsAnswer}, {"laptop", NameSource::kDhcp}},
       "laptop",
       NameSource::kDhcp},
      {"a look-up's name stays",
       true,
       "host5.example",
       {{"laptop", NameSource::kDhcp}},
       "host5.example",
       NameSource::kLookup},
      {"nothing heard", true, nullptr, {}, "10.0.0.5", NameSource::kNone},
  };
  const NetAddress host = NetAddress::ipv4(10, 0, 0, 5);
  for (const Case& c : cases) {
    FakeNameService ns;
    if (c.reverse != nullptr) ns.answer_address(ip(10, 0, 0, 5), reply(c.reverse, {}, {ip(10, 0, 0, 5)}));
    MemoryHostIdStore ids;
    HostCache cache(ns, ids);
    cache.start();
    auto hear_all = [&] {
      for (const Hear& h : c.heard) {
        cache.hear({h.name, h.source, host, {}});
        cache.wait_heard();
      }
    };
    if (!c.entry_first) hear_all();
    cache.request_ipv4(host, nullptr);
    cache.wait_idle();
    if (c.entry_first) hear_all();
    const NameAndSource shown = cache.shown_name(cache.find_ipv4(host));
    EXPECT_EQ(shown.name, c.shown) << c.what;
    EXPECT_EQ(shown.source, c.source) << c.what;
    const std::vector<MemoryHostIdStore::Row> rows = ids.rows();
    ASSERT_EQ(rows.size(), 1u) << c.what;
    EXPECT_EQ(rows[0].name, c.shown) << c.what;
  }
}

TEST(HeardNames, KeysHoldEveryKindAndTheLastHeardAddressIsFound) {
  const NetAddress a = NetAddress::ipv4(10, 0, 0, 7);
  EXPECT_NE(heard_key(a), heard_key(mac(7)));
  EXPECT_FALSE(heard_key(NetAddress{}).has_value());
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  cache.start();
  cache.hear({"printer", NameSource::kMulticast, NetAddress::ipv4(10, 0, 0, 6), {}});
  cache.hear({"printer", NameSource::kMulticast, a, {}});
  cache.wait_heard();
  EXPECT_EQ(cache.heard_address("printer."), a);
  EXPECT_EQ(cache.heard_address("scanner").type, nullptr);
  // A kind of sixteen bytes keys the same table, every byte counting.
  const AddressType sixteen{5, 16, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  NetAddress six, other;
  six.type = other.type = &sixteen;
  six.bytes[15] = 1;
  other.bytes[15] = 2;
  cache.hear({"v6.lan", NameSource::kDnsAnswer, six, {}});
  cache.wait_heard();
  EXPECT_EQ(cache.name_of(six, nullptr).name, "v6.lan");
  EXPECT_EQ(cache.name_of(other, nullptr).name, "");
}

TEST(HeardNames, FloodOfNamesStaysWithinTheCapNewestKept) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCacheOptions o;
  o.heard_max = 64;
  HostCache cache(ns, ids, o);
  cache.start();
  for (int i = 0; i < 1000; ++i) {
    const NetAddress a =
        NetAddress::ipv4(10, 1, static_cast<std::uint8_t>(i / 250), static_cast<std::uint8_t>(i % 250));
    cache.hear({"n" + std::to_string(i) + ".flood", NameSource::kDnsAnswer, a, {}});
    if (i % 100 == 99) cache.wait_heard();  // the queue is bounded too
  }
  cache.wait_heard();
  EXPECT_LE(cache.heard_count(), 64u);
  EXPECT_EQ(cache.name_of(NetAddress::ipv4(10, 1, 3, 249), nullptr).name, "n999.flood");
  EXPECT_EQ(cache.name_of(NetAddress::ipv4(10, 1, 0, 0), nullptr).name, "");
  // Nothing of the flood reached the name service or made entries.
  EXPECT_EQ(ns.calls(), 0);
  EXPECT_EQ(cache.entry_count(), 0);
}

TEST(HeardNames, RefusedWhenOffQueueFullOrAddressless) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCacheOptions off;
  off.heard_names = false;
  HostCache quiet(ns, ids, off);
  EXPECT_FALSE(quiet.hear({"a.lan", NameSource::kDnsAnswer, NetAddress::ipv4(10, 0, 0, 1), {}}));

  HostCacheOptions small;
  small.heard_queue_max = 2;
  HostCache cache(ns, ids, small);  // not started: nothing drains the queue
  EXPECT_FALSE(cache.hear({"a.lan", NameSource::kDnsAnswer, {}, {}}));
  EXPECT_TRUE(cache.hear({"a.lan", NameSource::kDnsAnswer, NetAddress::ipv4(10, 0, 0, 1), {}}));
  EXPECT_TRUE(cache.hear({"b.lan", NameSource::kDhcp, {}, mac(1)}));
  EXPECT_FALSE(cache.hear({"c.lan", NameSource::kDnsAnswer, NetAddress::ipv4(10, 0, 0, 2), {}}));
  cache.start();
  cache.wait_idle();
  EXPECT_EQ(cache.ether_name(mac(1)), "b.lan");
}

TEST(HeardNames, EthernetEntriesAndLabelsUseTheNameFiles) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  auto ethers = std::make_shared<EtherNames>();
  ethers->load_text("00:22:72:1b:2c:07 nas\n", "ethers", nullptr);
  auto makers = std::make_shared<Manufacturers>();
  makers->load_text("00:22:72\tAmerican\tAmerican Micro-Fuel Device Corp.\n", "manuf", nullptr);
  cache.set_name_files(ethers, makers, true);
  cache.start();
  cache.request_ether(mac(7), nullptr);
  cache.wait_idle();
  const HostCacheRef e = cache.find_ether_text("nas");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "nas");
  EXPECT_EQ(cache.find_ether_text("00:22:72:1b:2c:07"), e);
  EXPECT_EQ(cache.ether_label(mac(7)), "American_1b:2c:07");
  const std::uint8_t other[6] = {0x02, 0, 0, 0, 0, 1};
  EXPECT_EQ(cache.ether_label(NetAddress::ether(other)), "02:00:00:00:00:01");
  cache.set_name_files(ethers, makers, false);
  EXPECT_EQ(cache.ether_label(mac(7)), "00:22:72:1b:2c:07");
}

// The duplicate window's Ethernet rows: the adapter's own name first, the
// maker only when makers are shown and known.
TEST(HeardNames, DuplicateWindowEthernetRows) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  auto ethers = std::make_shared<EtherNames>();
  ethers->load_text("00:22:72:1b:2c:07 nas\n", "ethers", nullptr);
  auto makers = std::make_shared<Manufacturers>();
  makers->load_text("00:22:72\tAmerican\tAmerican Micro-Fuel Device Corp.\n", "manuf", nullptr);
  cache.start();
  cache.hear({"laptop", NameSource::kDhcp, {}, mac(8)});
  cache.wait_idle();
  const std::uint8_t unknown[6] = {0x02, 0, 0, 0, 0, 1};
  struct Case {
    bool show;
    NetAddress ether;
    const char* row;
  } cases[] = {
      {true, mac(7), "00:22:72:1b:2c:07   nas"},
      {true, mac(8), "00:22:72:1b:2c:08   laptop"},
      {true, mac(9), "00:22:72:1b:2c:09   American_1b:2c:09"},
      {false, mac(9), "00:22:72:1b:2c:09"},
      {true, NetAddress::ether(unknown), "02:00:00:00:00:01"},
  };
  for (const Case& c : cases) {
    cache.set_name_files(ethers, makers, c.show);
    EXPECT_EQ(dupip_ether_row_text(&cache, c.ether), c.row);
  }
  EXPECT_EQ(dupip_ether_row_text(nullptr, mac(7)), "00:22:72:1b:2c:07");
}

}  // namespace
}  // namespace tarnix
