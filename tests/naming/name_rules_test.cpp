// Which texts are addresses and which are names: a name that starts with a
// digit ("163.com", "9gag.com") must be looked up by name, never filed
// under a made-up address.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "naming/fake_name_service.h"
#include "naming/hostc.h"
#include "naming/netaddr.h"

namespace tarnix {
namespace {

using testing_support::FakeNameService;
using testing_support::ip;
using testing_support::reply;

TEST(NameRules, OnlyWholeDottedQuadsAreAddresses) {
  struct Case {
    const char* text;
    bool address;
  };
  const Case cases[] = {
      {"10.1.2.3", true},
      {"255.255.255.255", true},
      {"0.0.0.0", true},
      {"163.com", false},
      {"9gag.com", false},
      {"3com", false},
      {"1.2.3", false},
      {"1.2.3.4.5", false},
      {"256.1.1.1", false},
      {"1.2.3.4 ", false},
      {"1.2.3.4x", false},
      {"", false},
      {"123456789012345678", false},
      {"www.example.com", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_ipv4_text(c.text), c.address) << c.text;
}

TEST(NameRules, DigitLedNamesAreLookedUpByName) {
  FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  ns.answer_name("163.com", reply("163.com", {}, {ip(10, 1, 6, 3)}));
  ns.answer_name("9gag.com", reply("9gag.com", {}, {ip(10, 9, 9, 9)}));
  cache.start();
  std::mutex m;
  std::condition_variable cv;
  int done = 0;
  for (const char* name : {"163.com", "9gag.com"}) {
    cache.request_text(name, [&](const HostcEntry*) {
      std::lock_guard lock(m);
      ++done;
      cv.notify_all();
    });
  }
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done == 2; }));
  }
  EXPECT_EQ(ns.name_calls("163.com"), 1);
  EXPECT_EQ(ns.name_calls("9gag.com"), 1);
  EXPECT_EQ(ns.address_calls(ip(163, 0, 0, 0)), 0);
  EXPECT_EQ(ns.address_calls(ip(9, 0, 0, 0)), 0);
  const HostcEntry* e = cache.find_text("163.com");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->address, NetAddress::ipv4(10, 1, 6, 3));
  EXPECT_EQ(cache.find_text("163.0.0.0"), nullptr);
  cache.stop();
}

}  // namespace
}  // namespace tarnix
