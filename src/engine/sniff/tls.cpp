#include "sniff/tls.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/host_name.h"
#include "sniff/frame_view.h"

namespace tarnix {

namespace {

constexpr std::uint8_t kRecordHandshake = 22;
constexpr std::uint8_t kClientHello = 1;
constexpr std::size_t kRecordHeader = 5;
// Largest plaintext record; anything longer is not TLS.
constexpr std::size_t kRecordMax = 16384;

std::uint32_t be16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] << 8 | p[1]);
}
std::uint32_t be24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
}
std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// A cursor over the handshake message: `have` bytes are known, the message
// declares `end`. Running past `end` means malformed; past `have`, that more
// of the stream is needed.
struct Cursor {
  const std::uint8_t* b;
  std::size_t pos, have, end;
  enum Result { kOk, kShort, kBad };
  Result need(std::size_t n, std::size_t limit) const {
    if (n > limit - pos) return kBad;
    if (n > have - pos) return kShort;
    return kOk;
  }
};

}  // namespace

TlsHello tls_client_hello_name(const std::uint8_t* data, std::size_t len, char name[kTlsNameMax + 1]) {
  name[0] = '\0';
  // The handshake bytes of the records, without their headers. The message
  // is read no further than the flow table keeps of a stream.
  std::uint8_t hs[kTlsFlowBytes];
  std::size_t have = 0;
  std::size_t pos = 0;
  std::size_t message_end = 0;  // 4 + declared length, once known
  // A stream that stops being TLS records stops the copy there: what came
  // before is still read, so that a longer stream never undoes a name a
  // shorter one gave, but nothing more will come.
  bool broken = false;
  while ((message_end == 0 || have < message_end) && have < sizeof hs) {
    if (len - pos < kRecordHeader) {
      // What there is of the next header must still look like one.
      broken = (pos < len && data[pos] != kRecordHandshake) || (pos + 1 < len && data[pos + 1] != 3);
      break;
    }
    const std::uint8_t* rec = data + pos;
    const std::size_t rec_len = be16(rec + 3);
    if (rec[0] != kRecordHandshake || rec[1] != 3 || rec[2] > 4 || rec_len == 0 || rec_len > kRecordMax) {
      broken = true;
      break;
    }
    const std::size_t avail = std::min(rec_len, len - pos - kRecordHeader);
    const std::size_t take = std::min(avail, sizeof hs - have);
    std::memcpy(hs + have, rec + kRecordHeader, take);
    have += take;
    if (have > 0 && hs[0] != kClientHello) return TlsHello::kNotHello;
    if (message_end == 0 && have >= 4) message_end = 4 + be24(hs + 1);
    if (avail < rec_len) break;
    pos += kRecordHeader + rec_len;
  }
  if (have < 4) return broken ? TlsHello::kNotHello : TlsHello::kIncomplete;
  have = std::min(have, message_end);

  Cursor c{hs, 4, have, message_end};
  Cursor::Result r;
  auto from = [broken](Cursor::Result res) {
    return res == Cursor::kShort && !broken ? TlsHello::kIncomplete : TlsHello::kNotHello;
  };
  // Version and random.
  if ((r = c.need(34, c.end)) != Cursor::kOk) return from(r);
  c.pos += 34;
  // Session id: at most 32 bytes.
  if ((r = c.need(1, c.end)) != Cursor::kOk) return from(r);
  const std::size_t sid = hs[c.pos++];
  if (sid > 32) return TlsHello::kNotHello;
  if ((r = c.need(sid, c.end)) != Cursor::kOk) return from(r);
  c.pos += sid;
  // Cipher suites: a non-empty even length.
  if ((r = c.need(2, c.end)) != Cursor::kOk) return from(r);
  const std::size_t suites = be16(hs + c.pos);
  c.pos += 2;
  if (suites == 0 || suites % 2 != 0) return TlsHello::kNotHello;
  if ((r = c.need(suites, c.end)) != Cursor::kOk) return from(r);
  c.pos += suites;
  // Compression methods: at least one.
  if ((r = c.need(1, c.end)) != Cursor::kOk) return from(r);
  const std::size_t methods = hs[c.pos++];
  if (methods == 0) return TlsHello::kNotHello;
  if ((r = c.need(methods, c.end)) != Cursor::kOk) return from(r);
  c.pos += methods;
  // Without extensions there is no name.
  if (c.pos == c.end) return TlsHello::kNoName;
  if ((r = c.need(2, c.end)) != Cursor::kOk) return from(r);
  const std::size_t ext_total = be16(hs + c.pos);
  c.pos += 2;
  if (ext_total > c.end - c.pos) return TlsHello::kNotHello;
  const std::size_t ext_end = c.pos + ext_total;

  while (c.pos < ext_end) {
    if ((r = c.need(4, ext_end)) != Cursor::kOk) return from(r);
    const std::uint32_t type = be16(hs + c.pos);
    const std::size_t ext_len = be16(hs + c.pos + 2);
    c.pos += 4;
    // A long extension before the name (a post-quantum key share) is
    // skipped by its length, but the name may follow it: wait for it.
    if ((r = c.need(ext_len, ext_end)) != Cursor::kOk) return from(r);
    if (type != 0) {
      c.pos += ext_len;
      continue;
    }
    // server_name: a list of (type, length, name); the first host_name counts.
    const std::size_t list_end = c.pos + ext_len;
    if (ext_len < 2 || be16(hs + c.pos) != ext_len - 2) return TlsHello::kNotHello;
    c.pos += 2;
    while (c.pos < list_end) {
      if ((r = c.need(3, list_end)) != Cursor::kOk) return from(r);
      const std::uint8_t name_type = hs[c.pos];
      const std::size_t n = be16(hs + c.pos + 1);
      c.pos += 3;
      if ((r = c.need(n, list_end)) != Cursor::kOk) return from(r);
      if (name_type == 0) {
        if (n == 0 || n > kTlsNameMax) return TlsHello::kNoName;
        const char* s = reinterpret_cast<const char*>(hs + c.pos);
        if (!is_valid_host_name(std::string_view(s, n))) return TlsHello::kNoName;
        std::memcpy(name, s, n);
        name[n] = '\0';
        return TlsHello::kName;
      }
      c.pos += n;
    }
    return TlsHello::kNoName;
  }
  return TlsHello::kNoName;
}

struct TlsSniffer::Flow {
  // An IPv6 flow's key is a digest of its addresses, which an IPv4 key may
  // equal: a flow found by key is checked against the addresses themselves.
  NetAddress client, server;
  std::uint32_t isn = 0;
  std::int64_t started = 0;
  std::uint64_t stamp = 0;  // newer flows have larger stamps
  std::size_t contiguous = 0;
  std::uint64_t seen[kTlsFlowBytes / 64] = {};  // one bit per byte held
  std::uint8_t bytes[kTlsFlowBytes];
};

TlsSniffer::TlsSniffer(HttpRequestSink& sink)
    // The byte buffers are left unset: only bytes a flow holds are read.
    : sink_(&sink),
      tags_(std::make_unique<Tag[]>(kTlsFlowSets * kTlsFlowWays)),
      flows_(new Flow[kTlsFlowSets * kTlsFlowWays]) {}

TlsSniffer::~TlsSniffer() = default;

namespace {

// Both IPv4 addresses side by side; for IPv6 a digest of both (FNV-1a),
// which find() backs up with the addresses themselves.
std::uint64_t flow_key(const NetAddress& client, const NetAddress& server) {
  if (client.is_ipv4()) return static_cast<std::uint64_t>(be32(client.bytes)) << 32 | be32(server.bytes);
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (const NetAddress* a : {&client, &server})
    for (int i = 0; i < 16; ++i) h = (h ^ a->bytes[i]) * 0x100000001b3ull;
  return h;
}

int set_of(std::uint64_t key, std::uint32_t ends) {
  std::uint64_t h = (key ^ (static_cast<std::uint64_t>(ends) << 13)) * 0x9E3779B97F4A7C15ull;
  return static_cast<int>((h >> 58) % kTlsFlowSets);
}

// Marks [from, to) as held and returns the new length of the held prefix.
std::size_t mark(std::uint64_t* seen, std::size_t from, std::size_t to, std::size_t contiguous) {
  for (std::size_t i = from; i < to; ++i) seen[i / 64] |= std::uint64_t{1} << (i % 64);
  while (contiguous < kTlsFlowBytes && (seen[contiguous / 64] >> (contiguous % 64) & 1) != 0) ++contiguous;
  return contiguous;
}

}  // namespace

TlsSniffer::Flow* TlsSniffer::find(std::uint64_t key, std::uint32_t ends, int set, const NetAddress& client,
                                   const NetAddress& server) {
  const std::size_t first = static_cast<std::size_t>(set * kTlsFlowWays);
  for (std::size_t i = first; i < first + kTlsFlowWays; ++i) {
    if (tags_[i].used == 0 || tags_[i].key != key || tags_[i].ends != ends) continue;
    if (flows_[i].client == client && flows_[i].server == server) return &flows_[i];
  }
  return nullptr;
}

TlsSniffer::Flow* TlsSniffer::claim(int set, std::int64_t now) {
  const std::size_t first = static_cast<std::size_t>(set * kTlsFlowWays);
  std::size_t pick = first;
  for (std::size_t i = first; i < first + kTlsFlowWays; ++i) {
    if (tags_[i].used == 0) return &flows_[i];
    if (flows_[i].stamp < flows_[pick].stamp) pick = i;
  }
  if (now - flows_[pick].started > kTlsFlowSeconds)
    ++stats_.expired;
  else
    ++stats_.evicted;
  release(flows_[pick]);
  return &flows_[pick];
}

void TlsSniffer::release(Flow& f) {
  tags_[static_cast<std::size_t>(&f - flows_.get())].used = 0;
  --active_;
}

void TlsSniffer::sweep(std::int64_t now) {
  swept_ = now;
  for (std::size_t i = 0; i < kTlsFlowSets * kTlsFlowWays && active_ > 0; ++i) {
    const Flow& f = flows_[i];
    if (tags_[i].used != 0 && (now - f.started > kTlsFlowSeconds || now < f.started)) {
      ++stats_.expired;
      release(flows_[i]);
    }
  }
}

void TlsSniffer::found(std::uint64_t key, std::uint32_t ends, std::uint32_t isn, const char* name,
                       const NetAddress& client, const NetAddress& server, UrlCounters& counters,
                       std::int64_t now) {
  for (const Recent& r : recent_)
    if (r.key == key && r.ends == ends && r.isn == isn) {
      ++stats_.repeated;
      return;
    }
  recent_[recent_next_] = Recent{key, ends, isn};
  recent_next_ = (recent_next_ + 1) % kRecent;
  ++stats_.names;
  sink_->record_server_name(counters, client, server, name, now);
}

void TlsSniffer::handle_segment(const std::uint8_t* tcp, std::size_t caplen, std::size_t wirelen,
                                const std::uint8_t client[4], const std::uint8_t server[4],
                                UrlCounters& counters, std::int64_t now) {
  std::size_t len = 0;
  const std::uint8_t* p = tcp_payload(tcp, caplen, &len);
  if (p == nullptr) return;
  segment(be32(tcp), be32(tcp + 4), p, len, caplen < wirelen, NetAddress::ipv4(client),
          NetAddress::ipv4(server), counters, now);
}

void TlsSniffer::handle(const FrameView& frame, UrlCounters& counters, std::int64_t now) {
  if (!frame.is_tcp() || frame.payload == 0) return;
  const std::uint8_t* tcp = frame.transport_header();
  const NetAddress client = frame_source_address(frame);
  if (client.type == nullptr) return;
  segment(be32(tcp), be32(tcp + 4), frame.payload_bytes(), frame.payload_length,
          frame.captured < frame.wire_length, client, frame_destination_address(frame), counters, now);
}

void TlsSniffer::segment(std::uint32_t ends, std::uint32_t seq, const std::uint8_t* p, std::size_t len,
                         bool cut_short, const NetAddress& client, const NetAddress& server,
                         UrlCounters& counters, std::int64_t now) {
  if (len == 0) return;
  if (active_ == 0 && p[0] != kRecordHandshake) return;  // the common case: one compare

  if (active_ > 0 && now != swept_) sweep(now);
  const std::uint64_t key = flow_key(client, server);
  const int set = set_of(key, ends);
  char name[kTlsNameMax + 1];

  if (active_ > 0) {
    if (Flow* f = find(key, ends, set, client, server)) {
      const std::uint32_t offset = seq - f->isn;  // modulo 2^32, as sequence numbers go
      if (offset >= kTlsFlowBytes) return;        // before the start, or past what is kept
      const std::size_t to = std::min<std::size_t>(kTlsFlowBytes, offset + len);
      std::memcpy(f->bytes + offset, p, to - offset);
      const std::size_t before = f->contiguous;
      f->contiguous = mark(f->seen, offset, to, f->contiguous);
      if (f->contiguous == before) return;  // a gap still precedes these bytes
      switch (tls_client_hello_name(f->bytes, f->contiguous, name)) {
        case TlsHello::kIncomplete:
          if (f->contiguous < kTlsFlowBytes) return;
          ++stats_.overflowed;
          break;
        case TlsHello::kName:
          found(key, ends, f->isn, name, client, server, counters, now);
          break;
        default:
          break;
      }
      release(*f);
      return;
    }
  }

  if (p[0] != kRecordHandshake) return;
  switch (tls_client_hello_name(p, len, name)) {
    case TlsHello::kName:
      found(key, ends, seq, name, client, server, counters, now);
      return;
    case TlsHello::kIncomplete: {
      if (cut_short) return;
      if (len >= kTlsFlowBytes) {  // a segment merged by the adapter: it held all the table would
        ++stats_.overflowed;
        return;
      }
      Flow* f = claim(set, now);
      tags_[static_cast<std::size_t>(f - flows_.get())] = Tag{key, ends, 1};
      f->client = client;
      f->server = server;
      ++active_;
      ++stats_.gathered;
      f->isn = seq;
      f->started = now;
      f->stamp = ++stamp_;
      std::memset(f->seen, 0, sizeof f->seen);
      const std::size_t n = std::min(len, kTlsFlowBytes);
      std::memcpy(f->bytes, p, n);
      f->contiguous = mark(f->seen, 0, n, 0);
      return;
    }
    default:
      return;
  }
}

}  // namespace tarnix
