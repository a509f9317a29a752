// Many threads requesting and reading while the resolver answers. Run under
// the thread sanitizer build to check the sharing, and anywhere for the
// counting rules (one look-up per address, one id per entry).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "naming/fake_name_service.h"
#include "naming/host_cache.h"

namespace tarnix {
namespace {

using testing_support::FakeNameService;
using testing_support::ip;
using testing_support::reply;

constexpr int kThreads = 6;
constexpr int kRequestsPerThread = 1500;
constexpr int kAddresses = 300;
constexpr int kNames = 40;

std::uint8_t hi(int i) {
  return static_cast<std::uint8_t>(i / 256);
}
std::uint8_t lo(int i) {
  return static_cast<std::uint8_t>(i % 256);
}

// With a bound (the parameter; 0 for none) small enough that entries keep
// leaving while readers hold them: a reader's reference stays valid (the
// sanitizer builds tell), and holders letting go make room.
class HostCacheStress : public testing::TestWithParam<std::size_t> {};

TEST_P(HostCacheStress, ManyRequestersAndReadersWhileTheResolverAnswers) {
  const std::size_t bound = GetParam();
  FakeNameService ns;
  for (int i = 0; i < kAddresses; i += 2) {  // every other address has a name
    ns.answer_address(ip(10, 0, hi(i), lo(i)), reply("host" + std::to_string(i) + ".example.com",
                                                     {"h" + std::to_string(i)}, {ip(10, 0, hi(i), lo(i))}));
  }
  for (int n = 0; n < kNames; n += 2) {  // every other name resolves
    ns.answer_name("name" + std::to_string(n), reply("name" + std::to_string(n), {}, {ip(10, 1, 0, lo(n))}));
  }
  MemoryHostIdStore ids;
  HostCacheOptions options;
  options.max_entries = bound;
  HostCache cache(ns, ids, options);
  cache.start();

  std::atomic<int> requested{0};
  std::atomic<int> completed{0};
  std::atomic<int> mismatched{0};
  // Host names filled in by completions while other threads draw them.
  std::vector<HostCacheRefSlot> slots(kAddresses);
  std::atomic<bool> done{false};

  auto requester = [&](unsigned seed) {
    std::mt19937 rng(seed);
    for (int k = 0; k < kRequestsPerThread; ++k) {
      int i = static_cast<int>(rng() % kAddresses);
      NetAddress a = NetAddress::ipv4(10, 0, hi(i), lo(i));
      switch (rng() % 6) {
        case 0:
        case 1:
          if (HostCacheRef e = cache.find_ipv4(a)) {
            slots[static_cast<std::size_t>(i)].store(e);
            if (!(e->address == a) || e->host_id == 0) ++mismatched;
            break;
          }
          ++requested;
          cache.request_ipv4(a, [&, i, a](const HostCacheRef& e) {
            if (e == nullptr || !(e->address == a) || e->host_id == 0) ++mismatched;
            slots[static_cast<std::size_t>(i)].store(e);
            ++completed;
          });
          break;
        case 2:
          ++requested;
          cache.request_text("name" + std::to_string(rng() % kNames),
                             [&](const HostCacheRef&) { ++completed; });
          break;
        case 3: {
          const std::uint8_t m[6] = {2, 0, 0, 0, hi(i), lo(i)};
          ++requested;
          cache.request_ether(NetAddress::ether(m), [&](const HostCacheRef& e) {
            if (e == nullptr || e->name.size() != 17) ++mismatched;
            ++completed;
          });
          break;
        }
        case 4:
          slots[static_cast<std::size_t>(i)].store(nullptr);
          break;
        default:
          cache.find_text("h" + std::to_string(i));
          cache.find_text(netaddr_text(a));
          if (HostCacheRef e = cache.find_id(static_cast<std::int32_t>(rng() % 200) + 1)) {
            if (e->host_id == 0 || e->name.empty()) ++mismatched;
          }
          break;
      }
    }
  };
  auto drawer = [&] {
    std::size_t chars = 0;
    while (!done.load()) {
      for (const HostCacheRefSlot& s : slots) {
        if (const HostCacheRef e = s.load(); e != nullptr && e->has_name())
          chars += e->short_name.size() + e->host->name.size();
      }
      std::this_thread::yield();
    }
    return chars;
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(requester, 1234u + static_cast<unsigned>(t));
  std::thread draw([&] { drawer(); });
  for (auto& t : threads) t.join();
  cache.wait_idle();
  done = true;
  draw.join();

  EXPECT_EQ(completed.load(), requested.load());
  EXPECT_EQ(mismatched.load(), 0);
  for (const auto& [address, count] : ns.all_address_calls()) {
    if (bound != 0) break;  // an address whose entry left is asked again
    EXPECT_EQ(count, 1) << int(address[2]) << "." << int(address[3]) << " was looked up " << count
                        << " times";
  }
  // Each IPv4 entry has its own id, and the id table leads back to it.
  std::set<std::int32_t> seen;
  for (int i = 0; i < kAddresses; ++i) {
    const HostCacheRef e = cache.find_ipv4(NetAddress::ipv4(10, 0, hi(i), lo(i)));
    if (e == nullptr) continue;
    EXPECT_TRUE(seen.insert(e->host_id).second) << "id " << e->host_id << " given twice";
    EXPECT_EQ(cache.find_id(e->host_id), e);
    EXPECT_EQ(e->has_name(), i % 2 == 0);
  }
  if (bound == 0) {
    EXPECT_GT(seen.size(), static_cast<std::size_t>(kAddresses / 2));
    return;
  }
  // Once nobody holds them, the entries past the bound go with the next
  // ones made.
  for (HostCacheRefSlot& s : slots) s.store(nullptr);
  for (int i = 0; i < 64; ++i) cache.request_ipv4(NetAddress::ipv4(10, 2, 0, lo(i)), nullptr);
  cache.wait_idle();
  EXPECT_LE(static_cast<std::size_t>(cache.entry_count()), bound);
}

INSTANTIATE_TEST_SUITE_P(Bounds, HostCacheStress, testing::Values(std::size_t{0}, std::size_t{48}));

}  // namespace
}  // namespace tarnix
