#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "naming/fake_name_service.h"
#include "sniff/dhcp.h"
#include "sniff/dns.h"
#include "sniff/names.h"

namespace tarnix {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, int v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

Bytes labels(const std::string& name) {
  Bytes b;
  std::size_t i = 0;
  while (i < name.size()) {
    std::size_t dot = name.find('.', i);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<std::uint8_t>(dot - i));
    b.insert(b.end(), name.begin() + static_cast<std::ptrdiff_t>(i),
             name.begin() + static_cast<std::ptrdiff_t>(dot));
    i = dot + 1;
  }
  b.push_back(0);
  return b;
}

struct Rr {
  Bytes owner;  // wire form (labels() or raw with pointers)
  int type;
  Bytes rdata;
};

Bytes message(bool response, const std::string& question, const std::vector<Rr>& answers, int claimed = -1) {
  Bytes m;
  put16(m, 0x1234);
  put16(m, response ? 0x8180 : 0x0100);
  put16(m, question.empty() ? 0 : 1);
  put16(m, claimed >= 0 ? claimed : static_cast<int>(answers.size()));
  put16(m, 0);
  put16(m, 0);
  if (!question.empty()) {
    Bytes q = labels(question);
    m.insert(m.end(), q.begin(), q.end());
    put16(m, 1);
    put16(m, 1);
  }
  for (const Rr& r : answers) {
    m.insert(m.end(), r.owner.begin(), r.owner.end());
    put16(m, r.type);
    put16(m, 1);
    put16(m, 0);
    put16(m, 60);
    put16(m, static_cast<int>(r.rdata.size()));
    m.insert(m.end(), r.rdata.begin(), r.rdata.end());
  }
  return m;
}

std::string text_of(const DnsAddressName& n) {
  char buf[64];
  if (n.family == 4) {
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", n.address[0], n.address[1], n.address[2], n.address[3]);
  } else {
    std::snprintf(buf, sizeof buf, "v6:%02x%02x..%02x", n.address[0], n.address[1], n.address[15]);
  }
  return std::string(buf) + "=" + n.name + (n.from_pointer ? " (ptr)" : "") + (n.via_cname ? " (cname)" : "");
}

const Bytes kWeb = {10, 0, 0, 5};
const Bytes kWeb6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
// The question's name sits at offset 12: a pointer to it.
const Bytes kToQuestion = {0xC0, 12};

TEST(DnsParse, AnswersNameTheirAddresses) {
  // 2001:db8::5, nibble by nibble from the last.
  const std::string v6ptr = "5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa";
  struct Case {
    const char* what;
    Bytes msg;
    bool ok;
    std::vector<std::string> names;
  } cases[] = {
      {"A", message(true, "web.lan", {{kToQuestion, 1, kWeb}}), true, {"10.0.0.5=web.lan"}},
      {"CNAME chain names the name asked for",
       message(true, "www.lan",
               {{kToQuestion, 5, labels("mid.lan")},
                {labels("mid.lan"), 5, labels("web.lan")},
                {labels("web.lan"), 1, kWeb}}),
       true,
       {"10.0.0.5=www.lan (cname)"}},
      {"CNAME chain out of order and upper case",
       message(true, "WWW.lan",
               {{labels("web.lan"), 1, kWeb},
                {labels("MID.lan"), 5, labels("Web.lan")},
                {kToQuestion, 5, labels("mid.lan")}}),
       true,
       {"10.0.0.5=WWW.lan (cname)"}},
      {"CNAME loop stops",
       message(true, "a.lan",
               {{labels("a.lan"), 5, labels("b.lan")},
                {labels("b.lan"), 5, labels("a.lan")},
                {labels("b.lan"), 1, kWeb}}),
       true,
       {}},
      {"PTR",
       message(true, "5.0.0.10.in-addr.arpa", {{kToQuestion, 12, labels("host.lan")}}),
       true,
       {"10.0.0.5=host.lan (ptr)"}},
      {"PTR of ip6.arpa",
       message(true, v6ptr, {{kToQuestion, 12, labels("host6.lan")}}),
       true,
       {"v6:2001..05=host6.lan (ptr)"}},
      {"PTR not under a reverse zone names nothing",
       message(true, "_http._tcp.local", {{kToQuestion, 12, labels("printer._http._tcp.local")}}),
       true,
       {}},
      {"bad reverse label",
       message(true, "5.0.0.010.in-addr.arpa", {{kToQuestion, 12, labels("h.lan")}}),
       true,
       {}},
      {"AAAA kept", message(true, "web.lan", {{kToQuestion, 28, kWeb6}}), true, {"v6:2001..05=web.lan"}},
      {"A of the wrong length ignored", message(true, "web.lan", {{kToQuestion, 1, {10, 0, 0}}}), true, {}},
      {"mDNS answer without a question",
       message(true, "", {{labels("nas.local"), 1, kWeb}}),
       true,
       {"10.0.0.5=nas.local"}},
      {"a question only", message(false, "web.lan", {}), true, {}},
      {"pointer to itself", message(true, "", {{{0xC0, 12}, 1, kWeb}}), false, {}},
      {"pointer forward", message(true, "", {{{0xC0, 40}, 1, kWeb}}), false, {}},
      {"a label before a pointer",
       message(true, "web.lan", {{kToQuestion, 1, kWeb}, {{3, 'w', 'w', 'w', 0xC0, 12}, 1, kWeb}}),
       true,
       {"10.0.0.5=web.lan", "10.0.0.5=www.web.lan"}},
      {"more answers claimed than sent keep the first",
       message(true, "web.lan", {{kToQuestion, 1, kWeb}}, 3),
       false,
       {"10.0.0.5=web.lan"}},
      {"label past the end", Bytes{0x12, 0x34, 0x81, 0x80, 0, 0, 0, 1, 0, 0, 0, 0, 9, 'w', 'e'}, false, {}},
      {"extended label type", message(true, "", {{{0x41, 0}, 1, kWeb}}), false, {}},
      {"short header", Bytes{0x12, 0x34, 0x81}, false, {}},
  };
  for (const Case& c : cases) {
    DnsMessage m;
    EXPECT_EQ(dns_parse(c.msg.data(), c.msg.size(), m), c.ok) << c.what;
    std::vector<std::string> got;
    for (const DnsAddressName& n : m.names) got.push_back(text_of(n));
    EXPECT_EQ(got, c.names) << c.what;
  }
}

TEST(DnsParse, NameLengthIsBounded) {
  // 5 labels of 63 characters: over the 255 a name may hold.
  std::string longname;
  for (int i = 0; i < 5; ++i) longname += std::string(63, 'a' + i) + (i < 4 ? "." : "");
  const Bytes m = message(true, "", {{labels(longname), 1, kWeb}});
  DnsMessage out;
  EXPECT_FALSE(dns_parse(m.data(), m.size(), out));
  EXPECT_TRUE(out.names.empty());
}

Bytes dhcp_message(int op, int type, const std::vector<Bytes>& options, Bytes yiaddr = {0, 0, 0, 0},
                   Bytes ciaddr = {0, 0, 0, 0}) {
  Bytes m(240, 0);
  m[0] = static_cast<std::uint8_t>(op);
  m[1] = 1;
  m[2] = 6;
  std::copy(ciaddr.begin(), ciaddr.end(), m.begin() + 12);
  std::copy(yiaddr.begin(), yiaddr.end(), m.begin() + 16);
  const Bytes mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::copy(mac.begin(), mac.end(), m.begin() + 28);
  m[236] = 99, m[237] = 130, m[238] = 83, m[239] = 99;
  if (type != 0) m.insert(m.end(), {53, 1, static_cast<std::uint8_t>(type)});
  for (const Bytes& o : options) m.insert(m.end(), o.begin(), o.end());
  m.push_back(255);
  return m;
}

Bytes option(int code, const std::string& value) {
  Bytes o = {static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(value.size())};
  o.insert(o.end(), value.begin(), value.end());
  return o;
}

// Options written into the server name (44) or boot file (108) field.
Bytes in_field(Bytes m, std::size_t at, const std::vector<Bytes>& options) {
  for (const Bytes& o : options) {
    std::copy(o.begin(), o.end(), m.begin() + static_cast<std::ptrdiff_t>(at));
    at += o.size();
  }
  return m;
}

TEST(DhcpParse, HostNamesAndLeases) {
  Bytes fqdn_wire = {81, 0, 0x04 | 0x01, 0, 0};
  const Bytes wire = labels("laptop.home.lan");
  fqdn_wire.insert(fqdn_wire.end(), wire.begin(), wire.end());
  fqdn_wire[1] = static_cast<std::uint8_t>(fqdn_wire.size() - 2);
  struct Case {
    const char* what;
    Bytes msg;
    bool ok;
    int type;
    std::string name;
    int address_last;  // last byte of the address taken (0: none)
  } cases[] = {
      {"request with option 12", dhcp_message(1, 3, {option(12, "laptop")}), true, 3, "laptop", 0},
      {"renewing request names its address", dhcp_message(1, 3, {option(12, "laptop")}, {}, {10, 0, 0, 7}),
       true, 3, "laptop", 7},
      {"ack takes yiaddr", dhcp_message(2, 5, {}, {10, 0, 0, 9}), true, 5, "", 9},
      {"offer does not name an address", dhcp_message(2, 2, {}, {10, 0, 0, 9}), true, 2, "", 0},
      {"option 81 in wire form", dhcp_message(1, 3, {fqdn_wire}), true, 3, "laptop.home.lan", 0},
      {"option 81 in ASCII", dhcp_message(1, 3, {option(81, std::string("\x01\0\0", 3) + "pc.lan")}), true, 3,
       "pc.lan", 0},
      {"option 12 over option 81",
       dhcp_message(1, 3, {option(81, std::string("\0\0\0", 3) + "b.lan"), option(12, "a")}), true, 3, "a",
       0},
      {"trailing zero in option 12", dhcp_message(1, 3, {option(12, std::string("pc\0", 3))}), true, 3, "pc",
       0},
      {"pad options skipped", dhcp_message(1, 3, {{0, 0}, option(12, "pc")}), true, 3, "pc", 0},
      {"no message type is BOOTP", dhcp_message(1, 0, {option(12, "pc")}), false, 0, "pc", 0},
      {"option past the end",
       [] {
         Bytes m = dhcp_message(1, 3, {});
         m.back() = 12;  // replaces the end option with a name claiming 20 bytes
         m.push_back(20);
         m.push_back('x');
         return m;
       }(),
       false, 3, "", 0},
      {"no cookie",
       [] {
         Bytes m = dhcp_message(1, 3, {option(12, "pc")});
         m[236] = 0;
         return m;
       }(),
       false, 0, "", 0},
      {"not Ethernet",
       [] {
         Bytes m = dhcp_message(1, 3, {option(12, "pc")});
         m[1] = 6;
         return m;
       }(),
       false, 0, "", 0},
      {"short", Bytes(100, 0), false, 0, "", 0},
      {"overload: name in the file field",
       in_field(dhcp_message(1, 3, {{52, 1, 1}}), 108, {option(12, "pc")}), true, 3, "pc", 0},
      {"overload: name in the server name field",
       in_field(dhcp_message(1, 3, {{52, 1, 2}}), 44, {option(12, "pc"), {255}}), true, 3, "pc", 0},
      {"overload both: options, file, then server name, pieces joined",
       in_field(in_field(dhcp_message(1, 3, {option(12, "la"), {52, 1, 3}}), 108, {option(12, "p")}), 44,
                {option(12, "top")}),
       true, 3, "laptop", 0},
      {"overload named inside a lent field is not followed",
       in_field(in_field(dhcp_message(1, 3, {{52, 1, 1}}), 108, {{52, 1, 2}}), 44, {option(12, "pc")}), true,
       3, "", 0},
      {"no overload: the fields are not options", in_field(dhcp_message(1, 3, {}), 108, {option(12, "pc")}),
       true, 3, "", 0},
      {"option past the end of a lent field", in_field(dhcp_message(1, 3, {{52, 1, 2}}), 104, {{12, 20}}),
       false, 3, "", 0},
  };
  for (const Case& c : cases) {
    DhcpNaming d;
    EXPECT_EQ(dhcp_parse(c.msg.data(), c.msg.size(), d), c.ok) << c.what;
    EXPECT_EQ(d.message_type, c.type) << c.what;
    EXPECT_EQ(d.host_name, c.name) << c.what;
    EXPECT_EQ(d.address[3], c.address_last) << c.what;
    if (c.ok) {
      EXPECT_EQ(d.client[5], 0x55) << c.what;
    }
  }
}

// What the frame path hands over reaches the cache: a DHCP lease named by
// the request before it, DNS over TCP, mDNS, and AAAA answers counted only.
TEST(NameSniffer, HeardNamesReachTheCache) {
  testing_support::FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  cache.start();
  NameSniffer sniffer(cache);
  auto send = [&](const Bytes& payload, std::uint16_t sport, std::uint16_t dport, bool tcp = false) {
    NamePacket p;
    p.payload = payload.data();
    p.captured = payload.size();
    p.tcp = tcp;
    p.source_port = sport;
    p.destination_port = dport;
    sniffer.name_packet(p);
  };
  send(dhcp_message(1, 3, {option(12, "laptop")}), 68, 67);
  send(dhcp_message(2, 5, {}, {10, 0, 0, 9}), 67, 68);
  Bytes tcp = message(true, "web.lan", {{kToQuestion, 1, kWeb}});
  tcp.insert(tcp.begin(), {0, static_cast<std::uint8_t>(tcp.size())});
  send(tcp, 53, 40000, true);
  send(message(true, "", {{labels("nas.local"), 1, {10, 0, 0, 6}}}), 5353, 5353);
  send(message(true, "web.lan", {{kToQuestion, 28, kWeb6}}), 53, 40001);
  send(message(false, "x.lan", {{kToQuestion, 1, {10, 0, 0, 8}}}), 5355, 40002);  // a question: nothing
  send(Bytes{1, 2, 3}, 53, 40003);
  cache.wait_idle();
  struct Case {
    NetAddress address;
    const char* name;
    NameSource source;
  } cases[] = {
      {NetAddress::ipv4(10, 0, 0, 9), "laptop", NameSource::kDhcp},
      {NetAddress::ipv4(10, 0, 0, 5), "web.lan", NameSource::kDnsAnswer},
      {NetAddress::ipv4(10, 0, 0, 6), "nas.local", NameSource::kMulticast},
      {NetAddress::ipv4(10, 0, 0, 8), "", NameSource::kNone},
  };
  for (const Case& c : cases) {
    const NameAndSource n = cache.name_of(c.address, nullptr);
    EXPECT_EQ(n.name, c.name) << netaddr_text(c.address);
    EXPECT_EQ(n.source, c.source) << netaddr_text(c.address);
  }
  const NameSniffer::Counts counts = sniffer.counts();
  EXPECT_EQ(counts.packets, 7u);
  EXPECT_EQ(counts.ipv6_names, 1u);
  EXPECT_EQ(counts.malformed, 1u);
  EXPECT_EQ(ns.calls(), 0);
}

Bytes framed(const Bytes& m) {
  Bytes b = {static_cast<std::uint8_t>(m.size() >> 8), static_cast<std::uint8_t>(m.size())};
  b.insert(b.end(), m.begin(), m.end());
  return b;
}

// Bytes [from, to) of a DNS server's TCP stream to 10.0.0.2, port `port`.
void segment(NameSniffer& sniffer, const Bytes& stream, std::size_t from, std::size_t to,
             std::uint32_t sequence, std::uint8_t flags = 0, std::uint16_t port = 40000) {
  static const std::uint8_t server[4] = {10, 0, 0, 1}, client[4] = {10, 0, 0, 2};
  NamePacket p;
  p.payload = stream.data() + from;
  p.captured = to - from;
  p.tcp = true;
  p.source_port = 53;
  p.destination_port = port;
  p.source = server;
  p.destination = client;
  p.address_length = 4;
  p.tcp_flags = flags;
  p.sequence = sequence;
  sniffer.name_packet(p);
}

// DNS over TCP: a stream of two answers (web.lan = 10.0.0.5, then
// nas.lan = 10.0.0.6) cut into segments every way a sender or the network
// may cut it.
TEST(NameSniffer, TcpAnswersAcrossSegments) {
  Bytes stream = framed(message(true, "web.lan", {{kToQuestion, 1, kWeb}}));
  const std::size_t second = stream.size();
  const Bytes nas = framed(message(true, "nas.lan", {{kToQuestion, 1, {10, 0, 0, 6}}}));
  stream.insert(stream.end(), nas.begin(), nas.end());
  const std::size_t end = stream.size();
  struct Piece {
    std::size_t from, to;
    std::uint8_t flags = 0;
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;  // byte ranges of the stream; a SYN piece is empty
    bool web, nas;
  } cases[] = {
      {"both in one segment", {{0, 0, 0x02}, {0, end}}, true, true},
      {"length in one segment, body in the next",
       {{0, 0, 0x02}, {0, 2}, {2, second}, {second, end}},
       true,
       true},
      {"cut inside the length and inside the body",
       {{0, 0, 0x02}, {0, 1}, {1, 20}, {20, second + 1}, {second + 1, end}},
       true,
       true},
      {"a retransmission overlapping new bytes",
       {{0, 0, 0x02}, {0, 20}, {10, second + 5}, {second + 5, end}},
       true,
       true},
      {"a lost segment loses its message only", {{0, 0, 0x02}, {0, 20}, {second, end}}, false, true},
      {"met in the middle at a message start", {{second, end}}, false, true},
      {"reset before the rest", {{0, 0, 0x02}, {0, 20, 0x04}, {20, second}}, false, false},
  };
  for (const Case& c : cases) {
    testing_support::FakeNameService ns;
    MemoryHostIdStore ids;
    HostCache cache(ns, ids);
    cache.start();
    NameSniffer sniffer(cache);
    constexpr std::uint32_t kIsn = 0xfffffff0u;  // the numbers wrap inside the stream
    for (const Piece& piece : c.pieces) {
      const bool syn = (piece.flags & 0x02) != 0;
      segment(sniffer, stream, piece.from, piece.to,
              syn ? kIsn : kIsn + 1 + static_cast<std::uint32_t>(piece.from), piece.flags);
    }
    cache.wait_heard();
    EXPECT_EQ(cache.name_of(NetAddress::ipv4(10, 0, 0, 5), nullptr).name, c.web ? "web.lan" : "") << c.what;
    EXPECT_EQ(cache.name_of(NetAddress::ipv4(10, 0, 0, 6), nullptr).name, c.nas ? "nas.lan" : "") << c.what;
  }
}

// Answers too long to keep are passed over whole, and the table of streams
// stays small however many connections come.
TEST(NameSniffer, TcpStreamsAreBounded) {
  testing_support::FakeNameService ns;
  MemoryHostIdStore ids;
  HostCache cache(ns, ids);
  cache.start();
  NameSniffer sniffer(cache);
  Bytes stream = {0x50, 0x00};  // 20,480 bytes follow
  stream.resize(2 + 0x5000, 0xab);
  const Bytes web = framed(message(true, "web.lan", {{kToQuestion, 1, kWeb}}));
  stream.insert(stream.end(), web.begin(), web.end());
  // More connections than the table holds, each with a long answer begun;
  // the newest is still followed to its end.
  const std::uint16_t last = 40000 + NameSniffer::kStreams + 7;
  for (std::uint16_t port = 40000; port <= last; ++port) segment(sniffer, stream, 0, 1400, 1000, 0, port);
  for (std::size_t at = 1400; at < stream.size(); at += 1400)
    segment(sniffer, stream, at, std::min(stream.size(), at + 1400), 1000 + static_cast<std::uint32_t>(at), 0,
            last);
  cache.wait_heard();
  EXPECT_EQ(cache.name_of(NetAddress::ipv4(10, 0, 0, 5), nullptr).name, "web.lan");
  const NameSniffer::Counts counts = sniffer.counts();
  EXPECT_EQ(counts.tcp_skipped, NameSniffer::kStreams + 8);
  EXPECT_EQ(counts.tcp_given_up, 8u);
}

}  // namespace
}  // namespace tarnix
