#include "naming/dupip.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

#include "capture/bindings.h"
#include "dupip_pcap.h"
#include "naming/fake_name_service.h"
#include "naming/host_cache.h"

namespace tarnix {
namespace {

using testing_support::FakeNameService;

NetAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return NetAddress::ipv4(a, b, c, d);
}
NetAddress mac(std::uint8_t last) {
  const std::uint8_t b[6] = {0x02, 0, 0, 0, 0, last};
  return NetAddress::ether(b);
}
std::vector<std::string> texts(const std::vector<NetAddress>& v) {
  std::vector<std::string> out;
  for (const NetAddress& a : v) out.push_back(netaddr_text(a));
  return out;
}

class Beeps : public DupIpNotifier {
 public:
  void duplicate_found(const DupIpReport& r) override {
    ++found;
    last = r;
  }
  void duplicate_grew(const DupIpReport& r) override {
    ++grew;
    last = r;
  }
  int found = 0, grew = 0;
  DupIpReport last;
};

class DupIpTest : public ::testing::Test {
 protected:
  Beeps beeps;
  std::int32_t now = 1000;
  DupIp dup{&beeps, [this] { return now; }};
};

TEST_F(DupIpTest, NothingIsRecordedWhileClosed) {
  EXPECT_FALSE(dup.detecting());
  EXPECT_FALSE(dup.is_open());
  dup.record(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  EXPECT_EQ(dup.count(), 0);
  EXPECT_EQ(beeps.found, 0);
  EXPECT_TRUE(dup.snapshot().empty());
}

TEST_F(DupIpTest, FirstReportBeepsOnceAndListsTheNewAddressBeforeTheRecordedOne) {
  dup.open();
  EXPECT_TRUE(dup.detecting());
  dup.record(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  EXPECT_EQ(beeps.found, 1);
  EXPECT_EQ(texts(beeps.last.ethers), (std::vector<std::string>{"02:00:00:00:00:0b", "02:00:00:00:00:0a"}));
  auto e = dup.find(v4(10, 0, 0, 5));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->last_change, 1000);
  EXPECT_EQ(e->address, v4(10, 0, 0, 5));
  EXPECT_EQ(texts(e->ethers), texts(beeps.last.ethers));
}

TEST_F(DupIpTest, ThirdAddressAppendsWithoutABeepAndARepeatOnlyTouchesTheTime) {
  dup.open();
  dup.record(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  now = 1010;
  dup.record(v4(10, 0, 0, 5), mac(0x0b), mac(0x0c));
  EXPECT_EQ(beeps.found, 1);
  EXPECT_EQ(beeps.grew, 1);
  EXPECT_EQ(texts(dup.find(v4(10, 0, 0, 5))->ethers),
            (std::vector<std::string>{"02:00:00:00:00:0b", "02:00:00:00:00:0a", "02:00:00:00:00:0c"}));
  now = 1020;
  dup.record(v4(10, 0, 0, 5), mac(0x0c), mac(0x0a));
  auto e = dup.find(v4(10, 0, 0, 5));
  EXPECT_EQ(e->ethers.size(), 3u);
  EXPECT_EQ(e->last_change, 1020);
  EXPECT_EQ(beeps.found, 1);
  EXPECT_EQ(beeps.grew, 1);
  // Another address is another row, with its own beep.
  dup.record(v4(10, 0, 0, 6), mac(0x01), mac(0x02));
  EXPECT_EQ(beeps.found, 2);
  EXPECT_EQ(dup.count(), 2);
}

TEST_F(DupIpTest, MissingOrWrongKindsOfAddressesAreIgnored) {
  dup.open();
  NetAddress ip = v4(10, 0, 0, 5), a = mac(0x0a), b = mac(0x0b);
  dup.record(nullptr, &a, &b);
  dup.record(&ip, &a, nullptr);
  dup.record(&a, &a, &b);    // an Ethernet address where the IPv4 one belongs
  dup.record(&ip, &a, &ip);  // an IPv4 address as the new Ethernet address
  EXPECT_EQ(dup.count(), 0);
  EXPECT_EQ(beeps.found, 0);
  // Without a recorded address only the new one is listed; a recorded one
  // equal to the new one is not listed twice.
  dup.record(&ip, nullptr, &b);
  dup.record(v4(10, 0, 0, 9), b, b);
  EXPECT_EQ(texts(dup.find(ip)->ethers), (std::vector<std::string>{"02:00:00:00:00:0b"}));
  EXPECT_EQ(dup.find(v4(10, 0, 0, 9))->ethers.size(), 1u);
}

TEST_F(DupIpTest, ReopeningKeepsWhatWasFoundAndClosingForgetsIt) {
  dup.open();
  dup.record(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  dup.open();  // the menu command on an open (or hidden) window
  EXPECT_EQ(dup.count(), 1);
  dup.close();
  EXPECT_FALSE(dup.detecting());
  EXPECT_FALSE(dup.is_open());
  dup.record(v4(10, 0, 0, 6), mac(0x0a), mac(0x0b));
  dup.open();
  EXPECT_EQ(dup.count(), 0);
  EXPECT_TRUE(dup.detecting());
}

TEST_F(DupIpTest, RemoveForgetsOneAddress) {
  dup.open();
  dup.record(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  dup.record(v4(10, 0, 0, 6), mac(0x0a), mac(0x0b));
  EXPECT_TRUE(dup.remove(v4(10, 0, 0, 5)));
  EXPECT_FALSE(dup.remove(v4(10, 0, 0, 5)));
  EXPECT_FALSE(dup.find(v4(10, 0, 0, 5)).has_value());
  EXPECT_EQ(dup.count(), 1);
  EXPECT_TRUE(dup.detecting());
  // Found again later: a new row and a new beep.
  dup.record(v4(10, 0, 0, 5), mac(0x0b), mac(0x0c));
  EXPECT_EQ(beeps.found, 3);
}

TEST(DupIpRow, NameStartsAtColumnTwentyAndLongNamesStopAtTheRowEnd) {
  EXPECT_EQ(dupip_row_text(v4(10, 0, 0, 5), ""), "10.0.0.5");
  EXPECT_EQ(dupip_row_text(v4(10, 0, 0, 5), "pc5.example.com"), "10.0.0.5            pc5.example.com");
  EXPECT_EQ(dupip_row_text(v4(192, 168, 100, 200), "x"), "192.168.100.200     x");
  std::string row = dupip_row_text(v4(10, 0, 0, 5), std::string(100, 'n'));
  EXPECT_EQ(row.size(), kDupIpRowChars);
  EXPECT_EQ(row.substr(20), std::string(kDupIpRowChars - 20, 'n'));
}

TEST(DupIpListing, NamesComeFromTheCacheOnceItHasThem) {
  FakeNameService ns;
  ns.answer_address(testing_support::ip(10, 0, 0, 5),
                    testing_support::reply("pc5.example.com", {}, {testing_support::ip(10, 0, 0, 5)}));
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  DupIp dup;
  dup.open();
  dup.record(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  dup.record(v4(10, 0, 0, 9), mac(0x0a), mac(0x0c));
  EXPECT_EQ(dup.listing(&cache),
            "10.0.0.5\n    02:00:00:00:00:0b\n    02:00:00:00:00:0a\n"
            "10.0.0.9\n    02:00:00:00:00:0c\n    02:00:00:00:00:0a\n");
  cache.start();
  cache.request_ipv4(v4(10, 0, 0, 5), nullptr);
  cache.request_ipv4(v4(10, 0, 0, 9), nullptr);  // no name: shown by its address alone
  cache.wait_idle();
  EXPECT_EQ(dup.listing(&cache),
            "10.0.0.5            pc5.example.com\n    02:00:00:00:00:0b\n    02:00:00:00:00:0a\n"
            "10.0.0.9\n    02:00:00:00:00:0c\n    02:00:00:00:00:0a\n");
  DupIpReport r{v4(10, 0, 0, 5), 0, {mac(0x0b), mac(0x0a)}};
  EXPECT_EQ(LogDupIpNotifier::line(r, "pc5"),
            "duplicate IP address 10.0.0.5 (pc5): 02:00:00:00:00:0b 02:00:00:00:00:0a\n");
  EXPECT_EQ(LogDupIpNotifier::line(r, ""),
            "duplicate IP address 10.0.0.5: 02:00:00:00:00:0b 02:00:00:00:00:0a\n");
  // A reverse answer is the address owner's text: it must not drive the terminal.
  EXPECT_EQ(LogDupIpNotifier::line(r, "pc\x1b]2;x\a"),
            "duplicate IP address 10.0.0.5 (pc\\x1b]2;x\\x07): 02:00:00:00:00:0b 02:00:00:00:00:0a\n");
}

TEST(DupIpThreads, CaptureReportsWhileTheWindowListsRemovesAndReopens) {
  std::atomic<int> found{0};
  class Count : public DupIpNotifier {
   public:
    explicit Count(std::atomic<int>& n) : n_(n) {}
    void duplicate_found(const DupIpReport& r) override {
      if (r.ethers.size() >= 1) ++n_;
    }

   private:
    std::atomic<int>& n_;
  } counter(found);
  DupIp dup(&counter);
  dup.open();
  std::atomic<bool> stop{false};
  // Only passes made while detection is on count: a window thread preempted
  // between its close and open would otherwise let every pass go by unrecorded.
  std::thread capture([&] {
    for (int i = 0; i < 20000;) {
      if (!dup.detecting()) {
        std::this_thread::yield();
        continue;
      }
      ++i;
      dup.record(v4(10, 0, static_cast<std::uint8_t>(i % 7), 5), mac(static_cast<std::uint8_t>(i % 5)),
                 mac(static_cast<std::uint8_t>(i % 11)));
    }
    stop = true;
  });
  std::size_t rows = 0;
  for (int k = 0; !stop.load(); ++k) {
    for (const DupIpReport& r : dup.snapshot()) rows += r.ethers.size();
    dup.remove(v4(10, 0, static_cast<std::uint8_t>(k % 7), 5));
    if (k % 50 == 0) {
      dup.close();
      dup.open();
    }
  }
  capture.join();
  EXPECT_GT(found.load(), 0);
  for (const DupIpReport& r : dup.snapshot()) {
    auto t = texts(r.ethers);
    std::sort(t.begin(), t.end());
    EXPECT_EQ(std::unique(t.begin(), t.end()), t.end()) << "an Ethernet address listed twice";
  }
}

// The crafted capture read back through a small stand-in for the frame
// handler's duplicate check: recorded Ethernet address per IPv4 source.
std::vector<DupIpReport> detect_in(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), error);
  EXPECT_NE(p, nullptr) << error;
  if (p == nullptr) return {};
  EXPECT_EQ(pcap_datalink(p), DLT_EN10MB);
  DupIp dup;
  dup.open();
  std::map<std::uint32_t, NetAddress> recorded;
  pcap_pkthdr* h;
  const u_char* d;
  while (pcap_next_ex(p, &h, &d) == 1) {
    if (h->caplen < 34 || d[12] != 0x08 || d[13] != 0x00) continue;
    NetAddress src_mac = NetAddress::ether(d + 6), dst_mac = NetAddress::ether(d);
    NetAddress src = NetAddress::ipv4(d + 26), dst = NetAddress::ipv4(d + 30);
    auto key = [](const NetAddress& a) {
      return std::uint32_t(a.bytes[0]) << 24 | a.bytes[1] << 16 | a.bytes[2] << 8 | a.bytes[3];
    };
    auto it = recorded.find(key(src));
    if (it == recorded.end()) {
      recorded[key(src)] = src_mac;
    } else if (dup.detecting() && netaddr_compare(it->second, src_mac) != 0) {
      dup.record(src, it->second, src_mac);
      it->second = src_mac;
    }
    if (!recorded.count(key(dst))) recorded[key(dst)] = dst_mac;
  }
  pcap_close(p);
  return dup.snapshot();
}

TEST(DupIpCapture, CraftedCaptureShowsTheStationsInReportOrder) {
  for (int stations : {2, 4}) {
    std::string path = ::testing::TempDir() + "dupip_" + std::to_string(stations) + "_" +
                       std::to_string(::getpid()) + ".pcap";
    ASSERT_EQ(testing_support::write_pcap(path, testing_support::dupip_scenario(stations)), "");
    auto found = detect_in(path);
    std::remove(path.c_str());
    ASSERT_EQ(found.size(), 1u) << stations << " stations";
    EXPECT_EQ(found[0].address, v4(10, 0, 0, 5));
    EXPECT_EQ(texts(found[0].ethers), testing_support::dupip_expected_ethers(stations));
  }
  EXPECT_EQ(testing_support::dupip_expected_ethers(3),
            (std::vector<std::string>{"02:00:00:00:00:0b", "02:00:00:00:00:0a", "02:00:00:00:00:0c"}));
  EXPECT_NE(testing_support::write_pcap("/nonexistent-dir/x.pcap", {}), "");
}

TEST(DupIpCapture, CraftedFramesCarryValidChecksums) {
  auto f = testing_support::craft_udp_frame({2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 0x0a}, {10, 0, 0, 5},
                                            {10, 0, 0, 1}, 40000, 9);
  ASSERT_EQ(f.size(), 60u);
  auto sum = [](const std::uint8_t* p, std::size_t n, std::uint32_t s) {
    for (std::size_t i = 0; i + 1 < n; i += 2) s += std::uint32_t(p[i] << 8 | p[i + 1]);
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return s;
  };
  EXPECT_EQ(sum(&f[14], 20, 0), 0xFFFFu);  // IPv4 header
  std::uint32_t pseudo = 0x0a00 + 0x0005 + 0x0a00 + 0x0001 + 17 + 26;
  EXPECT_EQ(sum(&f[34], 26, pseudo), 0xFFFFu);  // UDP with its pseudo-header
  EXPECT_EQ(f[23], 17);
}

// What the frame path sees of the cache and the detector.
TEST(CaptureGlue, NamerAndDuplicateHookForwardToCacheAndDetector) {
  FakeNameService ns;
  ns.answer_address(testing_support::ip(10, 0, 0, 5),
                    testing_support::reply("pc5.example.com", {}, {testing_support::ip(10, 0, 0, 5)}));
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  cache.start();
  HostCacheNamer namer(cache);
  EXPECT_EQ(namer.find(v4(10, 0, 0, 5)), nullptr);
  std::atomic<const HostCacheEntry*> got{nullptr};
  namer.request(v4(10, 0, 0, 5), [&](const HostCacheRef& e) { got = e.get(); });
  namer.request(v4(10, 0, 0, 6), nullptr);
  cache.wait_idle();
  ASSERT_NE(got.load(), nullptr);
  EXPECT_EQ(namer.find(v4(10, 0, 0, 5)).get(), got.load());
  EXPECT_EQ(namer.name_of(got.load()), "pc5.example.com");
  EXPECT_EQ(namer.name_of(namer.find(v4(10, 0, 0, 6)).get()), "");  // no reply: no name
  EXPECT_EQ(namer.name_of(nullptr), "");

  DupIp dup;
  DupIpSink sink(dup);
  EXPECT_FALSE(sink.detecting());
  dup.open();
  EXPECT_TRUE(sink.detecting());
  sink.report(v4(10, 0, 0, 5), mac(0x0a), mac(0x0b));
  EXPECT_EQ(dup.count(), 1);
}

TEST(CaptureGlue, WithoutResolvingEveryAddressStillGetsAnEntryAndAnId) {
  NullNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  cache.start();
  cache.request_ipv4(v4(10, 0, 0, 5), nullptr);
  cache.request_text("somehost", nullptr);
  cache.wait_idle();
  const HostCacheRef e = cache.find_ipv4(v4(10, 0, 0, 5));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "10.0.0.5");
  EXPECT_EQ(e->host_id, 1);
  EXPECT_FALSE(e->has_name());
  EXPECT_EQ(cache.find_text("somehost"), nullptr);
}

}  // namespace
}  // namespace tarnix
