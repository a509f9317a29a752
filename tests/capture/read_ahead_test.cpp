// Capture files read on a thread of their own, and gzip-compressed capture
// files: the same frames, order, ends and counts as the direct read; the
// hand-over bounded and stoppable while full.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "capture/frames.h"
#include "capture/read_ahead.h"
#include "capture/source.h"

namespace tarnix {
namespace {

using testing::collect;
using testing::Collected;
using testing::FrameSpec;
using testing::make_frame;
using testing::temp_path;
using testing::TimedFrame;

// Reads to the end (or for ten seconds); the source's last answer.
int read_all(PacketSource& s, Collected& c, int max = 255) {
  int end = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (end >= 0 && std::chrono::steady_clock::now() < deadline) end = s.dispatch(max, collect, &c);
  return end;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool gzip_file(const std::string& from, const std::string& to) {
  const std::string all = slurp(from);
  gzFile gz = gzopen(to.c_str(), "wb");
  if (gz == nullptr) return false;
  const bool ok = gzwrite(gz, all.data(), static_cast<unsigned>(all.size())) == static_cast<int>(all.size());
  return gzclose(gz) == Z_OK && ok;
}

// Frames of many sizes, UDP and TCP, and runs of large ones that together
// pass a batch's size.
std::vector<TimedFrame> many_frames() {
  std::vector<TimedFrame> v;
  for (int i = 0; i < 6000; ++i) {
    FrameSpec s;
    s.protocol = i % 3 == 0 ? 6 : 17;
    s.src_ip[3] = static_cast<std::uint8_t>(i % 200);
    s.payload = static_cast<std::size_t>((i * 37) % 1400);
    if (i % 1500 >= 7 && i % 1500 < 12) s.payload = 65000;
    v.push_back({1700000000 + i / 1000, (i % 1000) * 1000, make_frame(s), 0});
  }
  return v;
}

// The direct read of the plain file is the reference: read ahead, from a
// gzip file or both, through a filter or not, whole or cut inside its last
// record, each gives the same frames, end, filter count and cut.
TEST(ReadAhead, SameFramesEndAndCountsAsTheDirectRead) {
  const std::string plain = temp_path("ra.pcap");
  const std::string plain_ng = temp_path("ra.pcapng");
  const std::string gz = temp_path("ra.pcap.gz");
  const std::string gz_ng = temp_path("ra.ng.gz");  // told by its bytes, not its name
  const auto frames = many_frames();
  for (const bool cut : {false, true}) {
    ASSERT_TRUE(testing::write_pcap(plain, frames, 262144));
    ASSERT_TRUE(testing::write_pcapng(plain_ng, frames));
    if (cut) {
      for (const std::string& p : {plain, plain_ng}) {
        std::string all = slurp(p);
        all.resize(all.size() - 30);
        spit(p, all);
      }
    }
    ASSERT_TRUE(gzip_file(plain, gz));
    ASSERT_TRUE(gzip_file(plain_ng, gz_ng));
    struct Way {
      const std::string* reference;
      const std::string* read;
      const char* filter;
      bool ahead;
    };
    const Way ways[] = {
        {&plain, &plain, "", true},       {&plain, &plain, "tcp", true}, {&plain, &gz, "", true},
        {&plain, &gz, "udp", false},      {&plain_ng, &gz_ng, "", true}, {&plain_ng, &gz_ng, "tcp", true},
        {&plain_ng, &plain_ng, "", true},
    };
    for (const Way& w : ways) {
      SCOPED_TRACE(*w.read + " filter '" + w.filter + "' ahead " + std::to_string(w.ahead) + " cut " +
                   std::to_string(cut));
      OpenResult ref = open_file_source(*w.reference, w.filter, 0, false);
      OpenResult got = open_file_source(*w.read, w.filter, 0, w.ahead);
      ASSERT_TRUE(ref.source) << ref.error;
      ASSERT_TRUE(got.source) << got.error;
      Collected a, b;
      const int ref_end = read_all(*ref.source, a);
      // An odd count per call, so that calls end inside batches.
      const int got_end = read_all(*got.source, b, 97);
      EXPECT_EQ(got_end, ref_end);
      EXPECT_EQ(got_end, kSourceEnd);
      ASSERT_EQ(b.headers.size(), a.headers.size());
      EXPECT_GT(a.headers.size(), 1000u);
      for (std::size_t i = 0; i < a.headers.size(); ++i) {
        ASSERT_EQ(b.headers[i].time, a.headers[i].time) << i;
        ASSERT_EQ(b.headers[i].len, a.headers[i].len) << i;
        ASSERT_EQ(b.frames[i], a.frames[i]) << i;
      }
      EXPECT_EQ(got.source->filter_rejected(), ref.source->filter_rejected());
      EXPECT_EQ(got.source->cut_short_after(), ref.source->cut_short_after());
      EXPECT_EQ(got.source->cut_short_after().has_value(), cut);
      EXPECT_EQ(got.source->link_type(), LinkType::kEthernet);
    }
  }
  for (const std::string& p : {plain, plain_ng, gz, gz_ng}) std::remove(p.c_str());
}

// Damaged compressed data is damage, never a clean end nor a crash: the
// frames before it are handed over, then the read fails saying why.
TEST(ReadAhead, DamagedGzipKeepsTheFramesBeforeItAndSaysSo) {
  const std::string plain = temp_path("dg.pcap");
  const std::string gz = temp_path("dg.pcap.gz");
  const auto frames = many_frames();
  ASSERT_TRUE(testing::write_pcap(plain, frames, 262144));
  ASSERT_TRUE(gzip_file(plain, gz));
  const std::string whole = slurp(gz);
  struct Damage {
    const char* what;
    std::string bytes;
    const char* reason;
  };
  std::string flipped = whole;
  for (std::size_t i = whole.size() / 2; i < whole.size() / 2 + 64; ++i)
    flipped[i] = static_cast<char>(~flipped[i]);
  const Damage damages[] = {
      {"cut in half", whole.substr(0, whole.size() / 2), "compressed data ends early"},
      {"cut before its trailer", whole.substr(0, whole.size() - 4), "compressed data ends early"},
      {"corrupt in the middle", flipped, ""},
  };
  for (const Damage& d : damages) {
    spit(gz, d.bytes);
    for (const bool ahead : {true, false}) {
      SCOPED_TRACE(std::string(d.what) + (ahead ? " ahead" : " direct"));
      OpenResult r = open_file_source(gz, "", 0, ahead);
      ASSERT_TRUE(r.source) << r.error;
      Collected c;
      EXPECT_EQ(read_all(*r.source, c), kSourceError);
      EXPECT_EQ(r.source->dispatch(255, collect, &c), kSourceError) << "the error stays";
      ASSERT_LE(c.frames.size(), frames.size());
      EXPECT_GT(c.frames.size(), 100u);
      // Corrupt data may decode to a frame or two of garbage before zlib
      // notices; data that only breaks off never does.
      if (*d.reason != '\0') {
        for (std::size_t i = 0; i < c.frames.size(); ++i) ASSERT_EQ(c.frames[i], frames[i].bytes) << i;
      }
      const auto stop = r.source->read_stop();
      ASSERT_TRUE(stop.has_value());
      EXPECT_FALSE(stop->cut_short);
      EXPECT_FALSE(r.source->cut_short_after().has_value());
      EXPECT_EQ(stop->frames, c.frames.size());
      EXPECT_NE(stop->reason.find(d.reason), std::string::npos) << stop->reason;
      EXPECT_EQ(r.source->error(), capture_read_stop_text(gz, *stop));
    }
  }
  for (const std::string& p : {plain, gz}) std::remove(p.c_str());
}

TEST(ReadAhead, FilesThatAreNotCapturesAreClearErrors) {
  const std::string path = temp_path("ng.pcap.gz");
  struct Case {
    const char* what;
    std::string bytes;
    bool gzip_it;
    const char* says;
  };
  const Case cases[] = {
      {"not gzip, named .gz", "this is not a capture file at all", false, "unknown file format"},
      {"gzip of text", "this is not a capture file at all", true, "unknown file format"},
      {"gzip magic then garbage", std::string("\x1f\x8b\x08\x00garbage, not deflate", 25), false,
       "compressed data"},
      {"empty gzip", "", true, "cannot read capture file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.gzip_it) {
      spit(path + ".raw", c.bytes);
      ASSERT_TRUE(gzip_file(path + ".raw", path));
      std::remove((path + ".raw").c_str());
    } else {
      spit(path, c.bytes);
    }
    OpenResult r = open_file_source(path, "", 0);
    EXPECT_FALSE(r.source);
    EXPECT_EQ(r.error.rfind("cannot read capture file " + path + ": ", 0), 0u) << r.error;
    EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
  }
  std::remove(path.c_str());
}

// An endless source whose frames carry their sequence number; it notes how
// many it was asked for, and ends in an error after `limit` frames.
class NumberedSource final : public PacketSource {
 public:
  explicit NumberedSource(std::uint64_t limit = UINT64_MAX) : limit_(limit) {}
  int dispatch(int max, FrameFn fn, void* user) override {
    int n = 0;
    for (; n < max; ++n) {
      const std::uint64_t i = made_.load();
      if (i == limit_) {
        if (n > 0) return n;
        error_ = "broken at " + std::to_string(i);
        return kSourceError;
      }
      std::uint8_t frame[64] = {};
      std::memcpy(frame, &i, sizeof i);
      FrameHeader h;
      h.time = {static_cast<std::int64_t>(i), 0};
      h.caplen = h.len = sizeof frame;
      fn(user, h, frame);
      made_.store(i + 1);
    }
    return n;
  }
  std::optional<CaptureReadStop> read_stop() const override {
    if (made_.load() < limit_) return std::nullopt;
    CaptureReadStop s;
    s.frames = limit_;
    s.reason = error_;
    return s;
  }
  bool stats(SourceStats&) override { return false; }
  const std::string& name() const override { return name_; }
  std::atomic<std::uint64_t>& made() { return made_; }

 private:
  std::uint64_t limit_;
  std::atomic<std::uint64_t> made_{0};
  std::string name_ = "numbered";
};

void expect_in_order(const Collected& c, std::uint64_t first) {
  for (std::size_t k = 0; k < c.frames.size(); ++k) {
    std::uint64_t i = 0;
    std::memcpy(&i, c.frames[k].data(), sizeof i);
    ASSERT_EQ(i, first + k);
    ASSERT_EQ(c.headers[k].time.sec, static_cast<std::int64_t>(first + k));
  }
}

// Nobody takes frames: the reader fills the ring and waits. Taken, they come
// in order and the reader goes on; dropped while full, the source stops.
TEST(ReadAhead, TheReaderRunsAheadABoundedWayAndStopsWhileFull) {
  auto inner = std::make_unique<NumberedSource>();
  NumberedSource* numbered = inner.get();
  auto ahead = std::make_unique<ReadAheadSource>(std::move(inner), 0.0);
  constexpr std::uint64_t kBound = ReadAheadSource::kSlots * ReadAheadSource::kBatchFrames;
  // Once it moved past `after`, what the reader made when it stopped
  // making more.
  auto settled = [&](std::uint64_t after) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (numbered->made().load() <= after && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::uint64_t last = numbered->made().load();
    for (int still = 0; still < 5 && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const std::uint64_t now = numbered->made().load();
      still = now == last ? still + 1 : 0;
      last = now;
    }
    return last;
  };
  const std::uint64_t full = settled(0);
  EXPECT_GT(full, 0u);
  EXPECT_LE(full, kBound);

  Collected c;
  std::uint64_t taken = 0;
  while (taken < 3 * ReadAheadSource::kBatchFrames) {
    const int n = ahead->dispatch(255, collect, &c);
    ASSERT_GT(n, 0);
    taken += static_cast<std::uint64_t>(n);
  }
  expect_in_order(c, 0);
  const std::uint64_t refilled = settled(full);
  EXPECT_GT(refilled, full);
  EXPECT_LE(refilled - taken, kBound);
  ahead.reset();  // with the ring full again
}

TEST(ReadAhead, ASourceErrorComesAfterEveryFrameBeforeIt) {
  constexpr std::uint64_t kFrames = 5000;
  ReadAheadSource ahead(std::make_unique<NumberedSource>(kFrames), 0.0);
  Collected c;
  EXPECT_EQ(read_all(ahead, c), kSourceError);
  EXPECT_EQ(c.frames.size(), kFrames);
  expect_in_order(c, 0);
  EXPECT_EQ(ahead.error(), "broken at 5000");
  ASSERT_TRUE(ahead.read_stop().has_value());
  EXPECT_EQ(ahead.read_stop()->frames, kFrames);
  EXPECT_EQ(ahead.dispatch(255, collect, &c), kSourceError);
  EXPECT_EQ(c.frames.size(), kFrames);
}

}  // namespace
}  // namespace tarnix
