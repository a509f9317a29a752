// A client's first TCP bytes in: the ClientHello reader must neither read
// outside them nor hand over anything but a bounded, well-formed name, and
// the sniffer must find the same name whichever way the stream is cut into
// segments (here: the cut sizes, 16 to 2056 bytes, come from the first byte).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sniff/tls.h"

namespace {

class NameSink : public tarnix::HttpRequestSink {
 public:
  int record_request(tarnix::UrlCounters&, const tarnix::NetAddress&, const tarnix::NetAddress&, const char*,
                     const char*, std::int64_t) override {
    std::abort();  // the TLS sniffer hands over names only
  }
  int record_server_name(tarnix::UrlCounters&, const tarnix::NetAddress&, const tarnix::NetAddress&,
                         const char* name, std::int64_t seen_at) override {
    if (seen_at != now) std::abort();  // the name is seen when its frame was
    const std::size_t n = std::strlen(name);
    if (n == 0 || n > tarnix::kTlsNameMax) std::abort();
    names.emplace_back(name);
    ++count;
    return 1;
  }
  std::vector<std::string> names;
  int count = 0;
  std::int64_t now = 0;
};

std::vector<std::uint8_t> segment(std::uint32_t seq, const std::uint8_t* data, std::size_t n) {
  std::vector<std::uint8_t> s(20 + n);
  s[0] = 0xc0;
  s[1] = 0x01;
  s[2] = 0x01;
  s[3] = 0xbb;
  s[4] = static_cast<std::uint8_t>(seq >> 24);
  s[5] = static_cast<std::uint8_t>(seq >> 16);
  s[6] = static_cast<std::uint8_t>(seq >> 8);
  s[7] = static_cast<std::uint8_t>(seq);
  s[12] = 5 << 4;
  if (n != 0) std::memcpy(s.data() + 20, data, n);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t cut = 16 + data[0] * 8u;
  // An exact-size heap copy, so any read past the given bytes is caught.
  std::vector<std::uint8_t> stream(data + 1, data + size);
  char name[tarnix::kTlsNameMax + 1];
  const tarnix::TlsHello whole = tarnix::tls_client_hello_name(stream.data(), stream.size(), name);
  if (whole == tarnix::TlsHello::kName) {
    const std::size_t n = std::strlen(name);
    if (n == 0 || n > tarnix::kTlsNameMax) std::abort();
  }

  // The same bytes through the sniffer, in segments of `cut` bytes sent last
  // first, so the table must gather out-of-order pieces. A name read from
  // the whole stream within what the table keeps must be found.
  // One sniffer for all runs, as in a capture: each run is a new client, and
  // the flows earlier runs left behind age out or are pushed out meanwhile.
  static NameSink sink;
  static tarnix::UrlCounters counters;
  static tarnix::TlsSniffer sniffer(sink);
  static std::uint32_t run = 0;
  ++run;
  sink.count = 0;
  sink.names.clear();
  const std::int64_t now = 1000 + run / 4096;
  sink.now = now;
  const std::uint8_t client[4] = {static_cast<std::uint8_t>(run >> 24), static_cast<std::uint8_t>(run >> 16),
                                  static_cast<std::uint8_t>(run >> 8), static_cast<std::uint8_t>(run)};
  const std::uint8_t server[4] = {10, 0, 0, 1};
  const std::uint32_t isn = 0xfffffc00u;  // wraps inside the stream
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < stream.size(); at += cut) starts.push_back(at);
  if (!starts.empty()) {
    // The first segment first (it opens the flow), then the rest backwards.
    std::vector<std::uint8_t> s = segment(isn, stream.data(), std::min(cut, stream.size()));
    sniffer.handle_segment(s.data(), s.size(), s.size(), client, server, counters, now);
    for (std::size_t i = starts.size(); i-- > 1;) {
      const std::size_t at = starts[i];
      s = segment(isn + static_cast<std::uint32_t>(at), stream.data() + at,
                  std::min(cut, stream.size() - at));
      sniffer.handle_segment(s.data(), s.size(), s.size(), client, server, counters, now);
    }
  }
  if (whole == tarnix::TlsHello::kName && stream.size() <= tarnix::kTlsFlowBytes &&
      (sink.count == 0 || sink.names[0] != name))
    std::abort();
  // Without a flow, a later segment that itself looks like the start of a
  // ClientHello is read as one; nothing else may yield a name.
  for (const std::string& found : sink.names) {
    bool explained = whole == tarnix::TlsHello::kName && found == name;
    char alone[tarnix::kTlsNameMax + 1];
    for (std::size_t at : starts)
      if (tarnix::tls_client_hello_name(stream.data() + at, std::min(cut, stream.size() - at), alone) ==
              tarnix::TlsHello::kName &&
          found == alone)
        explained = true;
    if (!explained) std::abort();
  }
  return 0;
}
