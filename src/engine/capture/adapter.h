// Adapters: the device list, each device's status, the local address and
// mask, and the choice of the adapter to open at start-up or from the menu.
// Nothing here shows anything: the texts a user must see are returned, with
// the title of the box they belong in, and the caller shows them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/net.h"
#include "capture/source.h"

namespace tarnix {

// Whether an adapter can be captured now. The numbers are what the
// sensor's adapter list prints.
enum class DeviceStatus : int {
  kDown = -1,  // not usable now
  kUsable = 0,
  kUnsupported = 1,  // a link layer Tarnix cannot read
};

struct Device {
  std::string name;
  std::string description;
  DeviceStatus status = DeviceStatus::kUsable;
  bool has_ipv4 = false;
  NetAddress ipv4_address;  // first IPv4 address, when has_ipv4
  NetAddress ipv4_netmask;  // its mask, when has_ipv4 and the system gives one
  bool has_netmask = false;
  // First global IPv6 address (not link-local, not loopback) and the
  // length of its prefix.
  bool has_ipv6 = false;
  NetAddress ipv6_address;
  int ipv6_prefix = 64;
};

// The system's device list, in the capture library's order. `error` is set
// (and the list empty) when the library cannot list devices.
std::vector<Device> device_list(std::string* error = nullptr);

// Status from what the system says: `up` false gives kDown; otherwise the
// ARPHRD type of /sys/class/net/<name>/type decides (a type whose frames
// come in a link layer Tarnix reads is usable; anything else, or no such
// entry, is unsupported). The "any" adapter is usable.
DeviceStatus device_status(const std::string& name, bool up);

// One message a user must see.
struct AdapterMessage {
  enum Kind { kNotification, kError } kind;
  std::string title;  // "Tarnix Notification" or "Tarnix Error"
  std::string text;
};
// A message in the notification box, or in the error box.
AdapterMessage adapter_notice(const char* text);
AdapterMessage adapter_error(const char* text);

// Messages, exactly as shown.
extern const char* const kMsgDefaultInvalidIndex;    // "Default Interface invalid,\n assigning [0]"
extern const char* const kMsgDefaultInvalid;         // "The default adapter is currently invalid"
extern const char* const kMsgDefaultUnsupported;     // "The default adapter is using an\nunsupported network type"
extern const char* const kMsgCouldNotOpenDefault;    // "Could not open default adapter,\nplease choose another"
extern const char* const kMsgSelectionFailed;        // "Selection failed,\nquiting."
extern const char* const kMsgAdapterInvalid;         // "This adapter is currently invalid"
extern const char* const kMsgAdapterUnsupported;     // "This adapter is using an unsupported network type"
extern const char* const kMsgNoLocalHostname;        // "Couldn't determine local hostname!\nCheck IP/DNS config."
extern const char* const kMsgUnresolvedHostname;     // "Couldn't resolve local hostname!\nCheck IP/DNS config."

// A network record for every device, in list order (so the list of
// networks, newest first, ends with the first device).
int adapter_make_networks(TrafficModel& model, const std::vector<Device>& devices);

// The menu switch's verdict on a chosen device: empty when it may be opened,
// else the error to show (and nothing changes).
std::string adapter_switch_refusal(const std::vector<Device>& devices, int chosen);

// This computer's address from its host name (first IPv4 address the name
// service gives), 0.0.0.0 with a message when it cannot be found.
NetAddress local_address(std::vector<AdapterMessage>* messages);
// The same for a given host name (the name service is asked).
NetAddress local_address_for(const std::string& hostname, std::vector<AdapterMessage>* messages);

// The mask of the adapter's IPv4 address, or 255.255.255.0.
NetAddress local_mask_for(const std::vector<Device>& devices, const std::string& device);

// The local network that subnet grouping follows, for captures on `device`
// (empty for a capture file): the adapter's own IPv4 address and mask; else
// the host name's address; else the first adapter with an address. An
// address in 127/8 (what a host name gives on many systems) is never taken:
// grouping by it would put a whole LAN in one group.
struct LocalNetwork {
  NetAddress address = NetAddress::ipv4(0, 0, 0, 0);
  NetAddress mask = NetAddress::ipv4(255, 255, 255, 0);
  // The adapter's global IPv6 address (else the first adapter's that has
  // one; :: for none) and its prefix length.
  NetAddress address6 = NetAddress::ipv6(kNoIpv6Address);
  int prefix6 = 64;
};
LocalNetwork local_network_for(const std::vector<Device>& devices, const std::string& device,
                               const NetAddress& host_name_address);
// Gives every network made for an adapter the local network of its own
// adapter (see local_network_for).
void adapter_set_local_networks(TrafficModel& model, const std::vector<Device>& devices,
                                const NetAddress& host_name_address);

// Whether an IPv6 address can stand for the local network: not ::, not
// loopback, not link-local (every adapter has one of those).
bool is_global_ipv6(const NetAddress& a);
// Bits set from the start of a mask's bytes, up to the first clear one.
int prefix_length(const std::uint8_t* mask, int bytes);

// Reads a dotted mask text ("255.255.240.0"): each of four parts' leading
// digits is one byte, anything else counts 0. A text of fewer than four
// parts is not a mask: false.
bool parse_mask_text(const std::string& text, NetAddress& mask);

}  // namespace tarnix
