// A live adapter that fails is opened again with back-off, and the counts of
// every handle add up.
#include <gtest/gtest.h>

#include <vector>

#include "capture/reopen.h"

namespace tarnix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Hands over `frames` frames (one per call), then fails once; its library
// statistics count what it received.
class FailingSource : public PacketSource {
 public:
  FailingSource(int frames, std::uint64_t dropped) : frames_(frames), dropped_(dropped) {}
  int dispatch(int, FrameFn fn, void* user) override {
    if (given_ == frames_) {
      error_ = "The interface went down";
      return kSourceError;
    }
    std::uint8_t frame[60] = {};
    FrameHeader h;
    h.caplen = h.len = 60;
    fn(user, h, frame);
    ++given_;
    return 1;
  }
  bool stats(SourceStats& s) override {
    s.received = static_cast<std::uint64_t>(given_);
    s.dropped = dropped_;
    return true;
  }
  const std::string& name() const override { return name_; }

 private:
  int frames_;
  std::uint64_t dropped_;
  int given_ = 0;
  std::string name_ = "veth0";
};

TEST(Reopen, BacksOffUntilTheAdapterOpensAndKeepsEveryCount) {
  Clock::time_point now{};
  int opens = 0, fail_opens = 2;
  std::vector<std::pair<std::string, bool>> notices;
  ReopeningSource src(
      std::make_unique<FailingSource>(3, 5),
      [&]() -> OpenResult {
        ++opens;
        if (fail_opens-- > 0) return {nullptr, "interface veth0 is down"};
        return {std::make_unique<FailingSource>(100, 1), ""};
      },
      [&](const std::string& m, bool down) { notices.emplace_back(m, down); }, [&] { return now; });
  int delivered = 0;
  auto count = [](void* u, const FrameHeader&, const std::uint8_t*) { ++*static_cast<int*>(u); };
  auto step = [&] { return src.dispatch(10, count, &delivered); };

  for (int i = 0; i < 3; ++i) EXPECT_EQ(step(), 1);
  EXPECT_EQ(step(), 0);  // the error: no frame, no end, no error passed on
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], std::make_pair(std::string("capture on veth0 stopped: The interface went down; opening it again"), true));
  EXPECT_TRUE(src.down());
  EXPECT_EQ(src.wait_fd(), -1);

  // Retries after 1 s, then 2 s, then 4 s of back-off.
  const std::pair<std::chrono::milliseconds, int> timeline[] = {
      {999ms, 0}, {1000ms, 1}, {2999ms, 1}, {3000ms, 2}, {6999ms, 2}, {7000ms, 3}};
  for (auto [at, expected_opens] : timeline) {
    now = Clock::time_point{} + at;
    const int n = step();
    EXPECT_EQ(opens, expected_opens) << at.count();
    EXPECT_EQ(n, expected_opens == 3 ? 1 : 0) << at.count();
  }
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1], std::make_pair(std::string("capture on veth0 resumed"), false));
  EXPECT_FALSE(src.down());
  EXPECT_EQ(delivered, 4);

  // Statistics are the sum of both handles'.
  SourceStats s;
  ASSERT_TRUE(src.stats(s));
  EXPECT_EQ(s.received, 4u);
  EXPECT_EQ(s.dropped, 6u);
}

}  // namespace
}  // namespace tarnix
