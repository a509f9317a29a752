#include "capture/adapter.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>

namespace tarnix {

const char* const kMsgDefaultInvalidIndex = "Default Interface invalid,\n assigning [0]";
const char* const kMsgDefaultInvalid = "The default adapter is currently invalid";
const char* const kMsgDefaultUnsupported = "The default adapter is using an\nunsupported network type";
const char* const kMsgCouldNotOpenDefault = "Could not open default adapter,\nplease choose another";
const char* const kMsgSelectionFailed = "Selection failed,\nquiting.";
const char* const kMsgAdapterInvalid = "This adapter is currently invalid";
const char* const kMsgAdapterUnsupported = "This adapter is using an unsupported network type";
const char* const kMsgNoLocalHostname = "Couldn't determine local hostname!\nCheck IP/DNS config.";
const char* const kMsgUnresolvedHostname = "Couldn't resolve local hostname!\nCheck IP/DNS config.";

AdapterMessage adapter_notice(const char* text) {
  return {AdapterMessage::kNotification, "Tarnix Notification", text};
}
AdapterMessage adapter_error(const char* text) {
  return {AdapterMessage::kError, "Tarnix Error", text};
}

namespace {

bool safe_if_name(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

DeviceStatus device_status(const std::string& name, bool up) {
  if (!up) return DeviceStatus::kDown;
  // libpcap's adapter for all adapters gives Linux cooked frames.
  if (name == "any") return DeviceStatus::kUsable;
  if (!safe_if_name(name)) return DeviceStatus::kUnsupported;
  std::ifstream in("/sys/class/net/" + name + "/type");
  int type = 0;
  // No word from /sys (none mounted, as in a bare chroot, or one of another
  // network namespace, as in a container given an existing one): opening
  // the adapter checks its link type.
  if (!(in >> type)) return DeviceStatus::kUsable;
  // The ARPHRD types whose frames libpcap hands over in a link layer Tarnix
  // reads: Ethernet and loopback (Ethernet), PPP (cooked), tunnels and tun
  // devices (raw IP). Opening the adapter has the last word.
  switch (type) {
    case 1:      // ARPHRD_ETHER
    case 772:    // ARPHRD_LOOPBACK
    case 512:    // ARPHRD_PPP
    case 768:    // ARPHRD_TUNNEL
    case 769:    // ARPHRD_TUNNEL6
    case 776:    // ARPHRD_SIT
    case 65534:  // ARPHRD_NONE
      return DeviceStatus::kUsable;
    default:
      return DeviceStatus::kUnsupported;
  }
}

std::vector<Device> device_list(std::string* err) {
  std::vector<Device> out;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* all = nullptr;
  if (pcap_findalldevs(&all, errbuf) != 0) {
    if (err) *err = std::string("cannot list interfaces: ") + errbuf;
    return out;
  }
  for (pcap_if_t* d = all; d != nullptr; d = d->next) {
    Device dev;
    dev.name = d->name ? d->name : "";
    dev.description = d->description ? d->description : "";
    dev.status = device_status(dev.name, (d->flags & PCAP_IF_UP) != 0);
    for (pcap_addr_t* a = d->addresses; a != nullptr && !dev.has_ipv6; a = a->next) {
      if (a->addr == nullptr || a->addr->sa_family != AF_INET6) continue;
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(a->addr);
      const NetAddress v6 = NetAddress::ipv6(reinterpret_cast<const std::uint8_t*>(&sin6->sin6_addr));
      if (!is_global_ipv6(v6)) continue;
      dev.ipv6_address = v6;
      dev.has_ipv6 = true;
      if (a->netmask != nullptr && a->netmask->sa_family == AF_INET6)
        dev.ipv6_prefix = prefix_length(reinterpret_cast<const std::uint8_t*>(
                                            &reinterpret_cast<const sockaddr_in6*>(a->netmask)->sin6_addr),
                                        16);
    }
    for (pcap_addr_t* a = d->addresses; a != nullptr; a = a->next) {
      if (a->addr == nullptr || a->addr->sa_family != AF_INET) continue;
      const auto* sin = reinterpret_cast<const sockaddr_in*>(a->addr);
      dev.ipv4_address = NetAddress::ipv4(reinterpret_cast<const std::uint8_t*>(&sin->sin_addr));
      dev.has_ipv4 = true;
      if (a->netmask != nullptr && a->netmask->sa_family == AF_INET) {
        const auto* m = reinterpret_cast<const sockaddr_in*>(a->netmask);
        dev.ipv4_netmask = NetAddress::ipv4(reinterpret_cast<const std::uint8_t*>(&m->sin_addr));
        dev.has_netmask = true;
      }
      break;
    }
    out.push_back(std::move(dev));
  }
  pcap_freealldevs(all);
  return out;
}

int adapter_make_networks(TrafficModel& model, const std::vector<Device>& devices) {
  for (const Device& d : devices) net_create(model, d.name);
  return static_cast<int>(devices.size());
}

std::string adapter_switch_refusal(const std::vector<Device>& devices, int chosen) {
  if (chosen < 0 || chosen >= static_cast<int>(devices.size())) return kMsgAdapterInvalid;
  if (devices[chosen].status == DeviceStatus::kDown) return kMsgAdapterInvalid;
  if (devices[chosen].status == DeviceStatus::kUnsupported) return kMsgAdapterUnsupported;
  return {};
}

NetAddress local_address_for(const std::string& hostname, std::vector<AdapterMessage>* messages) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* res = nullptr;
  if (hostname.empty() || getaddrinfo(hostname.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
    if (messages) messages->push_back(adapter_error(kMsgUnresolvedHostname));
    return NetAddress::ipv4(0, 0, 0, 0);
  }
  NetAddress a = NetAddress::ipv4(0, 0, 0, 0);
  for (addrinfo* i = res; i != nullptr; i = i->ai_next) {
    if (i->ai_family == AF_INET && i->ai_addr != nullptr) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ai_addr);
      a = NetAddress::ipv4(reinterpret_cast<const std::uint8_t*>(&sin->sin_addr));
      break;
    }
  }
  freeaddrinfo(res);
  return a;
}

NetAddress local_address(std::vector<AdapterMessage>* messages) {
  char name[1024] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    if (messages) messages->push_back(adapter_error(kMsgNoLocalHostname));
    return NetAddress::ipv4(0, 0, 0, 0);
  }
  return local_address_for(name, messages);
}

NetAddress local_mask_for(const std::vector<Device>& devices, const std::string& device) {
  for (const Device& d : devices)
    if (d.name == device && d.has_netmask) return d.ipv4_netmask;
  return NetAddress::ipv4(255, 255, 255, 0);
}

namespace {
bool usable_local(const NetAddress& a) {
  const std::uint8_t* b = a.bytes;
  return b[0] != 127 && (b[0] | b[1] | b[2] | b[3]) != 0;
}
}  // namespace

bool is_global_ipv6(const NetAddress& a) {
  if (!a.is_ipv6()) return false;
  const std::uint8_t* b = a.bytes;
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return false;
  for (int i = 0; i < 15; ++i)
    if (b[i] != 0) return true;
  return b[15] > 1;  // neither :: nor ::1
}

int prefix_length(const std::uint8_t* mask, int bytes) {
  int bits = 0;
  for (int i = 0; i < bytes; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      if ((mask[i] >> bit & 1) == 0) return bits;
      ++bits;
    }
  }
  return bits;
}

namespace {

// The IPv6 side of the local network: the adapter's own global address,
// else the first adapter's.
void local_ipv6_for(const std::vector<Device>& devices, const std::string& device, LocalNetwork& out) {
  const Device* chosen = nullptr;
  for (const Device& d : devices)
    if (d.has_ipv6 && (chosen == nullptr || (!device.empty() && d.name == device))) chosen = &d;
  if (chosen == nullptr) return;
  out.address6 = chosen->ipv6_address;
  out.prefix6 = chosen->ipv6_prefix;
}

LocalNetwork local_ipv4_for(const std::vector<Device>& devices, const std::string& device,
                            const NetAddress& host_name_address);

}  // namespace

LocalNetwork local_network_for(const std::vector<Device>& devices, const std::string& device,
                               const NetAddress& host_name_address) {
  LocalNetwork out = local_ipv4_for(devices, device, host_name_address);
  local_ipv6_for(devices, device, out);
  return out;
}

namespace {

LocalNetwork local_ipv4_for(const std::vector<Device>& devices, const std::string& device,
                            const NetAddress& host_name_address) {
  LocalNetwork out;
  auto from = [&out](const Device& d) {
    out.address = d.ipv4_address;
    if (d.has_netmask) out.mask = d.ipv4_netmask;
  };
  for (const Device& d : devices)
    if (!device.empty() && d.name == device && d.has_ipv4 && usable_local(d.ipv4_address)) {
      from(d);
      return out;
    }
  if (usable_local(host_name_address)) {
    out.address = host_name_address;
    out.mask = local_mask_for(devices, device);
    for (const Device& d : devices)
      if (d.has_ipv4 && d.has_netmask && netaddr_compare(d.ipv4_address, host_name_address) == 0)
        out.mask = d.ipv4_netmask;
    return out;
  }
  for (const Device& d : devices)
    if (d.has_ipv4 && usable_local(d.ipv4_address)) {
      from(d);
      return out;
    }
  out.mask = local_mask_for(devices, device);
  return out;
}

}  // namespace

void adapter_set_local_networks(TrafficModel& model, const std::vector<Device>& devices,
                                const NetAddress& host_name_address) {
  for (const Device& d : devices) {
    Net* net = net_find(model, d.name);
    if (net == nullptr) continue;
    const LocalNetwork local = local_network_for(devices, d.name, host_name_address);
    MutexLock g(net->lock);
    net->local_address = local.address;
    net->local_mask = local.mask;
    net->local_address6 = local.address6;
    net->local_prefix6 = local.prefix6;
  }
}

bool parse_mask_text(const std::string& text, NetAddress& mask) {
  std::uint8_t bytes[4] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = text.find('.', pos);
    if (i < 3 && end == std::string::npos) return false;
    std::string part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    unsigned value = 0;
    for (char c : part) {
      if (!std::isdigit(static_cast<unsigned char>(c))) break;
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (value > 1000) value = 1000;
    }
    bytes[i] = static_cast<std::uint8_t>(value);
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  mask = NetAddress::ipv4(bytes);
  return true;
}

}  // namespace tarnix
