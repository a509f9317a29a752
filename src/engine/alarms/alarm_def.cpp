#include "alarms/alarm_def.h"

#include <charconv>
#include <vector>

namespace tarnix {

namespace {

constexpr std::size_t kNotifyMax = 80;
constexpr std::size_t kUrlMax = 512;
constexpr std::string_view kDeliveryMark = "|to=";

bool webhook_url_ok(std::string_view url) {
  if (url.size() > kUrlMax) return false;
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) return false;
  const std::size_t scheme = url.find("://") + 3;
  if (scheme >= url.size() || url[scheme] == '/') return false;
  for (const char ch : url) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f || c == '|') return false;
  }
  return true;
}

// One target as written after "|to=" or in the stored text.
bool parse_target(std::string_view text, AlarmTarget& out, std::string& why) {
  if (text == "syslog") {
    out = AlarmTarget{true, {}};
    return true;
  }
  if (text.rfind("webhook:", 0) == 0) {
    const std::string_view url = text.substr(8);
    if (!webhook_url_ok(url)) {
      why = "'" + std::string(url) +
            "' is no usable webhook URL (http:// or https://, no spaces, at most 512 characters)";
      return false;
    }
    out = AlarmTarget{false, std::string(url)};
    return true;
  }
  why = "unknown delivery '" + std::string(text) + "'; expected syslog or webhook:URL";
  return false;
}

// Takes the text up to the next ':' (or the end) off the front of rest.
std::string_view take_field(std::string_view& rest) {
  std::size_t colon = rest.find(':');
  std::string_view field = rest.substr(0, colon);
  rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  return field;
}

bool parse_ipv4(std::string_view text, NetAddress& out) {
  std::uint8_t bytes[4];
  std::string_view rest = text;
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = rest.find('.');
    std::string_view part = i < 3 ? rest.substr(0, dot) : rest;
    if (i < 3 && dot == std::string_view::npos) return false;
    if (part.empty() || part.size() > 3) return false;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc() || end != part.data() + part.size() || value > 255) return false;
    bytes[i] = static_cast<std::uint8_t>(value);
    if (i < 3) rest = rest.substr(dot + 1);
  }
  out = NetAddress::ipv4(bytes);
  return true;
}

// A host's address off the front of rest: an IPv4 address up to the next
// ':', or an IPv6 address in brackets (its own colons inside them), followed
// by ':' or the end. False with `error` empty: there was no address at all.
bool take_address(std::string_view& rest, NetAddress& out, std::string& error) {
  if (rest.empty() || rest.front() != '[') {
    const std::string_view field = take_field(rest);
    if (parse_ipv4(field, out)) return true;
    // The start of an IPv6 address written without brackets ("fd00::5",
    // "::1"): at most four hex digits, then more of the address.
    constexpr std::string_view kHex = "0123456789abcdefABCDEF";
    const bool ipv6_like = field.size() <= 4 && field.find_first_not_of(kHex) == std::string_view::npos &&
                           !rest.empty() &&
                           (rest.front() == ':' || kHex.find(rest.front()) != std::string_view::npos);
    if (field.empty() && !ipv6_like) return false;
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "'" + string at -O2.
    error.assign(1, '\'');
    error.append(field).append("' is not an IPv4 address");
    if (ipv6_like) error.append("; an IPv6 address goes in brackets, as in host:[fd00::5]");
    return false;
  }
  const std::size_t close = rest.find(']');
  if (close == std::string_view::npos) {
    error = "'" + std::string(rest) + "' has no closing ']'";
    return false;
  }
  const std::string inside(rest.substr(1, close - 1));
  if (!is_ipv6_text(inside)) {
    error = "'" + inside + "' is not an IPv6 address";
    return false;
  }
  if (close + 1 < rest.size() && rest[close + 1] != ':') {
    error = "'" + std::string(rest.substr(0, close + 1)) + "' is followed by '" +
            std::string(rest.substr(close + 1, rest.find(':', close + 1) - close - 1)) + "' instead of ':'";
    return false;
  }
  out = NetAddress::parse(kAddrIpv6, inside.c_str());
  rest = close + 1 < rest.size() ? rest.substr(close + 2) : std::string_view();
  return true;
}

class Parser {
 public:
  Parser(std::string_view text, std::string& error) : text_(text), error_(error) {}

  bool fail(const std::string& why) {
    error_ = "alarm definition '" + std::string(text_) + "': " + why;
    return false;
  }

  bool parse(AlarmDefinition& out) {
    std::string_view rest = text_;
    std::string_view object = take_field(rest);
    if (object == "host") {
      out.object_type = kAlarmHost;
      if (!address(rest, out.host1)) return false;
    } else if (object == "link") {
      out.object_type = kAlarmLink;
      if (!address(rest, out.host1) || !address(rest, out.host2)) return false;
    } else if (object == "net" || object == "network") {
      out.object_type = kAlarmNetwork;
    } else if (object == "protocol") {
      out.object_type = kAlarmProtocol;
      std::string_view name = take_field(rest);
      if (name.empty()) return fail("the protocol name is missing");
      if (name.size() > 31)
        return fail("protocol name '" + std::string(name) + "' is longer than 31 characters");
      out.protocol = std::string(name);
    } else if (object == "url") {
      out.object_type = kAlarmUrl;
      // A URL has colons of its own; it runs to the condition.
      std::size_t at = rest.find(":occurrence:");
      if (at == std::string_view::npos) {
        if (rest.find(":threshold-") != std::string_view::npos)
          return fail("a URL alarm can only be 'occurrence'");
        return fail("expected url:URL:occurrence:NOTIFY");
      }
      if (at == 0) return fail("the URL is missing");
      out.url = std::string(rest.substr(0, at));
      rest = rest.substr(at + 1);
    } else if (object.empty()) {
      return fail("empty definition; expected host, link, net, protocol or url first");
    } else {
      return fail("unknown object '" + std::string(object) + "'; expected host, link, net, protocol or url");
    }

    std::string_view condition = take_field(rest);
    if (condition == "occurrence") {
      out.kind = kAlarmOccurrence;
    } else if (condition == "threshold-high" || condition == "threshold-low") {
      out.kind = kAlarmThreshold;
      out.direction = condition == "threshold-high" ? kAlarmHigh : kAlarmLow;
      std::string_view unit = take_field(rest);
      if (unit == "packets")
        out.unit = kAlarmPackets;
      else if (unit == "kilobytes")
        out.unit = kAlarmKilobytes;
      else if (unit == "percent")
        out.unit = kAlarmPercent;
      else
        return fail("unknown unit '" + std::string(unit) + "'; expected packets, kilobytes or percent");
      std::string_view value = take_field(rest);
      std::uint64_t number = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (value.empty() || ec != std::errc() || end != value.data() + value.size())
        return fail("threshold '" + std::string(value) + "' is not a whole number");
      if (number > 0xFFFFFFFFull) return fail("threshold " + std::string(value) + " is too large");
      if (out.unit == kAlarmPercent && number > 100)
        return fail("a percentage threshold must be between 0 and 100");
      out.threshold = static_cast<std::uint32_t>(number);
    } else if (condition.empty()) {
      return fail("the condition is missing; expected occurrence, threshold-high or threshold-low");
    } else {
      return fail("unknown condition '" + std::string(condition) +
                  "'; expected occurrence, threshold-high or threshold-low");
    }

    if (out.object_type == kAlarmNetwork && out.kind != kAlarmThreshold)
      return fail("a network alarm needs threshold-high or threshold-low");
    if (out.object_type == kAlarmProtocol && out.kind != kAlarmOccurrence)
      return fail("a protocol alarm can only be 'occurrence'");

    if (const std::size_t mark = rest.find(kDeliveryMark); mark != std::string_view::npos) {
      std::string_view targets = rest.substr(mark + kDeliveryMark.size());
      rest = rest.substr(0, mark);
      std::string stored;
      for (;;) {
        const std::size_t next = targets.find(kDeliveryMark);
        AlarmTarget target;
        std::string why;
        if (!parse_target(targets.substr(0, next), target, why)) return fail(why);
        stored += (stored.empty() ? "" : " ") + std::string(targets.substr(0, next));
        if (next == std::string_view::npos) break;
        targets = targets.substr(next + kDeliveryMark.size());
      }
      out.delivery = std::move(stored);
    }
    if (rest.empty()) return fail("the notify text is missing");
    if (rest.size() > kNotifyMax) return fail("the notify text is longer than 80 characters");
    out.notify = std::string(rest);
    return true;
  }

 private:
  bool address(std::string_view& rest, NetAddress& out) {
    std::string why;
    if (take_address(rest, out, why)) return true;
    return fail(why.empty() ? "an address is missing: IPv4, or IPv6 in brackets" : why);
  }

  std::string_view text_;
  std::string& error_;
};

}  // namespace

std::string alarm_address_text(const NetAddress& address) {
  return address.is_ipv6() ? "[" + netaddr_text(address) + "]" : netaddr_text(address);
}

bool alarm_parse_definition(std::string_view text, AlarmDefinition& out, std::string& error) {
  AlarmDefinition parsed;
  Parser parser(text, error);
  if (!parser.parse(parsed)) return false;
  out = std::move(parsed);
  return true;
}

bool alarm_parse_delivery(std::string_view stored, std::vector<AlarmTarget>& out, std::string& error) {
  std::vector<AlarmTarget> targets;
  while (!stored.empty()) {
    const std::size_t space = stored.find(' ');
    const std::string_view word = stored.substr(0, space);
    stored = space == std::string_view::npos ? std::string_view() : stored.substr(space + 1);
    if (word.empty()) continue;
    AlarmTarget target;
    if (!parse_target(word, target, error)) return false;
    targets.push_back(std::move(target));
  }
  out = std::move(targets);
  return true;
}

AlarmPtr alarm_from_definition(const AlarmDefinition& def, AlarmModel* model, const UrlIdLookup& url_lookup,
                               std::string& error) {
  auto a = std::make_shared<Alarm>();
  a->object_type = def.object_type;
  a->kind = def.kind;
  a->threshold = def.threshold;
  a->direction = def.direction;
  a->unit = def.unit;
  a->notify = def.notify;
  a->delivery = def.delivery;
  a->disabled = 0;
  if (model != nullptr) a->owner = model->current_net();
  switch (def.object_type) {
    case kAlarmLink:
      a->set_host(2, AlarmHost{0, def.host2, netaddr_text(def.host2)});
      [[fallthrough]];
    case kAlarmHost:
      a->set_host(1, AlarmHost{0, def.host1, netaddr_text(def.host1)});
      break;
    case kAlarmProtocol:
      a->protocol_name = def.protocol;
      if (model != nullptr) a->protocol = model->protocol_lookup(def.protocol);
      if (!a->protocol) {
        error = "alarm definition: unknown protocol '" + def.protocol + "'";
        return nullptr;
      }
      break;
    case kAlarmUrl:
      a->url_id = url_lookup ? url_lookup(def.url) : 0;
      if (a->url_id == 0) {
        error = "alarm definition: URL '" + def.url + "' cannot be found or stored";
        return nullptr;
      }
      break;
    default:
      break;
  }
  return a;
}

}  // namespace tarnix
