#include "sniff/http.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/wire_text.h"
#include "sniff/frame_view.h"

namespace tarnix {

const char* url_scheme_word(int code) {
  for (const UrlScheme& s : url_scheme_table)
    if (s.code == code) return s.word;
  return "";
}

int http_method_match(const std::uint8_t* p, const std::uint8_t* end, int* length) {
  const auto avail = static_cast<std::size_t>(end - p);
  for (const HttpMethod& m : http_method_table) {
    const auto n = static_cast<std::size_t>(m.length);
    if (avail >= n && std::memcmp(p, m.word, n) == 0) {
      if (length != nullptr) *length = m.length;
      return m.code;
    }
  }
  if (length != nullptr) *length = 0;
  return kHttpNoMethod;
}

HttpPortTable::HttpPortTable() {
  for (std::uint16_t p : {80, 8000, 8080, 81}) ports_[count_++] = p;
}

bool HttpPortTable::contains(std::uint16_t port) const {
  for (int i = 0; i < count_; ++i)
    if (ports_[i] == port) return true;
  return false;
}

bool HttpPortTable::learn(std::uint16_t port) {
  if (count_ >= kCapacity) return false;
  ports_[count_++] = port;
  return true;
}

const std::uint8_t* tcp_payload(const std::uint8_t* tcp, std::size_t caplen, std::size_t* payload_len) {
  if (tcp == nullptr || caplen < 20) return nullptr;
  const std::size_t offset = static_cast<std::size_t>(tcp[12] >> 4) * 4;
  if (offset < 20 || offset > caplen) return nullptr;
  *payload_len = caplen - offset;
  return tcp + offset;
}

namespace {

// Whether a payload starts a request; a request whose ports are both
// unknown teaches the table its destination port.
bool starts_request(const std::uint8_t* p, std::size_t len, std::uint16_t source, std::uint16_t dest,
                    HttpPortTable& ports) {
  if (http_method_match(p, p + len, nullptr) == kHttpNoMethod) return false;
  if (!ports.contains(source) && !ports.contains(dest)) ports.learn(dest);
  return true;
}

}  // namespace

bool http_is_request(const std::uint8_t* tcp, std::size_t caplen, HttpPortTable& ports) {
  std::size_t len = 0;
  const std::uint8_t* p = tcp_payload(tcp, caplen, &len);
  if (p == nullptr) return false;
  const auto source = static_cast<std::uint16_t>((tcp[0] << 8) | tcp[1]);
  const auto dest = static_cast<std::uint16_t>((tcp[2] << 8) | tcp[3]);
  return starts_request(p, len, source, dest, ports);
}

namespace {

// Copies from p until a stop byte, the end, or max characters; the rest of
// an over-long value up to its stop byte is skipped. Returns the position
// after the value.
template <class IsStop>
const std::uint8_t* copy_value(const std::uint8_t* p, const std::uint8_t* end, char* out, std::size_t max,
                               IsStop is_stop) {
  std::size_t n = 0;
  while (p < end && !is_stop(*p)) {
    if (n < max) out[n++] = static_cast<char>(*p);
    ++p;
  }
  out[n] = '\0';
  return p;
}

// The value of the header section's own Host field: the first line, after
// the request line and before the empty line that ends the section, whose
// field name is "Host" in any case. Null when there is none. A value that
// appears elsewhere (inside another field's name or value, a continuation
// line, the body) is not the request's host. A section the segment cuts
// short ends with the segment.
const std::uint8_t* host_field(const std::uint8_t* p, const std::uint8_t* end) {
  const auto* nl = static_cast<const std::uint8_t*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
  if (nl == nullptr) return nullptr;
  for (const std::uint8_t* line = nl + 1; line < end;) {
    const auto* eol =
        static_cast<const std::uint8_t*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    const std::uint8_t* content_end = eol != nullptr ? eol : end;
    if (content_end > line && content_end[-1] == '\r') --content_end;
    if (content_end == line) return nullptr;  // the empty line: the body follows
    static constexpr char kName[] = "host";
    if (content_end - line > 4 && line[4] == ':') {
      bool same = true;
      for (int i = 0; i < 4 && same; ++i)
        same = (line[i] | 0x20) == static_cast<std::uint8_t>(kName[i]);  // letters only: ':' never folds
      if (same) return line + 5;
    }
    if (eol == nullptr) return nullptr;
    line = eol + 1;
  }
  return nullptr;
}

// The request line and Host field of a payload of `len` bytes (as far as
// both the capture and the wire length reach).
void parse_payload(const std::uint8_t* p, std::size_t len, const NetAddress& client, const NetAddress& server,
                   UrlCounters& counters, HttpRequestSink& sink, std::int64_t seen_at) {
  const std::uint8_t* const end = p + len;

  int word = 0;
  if (http_method_match(p, end, &word) == kHttpNoMethod) return;
  p += word;
  while (p < end && *p == ' ') ++p;

  char target[kHttpTargetMax + 1];
  if (p < end && *p == '\0') {
    // A NUL where the target should start stands for an empty target.
    target[0] = '\0';
    ++p;
  } else {
    p = copy_value(p, end, target, kHttpTargetMax, [](std::uint8_t c) {
      return c == '\0' || c == '>' || c == ' ' || c == '\n' || c == '\r';
    });
  }

  while (p < end && *p == ' ') ++p;
  // No version: not a request line. A line the segment (or the capture) cuts
  // short of its version is still a request, kept with what was seen.
  const std::size_t version = std::min<std::size_t>(static_cast<std::size_t>(end - p), 4);
  if (std::memcmp(p, "HTTP", version) != 0) return;
  p += version;

  // The headers end at the segment's end or at a NUL byte.
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)));
  const std::uint8_t* headers_end = nul != nullptr ? nul : end;

  char host[kHttpHostMax + 1];
  const char* host_name = nullptr;
  std::uint16_t host_port = 0;
  // The digits after the host's colon, when they make a port.
  auto read_port = [&](const char* digits) {
    unsigned port = 0;
    std::size_t n = 0;
    for (; digits[n] >= '0' && digits[n] <= '9' && n < 6; ++n) port = port * 10 + unsigned(digits[n] - '0');
    if (n > 0 && n <= 5 && digits[n] == '\0' && port <= 65535) host_port = static_cast<std::uint16_t>(port);
  };
  if (const std::uint8_t* h = host_field(p, headers_end)) {
    while (h < headers_end && (*h == ' ' || *h == '\t')) ++h;
    copy_value(h, headers_end, host, kHttpHostMax,
               [](std::uint8_t c) { return c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
    if (host[0] == '[') {
      // An IPv6 literal: the address between the brackets, whose colons
      // are no port separator.
      char* close = std::strchr(host, ']');
      if (close != nullptr && close[1] == ':') read_port(close + 2);
      const std::size_t n =
          close != nullptr ? static_cast<std::size_t>(close - host - 1) : std::strlen(host + 1);
      std::memmove(host, host + 1, n);
      host[n] = '\0';
    } else if (char* colon = std::strchr(host, ':')) {
      read_port(colon + 1);
      *colon = '\0';
    }
    host_name = host;
  }
  sink.record_request_at_port(counters, client, server, host_name, host_port, target, seen_at);
}

}  // namespace

void http_parse_request(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                        const NetAddress& client, const NetAddress& server, UrlCounters& counters,
                        HttpRequestSink& sink, std::int64_t seen_at) {
  std::size_t len = 0;
  const std::uint8_t* p = tcp_payload(tcp, caplen < wirelen ? caplen : wirelen, &len);
  if (p != nullptr) parse_payload(p, len, client, server, counters, sink, seen_at);
}

void http_parse_request(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                        const std::uint8_t client[4], const std::uint8_t server[4], UrlCounters& counters,
                        HttpRequestSink& sink, std::int64_t seen_at) {
  http_parse_request(tcp, caplen, wirelen, NetAddress::ipv4(client), NetAddress::ipv4(server), counters, sink,
                     seen_at);
}

namespace {

NetAddress frame_address(const FrameView& frame, const std::uint8_t* bytes) {
  if (bytes == nullptr) return {};
  if (frame.address_length == 4) return NetAddress::ipv4(bytes);
  if (frame.address_length == 16) return NetAddress::ipv6(bytes);
  return {};
}

}  // namespace

NetAddress frame_source_address(const FrameView& frame) {
  return frame_address(frame, frame.source);
}

NetAddress frame_destination_address(const FrameView& frame) {
  return frame_address(frame, frame.destination);
}

void HttpSniffer::handle(const FrameView& frame, UrlCounters& counters, std::int64_t seen_at) {
  if (!frame.is_tcp() || frame.payload == 0) return;
  if (!starts_request(frame.payload_bytes(), frame.payload_length, frame.source_port, frame.destination_port,
                      ports_))
    return;
  // The request is read no further than the wire length says it went.
  const std::uint32_t readable = frame.captured < frame.wire_length ? frame.captured : frame.wire_length;
  if (readable < frame.payload) return;
  parse_payload(frame.payload_bytes(), readable - frame.payload, frame_source_address(frame),
                frame_destination_address(frame), counters, *sink_, seen_at);
}

bool db_urls_parse(std::string_view target, UrlParts& out) {
  out = UrlParts{};
  auto copy_cut = [](std::string_view text, char* dest, std::size_t max) {
    const std::size_t n = text.size() < max ? text.size() : max;
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
  };

  if (!target.empty() && target.front() == '/') {
    out.proxy = 0;
    out.scheme = kSchemeHttp;
    copy_cut(target, out.path, kUrlPathMax);
    return true;
  }

  out.proxy = 1;
  const UrlScheme* scheme = nullptr;
  for (const UrlScheme& s : url_scheme_table) {
    if (target.size() >= static_cast<std::size_t>(s.length) &&
        target.compare(0, static_cast<std::size_t>(s.length), s.word) == 0) {
      scheme = &s;
      break;
    }
  }
  out.scheme = scheme->code;
  if (out.scheme == kSchemeUnknown) {
    // Any peer can send these at will: quoted safely, and a flood is counted
    // rather than printed.
    static MessageLimiter botched("db_urls_parse", 10, std::chrono::seconds(60), stderr_lines());
    botched.print("db_urls_parse: Seriously botched URL detected (" + wire_text(target) + ") - ignoring");
    return false;
  }

  // The scheme word and the three characters after it ("://", unchecked).
  std::size_t pos = static_cast<std::size_t>(scheme->length) + 3;
  if (pos > target.size()) pos = target.size();
  std::string_view rest = target.substr(pos);

  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view host = authority;
  std::size_t colon = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    // An IPv6 literal's colons are not the port's: the host is what the
    // brackets hold, the port follows the closing one.
    const std::size_t close = authority.find(']');
    host = authority.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    colon = close != std::string_view::npos && close + 1 < authority.size() && authority[close + 1] == ':'
                ? close + 1
                : std::string_view::npos;
  } else if (colon != std::string_view::npos) {
    host = authority.substr(0, colon);
  }
  if (colon != std::string_view::npos) {
    std::uint32_t port = 0;
    for (std::size_t i = colon + 1; i < authority.size() && authority[i] >= '0' && authority[i] <= '9'; ++i) {
      port = port * 10 + static_cast<std::uint32_t>(authority[i] - '0');
      if (port > 65535) {  // not a port any request could use
        port = 0;
        break;
      }
    }
    out.port = static_cast<std::uint16_t>(port);
  }
  authority = host;
  copy_cut(authority, out.host, kUrlHostMax);
  if (slash != std::string_view::npos) copy_cut(rest.substr(slash), out.path, kUrlPathMax);
  return true;
}

}  // namespace tarnix
