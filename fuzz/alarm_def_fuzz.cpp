// Any text as an alarm definition (--alarm): it is refused with a message
// that names the definition, or gives a definition the grammar allows, which
// written out again reads back the same and makes an alarm of that shape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "alarms/alarm_def.h"

namespace {

using namespace tarnix;

std::string written(const AlarmDefinition& d) {
  std::string out;
  switch (d.object_type) {
    case kAlarmHost:
      out = "host:" + alarm_address_text(d.host1);
      break;
    case kAlarmLink:
      out = "link:" + alarm_address_text(d.host1) + ":" + alarm_address_text(d.host2);
      break;
    case kAlarmNetwork:
      out = "net";
      break;
    case kAlarmProtocol:
      out = "protocol:" + d.protocol;
      break;
    case kAlarmUrl:
      out = "url:" + d.url;
      break;
    default:
      std::abort();
  }
  if (d.kind == kAlarmOccurrence) {
    out += ":occurrence";
  } else {
    out += d.direction == kAlarmHigh ? ":threshold-high:" : ":threshold-low:";
    static const char* const kUnits[] = {"packets", "kilobytes", "percent"};
    out += std::string(kUnits[d.unit]) + ":" + std::to_string(d.threshold);
  }
  return out + ":" + d.notify;
}

// An address not set is equal to nothing, not even to another not set.
bool same_address(const NetAddress& a, const NetAddress& b) {
  return a.type == nullptr ? b.type == nullptr : a == b;
}

bool same(const AlarmDefinition& a, const AlarmDefinition& b) {
  return a.object_type == b.object_type && a.kind == b.kind && same_address(a.host1, b.host1) &&
         same_address(a.host2, b.host2) && a.protocol == b.protocol && a.url == b.url &&
         a.threshold == b.threshold && a.direction == b.direction && a.unit == b.unit && a.notify == b.notify;
}

void check_shape(const AlarmDefinition& d) {
  if (d.notify.empty() || d.notify.size() > 80) std::abort();
  if (d.kind != kAlarmOccurrence && d.kind != kAlarmThreshold) std::abort();
  if (d.direction != kAlarmHigh && d.direction != kAlarmLow) std::abort();
  if (d.unit < kAlarmPackets || d.unit > kAlarmPercent) std::abort();
  if (d.unit == kAlarmPercent && d.threshold > 100) std::abort();
  switch (d.object_type) {
    case kAlarmHost:
    case kAlarmLink:
      break;
    case kAlarmNetwork:
      if (d.kind != kAlarmThreshold) std::abort();
      break;
    case kAlarmProtocol:
      if (d.kind != kAlarmOccurrence || d.protocol.empty() || d.protocol.size() > 31 ||
          d.protocol.find(':') != std::string::npos)
        std::abort();
      break;
    case kAlarmUrl:
      if (d.kind != kAlarmOccurrence || d.url.empty() || d.url.find(":occurrence:") != std::string::npos)
        std::abort();
      break;
    default:
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  AlarmDefinition def;
  std::string error;
  if (!alarm_parse_definition(text, def, error)) {
    if (error.rfind("alarm definition '" + std::string(text) + "': ", 0) != 0) std::abort();
    return 0;
  }
  if (!error.empty()) std::abort();
  check_shape(def);

  AlarmDefinition again;
  if (!alarm_parse_definition(written(def), again, error) || !same(def, again)) std::abort();

  // Without a model no protocol can be found; a URL is found when the store
  // gives it an id.
  const UrlIdLookup lookup = [&](const std::string& url) { return url == def.url ? 7 : 0; };
  AlarmPtr alarm = alarm_from_definition(def, nullptr, lookup, error);
  if (def.object_type == kAlarmProtocol) {
    if (alarm || error.empty()) std::abort();
    return 0;
  }
  if (!alarm || alarm->object_type != def.object_type || alarm->kind != def.kind ||
      alarm->threshold != def.threshold || alarm->notify != def.notify || alarm->disabled != 0)
    std::abort();
  if (def.object_type == kAlarmUrl && alarm->url_id != 7) std::abort();
  const bool hosts = def.object_type == kAlarmHost || def.object_type == kAlarmLink;
  if (hosts && (alarm->host(1) == nullptr || !(alarm->host(1)->address == def.host1))) std::abort();
  if (def.object_type == kAlarmLink && (alarm->host(2) == nullptr || !(alarm->host(2)->address == def.host2)))
    std::abort();
  return 0;
}
