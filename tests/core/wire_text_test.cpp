#include "core/wire_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnix {
namespace {

TEST(WireText, CutsLongValuesAtACharacterBoundary) {
  struct Case {
    std::string raw;
    std::size_t max;
    std::string shown;
  };
  const Case cases[] = {
      {"/index.html?q=a b", 200, "/index.html?q=a b"},
      {"abcdefgh", 5, "abcde..."},
      {"abcde", 5, "abcde"},
      {"abcd\xc3\xa9z", 5, "abcd..."},  // é would not fit whole
      {"\x1b\x1b\x1b", 2, "\\x1b\\x1b..."},
  };
  for (const Case& c : cases) EXPECT_EQ(wire_text(c.raw, c.max), c.shown) << c.shown;
}

// One hostile input per row, as each form must show it.
TEST(WireText, EachFormHasItsOwnRuleOverTheTextRule) {
  struct Case {
    std::string raw, text, csv, html, rtf;
  };
  const Case cases[] = {
      {"plain.example", "plain.example", "\"plain.example\"", "plain.example", "plain.example"},
      {"\x1b[2J", "\\x1b[2J", "\"\\x1b[2J\"", "\\x1b[2J", "\\\\x1b[2J"},
      {"\x1b]2;title\x07", "\\x1b]2;title\\x07", "\"\\x1b]2;title\\x07\"", "\\x1b]2;title\\x07",
       "\\\\x1b]2;title\\\\x07"},
      {"a\r\nb\t\x7f", "a\\x0d\\x0ab\\x09\\x7f", "\"a\\x0d\\x0ab\\x09\\x7f\"", "a\\x0d\\x0ab\\x09\\x7f",
       "a\\\\x0d\\\\x0ab\\\\x09\\\\x7f"},
      {std::string("a\0b", 3), "a\\x00b", "\"a\\x00b\"", "a\\x00b", "a\\\\x00b"},
      // C1 CSI as UTF-8, and as a lone byte (malformed UTF-8).
      {"x\xc2\x9b"
       "2Jy\x9b",
       "x\\xc2\\x9b2Jy\\x9b", "\"x\\xc2\\x9b2Jy\\x9b\"", "x\\xc2\\x9b2Jy\\x9b", "x\\\\xc2\\\\x9b2Jy\\\\x9b"},
      // Overlong '/', a surrogate, a cut sequence.
      {"\xc0\xaf\xed\xa0\x80\xe2\x82", "\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82",
       "\"\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82\"", "\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82",
       "\\\\xc0\\\\xaf\\\\xed\\\\xa0\\\\x80\\\\xe2\\\\x82"},
      // Right-to-left override: the shown text would differ from the sent.
      {"a\xe2\x80\xae"
       "b",
       "a\\xe2\\x80\\xaeb", "\"a\\xe2\\x80\\xaeb\"", "a\\xe2\\x80\\xaeb", "a\\\\xe2\\\\x80\\\\xaeb"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "caf\\'e9 \\u8364? \\u-10179?\\u-8704?"},
      {"back\\slash", "back\\x5cslash", "\"back\\x5cslash\"", "back\\x5cslash", "back\\\\x5cslash"},
      {"<script>\"a\"&'b'</script>", "<script>\"a\"&'b'</script>", "\"<script>\"\"a\"\"&'b'</script>\"",
       "&lt;script&gt;&quot;a&quot;&amp;&#39;b&#39;&lt;/script&gt;", "<script>\"a\"&'b'</script>"},
      {"{\\rtf1 x}", "{\\x5crtf1 x}", "\"{\\x5crtf1 x}\"", "{\\x5crtf1 x}", "\\{\\\\x5crtf1 x\\}"},
      {"=HYPERLINK(\"http://evil\")", "=HYPERLINK(\"http://evil\")", "\"'=HYPERLINK(\"\"http://evil\"\")\"",
       "=HYPERLINK(&quot;http://evil&quot;)", "=HYPERLINK(\"http://evil\")"},
      {"+1", "+1", "\"'+1\"", "+1", "+1"},
      {"-2+3", "-2+3", "\"'-2+3\"", "-2+3", "-2+3"},
      {"@SUM(A1)", "@SUM(A1)", "\"'@SUM(A1)\"", "@SUM(A1)", "@SUM(A1)"},
      {"a=b", "a=b", "\"a=b\"", "a=b", "a=b"},
      {"", "", "\"\"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escape_text(c.raw), c.text) << c.text;
    EXPECT_EQ(escape_csv(c.raw), c.csv) << c.text;
    EXPECT_EQ(escape_html(c.raw), c.html) << c.text;
    EXPECT_EQ(escape_rtf(c.raw), c.rtf) << c.text;
  }
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
