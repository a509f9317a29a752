// Capture files through libpcap: both formats, filters, replay pace, damaged
// files; and the capture step over them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "capture/capture_thread.h"
#include "capture/fakes.h"
#include "capture/frames.h"
#include "capture/source.h"

namespace tarnix {
namespace {

using testing::collect;
using testing::Collected;
using testing::FakeClassifier;
using testing::FrameSpec;
using testing::make_frame;
using testing::temp_path;
using testing::TimedFrame;

std::vector<TimedFrame> sample_frames() {
  std::vector<TimedFrame> v;
  FrameSpec udp;
  udp.payload = 200;
  FrameSpec tcp;
  tcp.protocol = 6;
  tcp.dport = 80;
  FrameSpec arp;
  arp.ether_type = 0x0806;
  v.push_back({1700000000, 1, make_frame(udp), 0});
  v.push_back({1700000000, 500000, make_frame(tcp), 1514});
  v.push_back({1700000001, 2, make_frame(arp), 0});
  return v;
}

class FileSource : public ::testing::TestWithParam<bool> {};

TEST_P(FileSource, DeliversTimesAndLengths) {
  const bool ng = GetParam();
  const std::string path = temp_path(ng ? "a.pcapng" : "a.pcap");
  auto frames = sample_frames();
  ASSERT_TRUE(ng ? testing::write_pcapng(path, frames) : testing::write_pcap(path, frames));
  OpenResult r = open_file_source(path, "", 0.0);
  ASSERT_TRUE(r.source) << r.error;
  EXPECT_EQ(r.source->link_type(), LinkType::kEthernet);
  Collected c;
  EXPECT_EQ(r.source->dispatch(255, collect, &c), 3);
  EXPECT_EQ(r.source->dispatch(255, collect, &c), kSourceEnd);
  ASSERT_EQ(c.headers.size(), 3u);
  EXPECT_EQ(c.headers[0].time, (TimeValue{1700000000, 1}));
  EXPECT_EQ(c.headers[1].time, (TimeValue{1700000000, 500000}));
  EXPECT_EQ(c.headers[1].len, 1514u);
  EXPECT_EQ(c.headers[1].caplen, frames[1].bytes.size());
  EXPECT_EQ(c.frames[0], frames[0].bytes);
  SourceStats st;
  EXPECT_FALSE(r.source->stats(st));
  std::remove(path.c_str());
}

TEST_P(FileSource, FilterNarrowsAndCountsRejects) {
  const bool ng = GetParam();
  const std::string path = temp_path(ng ? "f.pcapng" : "f.pcap");
  ASSERT_TRUE(ng ? testing::write_pcapng(path, sample_frames()) : testing::write_pcap(path, sample_frames()));
  OpenResult r = open_file_source(path, "tcp port 80", 0.0);
  ASSERT_TRUE(r.source) << r.error;
  Collected c;
  while (r.source->dispatch(1, collect, &c) > 0) {
  }
  ASSERT_EQ(c.headers.size(), 1u);
  EXPECT_EQ(c.headers[0].len, 1514u);
  EXPECT_EQ(r.source->filter_rejected(), 2u);
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Formats, FileSource, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "pcapng" : "pcap"; });

// A file that cannot be read, is no capture file, or comes with a filter
// that does not compile: no source, and a message that says which.
TEST(FileSourceErrors, ClearMessages) {
  const std::string junk = temp_path("junk.pcap");
  std::ofstream(junk) << "this is not a capture file at all";
  const std::string good = temp_path("g.pcap");
  ASSERT_TRUE(testing::write_pcap(good, sample_frames()));
  const struct {
    std::string path;
    const char* filter;
    std::string starts;
  } cases[] = {
      {"/nonexistent/x.pcap", "", "cannot read capture file /nonexistent/x.pcap: "},
      {junk, "", "cannot read capture file " + junk + ": "},
      {good, "tcp port port", "bad capture filter 'tcp port port': "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.filter);
    OpenResult r = open_file_source(c.path, c.filter, 0);
    EXPECT_FALSE(r.source);
    EXPECT_EQ(r.error.rfind(c.starts, 0), 0u) << r.error;
  }
  std::remove(junk.c_str());
  std::remove(good.c_str());
}

// The three ways a file is read: in one batch, frame by frame through a
// filter, and paced.
struct ReadWay {
  const char* filter;
  double speed;
};
constexpr ReadWay kReadWays[] = {{"", 0}, {"ip or arp", 0}, {"", 1000}};

// Dispatches until the source ends (or ten seconds pass); its last answer.
int read_to_end(PacketSource& source, Collected& c) {
  int end = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (end >= 0 && std::chrono::steady_clock::now() < deadline) end = source.dispatch(255, collect, &c);
  return end;
}

// Read in one batch, frame by frame through a filter, and paced: a whole
// file ends after its last frame; one whose last record is cut in half ends
// after its whole records and says it was cut.
TEST(FileSourceErrors, ACutFileKeepsWhatCameBeforeAndSaysSo) {
  const std::string path = temp_path("t.pcap");
  for (const std::size_t cut : {0, 20}) {
    ASSERT_TRUE(testing::write_pcap(path, sample_frames()));
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    all.resize(all.size() - cut);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << all;
    for (const ReadWay& way : kReadWays) {
      SCOPED_TRACE("cut " + std::to_string(cut) + ", filter '" + way.filter + "', speed " +
                   std::to_string(way.speed));
      OpenResult r = open_file_source(path, way.filter, way.speed);
      ASSERT_TRUE(r.source) << r.error;
      Collected c;
      EXPECT_EQ(read_to_end(*r.source, c), kSourceEnd);
      EXPECT_EQ(c.headers.size(), cut != 0 ? 2u : 3u);
      EXPECT_EQ(r.source->cut_short_after(), cut != 0 ? std::optional<std::uint64_t>(2) : std::nullopt);
    }
  }
  EXPECT_EQ(capture_cut_short_text(2), "capture file cut short after 2 frames");
  std::remove(path.c_str());
}

TEST(FileSourceErrors, ADamagedRecordEndsTheReadInAnErrorSayingWhereAndWhy) {
  const std::string path = temp_path("d.pcap");
  auto frames = sample_frames();
  ASSERT_TRUE(testing::write_pcap(path, frames));
  // The third record's captured length becomes impossible.
  const std::size_t third = 24 + 2 * 16 + frames[0].bytes.size() + frames[1].bytes.size();
  {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(third + 8));
    f.write("\xff\xff\xff\xff", 4);
  }
  for (const ReadWay& way : kReadWays) {
    OpenResult r = open_file_source(path, way.filter, way.speed);
    ASSERT_TRUE(r.source) << r.error;
    Collected c;
    const int end = read_to_end(*r.source, c);
    EXPECT_EQ(c.headers.size(), 2u) << way.filter;
    EXPECT_EQ(end, kSourceError) << way.filter;
    EXPECT_EQ(r.source->dispatch(255, collect, &c), kSourceError) << "the error stays";
    EXPECT_FALSE(r.source->cut_short_after().has_value());
    const auto stop = r.source->read_stop();
    ASSERT_TRUE(stop.has_value()) << way.filter;
    EXPECT_EQ(stop->frames, 2u);
    EXPECT_FALSE(stop->cut_short);
    EXPECT_EQ(stop->offset, static_cast<std::int64_t>(third + 16));
    EXPECT_NE(stop->reason.find("invalid packet capture length 4294967295"), std::string::npos)
        << stop->reason;
    EXPECT_EQ(r.source->error(), capture_read_stop_text(path, *stop));
    EXPECT_EQ(
        r.source->error().rfind("capture file " + path + " damaged after 2 frames (read up to byte ", 0), 0u)
        << r.source->error();
  }
  std::remove(path.c_str());
}

// A classic pcap file counts seconds in 32 unsigned bits, pcapng in 64: the
// times around both ends and past 2038 come through as they were written.
TEST_P(FileSource, CaptureTimesAtTheEpochAndPast2038AreKept) {
  const bool ng = GetParam();
  const std::string path = temp_path(ng ? "y.pcapng" : "y.pcap");
  const std::int64_t times[] = {0, 2147483647, 2147483648, 2208988800, 4294967295};
  std::vector<TimedFrame> frames(std::size(times), sample_frames()[0]);
  for (std::size_t i = 0; i < std::size(times); ++i) frames[i].sec = times[i];
  ASSERT_TRUE(ng ? testing::write_pcapng(path, frames) : testing::write_pcap(path, frames));
  for (const char* filter : {"", "ip"}) {
    OpenResult r = open_file_source(path, filter, 0.0);
    ASSERT_TRUE(r.source) << r.error;
    Collected c;
    while (r.source->dispatch(255, collect, &c) > 0) {
    }
    ASSERT_EQ(c.headers.size(), std::size(times));
    for (std::size_t i = 0; i < std::size(times); ++i)
      EXPECT_EQ(c.headers[i].time.sec, times[i]) << filter << " frame " << i;
  }
  std::remove(path.c_str());
}

TEST(FileSourcePace, ReplaySpeedHoldsFramesBack) {
  const std::string path = temp_path("p.pcap");
  std::vector<TimedFrame> v;
  FrameSpec s;
  v.push_back({100, 0, make_frame(s), 0});
  v.push_back({100, 200000, make_frame(s), 0});  // 0.2 s later
  ASSERT_TRUE(testing::write_pcap(path, v));
  OpenResult r = open_file_source(path, "", 2.0);  // twice as fast: 0.1 s apart
  ASSERT_TRUE(r.source);
  Collected c;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(r.source->dispatch(255, collect, &c), 1);
  EXPECT_EQ(r.source->dispatch(255, collect, &c), 0);  // not due yet
  while (c.headers.size() < 2) {
    ASSERT_GE(r.source->dispatch(255, collect, &c), 0);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(95));
  EXPECT_EQ(r.source->dispatch(255, collect, &c), kSourceEnd);
  std::remove(path.c_str());
}

// A pcapng file of several interfaces, written by hand: each interface is
// (link type, if_tsresol or 0 for none), each packet (interface, time in the
// interface's units, bytes).
struct NgPacket {
  std::uint32_t interface;
  std::uint64_t time;
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> pcapng_of(const std::vector<std::pair<std::uint16_t, std::uint8_t>>& interfaces,
                                    const std::vector<NgPacket>& packets) {
  std::vector<std::uint8_t> out;
  const auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const auto u16 = [&](std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  for (std::uint32_t v : {0x0A0D0D0Au, 28u, 0x1A2B3C4Du, 1u, 0xFFFFFFFFu, 0xFFFFFFFFu, 28u}) u32(v);
  for (const auto& [linktype, resolution] : interfaces) {
    const std::uint32_t length = resolution != 0 ? 32 : 20;
    u32(1);
    u32(length);
    u16(linktype);
    u16(0);
    u32(65535);
    if (resolution != 0) {
      u16(9);
      u16(1);
      u32(resolution);  // the value, then three bytes of padding
      u32(0);           // end of options
    }
    u32(length);
  }
  for (const NgPacket& p : packets) {
    const auto cap = static_cast<std::uint32_t>(p.bytes.size());
    const std::uint32_t length = 32 + ((cap + 3u) & ~3u);
    for (std::uint32_t v :
         {6u, length, p.interface, std::uint32_t(p.time >> 32), std::uint32_t(p.time), cap, cap})
      u32(v);
    out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    out.resize(out.size() + (length - 32 - cap), 0);
    u32(length);
  }
  return out;
}

// libpcap refuses such a file; it is read here with each frame's own link
// type, its own interface's time resolution, the filter compiled for each
// link type, and the same endings as any capture file.
TEST(MixedPcapng, EachFrameKeepsItsInterfacesLinkType) {
  FrameSpec tcp;
  tcp.protocol = 6;
  tcp.dport = 80;
  const std::vector<std::uint8_t> ether = make_frame(tcp), udp_ether = make_frame(FrameSpec{});
  const std::vector<std::uint8_t> raw(ether.begin() + 14, ether.end()),
      udp_raw(udp_ether.begin() + 14, udp_ether.end());
  std::vector<std::uint8_t> cooked = {0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 8, 0};
  cooked.insert(cooked.end(), raw.begin(), raw.end());
  const std::vector<std::pair<std::uint16_t, std::uint8_t>> interfaces = {{1, 0}, {101, 9}, {113, 0}};
  const std::vector<NgPacket> packets = {{0, 1700000000000001ull, ether},
                                         {1, 1700000000500000000ull, raw},
                                         {1, 1700000000600000000ull, udp_raw},
                                         {2, 1700000001000000ull, cooked},
                                         {0, 1700000002000000ull, udp_ether}};
  const std::vector<std::uint8_t> file = pcapng_of(interfaces, packets);
  struct Case {
    const char* name;
    std::string filter;
    std::size_t cut;  // bytes of the file written; 0: all
    bool damage;      // the last packet names an interface the file lacks
    std::vector<LinkType> links;
    int end;  // what the read ends with
  } cases[] = {
      {"whole",
       "",
       0,
       false,
       {LinkType::kEthernet, LinkType::kRaw, LinkType::kRaw, LinkType::kLinuxSll, LinkType::kEthernet},
       kSourceEnd},
      {"filtered", "tcp", 0, false, {LinkType::kEthernet, LinkType::kRaw, LinkType::kLinuxSll}, kSourceEnd},
      {"cut inside the last block",
       "",
       file.size() - 10,
       false,
       {LinkType::kEthernet, LinkType::kRaw, LinkType::kRaw, LinkType::kLinuxSll},
       kSourceEnd},
      {"undescribed interface",
       "",
       0,
       true,
       {LinkType::kEthernet, LinkType::kRaw, LinkType::kRaw, LinkType::kLinuxSll},
       kSourceError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes = file;
    if (c.damage) {
      std::vector<NgPacket> bad = packets;
      bad.back().interface = 7;
      bytes = pcapng_of(interfaces, bad);
    }
    if (c.cut != 0) bytes.resize(c.cut);
    const std::string path = temp_path("mixed.pcapng");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    OpenResult r = open_file_source(path, c.filter, 0.0);
    ASSERT_TRUE(r.source) << r.error;
    Collected got;
    int n = 0;
    while ((n = r.source->dispatch(2, collect, &got)) > 0) {
    }
    EXPECT_EQ(n, c.end);
    std::vector<LinkType> links;
    for (const FrameHeader& h : got.headers) links.push_back(h.link);
    EXPECT_EQ(links, c.links);
    ASSERT_GE(got.headers.size(), 2u);
    EXPECT_EQ(got.headers[0].time, (TimeValue{1700000000, 1}));
    EXPECT_EQ(got.headers[1].time, (TimeValue{1700000000, 500000}));
    EXPECT_EQ(got.frames[1], raw);
    EXPECT_EQ(r.source->cut_short_after().has_value(), c.cut != 0);
    if (c.damage) {
      EXPECT_NE(r.source->error().find("damaged after 4 frames"), std::string::npos) << r.source->error();
    }
    if (!c.filter.empty()) {
      EXPECT_EQ(r.source->filter_rejected(), 2u);
    }
    std::remove(path.c_str());
  }
}

TEST(LiveSource, UnknownInterfaceIsAClearError) {
  OpenResult r = open_live_source("tarnix-no-such-if0", "");
  EXPECT_FALSE(r.source);
  EXPECT_FALSE(r.error.empty());
  EXPECT_NE(r.error.find("tarnix-no-such-if0"), std::string::npos) << r.error;
}

TEST(LinkSpeed, UnknownOrInvalidNamesGiveZero) {
  EXPECT_EQ(adapter_link_speed_bps("tarnix-no-such-if0"), 0u);
  EXPECT_EQ(adapter_link_speed_bps("../../etc"), 0u);
  EXPECT_EQ(adapter_link_speed_bps(""), 0u);
  EXPECT_EQ(load_percent_of(125000, 10'000'000), 10u);          // 1 Mbit/s of 10
  EXPECT_EQ(load_percent_of(1250000, 0), 10u);                  // fallback: 100 Mbit/s
  EXPECT_EQ(load_percent_of(1'000'000'000, 10'000'000), 100u);  // never above 100
}

// Many frames through the capture step: all of them in one step (it keeps
// dispatching past 255), the statistics and hook after it.
TEST(CaptureStep, DrainsEverythingWaitingWithinBudget) {
  const std::string path = temp_path("many.pcap");
  std::vector<TimedFrame> v;
  for (int i = 0; i < 2000; ++i) {
    FrameSpec s;
    s.src_ip[3] = static_cast<std::uint8_t>(i % 50);
    v.push_back({1000, i * 100, make_frame(s), 0});
  }
  ASSERT_TRUE(testing::write_pcap(path, v));
  FakeClassifier cl;
  testing::RecordingHooks hooks;
  TrafficModel model(&cl, nullptr, nullptr, hooks.hooks());
  Net* net = net_create(model, "file");
  OpenResult r = open_file_source(path, "", 0);
  ASSERT_TRUE(r.source);
  CaptureStepResult res = netif_capture(*net, *r.source, std::chrono::seconds(10));
  EXPECT_EQ(net->counters.frames_seen, 2000u);
  EXPECT_EQ(res, CaptureStepResult::kEnd);
  EXPECT_EQ(hooks.steps, 1);
  EXPECT_EQ(net->hosts.count(), 50);  // 10.0.0.0-49, the destination 10.0.0.2 among them
  std::remove(path.c_str());
}

TEST(CaptureStep, BudgetEndsAStepEarly) {
  const std::string path = temp_path("budget.pcap");
  std::vector<TimedFrame> v;
  FrameSpec s;
  for (int i = 0; i < 3000; ++i) v.push_back({1000, i, make_frame(s), 0});
  ASSERT_TRUE(testing::write_pcap(path, v));
  FakeClassifier cl;
  TrafficModel model(&cl, nullptr, nullptr);
  Net* net = net_create(model, "file");
  OpenResult r = open_file_source(path, "", 0);
  ASSERT_TRUE(r.source);
  EXPECT_EQ(netif_capture(*net, *r.source, std::chrono::microseconds(0)), CaptureStepResult::kOk);
  EXPECT_EQ(net->counters.frames_seen, 255u);  // one dispatch, then the budget is spent
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarnix
