#include "app/adapter_rule.h"

namespace tarnix::app {

AdapterStartup startup_adapter(TrafficModel& model, const std::vector<Device>& devices, int setting,
                               const AdapterOpenFn& open, const AdapterChooseFn& choose,
                               const AdapterSayFn& say) {
  AdapterStartup r;
  auto tell = [&](AdapterMessage m, const std::string& reason = {}) {
    if (say) say(m, reason);
    r.messages.push_back(std::move(m));
  };
  const int count = static_cast<int>(devices.size());
  if (count == 0) {
    // Nothing to open: the dialog would offer nothing either.
    tell(adapter_error(kMsgSelectionFailed), kNoAdapterReason);
    return r;
  }
  int index = setting;
  if (index < 0 || index >= count) {
    tell(adapter_notice(kMsgDefaultInvalidIndex));
    index = 0;
  } else if (devices[index].status == DeviceStatus::kDown) {
    tell(adapter_error(kMsgDefaultInvalid));
    index = 0;
  } else if (devices[index].status == DeviceStatus::kUnsupported) {
    tell(adapter_error(kMsgDefaultUnsupported));
  }
  r.net = net_find(model, devices[index].name);
  net_set_current(model, r.net);
  std::string reason;
  r.source = open(index, reason);
  if (!r.source) {
    tell(adapter_notice(kMsgCouldNotOpenDefault), reason);
    int chosen = choose(index);
    if (chosen < 0 || chosen >= count) chosen = index;
    index = chosen;
    if (devices[index].status == DeviceStatus::kDown) {
      tell(adapter_error(kMsgDefaultInvalid));
      index = 0;
      reason.clear();
    } else {
      r.net = net_find(model, devices[index].name);
      net_set_current(model, r.net);
      reason.clear();
      r.source = open(index, reason);
    }
  }
  if (!r.source) tell(adapter_error(kMsgSelectionFailed), reason);
  r.index = index;
  return r;
}

}  // namespace tarnix::app
