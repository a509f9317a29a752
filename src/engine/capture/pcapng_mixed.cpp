#include "capture/pcapng_mixed.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnix {

namespace {

constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceBlock = 1;
constexpr std::uint32_t kObsoletePacketBlock = 2;
constexpr std::uint32_t kSimplePacketBlock = 3;
constexpr std::uint32_t kEnhancedPacketBlock = 6;
// No real block comes near this (libpcap allows 16 MB too): a longer length
// is damage, and is never allocated.
constexpr std::uint32_t kLongestBlock = 16u * 1024 * 1024;
// More interfaces than any capture has: a file that names more is damaged.
constexpr std::size_t kMostInterfaces = 4096;
// 2^40 seconds: some 35,000 years.
constexpr __int128 kLatestSecond = __int128{1} << 40;
// A file's link type numbers are libpcap's DLT numbers, but for raw IP.
constexpr std::uint16_t kLinktypeRaw = 101;

int dlt_of_linktype(std::uint32_t linktype) {
  return linktype == kLinktypeRaw ? DLT_RAW : static_cast<int>(linktype);
}

// The blocks of a pcapng file in turn, each checked against its own length
// fields before its body is read.
class BlockReader {
 public:
  enum class Result { kBlock, kEnd, kCut, kDamaged };

  explicit BlockReader(std::FILE* f) : f_(f) {}

  // The next block's type and body (what lies between the length fields).
  Result next(std::uint32_t& type, std::vector<std::uint8_t>& body, std::string& why) {
    std::uint8_t head[12];
    const std::size_t got = std::fread(head, 1, 8, f_);
    if (got == 0 && std::feof(f_)) return Result::kEnd;
    if (got < 8) return std::ferror(f_) ? damaged(why, "read error") : Result::kCut;
    std::uint32_t length;
    std::size_t have = 8;
    if (head[0] == 0x0A && head[1] == 0x0D && head[2] == 0x0D && head[3] == 0x0A) {
      // A section header: its byte-order magic says how every length and
      // field of the section is written.
      if (std::fread(head + 8, 1, 4, f_) < 4) return Result::kCut;
      have = 12;
      if (head[8] == 0x4D && head[9] == 0x3C && head[10] == 0x2B && head[11] == 0x1A)
        big_ = false;
      else if (head[8] == 0x1A && head[9] == 0x2B && head[10] == 0x3C && head[11] == 0x4D)
        big_ = true;
      else
        return damaged(why, "bad byte-order magic");
      in_section_ = true;
      type = kSectionHeaderBlock;
      length = u32(head + 4);
      if (length < 28) return damaged(why, "section header block too short");
    } else {
      if (!in_section_) return damaged(why, "not a pcapng file");
      type = u32(head);
      length = u32(head + 4);
    }
    if (length < 12 || length % 4 != 0 || length > kLongestBlock)
      return damaged(why, "impossible block length " + std::to_string(length));
    body.resize(length - 8);
    std::memcpy(body.data(), head + 8, have - 8);
    const std::size_t rest = length - have;
    if (std::fread(body.data() + (have - 8), 1, rest, f_) < rest)
      return std::ferror(f_) ? damaged(why, "read error") : Result::kCut;
    if (u32(body.data() + length - 12) != length) return damaged(why, "block lengths differ");
    body.resize(length - 12);
    offset_ += length;
    return Result::kBlock;
  }

  std::uint32_t u32(const std::uint8_t* p) const {
    return big_ ? std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3]
                : std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
  std::uint64_t u64(const std::uint8_t* p) const {
    return big_ ? std::uint64_t(u32(p)) << 32 | u32(p + 4) : std::uint64_t(u32(p + 4)) << 32 | u32(p);
  }
  std::uint16_t u16(const std::uint8_t* p) const {
    return static_cast<std::uint16_t>(big_ ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]));
  }
  // Bytes of whole blocks read.
  std::int64_t offset() const { return offset_; }

 private:
  Result damaged(std::string& why, std::string text) {
    why = std::move(text);
    return Result::kDamaged;
  }

  std::FILE* f_;
  bool big_ = false;
  bool in_section_ = false;
  std::int64_t offset_ = 0;
};

struct Interface {
  int dlt = 0;
  LinkType link = LinkType::kUnsupported;
  std::uint32_t snaplen = 0;
  std::uint64_t units = 1000000;  // time stamp units per second
  std::int64_t offset = 0;        // seconds added to every time stamp
  const bpf_program* filter = nullptr;
};

class MixedPcapngSource final : public PacketSource {
 public:
  MixedPcapngSource(std::FILE* f, std::string path, std::string filter, double speed)
      : f_(f), reader_(f), name_(std::move(path)), filter_text_(std::move(filter)), speed_(speed) {}
  ~MixedPcapngSource() override {
    for (auto& [dlt, prog] : filters_) pcap_freecode(&prog);
    std::fclose(f_);
  }

  // Reads up to the first packet, so that the interfaces before it are known.
  bool start(std::string& error) {
    const int r = read_packet();
    if (r < 0) {
      error = error_;
      return false;
    }
    ended_ = r == 0;
    pending_ = r == 1;
    for (const Interface& i : interfaces_) {
      if (i.link != LinkType::kUnsupported) {
        link_ = i.link;
        return true;
      }
    }
    if (interfaces_.empty()) return true;
    error = "capture file " + name_ + " holds frames of link type " + dlt_text(interfaces_.front().dlt) +
            ", which Tarnix cannot read";
    return false;
  }

  int dispatch(int max, FrameFn fn, void* user) override {
    if (damaged_ && !pending_) return kSourceError;
    int n = 0;
    while (n < max) {
      if (!pending_) {
        if (ended_) break;
        const int r = read_packet();
        if (r <= 0) {
          ended_ = true;
          break;
        }
        pending_ = true;
      }
      if (speed_ > 0.0 && !due()) break;
      pending_ = false;
      ++delivered_;
      fn(user, header_, data_);
      ++n;
    }
    if (n > 0) return n;
    if (damaged_) return kSourceError;
    return ended_ && !pending_ ? kSourceEnd : 0;
  }
  bool stats(SourceStats&) override { return false; }
  LinkType link_type() const override { return link_; }
  const std::string& name() const override { return name_; }
  std::uint64_t filter_rejected() const override { return rejected_; }
  std::chrono::steady_clock::time_point next_due() override {
    using namespace std::chrono;
    if (speed_ <= 0.0 || !pending_ || !started_) return steady_clock::time_point::max();
    const double offset = (stamp() - first_ts_) / speed_;
    if (offset <= 0) return wall_start_;
    return wall_start_ + duration_cast<steady_clock::duration>(duration<double>(offset));
  }
  std::optional<std::uint64_t> cut_short_after() const override {
    if (stop_ && stop_->cut_short) return stop_->frames;
    return std::nullopt;
  }
  std::optional<CaptureReadStop> read_stop() const override { return stop_; }

 private:
  double stamp() const { return static_cast<double>(header_.time.sec) + header_.time.usec / 1e6; }

  bool due() {
    using namespace std::chrono;
    if (!started_) {
      started_ = true;
      first_ts_ = stamp();
      wall_start_ = steady_clock::now();
      return true;
    }
    const double offset = (stamp() - first_ts_) / speed_;
    return offset <= 0 || steady_clock::now() - wall_start_ >= duration<double>(offset);
  }

  // The read ends: at a cut (the frames before it stand, the run succeeds)
  // or at damage (said, and the read fails once those frames are handed
  // over).
  void stop(bool cut, const std::string& why) {
    CaptureReadStop s;
    s.frames = delivered_;
    s.offset = reader_.offset();
    s.cut_short = cut;
    s.reason = cut ? "truncated block" : why;
    stop_ = s;
    if (!cut) {
      error_ = capture_read_stop_text(name_, s);
      damaged_ = true;
    }
  }

  // Reads blocks up to the next packet that the filter lets through, into
  // header_ and data_: 1 when there is one, 0 at the end, -1 on damage.
  int read_packet() {
    for (;;) {
      std::uint32_t type = 0;
      std::string why;
      switch (reader_.next(type, block_, why)) {
        case BlockReader::Result::kEnd:
          return 0;
        case BlockReader::Result::kCut:
          stop(true, {});
          return 0;
        case BlockReader::Result::kDamaged:
          stop(false, why);
          return -1;
        case BlockReader::Result::kBlock:
          break;
      }
      if (type == kSectionHeaderBlock) {
        // Interface numbers start again in every section.
        interfaces_.clear();
        continue;
      }
      if (type == kInterfaceBlock) {
        if (!add_interface(why)) {
          stop(false, why);
          return -1;
        }
        continue;
      }
      if (type != kEnhancedPacketBlock && type != kObsoletePacketBlock && type != kSimplePacketBlock)
        continue;
      if (!take_packet(type, why)) {
        stop(false, why);
        return -1;
      }
      const Interface& i = interfaces_[interface_];
      if (i.filter != nullptr) {
        pcap_pkthdr h{};
        h.caplen = header_.caplen;
        h.len = header_.len;
        if (pcap_offline_filter(i.filter, &h, data_) == 0) {
          ++rejected_;
          continue;
        }
      }
      return 1;
    }
  }

  bool add_interface(std::string& why) {
    const std::vector<std::uint8_t>& b = block_;
    if (b.size() < 8) return fail(why, "interface block too short");
    if (interfaces_.size() >= kMostInterfaces) return fail(why, "too many interfaces");
    Interface i;
    i.dlt = dlt_of_linktype(reader_.u16(b.data()));
    i.link = link_type_of_dlt(i.dlt);
    i.snaplen = reader_.u32(b.data() + 4);
    for (std::size_t at = 8; at + 4 <= b.size();) {
      const std::uint16_t code = reader_.u16(b.data() + at);
      const std::uint16_t length = reader_.u16(b.data() + at + 2);
      if (code == 0 || at + 4 + length > b.size()) break;
      const std::uint8_t* v = b.data() + at + 4;
      if (code == 9 && length >= 1) {  // if_tsresol: a power of ten, or of two with the top bit
        const unsigned e = v[0] & 0x7Fu;
        if ((v[0] & 0x80) != 0 ? e > 63 : e > 19) return fail(why, "impossible time stamp resolution");
        std::uint64_t units = 1;
        for (unsigned k = 0; k < e; ++k) units *= (v[0] & 0x80) != 0 ? 2 : 10;
        i.units = units;
      } else if (code == 14 && length >= 8) {  // if_tsoffset, in seconds
        i.offset = static_cast<std::int64_t>(reader_.u64(v));
      }
      at += 4 + ((length + 3u) & ~3u);
    }
    if (!filter_text_.empty() && i.link != LinkType::kUnsupported) {
      auto it = filters_.find(i.dlt);
      if (it == filters_.end()) {
        bpf_program prog{};
        pcap_t* dead = pcap_open_dead(i.dlt, 262144);
        const bool ok =
            dead != nullptr && pcap_compile(dead, &prog, filter_text_.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
        const std::string reason = dead != nullptr ? pcap_geterr(dead) : "no memory";
        if (dead != nullptr) pcap_close(dead);
        if (!ok)
          return fail(why,
                      "bad capture filter '" + filter_text_ + "' for " + dlt_text(i.dlt) + ": " + reason);
        it = filters_.emplace(i.dlt, prog).first;
      }
      i.filter = &it->second;
    }
    interfaces_.push_back(i);
    return true;
  }

  bool take_packet(std::uint32_t type, std::string& why) {
    const std::vector<std::uint8_t>& b = block_;
    const std::uint8_t* p = b.data();
    std::uint64_t ts = 0;
    std::uint32_t caplen = 0, len = 0;
    std::size_t at = 20;
    if (type == kSimplePacketBlock) {
      if (b.size() < 4) return fail(why, "simple packet block too short");
      interface_ = 0;
      len = reader_.u32(p);
      caplen = len;
      at = 4;
      if (caplen > b.size() - at) caplen = static_cast<std::uint32_t>(b.size() - at);
      ts = last_ts_;
    } else {
      if (b.size() < 20) return fail(why, "packet block too short");
      interface_ = type == kEnhancedPacketBlock ? reader_.u32(p) : reader_.u16(p);
      ts = std::uint64_t(reader_.u32(p + 4)) << 32 | reader_.u32(p + 8);
      caplen = reader_.u32(p + 12);
      len = reader_.u32(p + 16);
      if (caplen > b.size() - at) return fail(why, "packet longer than its block");
    }
    if (interface_ >= interfaces_.size())
      return fail(why,
                  "packet of interface " + std::to_string(interface_) + ", which the file does not describe");
    const Interface& i = interfaces_[interface_];
    if (type == kSimplePacketBlock && i.snaplen != 0 && caplen > i.snaplen) caplen = i.snaplen;
    last_ts_ = ts;
    const std::uint64_t seconds = ts / i.units;
    const auto fraction = static_cast<unsigned __int128>(ts % i.units);
    // Times are kept in whole seconds and added up in microseconds: a time
    // stamp tens of thousands of years away is damage, not a frame.
    const __int128 second = static_cast<__int128>(seconds) + i.offset;
    if (second < 0 || second > kLatestSecond) return fail(why, "impossible time stamp");
    header_.time.sec = static_cast<std::int64_t>(second);
    header_.time.usec = static_cast<std::int32_t>(fraction * 1000000u / i.units);
    header_.caplen = caplen;
    header_.len = len < caplen ? caplen : len;
    header_.link = i.link;
    data_ = p + at;
    return true;
  }

  static bool fail(std::string& why, std::string text) {
    why = std::move(text);
    return false;
  }

  std::FILE* f_;
  BlockReader reader_;
  std::string name_;
  std::string filter_text_;
  double speed_;
  LinkType link_ = LinkType::kEthernet;
  std::vector<Interface> interfaces_;
  std::map<int, bpf_program> filters_;  // by DLT; node addresses stay put
  std::vector<std::uint8_t> block_;
  std::size_t interface_ = 0;
  std::uint64_t last_ts_ = 0;
  FrameHeader header_;
  const std::uint8_t* data_ = nullptr;
  bool pending_ = false;
  bool ended_ = false;
  bool damaged_ = false;
  bool started_ = false;
  double first_ts_ = 0;
  std::chrono::steady_clock::time_point wall_start_;
  std::uint64_t rejected_ = 0;
  std::uint64_t delivered_ = 0;
  std::optional<CaptureReadStop> stop_;
};

}  // namespace

bool pcapng_mixes_link_types(const std::string& path) {
  // A pipe read here would lose its first bytes to libpcap.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  BlockReader reader(f);
  std::vector<std::uint8_t> body;
  std::string why;
  std::uint32_t type = 0;
  int first = -1;
  bool mixed = false;
  while (!mixed && reader.next(type, body, why) == BlockReader::Result::kBlock) {
    if (type == kEnhancedPacketBlock || type == kObsoletePacketBlock || type == kSimplePacketBlock) break;
    if (type != kInterfaceBlock || body.size() < 2) continue;
    const int linktype = reader.u16(body.data());
    if (first < 0) first = linktype;
    mixed = linktype != first;
  }
  std::fclose(f);
  return mixed;
}

OpenResult open_mixed_pcapng_source(const std::string& path, const std::string& filter, double replay_speed) {
  OpenResult r;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    r.error = "cannot read capture file " + path + ": " + std::strerror(errno);
    return r;
  }
  if (!(replay_speed >= 0.0)) replay_speed = 0.0;
  auto source = std::make_unique<MixedPcapngSource>(f, path, filter, replay_speed);
  if (!source->start(r.error)) return r;
  r.source = std::move(source);
  return r;
}

}  // namespace tarnix
