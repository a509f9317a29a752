#include "sniff/names.h"

#include "sniff/dhcp.h"
#include "sniff/dns.h"

namespace tarnix {

void NameSniffer::name_packet(const NamePacket& p) {
  add(packets_);
  if (p.payload == nullptr || p.captured == 0) return;
  if (p.source_port == 53 || p.source_port == 5353 || p.source_port == 5355) {
    const NameSource source = p.source_port == 53 ? NameSource::kDnsAnswer : NameSource::kMulticast;
    if (!p.tcp) {
      dns(p.payload, p.captured, source);
      return;
    }
    // One whole message behind its length; the rest of a stream (a message
    // split over segments, a second one) is not followed.
    if (p.captured < 2) return;
    const std::size_t length = static_cast<std::size_t>(p.payload[0]) << 8 | p.payload[1];
    if (length > 0 && length <= p.captured - 2) dns(p.payload + 2, length, source);
    return;
  }
  if (!p.tcp && (p.destination_port == 67 || p.destination_port == 68)) dhcp(p.payload, p.captured);
}

void NameSniffer::dns(const std::uint8_t* message, std::size_t length, NameSource source) {
  DnsMessage m;
  const bool ok = dns_parse(message, length, m);
  if (!ok) add(malformed_);
  if (!m.response) return;  // a question names nothing
  add(messages_);
  for (const DnsAddressName& n : m.names) {
    if (n.family != 4) {
      add(ipv6_names_);
      continue;
    }
    const NameSource s = source == NameSource::kDnsAnswer && n.via_cname ? NameSource::kDnsAlias : source;
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
  return {packets_.load(std::memory_order_relaxed), messages_.load(std::memory_order_relaxed), malformed_.load(std::memory_order_relaxed),
          names_.load(std::memory_order_relaxed), ipv6_names_.load(std::memory_order_relaxed),
          dropped_.load(std::memory_order_relaxed)};
}

}  // namespace tarnix
