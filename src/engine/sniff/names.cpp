#include "sniff/names.h"

#include <algorithm>

#include "sniff/dhcp.h"
#include "sniff/dns.h"

namespace tarnix {

void NameSniffer::name_packet(const NamePacket& p) {
  add(packets_);
  if (p.payload == nullptr) return;
  if (p.source_port == 53 || p.source_port == 5353 || p.source_port == 5355) {
    const NameSource source = p.source_port == 53 ? NameSource::kDnsAnswer : NameSource::kMulticast;
    if (p.tcp) {
      tcp(p, source);
    } else if (p.captured != 0) {
      dns(p.payload, p.captured, source);
    }
    return;
  }
  if (!p.tcp && p.captured != 0 && (p.destination_port == 67 || p.destination_port == 68))
    dhcp(p.payload, p.captured);
}

namespace {

constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04;

bool same(const std::array<std::uint8_t, 16>& kept, const std::uint8_t* a, std::size_t n) {
  return a != nullptr && std::equal(a, a + n, kept.begin());
}

}  // namespace

NameSniffer::Stream* NameSniffer::stream_of(const NamePacket& p, Clock::time_point now) {
  const std::size_t n = std::min<std::size_t>(p.address_length, 16);
  Stream* oldest = nullptr;
  for (Stream& s : streams_) {
    if (s.live && now - s.used > kStreamIdle) {
      s.live = false;
      add(tcp_given_up_);
    }
    if (s.live && s.address_length == n && s.server_port == p.source_port &&
        s.client_port == p.destination_port && same(s.server, p.source, n) &&
        same(s.client, p.destination, n))
      return &s;
    if (oldest == nullptr || !s.live || (oldest->live && s.used < oldest->used)) oldest = &s;
  }
  if (oldest == nullptr || (oldest->live && streams_.size() < kStreams)) oldest = &streams_.emplace_back();
  if (oldest->live) add(tcp_given_up_);
  *oldest = Stream{};
  oldest->address_length = static_cast<std::uint8_t>(n);
  oldest->server_port = p.source_port;
  oldest->client_port = p.destination_port;
  if (p.source != nullptr) std::copy_n(p.source, n, oldest->server.begin());
  if (p.destination != nullptr) std::copy_n(p.destination, n, oldest->client.begin());
  return oldest;
}

void NameSniffer::tcp(const NamePacket& p, NameSource source) {
  const Clock::time_point now = now_();
  Stream* s = stream_of(p, now);
  s->used = now;
  std::uint32_t start = p.sequence;  // of the payload's first byte
  std::size_t from = 0;              // the first payload byte not read yet
  if ((p.tcp_flags & kSyn) != 0) {
    // The server's side of the opening; any payload follows the SYN.
    s->kept.clear();
    s->skip = 0;
    start = p.sequence + 1;
  } else if (s->live) {
    const auto ahead = static_cast<std::int32_t>(p.sequence - s->next);  // modulo 2^32
    if (ahead > 0) {
      // Bytes missing: what was kept cannot be completed. Start again here.
      add(tcp_given_up_);
      s->kept.clear();
      s->skip = 0;
    } else if (ahead < 0) {
      // A retransmission: only what reaches past the bytes read is new.
      const auto behind = static_cast<std::size_t>(-static_cast<std::int64_t>(ahead));
      if (behind >= p.captured) return;
      from = behind;
    }
  }
  // A stream met in the middle (the capture began late, or it was given
  // up) is taken to start a message here: the best guess there is.
  s->live = true;
  if (from < p.captured) take(*s, p.payload + from, p.captured - from, source);
  s->next = start + static_cast<std::uint32_t>(p.captured);
  if (p.cut) {
    // The bytes after the captured ones are lost: nothing after them lines up.
    s->live = false;
    add(tcp_given_up_);
  }
  if ((p.tcp_flags & (kFin | kRst)) != 0) s->live = false;
}

void NameSniffer::take(Stream& s, const std::uint8_t* bytes, std::size_t n, NameSource source) {
  while (n > 0) {
    if (s.skip > 0) {
      const std::size_t pass = std::min(s.skip, n);
      s.skip -= pass;
      bytes += pass;
      n -= pass;
      continue;
    }
    // A whole message in the segment itself needs no copy.
    if (s.kept.empty() && n >= 2) {
      const std::size_t length = static_cast<std::size_t>(bytes[0]) << 8 | bytes[1];
      if (length <= kKeepMessage && n >= 2 + length) {
        if (length > 0) dns(bytes + 2, length, source);
        bytes += 2 + length;
        n -= 2 + length;
        continue;
      }
    }
    const std::size_t want =
        s.kept.size() < 2 ? 2 - s.kept.size() : 2 + (std::size_t{s.kept[0]} << 8 | s.kept[1]) - s.kept.size();
    const std::size_t piece = std::min(want, n);
    s.kept.insert(s.kept.end(), bytes, bytes + piece);
    bytes += piece;
    n -= piece;
    if (s.kept.size() < 2) continue;
    const std::size_t length = std::size_t{s.kept[0]} << 8 | s.kept[1];
    if (length > kKeepMessage) {
      // Too long to keep (a zone transfer): passed over, counted.
      s.skip = length - (s.kept.size() - 2);
      s.kept.clear();
      add(tcp_skipped_);
      continue;
    }
    if (s.kept.size() == 2 + length) {
      if (length > 0) dns(s.kept.data() + 2, length, source);
      s.kept.clear();
    }
  }
}

void NameSniffer::dns(const std::uint8_t* message, std::size_t length, NameSource source) {
  DnsMessage m;
  const bool ok = dns_parse(message, length, m);
  if (!ok) add(malformed_);
  if (!m.response) return;  // a question names nothing
  add(messages_);
  for (const DnsAddressName& n : m.names) {
    const NameSource s = source == NameSource::kDnsAnswer && n.via_cname ? NameSource::kDnsAlias : source;
    if (n.family != 4) {
      add(ipv6_names_);
      // Heard once there is a kind of address that long to name.
      static const AddressType* const sixteen = [] {
        for (int kind = 0; kind < AddressTypeRegistry::kSlots; ++kind)
          if (const AddressType* t = address_type_for(kind); t != nullptr && t->length == 16) return t;
        return static_cast<const AddressType*>(nullptr);
      }();
      if (sixteen == nullptr) continue;
      NetAddress a;
      a.type = sixteen;
      std::copy_n(n.address.begin(), 16, a.bytes);
      hear({n.name, s, a, {}});
      continue;
    }
    hear({n.name, s, NetAddress::ipv4(n.address.data()), {}});
  }
}

void NameSniffer::dhcp(const std::uint8_t* message, std::size_t length) {
  DhcpNaming d;
  if (!dhcp_parse(message, length, d)) {
    add(malformed_);
    return;
  }
  add(messages_);
  const NetAddress ether = NetAddress::ether(d.client.data());
  const bool has_address = (d.address[0] | d.address[1] | d.address[2] | d.address[3]) != 0;
  const NetAddress ipv4 = has_address ? NetAddress::ipv4(d.address.data()) : NetAddress{};
  if (d.from_client) {
    // Discover, request, inform: the client's own name for its adapter (and
    // for the address it already has, when it says so).
    if ((d.message_type == 1 || d.message_type == 3 || d.message_type == 8) && !d.host_name.empty())
      hear({d.host_name, NameSource::kDhcp, ipv4, ether});
    return;
  }
  if (d.message_type == 5 && has_address) {
    // The acknowledged lease: the name the server confirms, or the one the
    // client's requests gave.
    hear({d.host_name, NameSource::kDhcp, ipv4, ether});
  }
}

void NameSniffer::hear(HeardName h) {
  const bool v4 = h.ip.is_ipv4();
  if (cache_.hear(std::move(h))) {
    if (v4) add(names_);
  } else {
    add(dropped_);
  }
}

std::vector<std::string> load_name_files(HostCache& cache, const std::string& ethers,
                                         const std::string& manufacturers, bool show_manufacturers) {
  std::vector<std::string> out;
  std::vector<NameFileProblem> problems;
  auto names = std::make_shared<EtherNames>();
  const bool given = !ethers.empty() && names->load(ethers, &problems);
  if (!ethers.empty() && !given)
    out.push_back("ethers file " + ethers + " cannot be read; using " + kDefaultEthersFile);
  if (!given) names->load(kDefaultEthersFile, &problems);  // a machine without one is fine
  auto makers = std::make_shared<Manufacturers>();
  const std::vector<std::string> read = makers->load_or_default(manufacturers, kIeeeDataDir, &problems);
  if (!manufacturers.empty() && (read.empty() || read.front() != manufacturers))
    out.push_back("manufacturers file " + manufacturers + " cannot be read; using " + kIeeeDataDir);
  if (read.empty())
    out.push_back(std::string("no adapter makers known: nothing readable in ") + kIeeeDataDir);
  // A broken file could say the same thing thousands of times.
  constexpr std::size_t kShown = 10;
  for (std::size_t i = 0; i < problems.size() && i < kShown; ++i)
    out.push_back(problems[i].file + ":" + std::to_string(problems[i].line) + ": " + problems[i].message);
  if (problems.size() > kShown)
    out.push_back(std::to_string(problems.size() - kShown) + " more bad lines not shown");
  cache.set_name_files(std::move(names), std::move(makers), show_manufacturers);
  return out;
}

NameSniffer::Counts NameSniffer::counts() const {
  return {packets_.load(std::memory_order_relaxed),     messages_.load(std::memory_order_relaxed),
          malformed_.load(std::memory_order_relaxed),   names_.load(std::memory_order_relaxed),
          ipv6_names_.load(std::memory_order_relaxed),  dropped_.load(std::memory_order_relaxed),
          tcp_skipped_.load(std::memory_order_relaxed), tcp_given_up_.load(std::memory_order_relaxed)};
}

}  // namespace tarnix
