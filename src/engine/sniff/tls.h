// The server names of HTTPS visits, read from the server_name extension of
// the TLS ClientHello that opens every connection.
//
// Passive and bounded: a ClientHello that fits in one segment is read in
// place; one that spans several (current browsers send 1.5-2 KB) is gathered
// in a small fixed table of flows, each holding the first kTlsFlowBytes of
// its client's stream. Entries leave the table when their name is found, when
// the stream turns out not to be a ClientHello, after kTlsFlowSeconds of
// capture time, or when a newer flow needs the room (oldest first). The table
// is allocated once, so a flood of half-handshakes costs neither memory nor
// more than a few compares per segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/url_counters.h"
#include "sniff/http.h"

namespace tarnix {

struct FrameView;

// Longest DNS name; a server_name longer than this is not a name.
inline constexpr std::size_t kTlsNameMax = 255;

enum class TlsHello {
  kNotHello,    // not the start of a ClientHello, or malformed
  kIncomplete,  // a ClientHello so far, but its name may lie in bytes not yet seen
  kNoName,      // a whole ClientHello with no usable host name (e.g. an address literal)
  kName,        // the name is in `name`
};

// Reads the host name from the first `len` bytes of a client's TCP stream,
// which must start with a TLS handshake record. The ClientHello may be split
// over several records. `name` receives at most kTlsNameMax characters and a
// NUL. Reads nothing outside [data, data + len).
//
// A name counts only when it is a valid host name (is_valid_host_name): an
// address literal, which a client must not send, or a name no resolver
// would take, is no name.
TlsHello tls_client_hello_name(const std::uint8_t* data, std::size_t len, char name[kTlsNameMax + 1]);

// The flow table's shape.
inline constexpr std::size_t kTlsFlowBytes = 4096;
inline constexpr int kTlsFlowSets = 16;
inline constexpr int kTlsFlowWays = 4;
inline constexpr int kTlsFlowSeconds = 10;

struct TlsSnifferStats {
  std::uint64_t names = 0;       // names handed to the sink
  std::uint64_t repeated = 0;    // a retransmitted ClientHello already recorded
  std::uint64_t gathered = 0;    // ClientHellos that started a table entry
  std::uint64_t evicted = 0;     // entries pushed out by a newer flow
  std::uint64_t expired = 0;     // entries that ran out of time
  std::uint64_t overflowed = 0;  // ClientHellos whose name lay beyond kTlsFlowBytes
};

// One object per capture; used by the capture thread only.
class TlsSniffer {
 public:
  explicit TlsSniffer(HttpRequestSink& sink);
  ~TlsSniffer();
  TlsSniffer(const TlsSniffer&) = delete;
  TlsSniffer& operator=(const TlsSniffer&) = delete;

  // One TCP segment: `caplen` captured bytes from the TCP header on, of
  // `wirelen` on the wire. A segment the capture cut short is read as far as
  // it goes, but starts no table entry: the rest of it will never come.
  // `now` is the frame's capture time in seconds; it ages the table and is
  // passed on with each name.
  void handle_segment(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                      const std::uint8_t client[4], const std::uint8_t server[4], UrlCounters& counters,
                      std::int64_t now);
  // A decoded frame, as the frame path hands it over: the same as
  // handle_segment on the frame's TCP segment.
  void handle(const FrameView& frame, UrlCounters& counters, std::int64_t now);

  int active() const { return active_; }
  const TlsSnifferStats& stats() const { return stats_; }

  struct Flow;

 private:
  Flow* find(std::uint64_t key, std::uint32_t ends, int set, const NetAddress& client,
             const NetAddress& server);
  Flow* claim(int set, std::int64_t now);
  void release(Flow& f);
  // The segment's payload `p` of `len` captured bytes; `ends` holds both
  // ports as the TCP header has them, `seq` its sequence number.
  void segment(std::uint32_t ends, std::uint32_t seq, const std::uint8_t* p, std::size_t len, bool cut_short,
               const NetAddress& client, const NetAddress& server, UrlCounters& counters, std::int64_t now);
  void sweep(std::int64_t now);
  void found(std::uint64_t key, std::uint32_t ends, std::uint32_t isn, const char* name,
             const NetAddress& client, const NetAddress& server, UrlCounters& counters, std::int64_t now);

  HttpRequestSink* sink_;
  // Who owns each entry, apart from the entries' buffers: the ways of a set
  // share one cache line, so a segment of a flow not in the table costs one
  // memory read.
  struct Tag {
    std::uint64_t key = 0;
    std::uint32_t ends = 0;
    std::uint32_t used = 0;
  };
  std::unique_ptr<Tag[]> tags_;
  std::unique_ptr<Flow[]> flows_;
  int active_ = 0;
  std::uint64_t stamp_ = 0;
  std::int64_t swept_ = 0;
  // The ClientHellos last recorded, so that a retransmitted one is not
  // counted as a second visit.
  struct Recent {
    std::uint64_t key = 0;
    std::uint32_t ends = 0;
    std::uint32_t isn = 0;
  };
  static constexpr int kRecent = 32;
  Recent recent_[kRecent] = {};
  int recent_next_ = 0;
  TlsSnifferStats stats_;
};

}  // namespace tarnix
