// Which texts are addresses and which are names: a name that starts with a
// digit ("163.com", "9gag.com") must be looked up by name, never filed
// under a made-up address (the cache's requests: host_cache_test).
#include <gtest/gtest.h>

#include "naming/host_cache.h"
#include "naming/netaddr.h"

namespace tarnix {
namespace {

TEST(NameRules, OnlyWholeDottedQuadsAreAddresses) {
  for (const char* address : {"10.1.2.3", "255.255.255.255"}) EXPECT_TRUE(is_ipv4_text(address)) << address;
  // Short and long forms, out-of-range parts, trailing text, and a text too
  // long for any address.
  for (const char* name :
       {"163.com", "9gag.com", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "", "123456789012345678"})
    EXPECT_FALSE(is_ipv4_text(name)) << name;
}

// What may go to the name service is the wire's host-name rule (tested with
// it), plus the root's trailing dot a fully qualified name may carry.
TEST(NameRules, OnlyHostNamesMayBeLookedUp) {
  EXPECT_TRUE(hostc_valid_name("a-b.example."));
  EXPECT_FALSE(hostc_valid_name("."));
  EXPECT_FALSE(hostc_valid_name("evil.example\x1b[2J"));
}

}  // namespace
}  // namespace tarnix
