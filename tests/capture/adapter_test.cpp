// Choosing the adapter at start-up and from the menu, and device status.
#include <gtest/gtest.h>

#include "app/adapter_rule.h"
#include "capture/adapter.h"
#include "capture/fakes.h"

namespace tarnix {
namespace {

using app::AdapterStartup;

// A source that only names itself: opening is what these tests look at.
class NamedSource : public PacketSource {
 public:
  explicit NamedSource(std::string n) : name_(std::move(n)) {}
  int dispatch(int, FrameFn, void*) override { return 0; }
  bool stats(SourceStats&) override { return false; }
  const std::string& name() const override { return name_; }

 private:
  std::string name_;
};

std::vector<Device> devices(const std::vector<int>& statuses) {
  std::vector<Device> v;
  int i = 0;
  for (int s : statuses) {
    Device d;
    d.name = "if" + std::to_string(i++);
    d.status = static_cast<DeviceStatus>(s);
    v.push_back(d);
  }
  return v;
}

// A start-up run with its adapters opened and the dialog answered by the
// test.
struct Startup {
  testing::FakeClassifier cl;
  TrafficModel model{&cl, nullptr, nullptr};
  std::vector<int> opened;
  std::vector<int> dialog_calls;
  std::vector<int> failing;  // indices that fail to open
  int dialog_answer = -1;    // -1: cancel (return what was given)

  // The one start-up rule both programs follow.
  AdapterStartup run(const std::vector<Device>& devs, int setting) {
    adapter_make_networks(model, devs);
    return app::startup_adapter(
        model, devs, setting,
        [&](int i, std::string& reason) -> std::unique_ptr<PacketSource> {
          opened.push_back(i);
          for (int f : failing)
            if (f == i) {
              reason = "cannot open if" + std::to_string(i);
              return nullptr;
            }
          return std::make_unique<NamedSource>(devs[i].name);
        },
        [&](int given) {
          dialog_calls.push_back(given);
          said.push_back("dialog");
          return dialog_answer < 0 ? given : dialog_answer;
        },
        [&](const AdapterMessage& m, const std::string& reason) { said.push_back(m.text + "|" + reason); });
  }
  std::vector<std::string> said;  // messages and the dialog, in the order they came
  static std::vector<std::string> texts(const AdapterStartup& s) {
    std::vector<std::string> t;
    for (const auto& m : s.messages) t.push_back(m.title + "|" + m.text);
    return t;
  }
};

TEST(StartupRule, NetworksForEveryDeviceNewestFirst) {
  Startup rule;
  EXPECT_EQ(adapter_make_networks(rule.model, devices({0, 0, 0})), 3);
  ASSERT_EQ(rule.model.networks().size(), 3u);
  EXPECT_EQ(rule.model.networks().front()->name, "if2");
  EXPECT_EQ(rule.model.networks().back()->name, "if0");
}

// The start-up rule from the devices' statuses (0 usable, -1 invalid, 1
// unsupported), the setting, the devices that fail to open and the dialog's
// answer: what it opens, asks and says, in order.
TEST(StartupRule, OpensAsksAndSaysForEachSituation) {
  using Texts = std::vector<std::string>;
  struct Given {
    std::vector<int> statuses;
    int setting;
    std::vector<int> failing;
    int dialog_answer;
  };
  struct Outcome {
    std::vector<int> opened, dialog_calls;
    int index;
    const char* source;  // nullptr: none
  };
  struct StartupCase {
    const char* name;
    Given given;
    Outcome outcome;
    Texts messages;  // title|text
    Texts said;      // text|reason and the dialog, as they came
  };
  const std::string notice = "Tarnix Notification|", error = "Tarnix Error|";
  const std::string invalid = "The default adapter is currently invalid";
  const std::string unsupported = "The default adapter is using an\nunsupported network type";
  const std::string assigning = "Default Interface invalid,\n assigning [0]";
  const std::string choose = "Could not open default adapter,\nplease choose another";
  const std::string quit = "Selection failed,\nquiting.";
  const StartupCase cases[] = {
      {"a setting beyond the list falls back to 0",
       {{0, 0, 0}, 5, {}, -1},
       {{0}, {}, 0, "if0"},
       {notice + assigning},
       {assigning + "|"}},
      {"an invalid default falls back to 0",
       {{0, -1}, 1, {}, -1},
       {{0}, {}, 0, "if0"},
       {error + invalid},
       {invalid + "|"}},
      {"an unsupported default is reported and still opened",
       {{0, 1}, 1, {}, -1},
       {{1}, {}, 1, "if1"},
       {error + unsupported},
       {unsupported + "|"}},
      {"a failed open asks once, then opens the choice",
       {{0, 0, 0}, 0, {0}, 2},
       {{0, 2}, {0}, 2, "if2"},
       {notice + choose},
       {choose + "|cannot open if0", "dialog"}},
      {"a second failure ends start-up",
       {{0, 0}, 0, {0, 1}, 1},
       {{0, 1}, {0}, 1, nullptr},
       {notice + choose, error + quit},
       {choose + "|cannot open if0", "dialog", quit + "|cannot open if1"}},
      {"an invalid choice in the dialog opens nothing",
       {{0, -1}, 0, {0}, 1},
       {{0}, {0}, 0, nullptr},
       {notice + choose, error + invalid, error + quit},
       {choose + "|cannot open if0", "dialog", invalid + "|", quit + "|"}},
      {"no adapters at all",
       {{}, 0, {}, -1},
       {{}, {}, 0, nullptr},
       {error + quit},
       {quit + "|The capture library lists no adapter."}},
  };
  for (const StartupCase& c : cases) {
    SCOPED_TRACE(c.name);
    Startup rule;
    rule.failing = c.given.failing;
    rule.dialog_answer = c.given.dialog_answer;
    AdapterStartup s = rule.run(devices(c.given.statuses), c.given.setting);
    EXPECT_EQ(rule.opened, c.outcome.opened);
    EXPECT_EQ(rule.dialog_calls, c.outcome.dialog_calls);
    EXPECT_EQ(s.index, c.outcome.index);
    EXPECT_EQ(Startup::texts(s), c.messages);
    EXPECT_EQ(rule.said, c.said);
    if (c.outcome.source == nullptr) {
      EXPECT_FALSE(s.source);
      continue;
    }
    ASSERT_TRUE(s.source);
    EXPECT_EQ(s.source->name(), c.outcome.source);
    EXPECT_EQ(net_current(rule.model), net_find(rule.model, c.outcome.source));
  }
}

TEST(Switch, RefusesInvalidAndUnsupported) {
  auto devs = devices({0, -1, 1});
  EXPECT_EQ(adapter_switch_refusal(devs, 0), "");
  EXPECT_EQ(adapter_switch_refusal(devs, 1), "This adapter is currently invalid");
  EXPECT_EQ(adapter_switch_refusal(devs, 2), "This adapter is using an unsupported network type");
  EXPECT_EQ(adapter_switch_refusal(devs, 7), "This adapter is currently invalid");
}

TEST(Status, DownUnreadableUsable) {
  EXPECT_EQ(device_status("lo", false), DeviceStatus::kDown);
  EXPECT_EQ(device_status("lo", true), DeviceStatus::kUsable);  // libpcap gives loopback Ethernet headers
  EXPECT_EQ(device_status("any", true), DeviceStatus::kUsable);
  EXPECT_EQ(device_status("tarnix-no-such-if0", true), DeviceStatus::kUsable);  // /sys silent: the open decides
  EXPECT_EQ(device_status("../lo", true), DeviceStatus::kUnsupported);
}

TEST(Devices, ListHasLoopbackWithItsMask) {
  std::string error;
  std::vector<Device> list = device_list(&error);
  ASSERT_TRUE(error.empty()) << error;
  bool found = false;
  for (const Device& d : list) {
    if (d.name != "lo") continue;
    found = true;
    EXPECT_EQ(d.status, DeviceStatus::kUsable);  // libpcap gives it Ethernet headers
    if (d.has_netmask) {
      EXPECT_EQ(netaddr_text(local_mask_for(list, "lo")), netaddr_text(d.ipv4_netmask));
    }
  }
  if (!found) GTEST_SKIP() << "no loopback adapter visible to the capture library";
}

TEST(LocalAddress, FromNamesOrZeroWithMessage) {
  std::vector<AdapterMessage> msgs;
  EXPECT_EQ(netaddr_text(local_address_for("localhost", &msgs)), "127.0.0.1");
  EXPECT_TRUE(msgs.empty());
  EXPECT_EQ(netaddr_text(local_address_for("", &msgs)), "0.0.0.0");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text, "Couldn't resolve local hostname!\nCheck IP/DNS config.");
  EXPECT_EQ(msgs[0].title, "Tarnix Error");
}

// The local network follows the adapter's own address and mask; an address
// in 127/8 never stands for the local network.
TEST(LocalAddress, FromTheAdapterNeverLoopback) {
  auto dev = [](const char* name, const char* addr, const char* mask) {
    Device d;
    d.name = name;
    if (addr) {
      d.has_ipv4 = true;
      d.ipv4_address = NetAddress::parse(kAddrIpv4, addr);
    }
    if (mask) {
      d.has_netmask = true;
      d.ipv4_netmask = NetAddress::parse(kAddrIpv4, mask);
    }
    return d;
  };
  const std::vector<Device> devices = {dev("lo", "127.0.0.1", "255.0.0.0"), dev("eth0", "10.20.30.40", "255.255.0.0"),
                                       dev("veth1", "192.168.7.2", "255.255.255.0"), dev("wg0", nullptr, nullptr)};
  struct Case {
    const char* device;
    const char* host_name_address;
    const char* address;
    const char* mask;
  };
  for (const Case& c : {
           Case{"veth1", "127.0.1.1", "192.168.7.2", "255.255.255.0"},  // the adapter's own
           Case{"eth0", "192.168.7.2", "10.20.30.40", "255.255.0.0"},
           Case{"wg0", "172.16.0.9", "172.16.0.9", "255.255.255.0"},   // none of its own: the host name's
           Case{"wg0", "192.168.7.2", "192.168.7.2", "255.255.255.0"},  // with its adapter's mask
           Case{"wg0", "127.0.1.1", "10.20.30.40", "255.255.0.0"},     // never loopback: the first adapter's
           Case{"", "127.0.0.1", "10.20.30.40", "255.255.0.0"},        // a capture file
           Case{"lo", "0.0.0.0", "10.20.30.40", "255.255.0.0"},
       }) {
    const LocalNetwork n = local_network_for(devices, c.device, NetAddress::parse(kAddrIpv4, c.host_name_address));
    EXPECT_EQ(netaddr_text(n.address), c.address) << c.device << " " << c.host_name_address;
    EXPECT_EQ(netaddr_text(n.mask), c.mask) << c.device << " " << c.host_name_address;
  }
  const LocalNetwork none = local_network_for({devices[0]}, "lo", NetAddress::parse(kAddrIpv4, "127.0.1.1"));
  EXPECT_EQ(netaddr_text(none.address), "0.0.0.0");
}

TEST(LocalAddress, Ipv6FromTheAdapterElseTheFirstThatHasOne) {
  auto dev = [](const char* name, const char* addr, int prefix) {
    Device d;
    d.name = name;
    if (addr) {
      d.has_ipv6 = true;
      d.ipv6_address = NetAddress::parse(kAddrIpv6, addr);
      d.ipv6_prefix = prefix;
    }
    return d;
  };
  const std::vector<Device> devices = {dev("lo", nullptr, 0), dev("eth0", "2001:db8::40", 56),
                                       dev("veth1", "fd00:7::2", 64)};
  struct Case {
    const char* device;
    const char* address;
    int prefix;
  };
  for (const Case& c : {Case{"veth1", "fd00:7::2", 64}, Case{"eth0", "2001:db8::40", 56},
                        Case{"lo", "2001:db8::40", 56}, Case{"", "2001:db8::40", 56}}) {
    const LocalNetwork n = local_network_for(devices, c.device, NetAddress::ipv4(0, 0, 0, 0));
    EXPECT_EQ(netaddr_text(n.address6), c.address) << c.device;
    EXPECT_EQ(n.prefix6, c.prefix) << c.device;
  }
  EXPECT_EQ(netaddr_text(local_network_for({devices[0]}, "lo", NetAddress::ipv4(0, 0, 0, 0)).address6), "::");

  // Only a global address stands for the local network.
  for (const char* a : {"::", "::1", "fe80::1", "febf::9"})
    EXPECT_FALSE(is_global_ipv6(NetAddress::parse(kAddrIpv6, a))) << a;
  for (const char* a : {"::2", "fd00::1", "2001:db8::1"})
    EXPECT_TRUE(is_global_ipv6(NetAddress::parse(kAddrIpv6, a))) << a;
  const std::uint8_t mask[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0};
  EXPECT_EQ(prefix_length(mask, 16), 44);
}

}  // namespace
}  // namespace tarnix
