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

void ip_net_assign(Node& host) {
  if (host.grouped) return;
  host.grouped = 1;
  Net& net = *host.net;
  NetAddress group = ip_net_address(host.address, net.local_address, net.local_mask);

  // A host is grouped once (and no two hosts share an address), so it
  // never meets itself among its group's members.
  auto found = net.subnet_index.find(address_order(group));
  if (found != net.subnet_index.end()) {
    host.group_at = found->second->hosts.append(&host);
    ++found->second->host_count;
    return;
  }

  auto owned = std::make_unique<Subnet>();
  Subnet* s = owned.get();
  s->net = &net;
  s->address = group;
  netaddr_format(s->address, s->address_text);
  host.group_at = s->hosts.append(&host);
  s->host_count = 1;
  s->layout_flag = 1;
  net.subnet_storage.push_back(std::move(owned));
  net.subnets.append(s);
  net.subnet_index.emplace(address_order(group), s);
}

}  // namespace tarnix
