// Alarm definitions written as one line of text, for the headless program's
// `--alarm DEFINITION` option.
//
//   DEFINITION := OBJECT ":" CONDITION ":" NOTIFY
//   OBJECT     := "host:" ADDRESS
//               | "link:" ADDRESS ":" ADDRESS      (traffic from the first to the second)
//               | "net" | "network"                (the current network)
//               | "protocol:" NAME                 (a protocol of the protocol file)
//               | "url:" URL                       (ends at the first ":occurrence:"; a
//                                                   name watches that site, an address
//                                                   every site there: alarm_url_site_hears)
//   CONDITION  := "occurrence"
//               | ("threshold-high" | "threshold-low") ":" UNIT ":" VALUE
//   ADDRESS    := IPV4 (dotted)
//               | "[" IPV6 "]"                     (any form inet_pton reads; the
//                                                   brackets keep its colons apart)
//   UNIT       := "packets" | "kilobytes" | "percent"
//   VALUE      := decimal, 0 to 4294967295 (0 to 100 for percent)
//   NOTIFY     := the rest of the text up to the first "|to=", 1 to 80
//                 characters; may contain ':'
//   DELIVERY   := ("|to=" TARGET)*  after NOTIFY: where each firing goes besides
//                 the log (when the condition starts to hold, then at most
//                 once a minute while it holds, as for sounds and commands)
//   TARGET     := "syslog"                         (the journal or system log)
//               | "webhook:" URL                   (an http:// or https:// URL
//                                                   without spaces or '|')
//
// threshold-high fires while the rate is at or above VALUE, threshold-low
// while it is below. Rates are those of the last second: packets per second,
// kilobytes (1,024 bytes) per second, or percent of a 10 Mbit/s channel.
// Host and link alarms take either condition; a network alarm only a
// threshold; protocol and URL alarms only occurrence (anything else could
// never fire and is refused).
//
// Examples:
//   host:10.0.0.5:threshold-high:packets:100:busy host
//   link:10.0.0.1:10.0.0.2:threshold-high:kilobytes:500:backup running
//   host:10.0.0.9:occurrence:printer is on
//   host:[fd00::5]:threshold-high:packets:100:busy IPv6 host
//   link:[fd00::1]:[fd00::2]:occurrence:IPv6 link in use
//   net:threshold-high:percent:80:network saturated
//   protocol:HTTP:occurrence:web traffic
//   url:http://intranet.example/payroll:occurrence:payroll opened
//   host:10.0.0.9:occurrence:printer is on|to=syslog|to=webhook:http://chat.example/hook
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "alarms/alarm.h"
#include "naming/netaddr.h"

namespace tarnix {

struct AlarmDefinition {
  std::int32_t object_type = 0;
  std::int32_t kind = kAlarmOccurrence;
  NetAddress host1;
  NetAddress host2;
  std::string protocol;
  std::string url;
  std::uint32_t threshold = 0;
  std::int32_t direction = kAlarmHigh;
  std::int32_t unit = kAlarmPackets;
  std::string notify;
  // The targets in their stored form: "syslog" and "webhook:URL", space-separated.
  std::string delivery;
};

struct AlarmTarget {
  bool syslog = false;  // else a webhook
  std::string url;
  friend bool operator==(const AlarmTarget&, const AlarmTarget&) = default;
};

// Reads a stored delivery text (empty: none). False, with the faulty target
// named in error, when a target is unknown or a URL unusable.
bool alarm_parse_delivery(std::string_view stored, std::vector<AlarmTarget>& out, std::string& error);

// Parses one definition. On failure returns false and sets error to a
// message that names the faulty part, for example
//   "alarm definition 'host:10.0.0:occurrence:x': '10.0.0' is not an IPv4 address".
bool alarm_parse_definition(std::string_view text, AlarmDefinition& out, std::string& error);

// An address as a definition writes it: dotted IPv4, bracketed IPv6.
std::string alarm_address_text(const NetAddress& address);

// Looks a URL up (or adds it) in the URL store and gives its url_id, 0 when
// it cannot be had.
using UrlIdLookup = std::function<std::int32_t(const std::string& url)>;

// An enabled alarm for the definition. The protocol is found through the
// model, the URL through url_lookup; an unknown protocol or URL is an error
// (null result), since such an alarm could never fire.
AlarmPtr alarm_from_definition(const AlarmDefinition& def, AlarmModel* model, const UrlIdLookup& url_lookup,
                               std::string& error);

}  // namespace tarnix
