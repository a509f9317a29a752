// The start-up rule for the adapter, one for both programs: the desktop
// program shows its messages in boxes and asks with the adapter dialog; the
// headless one prints them and picks without asking. Qt-free, so the
// headless program builds without Qt.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/adapter.h"

namespace tarnix::app {

struct AdapterStartup {
  int index = 0;                         // the "interface" setting to keep
  std::unique_ptr<PacketSource> source;  // null: start-up must end (status -1)
  Net* net = nullptr;                    // the network made current
  std::vector<AdapterMessage> messages;  // in the order they were said
};

// Opens a device by index; on failure returns null and sets `reason` to the
// capture library's words.
using AdapterOpenFn = std::function<std::unique_ptr<PacketSource>(int index, std::string& reason)>;
// The adapter dialog: given the index to preselect, the chosen one (or the
// given one when cancelled).
using AdapterChooseFn = std::function<int(int preselect)>;
// Each message as it arises (so a notice comes before the dialog), with the
// reason behind it: the failed open's for "Could not open default adapter"
// and "Selection failed", else empty.
using AdapterSayFn = std::function<void(const AdapterMessage& message, const std::string& reason)>;

// The stored setting is tried first; an index beyond the list or a device
// that is down falls back to the first one; an open that fails asks once.
AdapterStartup startup_adapter(TrafficModel& model, const std::vector<Device>& devices, int setting,
                               const AdapterOpenFn& open, const AdapterChooseFn& choose,
                               const AdapterSayFn& say);

// The reason given with "Selection failed" when there is no device at all.
inline constexpr const char* kNoAdapterReason = "The capture library lists no adapter.";

}  // namespace tarnix::app
