// Which texts are addresses and which are names: a name that starts with a
// digit ("163.com", "9gag.com") must be looked up by name, never filed
// under a made-up address (the cache's requests: hostc_test).
#include <gtest/gtest.h>

#include "naming/hostc.h"
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

// What may go to the name service: a Host field is whatever a neighbour wrote.
TEST(NameRules, OnlyHostNamesMayBeLookedUp) {
  const std::string label63(63, 'a');
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');  // 253
  for (const std::string& good :
       {std::string("www.example"), std::string("a-b.example."), std::string("x"),
        std::string("3com.example"), std::string("xn--bcher-kva.example"), label63, longest})
    EXPECT_TRUE(hostc_valid_name(good)) << good;
  for (const std::string& bad :
       {std::string(""), std::string("."), std::string("a..b"), std::string(".a"),
        std::string("-lead.example"), std::string("trail-.example"), std::string("under_score.example"),
        std::string("sp ace.example"), std::string("evil.example\x1b[2J"), std::string("a\0b", 3),
        label63 + "a", longest + "b", std::string("host:8080")})
    EXPECT_FALSE(hostc_valid_name(bad)) << bad;
}

}  // namespace
}  // namespace tarnix
