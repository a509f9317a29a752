#include "core/wire_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnix {
namespace {

TEST(WireText, EscapesEveryByteOutsidePrintableAsciiAndCutsLongValues) {
  struct Case {
    std::string raw;
    std::size_t max;
    std::string shown;
  };
  const Case cases[] = {
      {"/index.html?q=a b", 200, "/index.html?q=a b"},
      {"\x1b[2J\r\n\t\x7f\xff\xc3\xa9", 200, "\\x1b[2J\\x0d\\x0a\\x09\\x7f\\xff\\xc3\\xa9"},
      {std::string("a\0b", 3), 200, "a\\x00b"},
      {"back\\slash", 200, "back\\x5cslash"},
      {"abcdefgh", 5, "abcde..."},
      {"abcde", 5, "abcde"},
  };
  for (const Case& c : cases) EXPECT_EQ(wire_text(c.raw, c.max), c.shown) << c.shown;
}

TEST(MessageLimiter, LetsABurstThroughPerPeriodAndCountsTheRest) {
  std::vector<std::string> out;
  auto now = std::chrono::steady_clock::time_point{};
  {
    MessageLimiter limiter(
        "probe", 3, std::chrono::seconds(60), [&](const std::string& l) { out.push_back(l); },
        [&] { return now; });
    for (int i = 0; i < 10; ++i) limiter.print("m" + std::to_string(i));
    EXPECT_EQ(out, (std::vector<std::string>{"m0", "m1", "m2"}));
    now += std::chrono::seconds(59);
    EXPECT_FALSE(limiter.print("late"));
    now += std::chrono::seconds(1);
    EXPECT_TRUE(limiter.print("next"));
    EXPECT_EQ(out,
              (std::vector<std::string>{"m0", "m1", "m2", "probe: 8 similar messages left out", "next"}));
    out.clear();
    for (int i = 0; i < 3; ++i) limiter.print("x");
  }
  // The count still owed is given when the limiter ends.
  EXPECT_EQ(out, (std::vector<std::string>{"x", "x", "probe: 1 similar message left out"}));
}

}  // namespace
}  // namespace tarnix
