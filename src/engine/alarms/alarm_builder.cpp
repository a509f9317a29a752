#include "alarms/alarm_builder.h"

#include <cctype>
#include <condition_variable>
#include <limits>
#include <map>
#include <memory>

#include "db/db_store.h"
#include "naming/host_cache.h"
#include "pdl/protocol_tree.h"
#include "sniff/http.h"

namespace tarnix {

namespace {

// The host as the name cache shows it everywhere else.
AlarmHost host_of(const HostCache& names, const HostCacheEntry& e) {
  return AlarmHost{e.host_id, e.address, names.shown_name(&e).name};
}

// An IPv6 address may be typed as the definitions write it, in brackets.
std::string host_query(const std::string& text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}

// A text typed without a scheme is taken as an http URL, as a browser would.
std::string absolute_url(const std::string& text) {
  if (text.find("://") != std::string::npos) return text;
  return "http://" + text;
}

void list_protocols(const protocol_node* node, int depth, std::vector<ProtocolChoice>& out) {
  auto add = [&](const protocol_node* n) {
    out.push_back(ProtocolChoice{std::string(std::size_t(depth) * 2, ' ') + n->description, n});
  };
  for (; node != nullptr; node = node->next_sibling) {
    if (node->next_sibling != nullptr && node->first_child == nullptr) add(node);
    if (node->first_child != nullptr) {
      // Children come after the whole sibling chain, so the chain is walked
      // first and the nodes with children are listed on the way back.
      list_protocols(node->next_sibling, depth, out);
      add(node);
      list_protocols(node->first_child, depth + 1, out);
      return;
    }
  }
}

}  // namespace

std::vector<std::string> CacheBuilderServices::host_names() {
  return names_ != nullptr ? names_->ipv4_names() : std::vector<std::string>();
}

std::optional<AlarmHost> CacheBuilderServices::find_host(const std::string& text) {
  if (names_ == nullptr || text.empty()) return std::nullopt;
  const std::string query = host_query(text);
  HostCacheRef e = names_->find_text(query);
  // A name only heard on the wire (a DHCP client's, with quiet look-ups)
  // is no name the name service knows, but names a host all the same.
  if (e == nullptr) {
    if (const NetAddress heard = names_->heard_address(query); heard.is_ipv4() || heard.is_ipv6())
      e = names_->find_ipv4(heard);
  }
  if (e == nullptr) return std::nullopt;
  return host_of(*names_, *e);
}

std::optional<AlarmHost> CacheBuilderServices::resolve_host(const std::string& text) {
  if (std::optional<AlarmHost> cached = find_host(text)) return cached;
  if (names_ == nullptr || text.empty()) return std::nullopt;
  // The completion may come after the wait has given up; what it writes
  // then lives on in the shared answer.
  struct Answer {
    Mutex mutex;
    std::condition_variable done;
    bool answered GUARDED_BY(mutex) = false;
    std::optional<AlarmHost> host GUARDED_BY(mutex);
  };
  auto answer = std::make_shared<Answer>();
  auto done = [answer, names = names_](const HostCacheRef& e) {
    MutexLock lock(answer->mutex);
    if (e != nullptr) answer->host = host_of(*names, *e);
    answer->answered = true;
    answer->done.notify_all();
  };
  const std::string query = host_query(text);
  const NetAddress heard = names_->heard_address(query);
  const bool queued = heard.is_ipv4() || heard.is_ipv6() ? names_->request_ipv4(heard, std::move(done))
                                                         : names_->request_text(query, std::move(done));
  if (!queued) return std::nullopt;
  const auto until = std::chrono::steady_clock::now() + bound_;
  MutexLock lock(answer->mutex);
  while (!answer->answered && lock.wait_until(answer->done, until) == std::cv_status::no_timeout) {
  }
  return answer->host;
}

std::int32_t CacheBuilderServices::url_for(const std::string& text) {
  if (session_ == nullptr || text.empty()) return 0;
  UrlParts parts;
  if (!db_urls_parse(absolute_url(text), parts) || parts.proxy != 1 || parts.host[0] == '\0') return 0;
  // The host first, without the session: the wait may be long.
  std::optional<AlarmHost> host = resolve_host(parts.host);
  if (!host || host->host_id == 0) return 0;
  // Keyed as a request for it would be (alarm_url_site_hears): a name is
  // the site, an address the server with every site on it.
  MutexLock lock(session_mutex_);
  return db_urls_add(*session_, db_url_key(host->host_id, parts, nullptr));
}

std::string CacheBuilderServices::url_text(std::int32_t url_id) {
  std::string out;
  if (session_ == nullptr || url_id == 0) return out;
  MutexLock lock(session_mutex_);
  db_url_text(*session_, url_id, out);
  return out;
}

void CacheBuilderServices::adjust_url_refs(std::int32_t url_id, int delta) {
  if (session_ == nullptr || url_id == 0 || delta == 0) return;
  MutexLock lock(session_mutex_);
  session_->note_error(db_urls_adjust_refs(*session_, url_id, delta));
}

std::vector<ProtocolChoice> alarm_protocol_choices(const protocol_node* root) {
  std::vector<ProtocolChoice> out;
  list_protocols(root, 0, out);
  return out;
}

std::uint32_t alarm_value_from_text(std::string_view text, bool percent) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    // Shown back with "%d": the largest value that form can show.
    if (value > std::numeric_limits<std::int32_t>::max()) value = std::numeric_limits<std::int32_t>::max();
  }
  if (negative && value != 0) return 0;
  if (percent && value > 100) return 0;
  return static_cast<std::uint32_t>(value);
}

AlarmBuilder::AlarmBuilder(AlarmList copies) {
  copies.foreach ([&](const AlarmPtr& a) { alarms_.push_back(a); });
}

int AlarmBuilder::add_new() {
  auto a = std::make_shared<Alarm>();
  a->notify = "New Alarm";
  a->object_type = kAlarmNetwork;
  a->kind = kAlarmThreshold;
  a->direction = kAlarmLow;
  a->unit = kAlarmKilobytes;
  a->threshold = 0;
  alarms_.push_back(std::move(a));
  return count() - 1;
}

bool AlarmBuilder::remove(int index) {
  if (index < 0 || index >= count()) return false;
  alarms_.erase(alarms_.begin() + index);
  return true;
}

void AlarmBuilder::set_object_type(Alarm& a, std::int32_t type) {
  a.object_type = type;
  if (type == kAlarmUrl || type == kAlarmProtocol) a.kind = kAlarmOccurrence;
}

void AlarmBuilder::set_threshold(Alarm& a, std::int32_t direction) {
  a.kind = kAlarmThreshold;
  a.direction = direction;
}

std::int32_t AlarmBuilder::toggle_disabled(Alarm& a) {
  a.disabled = a.disabled != 0 ? 0 : 1;
  return a.disabled;
}

std::string alarm_builder_problem(const Alarm& a) {
  auto has_host = [&](int which) { return a.host(which) != nullptr || a.pending_host_id[which - 1] != 0; };
  switch (a.object_type) {
    case kAlarmHost:
      if (!has_host(1)) return "it has no host: type a host name or address that resolves";
      break;
    case kAlarmLink:
      if (!has_host(1) || !has_host(2)) return "a link needs both its source and its destination host";
      break;
    case kAlarmNetwork:
      if (a.kind != kAlarmThreshold) return "a network alarm needs a threshold";
      break;
    case kAlarmProtocol:
      if (!a.protocol) return "it has no protocol: choose one from the list";
      break;
    case kAlarmUrl:
      if (a.url_id == 0) return "it has no URL: type a URL whose host resolves";
      break;
    default:
      return "it watches nothing: choose an object type";
  }
  if (a.kind == kAlarmThreshold && a.unit == kAlarmPercent && a.threshold > 100)
    return "a percentage of bandwidth is 0 to 100";
  if (a.run_command == 1 && a.command.empty())
    return "\"Execute command\" is checked but no command is given";
  if (a.play_sound == 1 && a.sound_file.empty()) return "\"Play wave file\" is checked but no file is given";
  if (a.command.size() > kAlarmActionTextMax)
    return "the command is longer than " + std::to_string(kAlarmActionTextMax) + " characters";
  if (a.sound_file.size() > kAlarmActionTextMax)
    return "the sound file path is longer than " + std::to_string(kAlarmActionTextMax) + " characters";
  std::vector<AlarmTarget> targets;
  std::string why;
  if (!alarm_parse_delivery(a.delivery, targets, why)) return "\"Deliver to\": " + why;
  return {};
}

int AlarmBuilder::first_problem(std::string& why) const {
  for (std::size_t i = 0; i < alarms_.size(); ++i) {
    why = alarm_builder_problem(*alarms_[i]);
    if (!why.empty()) return static_cast<int>(i);
  }
  return -1;
}

AlarmList AlarmBuilder::take() {
  AlarmList out;
  for (AlarmPtr& a : alarms_) out.append(std::move(a));
  alarms_.clear();
  return out;
}

void alarm_builder_commit(AlarmState& st, AlarmList replacement, AlarmTable* table,
                          AlarmBuilderServices* services) {
  std::map<std::int32_t, int> refs;
  auto count = [&](const AlarmList& list, int sign) {
    list.foreach ([&](const AlarmPtr& a) {
      if (a->object_type == kAlarmUrl && a->url_id != 0) refs[a->url_id] += sign;
    });
  };
  {
    MutexLock lock(st.alarm_mutex);
    count(st.loaded, -1);
  }
  count(replacement, +1);
  alarm_replace_set(st, std::move(replacement), table);
  if (services == nullptr) return;
  for (const auto& [url_id, delta] : refs) services->adjust_url_refs(url_id, delta);
}

bool alarm_builder_add_definition(AlarmState& st, AlarmTable& table, AlarmBuilderServices& services,
                                  std::string_view text, std::string& error) {
  AlarmDefinition def;
  if (!alarm_parse_definition(text, def, error)) return false;
  AlarmPtr a = alarm_from_definition(
      def, st.model, [&](const std::string& url) { return services.url_for(url); }, error);
  if (!a) return false;
  if (def.object_type == kAlarmHost || def.object_type == kAlarmLink) {
    const int hosts = def.object_type == kAlarmLink ? 2 : 1;
    for (int which = 1; which <= hosts; ++which) {
      const std::string address = netaddr_text(which == 1 ? def.host1 : def.host2);
      std::optional<AlarmHost> host = services.resolve_host(address);
      // Without a host id the stored alarm would come back without its host.
      if (!host || host->host_id == 0) {
        error = "alarm definition: host " + address + " has no entry in the host table";
        return false;
      }
      a->set_host(which, *host);
    }
  }
  AlarmList copies = alarm_copy_set(st);
  copies.append(std::move(a));
  alarm_builder_commit(st, std::move(copies), &table, &services);
  return true;
}

std::string alarm_format_definition(const AlarmDefinition& def) {
  std::string out;
  switch (def.object_type) {
    case kAlarmHost:
      out = "host:" + alarm_address_text(def.host1);
      break;
    case kAlarmLink:
      out = "link:" + alarm_address_text(def.host1) + ":" + alarm_address_text(def.host2);
      break;
    case kAlarmNetwork:
      out = "net";
      break;
    case kAlarmProtocol:
      out = "protocol:" + def.protocol;
      break;
    case kAlarmUrl:
      out = "url:" + def.url;
      break;
    default:
      break;
  }
  if (def.kind == kAlarmOccurrence) {
    out += ":occurrence";
  } else {
    static const char* const kUnits[] = {"packets", "kilobytes", "percent"};
    out += def.direction == kAlarmHigh ? ":threshold-high:" : ":threshold-low:";
    out += kUnits[def.unit >= 0 && def.unit <= 2 ? def.unit : 0];
    out += ":" + std::to_string(def.threshold);
  }
  out += ":" + def.notify;
  std::vector<AlarmTarget> targets;
  std::string error;
  if (alarm_parse_delivery(def.delivery, targets, error))
    for (const AlarmTarget& t : targets) out += t.syslog ? "|to=syslog" : "|to=webhook:" + t.url;
  return out;
}

bool alarm_row_definition(const AlarmTableRow& row, AlarmTable& table, AlarmBuilderServices& services,
                          std::string& line) {
  auto refuse = [&](const std::string& why) {
    line = why;
    return false;
  };
  AlarmDefinition def;
  def.object_type = row.object_type;
  def.kind = row.kind;
  def.direction = row.direction;
  def.unit = row.unit;
  def.notify = row.notify;
  def.delivery = row.delivery;
  if (std::vector<AlarmTarget> targets; !alarm_parse_delivery(row.delivery, targets, line)) return false;
  def.threshold = row.threshold > 0 ? static_cast<std::uint32_t>(row.threshold) : 0;
  if (row.kind == kAlarmThreshold && (row.unit < kAlarmPackets || row.unit > kAlarmPercent ||
                                      row.direction < kAlarmHigh || row.direction > kAlarmLow))
    return refuse("unknown unit or direction");
  switch (row.object_type) {
    case kAlarmLink:
      if (!table.host_cache_addr(row.host2_id, def.host2)) return refuse("its second host is unknown");
      [[fallthrough]];
    case kAlarmHost:
      if (!table.host_cache_addr(row.host1_id, def.host1)) return refuse("its host is unknown");
      break;
    case kAlarmProtocol:
      def.protocol = row.protocol;
      break;
    case kAlarmUrl:
      def.url = services.url_text(row.url_id);
      if (def.url.empty()) return refuse("its URL is unknown");
      break;
    case kAlarmNetwork:
      break;
    default:
      return refuse("unknown object type " + std::to_string(row.object_type));
  }
  line = alarm_format_definition(def);
  // Whatever the grammar refuses (a condition that never fires, a missing or
  // over-long notify text) is reported in the parser's words.
  AlarmDefinition back;
  std::string error;
  if (!alarm_parse_definition(line, back, error)) return refuse(error);
  return true;
}

}  // namespace tarnix
