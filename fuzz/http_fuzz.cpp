// TCP segment bytes in: the HTTP sniffer must neither read outside them nor
// hand over anything but terminated texts of bounded length. The first byte
// chooses how much of the segment counts as captured, so cut captures and
// wire lengths longer or shorter than the capture are exercised too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sniff/http.h"

namespace {

// The frame's capture time, which every request must carry to the sink.
constexpr std::int64_t kSeenAt = 1700000000;

class CheckingSink : public tarnix::HttpRequestSink {
 public:
  int record_request(tarnix::UrlCounters&, const tarnix::NetAddress&, const tarnix::NetAddress&,
                     const char* host, const char* target, std::int64_t seen_at) override {
    if (seen_at != kSeenAt) std::abort();
    if (std::strlen(target) > tarnix::kHttpTargetMax) std::abort();
    if (host != nullptr && std::strlen(host) > tarnix::kHttpHostMax) std::abort();
    // The port is cut off: only an IPv6 literal (its brackets gone) keeps colons.
    if (host != nullptr && std::strchr(host, ':') != nullptr && std::strchr(host, ']') != nullptr)
      std::abort();
    tarnix::UrlParts parts;
    tarnix::db_urls_parse(target, parts);
    if (std::strlen(parts.host) > tarnix::kUrlHostMax || std::strlen(parts.path) > tarnix::kUrlPathMax)
      std::abort();
    return 1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t wire_extra = data[0];
  // An exact-size heap copy, so any read past the captured bytes is caught.
  std::vector<std::uint8_t> segment(data + 1, data + size);
  const std::uint8_t client[4] = {10, 0, 0, 2};
  const std::uint8_t server[4] = {10, 0, 0, 1};
  static CheckingSink sink;
  static tarnix::HttpSniffer sniffer(sink);
  static tarnix::UrlCounters counters;
  // The table is learned across inputs, as on a long capture.
  std::size_t wirelen = segment.size() + wire_extra;
  if (wire_extra >= 128)
    wirelen = segment.size() > (wire_extra - 128) ? segment.size() - (wire_extra - 128) : 0;
  sniffer.handle_segment(segment.empty() ? nullptr : segment.data(), segment.size(), wirelen, client, server,
                         counters, kSeenAt);
  if (sniffer.ports().count() > tarnix::HttpPortTable::kCapacity) std::abort();
  return 0;
}
