#include "capture/net.h"

namespace tarnix {

NetAddress ip_net_address(const NetAddress& host, const NetAddress& local_address,
                          const NetAddress& local_mask) {
  const std::uint8_t* h = host.bytes;
  const std::uint8_t* l = local_address.bytes;
  const std::uint8_t* m = local_mask.bytes;
  auto masked = [&] {
    return NetAddress::ipv4(h[0] & m[0], h[1] & m[1], h[2] & m[2], h[3] & m[3]);
  };
  const std::uint8_t a = h[0];
  if (a < 127) {
    if (a == l[0]) return masked();
    return NetAddress::ipv4(a, 0, 0, 0);
  }
  if (a > 127 && a < 224) {
    if (a == l[0] && h[1] == l[1]) return masked();
    return NetAddress::ipv4(a, h[1], 0, 0);
  }
  return NetAddress::ipv4(a, h[1], h[2], 0);
}

namespace {

// The address with all but its first `bits` bits cleared.
NetAddress ipv6_prefix(const NetAddress& a, int bits) {
  std::uint8_t b[16] = {};
  for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8)
    b[i] = static_cast<std::uint8_t>(a.bytes[i] & (bits >= 8 ? 0xFFu : (0xFFu << (8 - bits)) & 0xFFu));
  return NetAddress::ipv6(b);
}

bool is_unspecified6(const NetAddress& a) {
  for (int i = 0; i < 16; ++i)
    if (a.bytes[i] != 0) return false;
  return true;
}

}  // namespace

NetAddress ip_net_address6(const NetAddress& host, const NetAddress& local_address, int local_prefix) {
  // Link-local addresses mean nothing beyond the adapter's own segment, and
  // their /64 is the same for every host on it: one group of their own.
  if (host.bytes[0] == 0xFE && (host.bytes[1] & 0xC0) == 0x80) {
    const std::uint8_t link_local[16] = {0xFE, 0x80};
    return NetAddress::ipv6(link_local);
  }
  if (local_prefix < 0) local_prefix = 0;
  if (local_prefix > 128) local_prefix = 128;
  if (local_address.is_ipv6() && !is_unspecified6(local_address)) {
    const NetAddress local = ipv6_prefix(local_address, local_prefix);
    if (netaddr_compare(ipv6_prefix(host, local_prefix), local) == 0) return local;
  }
  return ipv6_prefix(host, 64);
}

namespace {

Subnet* existing_group(Net& net, const NetAddress& group) REQUIRES(net.lock) {
  if (group.is_ipv6()) {
    auto found = net.subnet_index6.find(ipv6_order(group));
    return found != net.subnet_index6.end() ? found->second : nullptr;
  }
  auto found = net.subnet_index.find(address_order(group));
  return found != net.subnet_index.end() ? found->second : nullptr;
}

}  // namespace

void ip_net_assign(Net& net, Node& host) {
  if (host.group != nullptr) return;
  const NetAddress group = host.address.is_ipv6()
                               ? ip_net_address6(host.address, net.local_address6, net.local_prefix6)
                               : ip_net_address(host.address, net.local_address, net.local_mask);

  // A host is grouped once (and no two hosts share an address), so it
  // never meets itself among its group's members.
  if (Subnet* found = existing_group(net, group)) {
    found->hosts.append(&host);
    host.group = found;
    ++found->host_count;
    return;
  }

  auto owned = std::make_unique<Subnet>();
  Subnet* s = owned.get();
  s->net = &net;
  s->address = group;
  netaddr_format(s->address, s->address_text);
  s->hosts.append(&host);
  host.group = s;
  s->host_count = 1;
  s->layout_flag = 1;
  s->storage_at = net.subnet_storage.size();
  net.subnet_storage.push_back(std::move(owned));
  s->list_at = net.subnets.append(s);
  if (group.is_ipv6())
    net.subnet_index6.emplace(ipv6_order(group), s);
  else
    net.subnet_index.emplace(address_order(group), s);
}

}  // namespace tarnix
