#include "naming/netaddr.h"

#include <gtest/gtest.h>

#include "core/hashtable.h"

namespace tarnix {
namespace {

std::string ether_text(const char* in) { return netaddr_text(NetAddress::parse(kAddrEther, in)); }
std::string ipv4_text(const char* in) { return netaddr_text(NetAddress::parse(kAddrIpv4, in)); }

TEST(NetAddress, EthernetTextForms) {
  const std::uint8_t b[6] = {0x00, 0xA0, 0x24, 0x1B, 0x2C, 0x3D};
  EXPECT_EQ(netaddr_text(NetAddress::ether(b)), "00:a0:24:1b:2c:3d");
  EXPECT_EQ(ether_text("0:a0:24:1b:2c:3d"), "00:a0:24:1b:2c:3d");
  EXPECT_EQ(ether_text("00-A0-24-1B-2C-3D"), "00:a0:24:1b:2c:3d");
  EXPECT_EQ(ether_text("00.a0.24.1b.2c.3d"), "00:a0:24:1b:2c:3d");
  EXPECT_EQ(ether_text("1ff:0:0:0:0:0"), "ff:00:00:00:00:00");
  EXPECT_EQ(ether_text("00:a0:24:1b:2c"), "00:00:00:00:00:00");
  EXPECT_EQ(ether_text("zz:1:2:3:4:5"), "00:01:02:03:04:05");
  EXPECT_EQ(ether_text("1:2:3:4:5:6:7:8"), "01:02:03:04:05:06");
  EXPECT_EQ(ether_text(""), "00:00:00:00:00:00");
  EXPECT_EQ(ether_text("::1::2:3:4:5:6"), "01:02:03:04:05:06");
}

TEST(NetAddress, Ipv4TextForms) {
  EXPECT_EQ(netaddr_text(NetAddress::ipv4(192, 168, 1, 20)), "192.168.1.20");
  EXPECT_EQ(ipv4_text("300.1.1.1"), "44.1.1.1");
  EXPECT_EQ(ipv4_text("10.1"), "10.1.0.0");
  EXPECT_EQ(ipv4_text("10"), "10.0.0.0");
  EXPECT_EQ(ipv4_text(""), "0.0.0.0");
  EXPECT_EQ(ipv4_text("garbage"), "0.0.0.0");
  EXPECT_EQ(ipv4_text("-1.2.3.4"), "255.2.3.4");
  EXPECT_EQ(ipv4_text(" 1.2.3.4"), "1.2.3.4");
  EXPECT_EQ(ipv4_text("99999999999999999999.2.3.4"), ipv4_text("99999999999999999999.2.3.4"));
  EXPECT_EQ(netaddr_text(NetAddress::ipv4(255, 255, 255, 255)), "255.255.255.255");
  // Round trips over a spread of addresses.
  for (int i = 0; i < 256; i += 17) {
    NetAddress a = NetAddress::ipv4(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 0,
                                    static_cast<std::uint8_t>(i / 2));
    std::string t = netaddr_text(a);
    EXPECT_EQ(NetAddress::parse(kAddrIpv4, t.c_str()), a) << t;
  }
}

TEST(NetAddress, CompareHashCopy) {
  NetAddress a = NetAddress::ipv4(10, 0, 0, 1);
  NetAddress b = NetAddress::ipv4(10, 0, 0, 2);
  EXPECT_LT(netaddr_compare(a, b), 0);
  EXPECT_GT(netaddr_compare(b, a), 0);
  // Unsigned byte comparison: 200 sorts above 100.
  EXPECT_GT(netaddr_compare(NetAddress::ipv4(200, 0, 0, 0), NetAddress::ipv4(100, 0, 0, 0)), 0);
  NetAddress c = netaddr_dup(a);
  EXPECT_EQ(netaddr_compare(a, c), 0);
  EXPECT_EQ(netaddr_hash(a), netaddr_hash(c));
  NetAddress untyped;
  EXPECT_EQ(netaddr_compare(untyped, a), 1);
  EXPECT_EQ(netaddr_compare(nullptr, &a), 0);
  // Different kinds never match, even over equal leading bytes: one table
  // holds IPv4 and IPv6 hosts, and 10.0.0.1 is not a00:1::.
  const std::uint8_t e[6] = {10, 0, 0, 1, 0x55, 0x66};
  std::uint8_t six[16] = {10, 0, 0, 1};
  EXPECT_LT(netaddr_compare(NetAddress::ether(e), a), 0);
  EXPECT_GT(netaddr_compare(a, NetAddress::ether(e)), 0);
  EXPECT_LT(netaddr_compare(a, NetAddress::ipv6(six)), 0);
  EXPECT_GT(netaddr_compare(NetAddress::ipv6(six), a), 0);
  EXPECT_FALSE(NetAddress::ipv6(six) == a);
  char buf[kAddressTextSize];
  netaddr_format(untyped, buf);
  EXPECT_STREQ(buf, "");
}

TEST(NetAddress, Ipv6TextForms) {
  struct Case {
    const char* in;
    const char* out;
  };
  // RFC 5952: lower case, leading zeros dropped, the longest (first on a
  // tie) run of two or more zero groups as "::", a lone zero group kept.
  const Case cases[] = {
      {"FD00:0:0:0:0:0:0:5", "fd00::5"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"fe80::0211:22ff:fe33:4455", "fe80::211:22ff:fe33:4455"},
      {"::", "::"},
      {"::1", "::1"},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"not-an-address", "::"},
      {"1:2:3:4:5:6:7:8:9", "::"},
      {"", "::"},
  };
  for (const Case& c : cases) EXPECT_EQ(netaddr_text(NetAddress::parse(kAddrIpv6, c.in)), c.out) << c.in;
  const NetAddress a = NetAddress::parse(kAddrIpv6, "fd00::5");
  EXPECT_TRUE(a.is_ipv6());
  EXPECT_EQ(NetAddress::parse(kAddrIpv6, netaddr_text(a).c_str()), a);
}

TEST(NetAddress, RegistryHoldsEveryKind) {
  AddressTypeRegistry r = netaddr_init();
  EXPECT_EQ(r.count(), 3);
  EXPECT_EQ(r.type(kAddrEther)->length, 6);
  EXPECT_EQ(r.type(kAddrIpv4)->length, 4);
  EXPECT_EQ(r.type(kAddrIpv6)->length, 16);
  EXPECT_EQ(r.type(5), nullptr);
  EXPECT_EQ(r.type(99), nullptr);
  NetAddress fresh = netaddr_new(kAddrIpv4);
  EXPECT_TRUE(fresh.is_ipv4());
  EXPECT_EQ(netaddr_text(fresh), "0.0.0.0");
}

TEST(NetAddress, KeysAnAddressTable) {
  HashTable<NetAddress, int, NetAddressKeyTraits> t;
  for (int i = 0; i < 1000; ++i)
    t.insert(NetAddress::ipv4(10, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256), 1), i);
  int v;
  EXPECT_EQ(t.lookup(NetAddress::ipv4(10, 3, 7, 1), v), 1);
  EXPECT_EQ(v, 3 * 256 + 7);
  EXPECT_EQ(t.lookup(NetAddress::ipv4(10, 3, 7, 2), v), 0);
  EXPECT_EQ(t.count(), 1000);
}

}  // namespace
}  // namespace tarnix
