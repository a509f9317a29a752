#include "capture/source.h"

#include "capture/gzip_file.h"
#include "capture/pcapng_mixed.h"
#include "capture/read_ahead.h"
#include "capture/replay_pace.h"
#include "os/rights.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <thread>

namespace tarnix {

namespace {

// How long the kernel holds a part-filled block of frames before the
// descriptor polls readable: the latency of a quiet link's frames.
constexpr int kReadTimeoutMs = 100;

// The stdio buffer of a capture file.
constexpr std::size_t kFileBuffer = 256 * 1024;

struct Trampoline {
  FrameFn fn;
  void* user;
  LinkType link;
};

// Capture seconds as 64 bits. A classic pcap file holds them as an unsigned
// 32-bit count, which libpcap reads as signed: from 2038 on it hands over a
// negative time. No capture (kernel, pcap or pcapng) holds a time before
// 1970, so a negative 32-bit value is read back as the unsigned count it
// was (good until 2106).
std::int64_t capture_seconds(std::int64_t tv_sec) {
  if (tv_sec < 0 && tv_sec >= INT32_MIN) return static_cast<std::int64_t>(static_cast<std::uint32_t>(tv_sec));
  return tv_sec;
}

void pcap_trampoline(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* t = reinterpret_cast<Trampoline*>(user);
  FrameHeader fh;
  fh.time.sec = capture_seconds(static_cast<std::int64_t>(h->ts.tv_sec));
  fh.time.usec = static_cast<std::int32_t>(h->ts.tv_usec);
  fh.caplen = h->caplen;
  fh.len = h->len;
  fh.link = t->link;
  t->fn(t->user, fh, bytes);
}

std::string compile_filter(pcap_t* p, const std::string& filter, bpf_program& prog, bool& compiled) {
  compiled = false;
  if (filter.empty()) return {};
  if (pcap_compile(p, &prog, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    return "bad capture filter '" + filter + "': " + pcap_geterr(p);
  }
  compiled = true;
  return {};
}

class LiveSource final : public PacketSource {
 public:
  LiveSource(pcap_t* p, std::string device, LinkType link) : p_(p), name_(std::move(device)), link_(link) {
    speed_ = adapter_link_speed_bps(name_);
    fd_ = pcap_get_selectable_fd(p_);
  }
  ~LiveSource() override { pcap_close(p_); }

  int dispatch(int max, FrameFn fn, void* user) override {
    Trampoline t{fn, user, link_};
    int n = pcap_dispatch(p_, max, pcap_trampoline, reinterpret_cast<u_char*>(&t));
    if (n == PCAP_ERROR) {
      error_ = pcap_geterr(p_);
      return kSourceError;
    }
    return n < 0 ? 0 : n;
  }
  bool stats(SourceStats& out) override {
    pcap_stat s{};
    if (pcap_stats(p_, &s) != 0) return false;
    out.received = s.ps_recv;
    out.dropped = s.ps_drop;
    out.interface_dropped = s.ps_ifdrop;
    return true;
  }
  LinkType link_type() const override { return link_; }
  const std::string& name() const override { return name_; }
  std::uint64_t link_speed_bps() const override { return speed_; }
  int wait_fd() const override { return fd_; }

 private:
  pcap_t* p_;
  std::string name_;
  LinkType link_;
  std::uint64_t speed_ = 0;
  int fd_ = -1;
};

class FileSource final : public PacketSource {
 public:
  FileSource(pcap_t* p, std::string path, LinkType link, double speed, bool filtered, const bpf_program& prog,
             std::unique_ptr<GzipState> gzip)
      : p_(p),
        name_(std::move(path)),
        link_(link),
        pace_(speed),
        filtered_(filtered),
        prog_(prog),
        gzip_(std::move(gzip)) {}
  ~FileSource() override {
    if (filtered_) pcap_freecode(&prog_);
    // Closes the decompressing stream too, before gzip_ goes.
    pcap_close(p_);
  }

  int dispatch(int max, FrameFn fn, void* user) override {
    if (damaged_) return kSourceError;
    const int n = dispatch_frames(max, fn, user);
    if (n > 0) delivered_ += static_cast<std::uint64_t>(n);
    // Compressed data that breaks off or is corrupt is damage, wherever in
    // a record it happens: zlib's words replace the capture library's.
    if (ended_ && !stop_ && gzip_failed()) error_ = gzip_->error;
    // libpcap ends a file at its first bad record with an error naming it;
    // the frames before it stand. A short last record is how an interrupted
    // capture ends: the file is said to be cut. Any other error is damage:
    // said with where it happened, and the read fails once the frames
    // before it are handed over.
    if (ended_ && !error_.empty() && !stop_) {
      CaptureReadStop stop;
      stop.frames = delivered_;
      if (std::FILE* f = pcap_file(p_)) stop.offset = static_cast<std::int64_t>(ftello(f));
      stop.reason = error_;
      stop.cut_short = !gzip_failed() && error_.find("truncated") != std::string::npos;
      stop_ = stop;
      if (!stop.cut_short) {
        error_ = capture_read_stop_text(name_, stop);
        damaged_ = true;
      }
    }
    if (stop_ && stop_->cut_short && n == kSourceError) return kSourceEnd;
    if (damaged_ && n <= 0) return kSourceError;
    return n;
  }
  std::optional<std::uint64_t> cut_short_after() const override {
    if (stop_ && stop_->cut_short) return stop_->frames;
    return std::nullopt;
  }
  std::optional<CaptureReadStop> read_stop() const override { return stop_; }

  int dispatch_frames(int max, FrameFn fn, void* user) {
    if (!pace_.paced() && !filtered_ && pending_ == nullptr) return dispatch_batch(max, fn, user);
    int n = 0;
    while (n < max) {
      if (pending_ == nullptr) {
        if (ended_) return n > 0 ? n : kSourceEnd;
        int r = pcap_next_ex(p_, &pending_header_, &pending_);
        if (r == PCAP_ERROR_BREAK) {
          ended_ = true;
          pending_ = nullptr;
          continue;
        }
        if (r != 1) {
          pending_ = nullptr;
          error_ = pcap_geterr(p_);
          // A damaged file ends where it breaks; what came before stays.
          ended_ = true;
          return n > 0 ? n : kSourceError;
        }
        if (filtered_ && pcap_offline_filter(&prog_, pending_header_, pending_) == 0) {
          ++rejected_;
          pending_ = nullptr;
          continue;
        }
      }
      if (pace_.paced() && !pace_.due(stamp(*pending_header_))) break;
      Trampoline t{fn, user, link_};
      const u_char* bytes = pending_;
      pending_ = nullptr;
      pcap_trampoline(reinterpret_cast<u_char*>(&t), pending_header_, bytes);
      ++n;
    }
    return n;
  }
  bool stats(SourceStats&) override { return false; }
  LinkType link_type() const override { return link_; }
  const std::string& name() const override { return name_; }
  std::uint64_t filter_rejected() const override { return rejected_; }
  std::chrono::steady_clock::time_point next_due() override {
    if (pending_ == nullptr) return std::chrono::steady_clock::time_point::max();
    return pace_.when(stamp(*pending_header_));
  }

 private:
  static double stamp(const pcap_pkthdr& h) {
    return ReplayPace::stamp(
        TimeValue{capture_seconds(h.ts.tv_sec), static_cast<std::int32_t>(h.ts.tv_usec)});
  }
  bool gzip_failed() const { return gzip_ && !gzip_->error.empty(); }
  struct Counted {
    FrameFn fn;
    void* user;
    LinkType link;
    int delivered;
  };
  static void counted_trampoline(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    auto* c = reinterpret_cast<Counted*>(user);
    FrameHeader fh;
    fh.time.sec = capture_seconds(static_cast<std::int64_t>(h->ts.tv_sec));
    fh.time.usec = static_cast<std::int32_t>(h->ts.tv_usec);
    fh.caplen = h->caplen;
    fh.len = h->len;
    fh.link = c->link;
    ++c->delivered;
    c->fn(c->user, fh, bytes);
  }

  // Played as fast as possible without a filter, frames need no holding back
  // or testing one by one: libpcap's own loop hands over the batch, at a
  // fraction of the cost per frame, with the same frames, end and errors as
  // the frame-by-frame path. At the end of the file libpcap answers 0 even
  // when frames came before it in the same call, so the frames are counted
  // here.
  int dispatch_batch(int max, FrameFn fn, void* user) {
    if (ended_) return kSourceEnd;
    Counted c{fn, user, link_, 0};
    const int r = pcap_dispatch(p_, max, counted_trampoline, reinterpret_cast<u_char*>(&c));
    if (r > 0) return c.delivered;
    ended_ = true;
    if (r == PCAP_ERROR) {
      // A damaged file ends where it breaks; what came before stays.
      error_ = pcap_geterr(p_);
      return c.delivered > 0 ? c.delivered : kSourceError;
    }
    return c.delivered > 0 ? c.delivered : kSourceEnd;
  }

  pcap_t* p_;
  std::string name_;
  LinkType link_;
  ReplayPace pace_;
  bool filtered_;
  bpf_program prog_;
  std::unique_ptr<GzipState> gzip_;
  pcap_pkthdr* pending_header_ = nullptr;
  const u_char* pending_ = nullptr;
  bool ended_ = false;
  std::uint64_t rejected_ = 0;
  std::uint64_t delivered_ = 0;
  std::optional<CaptureReadStop> stop_;
  bool damaged_ = false;
};

}  // namespace

std::string capture_cut_short_text(std::uint64_t frames) {
  return "capture file cut short after " + std::to_string(frames) + " frames";
}

std::string capture_read_stop_text(const std::string& file, const CaptureReadStop& stop) {
  if (stop.cut_short) return capture_cut_short_text(stop.frames);
  std::string text = "capture file " + file + " damaged after " + std::to_string(stop.frames) + " frames";
  if (stop.offset >= 0) text += " (read up to byte " + std::to_string(stop.offset) + ")";
  return text + ": " + stop.reason;
}

LinkType link_type_of_dlt(int dlt) {
  switch (dlt) {
    case DLT_EN10MB:
      return LinkType::kEthernet;
    case DLT_LINUX_SLL:
      return LinkType::kLinuxSll;
    case DLT_LINUX_SLL2:
      return LinkType::kLinuxSll2;
    case DLT_RAW:
      return LinkType::kRaw;
    case DLT_IPV4:
      return LinkType::kIpv4;
    case DLT_IPV6:
      return LinkType::kIpv6;
    case DLT_NULL:
      return LinkType::kNull;
    case DLT_LOOP:
      return LinkType::kLoop;
    default:
      return LinkType::kUnsupported;
  }
}

std::string dlt_text(int dlt) {
  const char* name = pcap_datalink_val_to_name(dlt);
  const char* description = pcap_datalink_val_to_description(dlt);
  std::string text = name != nullptr ? name : "number " + std::to_string(dlt);
  if (description != nullptr && *description != '\0') text += std::string(" (") + description + ")";
  return text;
}

std::uint64_t adapter_link_speed_bps(const std::string& device) {
  if (device.empty() || device.find('/') != std::string::npos || device == "." || device == "..") return 0;
  std::ifstream in("/sys/class/net/" + device + "/speed");
  long long mbit = 0;
  if (!(in >> mbit) || mbit <= 0) return 0;
  return static_cast<std::uint64_t>(mbit) * 1'000'000u;
}

OpenResult open_live_source(const std::string& device, const std::string& filter, int buffer_mb) {
  OpenResult r;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  // The capture rights are effective for the open alone.
  os::CaptureRightsRaised rights;
  pcap_t* p = pcap_create(device.c_str(), errbuf);
  if (p == nullptr) {
    r.error = "cannot open interface " + device + ": " + errbuf;
    return r;
  }
  pcap_set_snaplen(p, kLiveSnapLength);
  pcap_set_promisc(p, 1);
  pcap_set_timeout(p, kReadTimeoutMs);
  if (buffer_mb <= 0) buffer_mb = kDefaultKernelBufferMb;
  pcap_set_buffer_size(p, (buffer_mb > 2047 ? 2047 : buffer_mb) * 1024 * 1024);
  int status = pcap_activate(p);
  rights.lower();
  if (status < 0) {
    switch (status) {
      case PCAP_ERROR_NO_SUCH_DEVICE:
        r.error = "unknown interface " + device;
        break;
      case PCAP_ERROR_PERM_DENIED:
      case PCAP_ERROR_PROMISC_PERM_DENIED:
        r.error = "no permission to capture on " + device +
                  " (run as root or give the program the CAP_NET_RAW and CAP_NET_ADMIN capabilities)";
        break;
      case PCAP_ERROR_IFACE_NOT_UP:
        r.error = "interface " + device + " is down";
        break;
      default:
        r.error = "cannot open interface " + device + ": " + pcap_geterr(p);
        break;
    }
    pcap_close(p);
    return r;
  }
  bpf_program prog{};
  bool compiled = false;
  std::string err = compile_filter(p, filter, prog, compiled);
  if (err.empty() && compiled && pcap_setfilter(p, &prog) != 0) {
    err = "cannot set capture filter '" + filter + "': " + pcap_geterr(p);
  }
  if (compiled) pcap_freecode(&prog);
  const LinkType link = link_type_of_dlt(pcap_datalink(p));
  if (err.empty() && link == LinkType::kUnsupported) {
    err = "interface " + device + " gives frames of link type " + dlt_text(pcap_datalink(p)) +
          ", which Tarnix cannot read";
  }
  if (err.empty() && pcap_setnonblock(p, 1, errbuf) != 0) {
    err = "cannot make " + device + " non-blocking: " + errbuf;
  }
  if (!err.empty()) {
    pcap_close(p);
    r.error = err;
    return r;
  }
  r.source = std::make_unique<LiveSource>(p, device, link);
  return r;
}

OpenResult open_file_source(const std::string& path, const std::string& filter, double replay_speed,
                            bool read_ahead) {
  // libpcap refuses a pcapng file whose interfaces differ in link type.
  if (path != "-" && pcapng_mixes_link_types(path)) return open_mixed_pcapng_source(path, filter, replay_speed);
  OpenResult r;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  // "-" is standard input, as for tcpdump, and read as it comes.
  OpenedCaptureFile f = path == "-" ? OpenedCaptureFile{stdin, nullptr, {}} : open_capture_file(path);
  if (f.file == nullptr) {
    r.error = "cannot read capture file " + path + ": " + f.error;
    return r;
  }
  // Large reads: the C library's default of one block per read costs a
  // system call every few frames.
  std::setvbuf(f.file, nullptr, _IOFBF, kFileBuffer);
  pcap_t* p = pcap_fopen_offline_with_tstamp_precision(f.file, PCAP_TSTAMP_PRECISION_MICRO, errbuf);
  if (p == nullptr) {
    if (f.file != stdin) std::fclose(f.file);
    r.error = "cannot read capture file " + path + ": " +
              (f.gzip && !f.gzip->error.empty() ? f.gzip->error : errbuf);
    return r;
  }
  std::unique_ptr<GzipState> gzip = std::move(f.gzip);
  const LinkType link = link_type_of_dlt(pcap_datalink(p));
  if (link == LinkType::kUnsupported) {
    r.error = "capture file " + path + " holds frames of link type " + dlt_text(pcap_datalink(p)) +
              ", which Tarnix cannot read";
    pcap_close(p);
    return r;
  }
  bpf_program prog{};
  bool compiled = false;
  std::string err = compile_filter(p, filter, prog, compiled);
  if (!err.empty()) {
    pcap_close(p);
    r.error = err;
    return r;
  }
  if (!(replay_speed >= 0.0)) replay_speed = 0.0;
  if (!read_ahead) {
    r.source = std::make_unique<FileSource>(p, path, link, replay_speed, compiled, prog, std::move(gzip));
    return r;
  }
  // Read (and decompressed) on a thread of its own, unpaced; the pace is
  // kept where the frames are handed over, each frame's link type in its
  // header.
  r.source = std::make_unique<ReadAheadSource>(
      std::make_unique<FileSource>(p, path, link, 0.0, compiled, prog, std::move(gzip)), replay_speed);
  return r;
}

}  // namespace tarnix
