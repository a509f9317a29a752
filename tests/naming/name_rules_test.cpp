// Which texts are addresses and which are names: a name that starts with a
// digit ("163.com", "9gag.com") must be looked up by name, never filed
// under a made-up address (the cache's requests: hostc_test).
#include <gtest/gtest.h>

#include "naming/netaddr.h"

namespace tarnix {
namespace {

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

}  // namespace
}  // namespace tarnix
