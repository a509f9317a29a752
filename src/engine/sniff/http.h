// HTTP request recognition on single TCP segments, and the split of a request
// target into proxy flag, scheme, host, port and path.
//
// Works on one segment at a time: streams are never reassembled, only the
// segment carrying the request line is read. Nothing here allocates, and no
// read goes past the bytes the capture library actually handed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/timer.h"
#include "core/url_counters.h"
#include "naming/netaddr.h"

namespace tarnix {

struct FrameView;

struct HttpMethod {
  const char* word;
  int length;
  int code;
};

// Searched in this order; the first word that matches wins.
inline constexpr HttpMethod http_method_table[] = {
    {"GET", 3, 1},     {"HEAD", 4, 2},   {"POST", 4, 3},  {"PUT", 3, 4},
    {"OPTIONS", 7, 0}, {"DELETE", 6, 5}, {"TRACE", 5, 6},
};
inline constexpr int kHttpNoMethod = 8;
// Not an HTTP method: an HTTPS visit, seen as the server name of a TLS
// ClientHello (see tls.h). Stored in the access's method column.
inline constexpr int kMethodTls = 9;
inline constexpr const char* kMethodTlsWord = "TLS";

struct UrlScheme {
  const char* word;
  int length;
  int code;
};

inline constexpr int kSchemeFile = 0;
inline constexpr int kSchemeFtp = 1;
inline constexpr int kSchemeGopher = 2;
inline constexpr int kSchemeHttp = 3;
inline constexpr int kSchemeTelnet = 4;
inline constexpr int kSchemeUnknown = 5;
inline constexpr int kSchemeHttps = 6;

// Searched in this order; the empty last row matches anything. "https" comes
// before "http", which would otherwise take its first four letters.
inline constexpr UrlScheme url_scheme_table[] = {
    {"https", 5, 6},  {"HTTPS", 5, 6},  {"http", 4, 3},          {"HTTP", 4, 3}, {"ftp", 3, 1},
    {"FTP", 3, 1},    {"telnet", 6, 4}, {"TELNET", 6, 4},        {"file", 4, 0}, {"FILE", 4, 0},
    {"gopher", 6, 2}, {"GOPHER", 6, 2}, {"", 0, kSchemeUnknown},
};

// Word of the first row with the code: lower case for 0..4 and 6, "" otherwise.
const char* url_scheme_word(int code);

// Method code of the word at the start of [p, end), kHttpNoMethod when none
// matches; *length receives the matched word's length.
int http_method_match(const std::uint8_t* p, const std::uint8_t* end, int* length);

// Ports on which requests were seen. Starts with 80, 8000, 8080, 81 and only
// grows. Once full it stops learning; acceptance never depends on it.
class HttpPortTable {
 public:
  static constexpr int kCapacity = 50;
  HttpPortTable();
  bool contains(std::uint16_t port) const;
  // False when the table is full (the port is then not kept).
  bool learn(std::uint16_t port);
  int count() const { return count_; }
  std::uint16_t port(int i) const { return ports_[i]; }

 private:
  std::uint16_t ports_[kCapacity] = {};
  int count_ = 0;
};

// What the sniffer hands over for one request. The texts point into the
// sniffer's own fixed buffers and are valid only during the call.
struct HttpRequestSink {
  virtual ~HttpRequestSink() = default;
  // host_name is null when the segment has no "Host:" header. `seen_at` is
  // the frame's capture time (seconds since the epoch), kNoCaptureTime when
  // unknown. Client and server are IPv4 or IPv6 addresses, one kind each.
  virtual int record_request(UrlCounters& counters, const NetAddress& client, const NetAddress& server,
                             const char* host_name, const char* target, std::int64_t seen_at) = 0;
  // The same with the port the "Host:" field named after the host (0 when
  // it named none; host_name never carries it). A sink that tells URLs
  // apart by port takes it here; any other gets the request without it.
  virtual int record_request_at_port(UrlCounters& counters, const NetAddress& client,
                                     const NetAddress& server, const char* host_name,
                                     std::uint16_t /*host_port*/, const char* target, std::int64_t seen_at) {
    return record_request(counters, client, server, host_name, target, seen_at);
  }
  // An HTTPS visit: the server name of a TLS ClientHello, seen at `seen_at`
  // (capture time, seconds since the epoch; kNoCaptureTime when unknown).
  virtual int record_server_name(UrlCounters& /*counters*/, const NetAddress& /*client*/,
                                 const NetAddress& /*server*/, const char* /*name*/,
                                 std::int64_t /*seen_at*/) {
    return 0;
  }
};

// Longest texts handed over; longer ones are cut to this many characters.
inline constexpr std::size_t kHttpTargetMax = 1499;
inline constexpr std::size_t kHttpHostMax = 499;

// Payload of a TCP segment: the request starts where the header's
// data-offset field says. Null when the header itself is not all captured or
// its data offset is impossible (below 20 bytes or past the captured bytes).
// `caplen` counts the captured bytes from the TCP header on.
const std::uint8_t* tcp_payload(const std::uint8_t* tcp, std::size_t caplen, std::size_t* payload_len);

// Whether the segment starts an HTTP request (its payload starts with a
// method word). A request whose ports are both unknown teaches the table
// its destination port.
bool http_is_request(const std::uint8_t* tcp, std::size_t caplen, HttpPortTable& ports);

// Parses the request line and the Host field of a segment that
// http_is_request accepted, and hands a complete request to the sink, on the
// calling thread. The host is the value of the first line of the header
// section whose field name is "Host" in any case (RFC 9110); a "Host:" inside
// another field, on a continuation line or after the empty line that ends the
// section is not the request's host. `wirelen` is the length on the wire from the TCP header on;
// reads are bounded by the smaller of it and `caplen`.
void http_parse_request(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                        const NetAddress& client, const NetAddress& server, UrlCounters& counters,
                        HttpRequestSink& sink, std::int64_t seen_at = kNoCaptureTime);
// The same between two IPv4 addresses (4 bytes each, network order).
void http_parse_request(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                        const std::uint8_t client[4], const std::uint8_t server[4], UrlCounters& counters,
                        HttpRequestSink& sink, std::int64_t seen_at = kNoCaptureTime);

// The addresses of a decoded frame as records: IPv4 or IPv6 by the frame's
// address length; no type for a frame without IP addresses.
NetAddress frame_source_address(const FrameView& frame);
NetAddress frame_destination_address(const FrameView& frame);

// The port table and the sink, for the frame handler: one object per capture.
class HttpSniffer {
 public:
  explicit HttpSniffer(HttpRequestSink& sink) : sink_(&sink) {}
  bool is_request(const std::uint8_t* tcp, std::size_t caplen) { return http_is_request(tcp, caplen, ports_); }
  void parse_request(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                     const std::uint8_t client[4], const std::uint8_t server[4], UrlCounters& counters,
                     std::int64_t seen_at = kNoCaptureTime) {
    http_parse_request(tcp, caplen, wirelen, client, server, counters, *sink_, seen_at);
  }
  // Both steps, for a TCP segment on its own.
  void handle_segment(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                      const std::uint8_t client[4], const std::uint8_t server[4], UrlCounters& counters,
                      std::int64_t seen_at = kNoCaptureTime) {
    if (is_request(tcp, caplen)) parse_request(tcp, caplen, wirelen, client, server, counters, seen_at);
  }
  // Both steps for a decoded frame, as the frame path hands them over: the
  // same as handle_segment on the frame's TCP segment.
  void handle(const FrameView& frame, UrlCounters& counters, std::int64_t seen_at);
  const HttpPortTable& ports() const { return ports_; }

 private:
  HttpRequestSink* sink_;
  HttpPortTable ports_;
};

// Longest URL host and path the recorder keeps; longer ones are cut.
inline constexpr std::size_t kUrlHostMax = 83;
inline constexpr std::size_t kUrlPathMax = 239;

struct UrlParts {
  int proxy = 0;
  int scheme = kSchemeUnknown;
  char host[kUrlHostMax + 1] = {};
  std::uint16_t port = 0;
  char path[kUrlPathMax + 1] = {};
};

// Splits a request target. False for an absolute URL of unknown scheme
// (reported on the error stream).
bool db_urls_parse(std::string_view target, UrlParts& out);

}  // namespace tarnix
