#include "naming/host_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>

#include "naming/fake_name_service.h"

namespace tarnix {

// Reaches the parts of the queue that the public calls never produce.
class HostCacheTestPeer {
 public:
  static void queue_null(HostCache& c) { c.queue(nullptr); }
  static void queue_kind(HostCache& c, std::int32_t kind, HostCacheCompletion done) {
    c.queue(std::make_unique<HostCache::Request>(HostCache::Request{kind, {}, "x", std::move(done)}));
  }
};

namespace {

using namespace std::chrono_literals;
using testing_support::FakeNameService;
using testing_support::ip;
using testing_support::reply;

// Collects what completions receive, in order, from the resolver thread.
class Calls {
 public:
  HostCacheCompletion done() {
    return [this](const HostCacheRef& e) {
      std::lock_guard lock(mutex_);
      got_.push_back(e);
      cv_.notify_all();
    };
  }
  // The entries of the first n completions; fails the test on a time-out.
  std::vector<HostCacheRef> wait(std::size_t n) {
    std::unique_lock lock(mutex_);
    bool ok = cv_.wait_for(lock, 10s, [&] { return got_.size() >= n; });
    EXPECT_TRUE(ok) << "only " << got_.size() << " of " << n << " completions arrived";
    return got_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<HostCacheRef> got_;
};

NetAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return NetAddress::ipv4(a, b, c, d);
}

NetAddress mac(std::uint8_t last) {
  const std::uint8_t b[6] = {0x00, 0xa0, 0x24, 0x1b, 0x2c, last};
  return NetAddress::ether(b);
}

// One worker answers in the order of the requests, which the tests of the
// cache's rules read their completions by; the pool has tests of its own.
HostCacheOptions one_worker() {
  HostCacheOptions o;
  o.workers = 1;
  return o;
}

class HostCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { cache.start(); }
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache{ns, ids, one_worker()};
  Calls calls;
};

// --- the copy an entry keeps of a reply ---------------------------------------

TEST(HostCacheCopyRecord, CutsNamesAtTheFirstBlankAndCopiesAddressesFromTheSecond) {
  HostRecord r =
      reply("alpha beta", {"one two", "three", " lead"}, {ip(10, 0, 0, 1), ip(10, 0, 0, 2), ip(10, 0, 0, 3)});
  r.addrtype = 2;
  r.length = 4;
  HostRecord c = hostc_copy_record(r);
  EXPECT_EQ(c.name, "alpha");
  EXPECT_EQ(c.aliases, (std::vector<std::string>{"one", "three", ""}));
  EXPECT_EQ(c.addrtype, 2);
  EXPECT_EQ(c.length, 4);
  ASSERT_EQ(c.addresses.size(), 2u);
  EXPECT_EQ(c.addresses[0], ip(10, 0, 0, 2));
  EXPECT_EQ(c.addresses[1], ip(10, 0, 0, 3));

  EXPECT_EQ(hostc_copy_record(reply("solo", {}, {ip(1, 2, 3, 4)})).addresses,
            (std::vector<std::array<std::uint8_t, 4>>{ip(1, 2, 3, 4)}));
  EXPECT_TRUE(hostc_copy_record(reply("none", {}, {})).addresses.empty());
}

// --- requests by address -----------------------------------------------------

TEST_F(HostCacheTest, TwoRequestsForOneUncachedAddressAskOnceAndShareTheEntry) {
  ns.answer_address(ip(10, 1, 2, 3), reply("web.example.com", {}, {ip(10, 1, 2, 3)}));
  ns.close_gate();  // both requests are queued before the first is answered
  cache.request_ipv4(v4(10, 1, 2, 3), calls.done());
  cache.request_ipv4(v4(10, 1, 2, 3), calls.done());
  ns.open_gate();
  auto got = calls.wait(2);
  ASSERT_EQ(got.size(), 2u);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0], got[1]);  // the second completion is handed the old entry
  EXPECT_EQ(ns.address_calls(ip(10, 1, 2, 3)), 1);
  EXPECT_EQ(got[0]->name, "web.example.com");
  EXPECT_EQ(got[0]->short_name, "web");
  EXPECT_EQ(cache.find_ipv4(v4(10, 1, 2, 3)), got[0]);
  EXPECT_EQ(cache.find_text("web.example.com"), got[0]);
  EXPECT_EQ(cache.find_text("10.1.2.3"), got[0]);
  EXPECT_EQ(cache.entry_count(), 1);
}

TEST_F(HostCacheTest, FailedReverseLookUpIsCachedUnderTheDottedText) {
  cache.request_ipv4(v4(192, 168, 1, 20), calls.done());
  cache.request_ipv4(v4(192, 168, 1, 20), calls.done());
  auto got = calls.wait(2);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0], got[1]);
  EXPECT_FALSE(got[0]->host.has_value());
  EXPECT_FALSE(got[0]->has_name());
  EXPECT_EQ(got[0]->name, "192.168.1.20");
  EXPECT_EQ(got[0]->short_name, "");
  EXPECT_NE(got[0]->host_id, 0);
  EXPECT_EQ(ns.address_calls(ip(192, 168, 1, 20)), 1);
  // Not a name: the dotted text is not entered into the name table.
  EXPECT_EQ(cache.find_text("192.168.1.20"), got[0]);
  cache.wait_idle();
  EXPECT_EQ(ns.calls(), 1);
}

TEST_F(HostCacheTest, EntryKeepsTheAddressItWasAskedAbout) {
  // A reverse reply listing several addresses: the copy drops the first, so
  // keying the entry by the copy's first address would lose the asked one.
  ns.answer_address(ip(10, 0, 0, 1), reply("multi", {}, {ip(10, 0, 0, 1), ip(10, 0, 0, 9)}));
  cache.request_ipv4(v4(10, 0, 0, 1), calls.done());
  cache.request_ipv4(v4(10, 0, 0, 1), calls.done());
  auto got = calls.wait(2);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0], got[1]);
  EXPECT_EQ(got[0]->address, v4(10, 0, 0, 1));
  ASSERT_EQ(got[0]->host->addresses.size(), 1u);
  EXPECT_EQ(got[0]->host->addresses[0], ip(10, 0, 0, 9));
  EXPECT_EQ(ns.address_calls(ip(10, 0, 0, 1)), 1);
}

// IPv6 addresses go to the name service's IPv6 look-up whichever way they
// are asked, are keyed by their bytes (any text form finds them) and never
// meet the IPv4 address that shares their first bytes.
TEST_F(HostCacheTest, Ipv6AddressesAreLookedUpAsIpv6AndKeptApartFromIpv4) {
  const std::array<std::uint8_t, 16> named{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
  const std::array<std::uint8_t, 16> unnamed{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6};
  ns.answer_ipv6(named, reply("six.example.com", {"six-alias"}, {}));
  // The IPv4 address made of the same first bytes has a name of its own.
  ns.answer_address(ip(0xfd, 0, 0, 0), reply("four.example.com", {}, {ip(0xfd, 0, 0, 0)}));
  struct Case {
    const char* what;
    std::function<bool(HostCache&, HostCacheCompletion)> ask;
    std::string name, text;
    std::array<std::uint8_t, 16> bytes;
  };
  const Case cases[] = {
      {"by address",
       [&](HostCache& c, HostCacheCompletion d) { return c.request_ipv4(NetAddress::ipv6(named.data()), d); },
       "six.example.com", "fd00::5", named},
      {"by text in another form",
       [](HostCache& c, HostCacheCompletion d) { return c.request_text("FD00:0:0::0:5", d); },
       "six.example.com", "fd00::5", named},
      {"by descriptor",
       [&](HostCache& c, HostCacheCompletion d) {
         return c.resolve_rec_process({kHostcByIpv4, NetAddress::ipv6(unnamed.data()), {}}, d);
       },
       "fd00::6", "fd00::6", unnamed},
  };
  std::vector<HostCacheRef> entries;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Calls one;
    ASSERT_TRUE(c.ask(cache, one.done()));
    HostCacheRef e = one.wait(1).at(0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, c.name);
    EXPECT_EQ(e->address, NetAddress::ipv6(c.bytes.data()));
    EXPECT_NE(e->host_id, 0);
    EXPECT_EQ(cache.find_text(c.text), e);
    EXPECT_EQ(cache.find_ipv4(NetAddress::ipv6(c.bytes.data())), e);
    entries.push_back(e);
  }
  EXPECT_EQ(entries[0], entries[1]);
  EXPECT_EQ(ns.ipv6_calls(named), 1);
  EXPECT_EQ(ns.ipv6_calls(unnamed), 1);
  EXPECT_EQ(ns.address_calls(ip(0xfd, 0, 0, 0)), 0);
  EXPECT_EQ(cache.find_text("six-alias"), entries[0]);
  EXPECT_EQ(cache.name_of(NetAddress::ipv6(named.data()), nullptr).name, "six.example.com");

  EXPECT_EQ(cache.find_ipv4(v4(0xfd, 0, 0, 0)), nullptr);
  cache.request_ipv4(v4(0xfd, 0, 0, 0), calls.done());
  HostCacheRef four = calls.wait(1).at(0);
  ASSERT_NE(four, nullptr);
  EXPECT_EQ(four->name, "four.example.com");
  EXPECT_NE(four->host_id, entries[0]->host_id);
  EXPECT_EQ(cache.find_text("fd00::5"), entries[0]);

  // Not waiting for the name service: a provisional entry under the text.
  const std::uint8_t late[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  HostCacheRef now = cache.ipv4_now(NetAddress::ipv6(late));
  ASSERT_NE(now, nullptr);
  EXPECT_TRUE(now->provisional);
  EXPECT_EQ(now->name, "fe80::9");
}

// --- requests by text ----------------------------------------------------------

TEST_F(HostCacheTest, TextRequestsGoByAddressOrByName) {
  ns.answer_address(ip(10, 1, 2, 3), reply("dotted-host", {}, {ip(10, 1, 2, 3)}));
  ns.answer_name("plain", reply("plain.example.com", {}, {ip(10, 9, 9, 9)}));
  ns.answer_name("3com", reply("3com.example.com", {}, {ip(10, 3, 3, 3)}));
  cache.request_text("10.1.2.3", calls.done());
  cache.request_text("plain", calls.done());
  // Starts with a digit but is no whole address: a name.
  cache.request_text("3com", calls.done());
  auto got = calls.wait(3);
  EXPECT_EQ(ns.address_calls(ip(10, 1, 2, 3)), 1);
  EXPECT_EQ(ns.name_calls("10.1.2.3"), 0);
  EXPECT_EQ(ns.name_calls("plain"), 1);
  EXPECT_EQ(ns.address_calls(ip(3, 0, 0, 0)), 0);
  EXPECT_EQ(ns.name_calls("3com"), 1);
  ASSERT_NE(got[1], nullptr);
  EXPECT_EQ(got[1]->name, "plain.example.com");
  EXPECT_EQ(got[1]->address, v4(10, 9, 9, 9));
  ASSERT_NE(got[2], nullptr);
  EXPECT_EQ(got[2]->address, v4(10, 3, 3, 3));
  EXPECT_EQ(cache.find_text("3com"), got[2]);
  EXPECT_EQ(cache.find_text("3.0.0.0"), nullptr);
}

TEST_F(HostCacheTest, NameRepliesAreCutAtABlankAndKnownByEveryAlias) {
  ns.answer_name("gw", reply("router one.example.com", {"gateway x", "gw"}, {ip(10, 0, 0, 254)}));
  cache.request_text("gw", calls.done());
  auto got = calls.wait(1);
  ASSERT_NE(got[0], nullptr);
  HostCacheRef e = got[0];
  EXPECT_EQ(e->name, "router");
  EXPECT_EQ(e->host->name, "router");
  EXPECT_EQ(e->short_name, "router");
  EXPECT_EQ(cache.find_text("router"), e);
  EXPECT_EQ(cache.find_text("gateway"), e);
  EXPECT_EQ(cache.find_text("gw"), e);
  EXPECT_EQ(cache.find_text("router one.example.com"), nullptr);
  EXPECT_EQ(cache.find_ipv4(v4(10, 0, 0, 254)), e);
  // Later requests by any of its names are answered from the cache.
  cache.request_text("gateway", calls.done());
  cache.request_text("gw", calls.done());
  got = calls.wait(3);
  EXPECT_EQ(got[1], e);
  EXPECT_EQ(got[2], e);
  EXPECT_EQ(ns.calls(), 1);
}

TEST_F(HostCacheTest, NameLookUpCachesTheNameItWasAskedBy) {
  // The reply does not list the name asked for (a nickname resolved by the
  // system); asking again would add an entry each time.
  ns.answer_name("nick", reply("host.example.com", {}, {ip(10, 0, 0, 5)}));
  cache.request_text("nick", calls.done());
  cache.request_text("nick", calls.done());
  auto got = calls.wait(2);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0], got[1]);
  EXPECT_EQ(ns.name_calls("nick"), 1);
  EXPECT_EQ(cache.entry_count(), 1);
}

TEST_F(HostCacheTest, AliasesAlreadyKnownKeepTheirEntryAndAddressesAreNotRetaken) {
  ns.answer_address(ip(10, 0, 0, 7), reply("first", {}, {ip(10, 0, 0, 7)}));
  ns.answer_name("second", reply("second", {"first"}, {ip(10, 0, 0, 7)}));
  cache.request_ipv4(v4(10, 0, 0, 7), calls.done());
  cache.request_text("second", calls.done());
  auto got = calls.wait(2);
  ASSERT_NE(got[0], nullptr);
  ASSERT_NE(got[1], nullptr);
  EXPECT_NE(got[0], got[1]);
  EXPECT_EQ(cache.find_text("first"), got[0]);
  EXPECT_EQ(cache.find_text("second"), got[1]);
  EXPECT_EQ(cache.find_ipv4(v4(10, 0, 0, 7)), got[0]);
  EXPECT_EQ(got[1]->address, v4(10, 0, 0, 7));
}

TEST(HostCacheFailedNames, AreNotAskedAgainForAWhileWhateverElseFails) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  std::atomic<int> minutes{0};
  HostCacheOptions o = one_worker();
  o.failed_name_ttl = std::chrono::minutes(1);
  o.now = [&] { return std::chrono::steady_clock::time_point(std::chrono::minutes(minutes.load())); };
  HostCache cache(ns, ids, o);
  cache.start();
  Calls calls;
  ns.answer_name("good", reply("good", {}, {ip(10, 0, 0, 3)}));
  // Neither a success nor another failure in between brings the name back.
  for (const char* name : {"alpha", "alpha", "good", "beta", "alpha"}) cache.request_text(name, calls.done());
  auto got = calls.wait(5);
  EXPECT_EQ(got[0], nullptr);
  EXPECT_EQ(got[4], nullptr);
  EXPECT_NE(got[2], nullptr);
  EXPECT_EQ(ns.name_calls("alpha"), 1);
  EXPECT_EQ(ns.name_calls("beta"), 1);
  // Once the while has passed, it is asked again.
  minutes = 2;
  cache.request_text("alpha", calls.done());
  calls.wait(6);
  EXPECT_EQ(ns.name_calls("alpha"), 2);
  EXPECT_EQ(cache.entry_count(), 1);
}

TEST_F(HostCacheTest, AnEmptyNameGetsNoEntryAndAsksNobody) {
  cache.request_text("", calls.done());
  auto got = calls.wait(1);
  EXPECT_EQ(got[0], nullptr);
  EXPECT_EQ(ns.calls(), 0);
}

// --- Ethernet ------------------------------------------------------------------

TEST_F(HostCacheTest, EthernetEntriesAreNamedByTheirTextWithoutAskingAnyone) {
  cache.request_ether(mac(0x3d), calls.done());
  cache.request_ether(mac(0x3d), calls.done());
  auto got = calls.wait(2);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0], got[1]);
  EXPECT_EQ(got[0]->name, "00:a0:24:1b:2c:3d");
  EXPECT_EQ(got[0]->host_id, 0);
  EXPECT_EQ(ns.calls(), 0);
  EXPECT_EQ(ids.store_calls(), 0);
  EXPECT_EQ(cache.find_ether(mac(0x3d)), got[0]);
  EXPECT_EQ(cache.find_ether_text("00:a0:24:1b:2c:3d"), got[0]);
  EXPECT_EQ(cache.find_ether_text("0:a0:24:1b:2c:3d"), got[0]);    // read as an address
  EXPECT_EQ(cache.find_ether_text("00-a0-24-1b-2c-3d"), nullptr);  // no colon: a name
  // Ethernet entries are not IPv4 entries and vice versa.
  EXPECT_EQ(cache.find_ipv4(mac(0x3d)), nullptr);
  EXPECT_EQ(cache.find_ether(v4(0, 0xa0, 0x24, 0x1b)), nullptr);
}

// --- descriptors and bad requests ------------------------------------------------

TEST_F(HostCacheTest, DescriptorsQueueByKindAndRejectOthers) {
  ns.answer_name("named", reply("named", {}, {ip(10, 0, 0, 8)}));
  HostCacheRequestDescriptor by_name{kHostcByName, {}, "named"};
  HostCacheRequestDescriptor by_ip{kHostcByIpv4, v4(10, 0, 0, 4), {}};
  HostCacheRequestDescriptor by_mac{kHostcByEther, mac(1), {}};
  EXPECT_TRUE(cache.resolve_rec_process(by_name, calls.done()));
  EXPECT_TRUE(cache.resolve_rec_process(by_ip, calls.done()));
  EXPECT_TRUE(cache.resolve_rec_process(by_mac, calls.done()));
  auto got = calls.wait(3);
  EXPECT_EQ(got[0]->name, "named");
  EXPECT_EQ(got[1]->address, v4(10, 0, 0, 4));
  EXPECT_EQ(got[2]->address, mac(1));
}

// A request the cache refuses says so, and its completion never runs: a
// caller that waited for it would wait for ever.
TEST_F(HostCacheTest, RefusedRequestsSaySoAndNeverComplete) {
  const std::string invalid = "hostc_resolve_rec_process: invalid                             request\n";
  using Ask = std::function<bool(HostCache&, HostCacheCompletion)>;
  auto descriptor = [](std::int32_t kind, NetAddress address) -> Ask {
    return [=](HostCache& c, HostCacheCompletion d) {
      return c.resolve_rec_process(HostCacheRequestDescriptor{kind, address, {}}, std::move(d));
    };
  };
  struct Case {
    const char* what;
    Ask ask;
    std::string message;
  };
  const Case cases[] = {
      {"Ethernet address asked as IPv4",
       [](HostCache& c, HostCacheCompletion d) { return c.request_ipv4(mac(0x3d), std::move(d)); }, ""},
      {"IPv4 address asked as Ethernet",
       [](HostCache& c, HostCacheCompletion d) { return c.request_ether(v4(1, 2, 3, 4), std::move(d)); }, ""},
      {"descriptor with no kind", descriptor(kHostcKindNotSet, {}), invalid},
      {"descriptor of an unknown kind", descriptor(7, {}), invalid},
      {"IPv4 descriptor holding an Ethernet address", descriptor(kHostcByIpv4, mac(2)), invalid},
      {"Ethernet descriptor holding an IPv4 address", descriptor(kHostcByEther, v4(10, 0, 0, 2)), invalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(c.ask(cache, calls.done()));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
  }
  // Queued after them all: had any refused request been queued, its
  // completion would have come first.
  EXPECT_TRUE(cache.request_ipv4(v4(10, 0, 0, 4), calls.done()));
  auto got = calls.wait(1);
  cache.wait_idle();
  ASSERT_EQ(calls.wait(1).size(), 1u);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0]->address, v4(10, 0, 0, 4));
}

TEST_F(HostCacheTest, NullAndUnknownRequestsAreReportedAndTheResolverGoesOn) {
  ::testing::internal::CaptureStderr();
  HostCacheTestPeer::queue_null(cache);
  HostCacheTestPeer::queue_kind(cache, 9, calls.done());
  cache.request_ipv4(v4(10, 0, 0, 1), calls.done());
  auto got = calls.wait(2);
  cache.wait_idle();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(got[0], nullptr);
  EXPECT_NE(got[1], nullptr);
  EXPECT_EQ(err,
            "hostc_resolve:                         NULL request received from queue\n"
            "hostc_resolve:                                     Request type invalid\n");
}

// --- host ids ---------------------------------------------------------------------

TEST_F(HostCacheTest, EveryNewIpv4EntryGetsItsIdOnceBeforeItIsSeen) {
  ns.answer_address(ip(10, 0, 0, 1), reply("one", {}, {ip(10, 0, 0, 1)}));
  std::vector<std::int32_t> seen_ids;
  std::mutex m;
  for (int round = 0; round < 3; ++round) {
    for (std::uint8_t last = 1; last <= 4; ++last) {
      cache.request_ipv4(v4(10, 0, 0, last), [&, last](const HostCacheRef& e) {
        std::lock_guard lock(m);
        seen_ids.push_back(e->host_id);
        // Published entries are complete: the id table already answers.
        EXPECT_EQ(cache.find_id(e->host_id), e);
        EXPECT_EQ(cache.find_ipv4(v4(10, 0, 0, last)), e);
      });
    }
  }
  cache.wait_idle();
  ASSERT_EQ(seen_ids.size(), 12u);
  EXPECT_EQ(ids.store_calls(), 4);
  std::vector<std::int32_t> first(seen_ids.begin(), seen_ids.begin() + 4);
  EXPECT_EQ(first, (std::vector<std::int32_t>{1, 2, 3, 4}));
  for (std::size_t i = 4; i < seen_ids.size(); ++i) EXPECT_EQ(seen_ids[i], seen_ids[i % 4]);
  EXPECT_EQ(cache.find_id(1)->name, "one");
  EXPECT_EQ(cache.find_id(4)->name, "10.0.0.4");
  EXPECT_EQ(cache.find_id(5), nullptr);
}

// An id store that already knows a host: its id is reused, nothing stored.
class KnownHostStore : public HostIdStore {
 public:
  explicit KnownHostStore(HostCache** cache) : cache_(cache) {}
  std::int32_t find_id(const std::string& name, const NetAddress& address) override {
    // The resolver must not hold a table lock while asking: reading the
    // cache from here would deadlock if it did.
    if (*cache_ != nullptr) (*cache_)->find_ipv4(address);
    ++finds;
    return name == "10.0.0.42" ? 4242 : 0;
  }
  std::int32_t store(const HostCacheEntry&) override { return ++stored + 100; }
  int finds = 0, stored = 0;

 private:
  HostCache** cache_;
};

TEST(HostCacheIds, KnownHostsKeepTheirStoredIdAndTheStoreIsAskedWithoutLocks) {
  FakeNameService ns;
  HostCache* self = nullptr;
  KnownHostStore store(&self);
  HostCache cache(ns, store, one_worker());
  self = &cache;
  cache.start();
  Calls calls;
  cache.request_ipv4(v4(10, 0, 0, 42), calls.done());
  cache.request_ipv4(v4(10, 0, 0, 43), calls.done());
  auto got = calls.wait(2);
  EXPECT_EQ(got[0]->host_id, 4242);
  EXPECT_EQ(got[1]->host_id, 101);
  EXPECT_EQ(store.finds, 2);
  EXPECT_EQ(store.stored, 1);
  EXPECT_EQ(cache.find_id(4242), got[0]);
}

TEST(MemoryHostIdStoreTest, NumbersFromOneAndFindsByNameAndAddress) {
  MemoryHostIdStore s;
  HostCacheEntry a;
  a.name = "10.0.0.1";
  a.address = v4(10, 0, 0, 1);
  EXPECT_EQ(s.find_id(a.name, a.address), 0);
  EXPECT_EQ(s.store(a), 1);
  EXPECT_EQ(s.find_id("10.0.0.1", v4(10, 0, 0, 1)), 1);
  EXPECT_EQ(s.find_id("10.0.0.1", v4(10, 0, 0, 2)), 0);
  EXPECT_EQ(s.find_id("", v4(10, 0, 0, 1)), 1);

  HostCacheEntry b;
  b.host = reply("b.example.com", {"bee"}, {ip(10, 0, 0, 2)});
  b.name = "b.example.com";
  b.address = v4(10, 0, 0, 2);
  EXPECT_EQ(s.store(b), 2);
  EXPECT_EQ(s.find_id("bee", NetAddress{}), 2);
  EXPECT_EQ(s.find_id("b.example.com", v4(10, 0, 0, 2)), 2);

  // The same host stored again, now named: keeps its id, rows replaced.
  HostCacheEntry a2;
  a2.host = reply("a.example.com", {}, {ip(10, 0, 0, 1)});
  a2.name = "a.example.com";
  a2.address = v4(10, 0, 0, 1);
  EXPECT_EQ(s.store(a2), 1);
  EXPECT_EQ(s.find_id("10.0.0.1", v4(10, 0, 0, 1)), 0);
  EXPECT_EQ(s.find_id("a.example.com", v4(10, 0, 0, 1)), 1);
  HostCacheEntry c;
  c.name = "10.0.0.3";
  c.address = v4(10, 0, 0, 3);
  EXPECT_EQ(s.store(c), 3);
}

// --- threads and the queue --------------------------------------------------------

TEST_F(HostCacheTest, FindsAnswerWhileTheResolverWaitsForTheNameService) {
  ns.answer_address(ip(10, 0, 0, 1), reply("one", {}, {ip(10, 0, 0, 1)}));
  cache.request_ipv4(v4(10, 0, 0, 1), calls.done());
  calls.wait(1);
  ns.close_gate();
  cache.request_ipv4(v4(10, 0, 0, 2), calls.done());
  ns.wait_until_held();
  auto reader = std::async(std::launch::async, [&] {
    return cache.find_ipv4(v4(10, 0, 0, 1)) != nullptr && cache.find_text("one") != nullptr &&
           cache.find_ipv4(v4(10, 0, 0, 2)) == nullptr && cache.find_id(1) != nullptr;
  });
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready) << "a reader waited for the name service";
  EXPECT_TRUE(reader.get());
  // Requests are taken while the resolver is busy, without waiting for it.
  auto requester =
      std::async(std::launch::async, [&] { return cache.request_ipv4(v4(10, 0, 0, 3), calls.done()); });
  ASSERT_EQ(requester.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(requester.get());
  ns.open_gate();
  calls.wait(3);
}

TEST_F(HostCacheTest, EveryRequestIsAnsweredWithoutWaitingForTheNextOne) {
  // One request at a time, each waited for: a request that slips in between
  // the resolver's last empty check and its reset of the wake-up would hang.
  for (int i = 0; i < 2000; ++i) {
    std::promise<HostCacheRef> answered;
    auto f = answered.get_future();
    cache.request_ether(mac(static_cast<std::uint8_t>(i)),
                        [&](const HostCacheRef& e) { answered.set_value(e); });
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready) << "request " << i << " was left waiting";
    EXPECT_NE(f.get(), nullptr);
  }
}

TEST_F(HostCacheTest, CompletionsMayQueueFurtherRequestsAndFailuresDoNotStopTheResolver) {
  ns.answer_name("next", reply("next", {}, {ip(10, 0, 0, 6)}));
  std::atomic<int> chained{0};
  // Capture before queuing: the resolver may report before wait_idle() runs.
  ::testing::internal::CaptureStderr();
  cache.request_ipv4(v4(10, 0, 0, 5), [&](const HostCacheRef&) {
    cache.request_text("next", [&](const HostCacheRef& e) {
      if (e != nullptr && e->name == "next") ++chained;
    });
    throw std::runtime_error("requester fault");
  });
  cache.wait_idle();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(chained.load(), 1);
  EXPECT_NE(err.find("completion failed: requester fault"), std::string::npos);
  cache.request_ipv4(v4(10, 0, 0, 7), calls.done());
  EXPECT_NE(calls.wait(1)[0], nullptr);
}

TEST(HostCacheLifecycle, RequestsWaitForStartAndSurviveAStop) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  Calls calls;
  {
    HostCache cache(ns, ids, one_worker());
    cache.request_ipv4(v4(10, 0, 0, 1), calls.done());
    EXPECT_EQ(cache.pending(), 1);
    cache.wait_idle();  // not running: returns at once
    cache.start();
    calls.wait(1);
    cache.stop();
    EXPECT_FALSE(cache.running());
    cache.request_ipv4(v4(10, 0, 0, 2), calls.done());
    cache.request_ipv4(v4(10, 0, 0, 3), calls.done());
    EXPECT_EQ(cache.pending(), 2);
    cache.start();
    auto got = calls.wait(3);
    EXPECT_EQ(got[2]->address, v4(10, 0, 0, 3));
    cache.request_ipv4(v4(10, 0, 0, 4), [](const HostCacheRef&) {});
    // Destroyed with work possibly queued: joins cleanly, frees what is left.
  }
  HostCache never_started(ns, ids);
  never_started.request_text("queued", calls.done());
}

// --- a name service that is slow or silent ------------------------------------

TEST(HostCachePool, LookUpsOfDifferentHostsRunTogetherAndOneHostIsAskedOnce) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCacheOptions o;
  o.workers = 3;
  o.answer_within = 0ms;
  HostCache cache(ns, ids, o);
  cache.start();
  Calls calls;
  ns.close_gate();
  for (std::uint8_t last : {1, 2, 3, 1}) cache.request_ipv4(v4(10, 0, 0, last), calls.done());
  EXPECT_TRUE(ns.wait_until_held(3)) << "look-ups waited for each other";
  ns.open_gate();
  calls.wait(4);
  EXPECT_EQ(ns.address_calls(ip(10, 0, 0, 1)), 1);
  EXPECT_EQ(cache.entry_count(), 3);
}

TEST(HostCachePool, ASilentNameServiceIsAnsweredWithWhatIsKnownAndALateNameStillArrives) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCacheOptions o;
  o.workers = 1;
  o.answer_within = 20ms;
  HostCache cache(ns, ids, o);
  cache.start();
  Calls calls;
  ns.answer_address(ip(10, 0, 0, 9), reply("late.example", {}, {ip(10, 0, 0, 9)}));
  ns.close_gate();
  cache.request_ipv4(v4(10, 0, 0, 9), calls.done());
  cache.request_text("silent.example", calls.done());
  cache.request_ether(mac(1), calls.done());  // queued behind the look-up held
  ASSERT_TRUE(ns.wait_until_held());
  auto got = calls.wait(3);  // the name service still holds the first
  ASSERT_NE(got[0], nullptr);
  HostCacheRef provisional = got[0];
  EXPECT_TRUE(provisional->provisional);
  EXPECT_EQ(provisional->name, "10.0.0.9");
  EXPECT_NE(provisional->host_id, 0);
  EXPECT_EQ(got[1], nullptr);
  ASSERT_NE(got[2], nullptr);
  EXPECT_EQ(got[2]->name, netaddr_text(mac(1)));

  ns.open_gate();
  cache.wait_idle();
  // The late answer takes the address and the id over; nothing is answered
  // twice and nothing is asked twice.
  HostCacheRef named = cache.find_ipv4(v4(10, 0, 0, 9));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->name, "late.example");
  EXPECT_FALSE(named->provisional);
  EXPECT_EQ(named->host_id, provisional->host_id);
  EXPECT_EQ(cache.find_id(named->host_id), named);
  EXPECT_EQ(calls.wait(3).size(), 3u);
  EXPECT_EQ(ns.address_calls(ip(10, 0, 0, 9)), 1);
  EXPECT_EQ(ns.name_calls("silent.example"), 1);
}

// A name server that never answers must not hold the stop (the system
// resolver's own time-out is 10 s and more): the look-up is left behind, and
// its requests stay queued, unanswered, for the next start.
TEST(HostCachePool, AStopLeavesALookUpTheServiceHoldsAndAsksAgainAfterTheNextStart) {
  FakeNameService ns;
  ns.set_may_hang(true);
  MemoryHostIdStore ids;
  HostCacheOptions o;
  o.workers = 2;
  o.answer_within = 0ms;
  HostCache cache(ns, ids, o);
  cache.start();
  Calls calls;
  ns.answer_address(ip(10, 0, 0, 5), reply("five.example", {}, {ip(10, 0, 0, 5)}));
  ns.close_gate();
  cache.request_ipv4(v4(10, 0, 0, 5), calls.done());
  cache.request_ipv4(v4(10, 0, 0, 5), calls.done());  // shares the look-up held
  ASSERT_TRUE(ns.wait_until_held());
  auto stopped = std::async(std::launch::async, [&] { cache.stop(); });
  const bool ended = stopped.wait_for(5s) == std::future_status::ready;
  ns.open_gate();  // the look-up left behind ends now; its answer is not used
  stopped.wait();
  ASSERT_TRUE(ended) << "the stop waited for the name service";
  EXPECT_EQ(cache.pending(), 2);
  EXPECT_EQ(cache.entry_count(), 0);

  cache.start();
  auto got = calls.wait(2);
  ASSERT_EQ(got.size(), 2u);
  for (const HostCacheRef& e : got) {
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, "five.example");
  }
  EXPECT_EQ(ns.address_calls(ip(10, 0, 0, 5)), 2);
}

TEST_F(HostCacheTest, TextsThatAreNotHostNamesAreNeverAsked) {
  cache.request_text("anything attacker.example", calls.done());
  cache.request_text("-x.example", calls.done());
  auto got = calls.wait(2);
  EXPECT_EQ(got[0], nullptr);
  EXPECT_EQ(got[1], nullptr);
  EXPECT_EQ(ns.calls(), 0);
}

// The system resolver, through the hosts file entry every system has.
TEST(SystemNameServiceTest, AnswersForLocalhostBothWays) {
  SystemNameService ns;
  EXPECT_FALSE(ns.by_name("").has_value());
  std::optional<HostRecord> fwd = ns.by_name("localhost");
  if (!fwd) GTEST_SKIP() << "this system does not resolve localhost";
  EXPECT_FALSE(fwd->name.empty());
  EXPECT_EQ(fwd->addrtype, 2);
  EXPECT_EQ(fwd->length, 4);
  ASSERT_FALSE(fwd->addresses.empty());
  EXPECT_EQ(fwd->addresses[0][0], 127);
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  std::optional<HostRecord> rev = ns.by_address(loopback);
  ASSERT_TRUE(rev.has_value()) << "localhost resolves by name but 127.0.0.1 not by address";
  EXPECT_FALSE(rev->name.empty());
  ASSERT_FALSE(rev->addresses.empty());
  EXPECT_EQ(rev->addresses[0], ip(127, 0, 0, 1));
}

// --- the bound ----------------------------------------------------------------

// A bounded cache and a way to fill it past its bound with entries nobody
// holds (addresses in 10.9/16, which the fake service does not name).
struct Bounded {
  explicit Bounded(std::size_t bound) : cache(ns, ids, options(bound)) { cache.start(); }
  static HostCacheOptions options(std::size_t bound) {
    HostCacheOptions o = one_worker();
    o.max_entries = bound;
    return o;
  }
  void churn(int n = 40) {
    for (int i = 0; i < n; ++i, ++made)
      cache.request_ipv4(
          v4(10, 9, static_cast<std::uint8_t>(made / 256), static_cast<std::uint8_t>(made % 256)), nullptr);
    cache.wait_idle();
  }
  bool has_rows(std::int32_t id) const {
    for (const MemoryHostIdStore::Row& row : ids.rows())
      if (row.id == id) return true;
    return false;
  }
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache;
  int made = 0;
};

// Whoever holds an entry (a model host's slot, a request waiting to be
// written, a reader between two looks), in whatever order they let go: the
// entry stays found, and readable through each reference, until the last
// one goes; then it leaves the tables, its id's rows go, and the address is
// asked about afresh.
TEST(HostCacheBound, AnEntryLeavesOnlyOnceItsLastHolderLetsGo) {
  enum Holder { kHost, kRequest, kReader };
  const std::vector<std::vector<Holder>> orders = {
      {kHost, kRequest, kReader}, {kReader, kRequest, kHost}, {kRequest, kHost, kReader}, {}};
  for (const std::vector<Holder>& order : orders) {
    SCOPED_TRACE(::testing::Message()
                 << order.size() << " holders, first " << (order.empty() ? -1 : order[0]));
    Bounded b(8);
    b.ns.answer_address(ip(10, 0, 0, 1), reply("one.example.com", {"one"}, {ip(10, 0, 0, 1)}));
    const NetAddress a = v4(10, 0, 0, 1);
    HostCacheRefSlot host;
    HostCacheRef request, reader;
    b.cache.request_ipv4(a, [&](const HostCacheRef& e) { host.store(e); });
    b.cache.request_ipv4(a, [&](const HostCacheRef& e) { request = e; });
    b.cache.wait_idle();
    reader = b.cache.find_ipv4(a);
    ASSERT_NE(reader, nullptr);
    const std::weak_ptr<const HostCacheEntry> watch = reader;
    const std::int32_t id = reader->host_id;
    if (order.empty()) host.store(nullptr), request.reset(), reader.reset();
    for (std::size_t i = 0; i < order.size(); ++i) {
      b.churn();
      EXPECT_EQ(b.cache.find_text("one"), watch.lock());
      switch (order[i]) {
        case kHost:
          EXPECT_EQ(host.load()->host->name, "one.example.com");
          host.store(nullptr);
          break;
        case kRequest:
          EXPECT_EQ(request->short_name, "one");
          request.reset();
          break;
        case kReader:
          EXPECT_EQ(reader->name, "one.example.com");
          reader.reset();
          break;
      }
    }
    b.churn();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(b.cache.find_ipv4(a), nullptr);
    EXPECT_EQ(b.cache.find_text("one.example.com"), nullptr);
    EXPECT_EQ(b.cache.find_id(id), nullptr);
    EXPECT_FALSE(b.has_rows(id));
    EXPECT_LE(b.cache.entry_count(), 8);
    Calls again;
    b.cache.request_ipv4(a, again.done());
    const HostCacheRef back = again.wait(1).at(0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->name, "one.example.com");
    EXPECT_NE(back->host_id, id);
    EXPECT_EQ(b.ns.address_calls(ip(10, 0, 0, 1)), 2);
  }
}

// A model host's look-up is skipped while the queue is full; anyone else's
// is queued however long the queue.
TEST(HostCacheBound, HostLookUpsAreTurnedAwayPastTheQueuesBound) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCacheOptions o = one_worker();
  o.host_queue_max = 2;
  o.answer_within = std::chrono::milliseconds(0);
  HostCache cache(ns, ids, o);
  cache.start();
  ns.close_gate();
  Calls calls;
  EXPECT_TRUE(cache.offer_ipv4(v4(10, 0, 0, 1), calls.done()));
  ASSERT_TRUE(ns.wait_until_held());  // taken: no longer waiting
  EXPECT_TRUE(cache.offer_ipv4(v4(10, 0, 0, 2), calls.done()));
  EXPECT_TRUE(cache.offer_ipv4(v4(10, 0, 0, 3), calls.done()));
  EXPECT_FALSE(cache.offer_ipv4(v4(10, 0, 0, 4), calls.done()));
  EXPECT_FALSE(cache.offer_ipv4(v4(10, 0, 0, 4), calls.done(), true));  // still full: not counted again
  EXPECT_TRUE(cache.request_ipv4(v4(10, 0, 0, 5), calls.done()));
  ns.open_gate();
  cache.wait_idle();
  EXPECT_EQ(calls.wait(4).size(), 4u);
  EXPECT_EQ(cache.find_ipv4(v4(10, 0, 0, 4)), nullptr);
  EXPECT_NE(cache.find_ipv4(v4(10, 0, 0, 5)), nullptr);
  EXPECT_EQ(cache.offers_refused(), 1u);
  EXPECT_EQ(cache.offers_not_asked(), 1u);
  // Asked again once there is room: no longer among those not asked.
  EXPECT_TRUE(cache.offer_ipv4(v4(10, 0, 0, 4), calls.done(), true));
  cache.wait_idle();
  EXPECT_EQ(cache.offers_refused(), 1u);
  EXPECT_EQ(cache.offers_not_asked(), 0u);
}

// A provisional entry its answer replaced is found no more but stays whole
// for whoever holds it; the host id both carry stays while either does.
TEST(HostCacheBound, AReplacedEntryStaysWholeForItsHolder) {
  Bounded b(8);
  b.ns.answer_address(ip(10, 0, 0, 2), reply("two.example.com", {}, {ip(10, 0, 0, 2)}));
  b.ns.close_gate();
  const NetAddress a = v4(10, 0, 0, 2);
  b.cache.request_ipv4(a, nullptr);
  ASSERT_TRUE(b.ns.wait_until_held());
  HostCacheRef provisional = b.cache.ipv4_now(a);
  ASSERT_NE(provisional, nullptr);
  ASSERT_TRUE(provisional->provisional);
  b.ns.open_gate();
  b.cache.wait_idle();
  HostCacheRef named = b.cache.find_ipv4(a);
  ASSERT_NE(named, provisional);
  EXPECT_EQ(named->host_id, provisional->host_id);
  const std::int32_t id = named->host_id;
  const std::weak_ptr<const HostCacheEntry> old = provisional;
  named.reset();
  b.churn();
  EXPECT_EQ(provisional->name, "10.0.0.2");  // still whole
  EXPECT_EQ(b.cache.find_ipv4(a), nullptr);  // the answer, held by none, went
  EXPECT_TRUE(b.has_rows(id));               // but its id is the provisional one's too
  provisional.reset();
  b.churn();
  EXPECT_TRUE(old.expired());
  EXPECT_FALSE(b.has_rows(id));
}

}  // namespace
}  // namespace tarnix
