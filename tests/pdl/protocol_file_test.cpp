// The shipped protocol file against built frames and against captures of
// real clients and servers (recorded by tests/data/pdl/record.sh).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "pdl/protocol_tree.h"
#include "pdl_test_util.h"

namespace tarnix {
namespace {

using pdltest::CapturedFrame;
using pdltest::ipv4_frame;
using pdltest::path_names;

class ShippedFile : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    PdlResult r = pdl_parse(pdltest::source_path("data/protocol.pdl"));
    error_ = r.error;
    tree_ = r.tree.release();
  }
  static void TearDownTestSuite() {
    delete tree_;
    tree_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(tree_, nullptr) << error_; }

  static std::string names(const std::vector<std::uint8_t>& frame) {
    return pdltest::classify_names(*tree_, frame);
  }
  static std::vector<CapturedFrame> capture(const char* name) {
    std::string error;
    auto frames = pdltest::read_capture(pdltest::source_path(std::string("tests/data/pdl/") + name), &error);
    EXPECT_FALSE(frames.empty()) << name << ": " << error;
    return frames;
  }
  static std::string classify(const CapturedFrame& f, const protocol_node** leaf = nullptr) {
    ProtocolPath path;
    protocol_classify(tree_, f.bytes.data(), f.bytes.size(), f.wire_length, path);
    if (leaf != nullptr) *leaf = pdltest::leaf(path);
    return path_names(path);
  }

  static inline ProtocolTree* tree_ = nullptr;
  static inline std::string error_;
};

TEST_F(ShippedFile, ParsesCleanly) {
  EXPECT_TRUE(protocol_tree_warnings(*tree_).empty());
  // Every node is reachable from the root, has a description and (below the
  // root) a field of its own.
  std::vector<const protocol_node*> stack = {tree_->root()};
  std::size_t seen = 0;
  while (!stack.empty()) {
    const protocol_node* n = stack.back();
    stack.pop_back();
    ++seen;
    EXPECT_FALSE(n->description.empty()) << n->name;
    for (const protocol_node* c = n->first_child; c != nullptr; c = c->next_sibling) stack.push_back(c);
  }
  EXPECT_EQ(seen, tree_->node_count());
}

TEST_F(ShippedFile, TransportPortsMatchInBothDirections) {
  struct Port {
    std::uint8_t ip;
    std::uint16_t port;
    const char* leaf;
    const char* description;
  };
  const Port ports[] = {
      {6, 20, "FTP", "File Transfer (FTP)"},         {6, 21, "FTP", "File Transfer (FTP)"},
      {6, 22, "SSH", "Secure Shell"},                {6, 23, "TELNET", "Remote Terminal (Telnet)"},
      {6, 25, "SMTP", "Electronic Mail (SMTP)"},     {6, 53, "DNS_TCP", "Domain Name System (TCP)"},
      {6, 80, "HTTP", "World Wide Web"},             {6, 81, "HTTP", "World Wide Web"},
      {6, 8000, "HTTP_8000", "World Wide Web"},      {6, 8080, "HTTP_8080", "World Wide Web"},
      {6, 110, "POP3", "Mail Retrieval (POP3)"},     {6, 119, "NNTP", "Network News (NNTP)"},
      {6, 143, "IMAP", "Mail Access (IMAP)"},        {6, 389, "LDAP", "Directory Access (LDAP)"},
      {6, 443, "HTTPS", "Secure Web (HTTPS)"},       {6, 445, "SMB", "Windows File Sharing (SMB)"},
      {6, 139, "NETBIOS_SSN", "NetBIOS Session Service"},
      {6, 3389, "RDP", "Remote Desktop (RDP)"},      {6, 3306, "MYSQL", "MySQL Database"},
      {6, 5432, "POSTGRESQL", "PostgreSQL Database"}, {6, 6000, "X11", "X Window System"},
      {6, 6063, "X11", "X Window System"},           {6, 5900, "VNC", "Remote Framebuffer (VNC)"},
      {6, 5909, "VNC", "Remote Framebuffer (VNC)"},  {6, 993, "IMAPS", "Secure Mail Access (IMAPS)"},
      {6, 587, "SUBMISSION", "Mail Submission"},     {6, 9100, "JETDIRECT", "Network Printing (raw)"},
      {17, 53, "DNS", "Domain Name System"},         {17, 67, "DHCP", "Address Assignment (DHCP)"},
      {17, 68, "DHCP", "Address Assignment (DHCP)"}, {17, 69, "TFTP", "Trivial File Transfer"},
      {17, 123, "NTP", "Network Time Protocol"},     {17, 137, "NETBIOS_NS", "NetBIOS Name Service"},
      {17, 138, "NETBIOS_DGM", "NetBIOS Datagram Service"},
      {17, 161, "SNMP", "Network Management (SNMP)"}, {17, 162, "SNMP", "Network Management (SNMP)"},
      {17, 514, "SYSLOG", "System Logging (syslog)"}, {17, 520, "RIP", "Routing Information (RIP)"},
      {17, 1900, "SSDP", "UPnP Discovery (SSDP)"},   {17, 5353, "MDNS", "Multicast DNS"},
      {17, 443, "QUIC", "Secure Web over QUIC"},     {17, 2049, "NFS", "Network File System"},
  };
  for (const Port& p : ports) {
    const std::string transport = p.ip == 6 ? "TCP" : "UDP";
    const std::string want = "ROOT/ETHERNET/IP/" + transport + "/" + p.leaf;
    // Client to server from typical ephemeral ports (Linux and Windows), and the reply.
    for (std::uint16_t ephemeral : {33000, 49152, 60999, 65535}) {
      EXPECT_EQ(names(ipv4_frame(p.ip, ephemeral, p.port)), want) << p.port << " as destination";
      EXPECT_EQ(names(ipv4_frame(p.ip, p.port, ephemeral)), want) << p.port << " as source";
    }
    EXPECT_EQ(tree_->lookup(p.leaf)->description, p.description);
  }
  // Unknown ports on both sides end in the transport's Other child.
  EXPECT_EQ(names(ipv4_frame(6, 40000, 50000)), "ROOT/ETHERNET/IP/TCP/OTHER_TCP");
  EXPECT_EQ(names(ipv4_frame(17, 40000, 50000)), "ROOT/ETHERNET/IP/UDP/OTHER_UDP");
  EXPECT_EQ(tree_->lookup("OTHER_TCP")->description, "Other TCP connections");
  // The same port number means different things over TCP and UDP.
  EXPECT_EQ(names(ipv4_frame(6, 40000, 2049)), "ROOT/ETHERNET/IP/TCP/NFS_TCP");
  EXPECT_EQ(names(ipv4_frame(6, 40000, 5353)), "ROOT/ETHERNET/IP/TCP/OTHER_TCP");
}

TEST_F(ShippedFile, NetworkAndLinkLevels) {
  const std::map<std::uint8_t, std::string> ip_protocols = {
      {1, "ICMP/OTHER_ICMP"}, {2, "IGMP/OTHER_IGMP"}, {47, "GRE"}, {50, "ESP"}, {51, "AH"}, {89, "OSPF"},
      {41, "IPV6_IN_IP"},     {132, "SCTP"},          {253, "OTHER_IP"}};
  for (const auto& [number, tail] : ip_protocols) {
    auto f = ipv4_frame(number, 0, 0);
    f[34] = 0xEE;  // no ICMP or IGMP type
    f[38] = 0xEE;
    EXPECT_EQ(names(f), "ROOT/ETHERNET/IP/" + tail) << int(number);
  }
  auto ping = ipv4_frame(1, 0, 0);
  ping[34] = 8;
  EXPECT_EQ(names(ping), "ROOT/ETHERNET/IP/ICMP/ECHO_REQUEST");

  std::vector<std::uint8_t> arp(42, 0);
  arp[12] = 0x08, arp[13] = 0x06;
  EXPECT_EQ(names(arp), "ROOT/ETHERNET/ARP");
  arp[12] = 0x86, arp[13] = 0xDD;
  EXPECT_EQ(names(arp), "ROOT/ETHERNET/IPV6");
  arp[12] = 0x88, arp[13] = 0xB5;  // a local experimental EtherType
  EXPECT_EQ(names(arp), "ROOT/ETHERNET/OTHER_ETHERNET");
  // An IEEE 802.3 frame (length in bytes 12-13) carrying spanning tree.
  std::vector<std::uint8_t> stp(60, 0);
  stp[12] = 0x00, stp[13] = 0x26, stp[14] = 0x42, stp[15] = 0x42;
  EXPECT_EQ(names(stp), "ROOT/IEEE8023/STP");
  stp[12] = 0x06, stp[13] = 0x00;  // 1536: the lowest EtherType
  EXPECT_EQ(names(stp), "ROOT/ETHERNET/OTHER_ETHERNET");
  stp[12] = 0x05, stp[13] = 0xFF;  // 1535: too long for a length, too low for a type
  EXPECT_EQ(names(stp), "ROOT/OTHER_ROOT");

  // Frames cut short stop where their bytes end.
  auto http = ipv4_frame(6, 40000, 80);
  EXPECT_EQ(names(std::vector<std::uint8_t>(http.begin(), http.begin() + 36)), "ROOT/ETHERNET/IP/TCP/OTHER_TCP");
  EXPECT_EQ(names(std::vector<std::uint8_t>(http.begin(), http.begin() + 38)), "ROOT/ETHERNET/IP/TCP/HTTP");
  EXPECT_EQ(names(std::vector<std::uint8_t>(http.begin(), http.begin() + 23)), "ROOT/ETHERNET/IP/OTHER_IP");
  EXPECT_EQ(names(std::vector<std::uint8_t>(http.begin(), http.begin() + 12)), "ROOT/OTHER_ROOT");
}

TEST_F(ShippedFile, RealWebTraffic) {
  // curl against busybox httpd on 80 and 81 and python's http.server on
  // 8000 and 8080: requests, replies, handshakes and closes.
  std::set<std::string> leaves;
  int port81 = 0;
  for (const CapturedFrame& f : capture("http.pcap")) {
    const protocol_node* leaf;
    std::string got = classify(f, &leaf);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(got.substr(0, 17), "ROOT/ETHERNET/IP/") << got;
    EXPECT_EQ(got.substr(0, 21), "ROOT/ETHERNET/IP/TCP/") << got;
    EXPECT_EQ(leaf->description, "World Wide Web") << got;
    leaves.insert(leaf->name);
    port81 += f.bytes[35] == 81 || f.bytes[37] == 81;
  }
  EXPECT_EQ(leaves, (std::set<std::string>{"HTTP", "HTTP_8000", "HTTP_8080"}));
  EXPECT_GT(port81, 0);

  for (const CapturedFrame& f : capture("https.pcap")) EXPECT_EQ(classify(f), "ROOT/ETHERNET/IP/TCP/HTTPS");
  for (const CapturedFrame& f : capture("ssh.pcap")) {
    const protocol_node* leaf;
    EXPECT_EQ(classify(f, &leaf), "ROOT/ETHERNET/IP/TCP/SSH");
    EXPECT_EQ(leaf->description, "Secure Shell");
  }
}

TEST_F(ShippedFile, RealNameAndTimeTraffic) {
  // busybox nslookup over UDP, a TCP query, and the server's answers.
  int udp = 0, tcp = 0;
  for (const CapturedFrame& f : capture("dns.pcap")) {
    std::string got = classify(f);
    if (got == "ROOT/ETHERNET/IP/UDP/DNS")
      ++udp;
    else if (got == "ROOT/ETHERNET/IP/TCP/DNS_TCP")
      ++tcp;
    else
      ADD_FAILURE() << got;
  }
  EXPECT_EQ(udp, 4);
  EXPECT_EQ(tcp, 10);
  for (const CapturedFrame& f : capture("ntp.pcap")) EXPECT_EQ(classify(f), "ROOT/ETHERNET/IP/UDP/NTP");
}

TEST_F(ShippedFile, RealPingsAndRefusedDatagrams) {
  // Two pings, a syslog message and TFTP read requests to closed ports,
  // each answered by an ICMP port-unreachable.
  std::vector<std::string> want = {
      "ICMP/ECHO_REQUEST", "ICMP/ECHO_REPLY", "ICMP/ECHO_REQUEST", "ICMP/ECHO_REPLY",
      "UDP/SYSLOG",        "ICMP/UNREACHABLE"};
  for (int i = 0; i < 7; ++i) {
    want.push_back("UDP/TFTP");
    want.push_back("ICMP/UNREACHABLE");
  }
  std::vector<std::string> got;
  for (const CapturedFrame& f : capture("icmp_udp.pcap")) got.push_back(classify(f).substr(17));
  EXPECT_EQ(got, want);
}

TEST_F(ShippedFile, RealFramesWithIpOptions) {
  // IGMP membership reports carry the Router Alert option: a 24-byte IP
  // header, found through the second offset.
  for (const CapturedFrame& f : capture("igmp.pcap")) {
    ASSERT_EQ(f.bytes[14], 0x46);
    EXPECT_EQ(classify(f), "ROOT/ETHERNET/IP/IGMP/IGMP_V3_REPORT");
  }
  // HTTP whose client sends IP options: the file looks for ports 4 bytes
  // early (as its comments say), so the client's frames are not recognised
  // as web traffic while the server's replies (plain 20-byte headers) are.
  int with_options = 0, plain = 0;
  for (const CapturedFrame& f : capture("ipopts.pcap")) {
    if (f.bytes[14] == 0x46) {
      ++with_options;
      EXPECT_EQ(classify(f), "ROOT/ETHERNET/IP/TCP/OTHER_TCP");
    } else {
      ++plain;
      EXPECT_EQ(classify(f), "ROOT/ETHERNET/IP/TCP/HTTP");
    }
  }
  EXPECT_GT(with_options, 0);
  EXPECT_GT(plain, 0);
}

TEST_F(ShippedFile, CountersFollowTheCaptures) {
  PdlResult fresh = pdl_parse(pdltest::source_path("data/protocol.pdl"));
  ASSERT_TRUE(fresh) << fresh.error;
  std::uint64_t frames = 0, bytes = 0;
  ProtocolPath path;
  for (const char* name : {"http.pcap", "dns.pcap", "icmp_udp.pcap"}) {
    for (const CapturedFrame& f : capture(name)) {
      protocol_classify(fresh.tree.get(), f.bytes.data(), f.bytes.size(), f.wire_length, path);
      ++frames;
      bytes += f.wire_length;
    }
  }
  EXPECT_EQ(protocol_frames(fresh.tree->root()), frames);
  EXPECT_EQ(protocol_bytes(fresh.tree->root()), bytes);
  EXPECT_EQ(protocol_frames(fresh.tree->lookup("IP")), frames);
  const ProtocolTree& t = *fresh.tree;
  EXPECT_EQ(protocol_frames(t.lookup("TCP")),
            protocol_frames(t.lookup("HTTP")) + protocol_frames(t.lookup("HTTP_8000")) +
                protocol_frames(t.lookup("HTTP_8080")) + protocol_frames(t.lookup("DNS_TCP")));
  EXPECT_EQ(protocol_frames(t.lookup("UDP")),
            protocol_frames(t.lookup("DNS")) + protocol_frames(t.lookup("SYSLOG")) +
                protocol_frames(t.lookup("TFTP")));
  EXPECT_EQ(protocol_frames(t.lookup("ICMP")), 12u);
}

}  // namespace
}  // namespace tarnix
