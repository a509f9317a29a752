#include "fontconv.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tarnix::fontconv {
namespace {

// Two glyphs in .jhf form: a space, and an 'I' drawn as one stroke plus a
// second, pen-lifted stroke; the second glyph's data continues on a new line.
const char* kTwoGlyphs =
    "12345  1JZ\n"
    "12345  7MWRFRT RRYQZ\n"
    "R[\n";

TEST(FontConv, ParsesGlyphsWithPenLiftsAndContinuationLines) {
  std::istringstream in(kTwoGlyphs);
  std::string err;
  auto f = parse_jhf(in, 32, err);
  ASSERT_TRUE(f) << err;
  ASSERT_EQ(f->glyphs.size(), 2u);
  EXPECT_EQ(f->glyphs[0].code, 32u);
  EXPECT_EQ(f->glyphs[0].left, 'J' - 'R');
  EXPECT_EQ(f->glyphs[0].right, 'Z' - 'R');
  EXPECT_TRUE(f->glyphs[0].vertices.empty());
  const Glyph& g = f->glyphs[1];
  EXPECT_EQ(g.code, 33u);
  ASSERT_EQ(g.vertices.size(), 6u);
  EXPECT_EQ(g.vertices[0].x, 0);
  EXPECT_EQ(g.vertices[0].y, 'F' - 'R');
  EXPECT_TRUE(g.vertices[2].pen_up());
  EXPECT_EQ(g.vertices[5].y, '[' - 'R');
}

TEST(FontConv, RoundTripsThroughTheBinaryForm) {
  std::istringstream in(kTwoGlyphs);
  std::string err;
  auto f = parse_jhf(in, 32, err);
  ASSERT_TRUE(f);
  std::stringstream bin;
  write_font(bin, *f);
  auto back = read_font(bin, err);
  ASSERT_TRUE(back) << err;
  EXPECT_EQ(back->baseline, f->baseline);
  EXPECT_EQ(back->cap_height, f->cap_height);
  ASSERT_EQ(back->glyphs.size(), 2u);
  ASSERT_EQ(back->glyphs[1].vertices.size(), 6u);
  EXPECT_EQ(back->glyphs[1].vertices[5].y, f->glyphs[1].vertices[5].y);
}

TEST(FontConv, RejectsMalformedInput) {
  std::string err;
  {
    std::istringstream in("12345 xx JZ\n");
    EXPECT_FALSE(parse_jhf(in, 32, err));
  }
  {
    std::istringstream in("12345 40JZRFRT\n");  // promises more vertices than the file holds
    EXPECT_FALSE(parse_jhf(in, 32, err));
    EXPECT_NE(err.find("ends early"), std::string::npos);
  }
  {
    std::istringstream in("");
    EXPECT_FALSE(parse_jhf(in, 32, err));
  }
  // Binary: wrong magic, truncated glyph, absurd glyph count.
  {
    std::istringstream in(std::string("NOTAFONT\0\0\0\0", 12));
    EXPECT_FALSE(read_font(in, err));
  }
  std::istringstream src(kTwoGlyphs);
  auto f = parse_jhf(src, 32, err);
  ASSERT_TRUE(f);
  std::stringstream bin;
  write_font(bin, *f);
  std::string bytes = bin.str();
  for (std::size_t cut : {std::size_t(10), bytes.size() - 1}) {
    std::istringstream in(bytes.substr(0, cut));
    EXPECT_FALSE(read_font(in, err)) << cut;
  }
  std::string huge = bytes;
  huge[12] = huge[13] = huge[14] = huge[15] = char(0xff);
  std::istringstream in(huge);
  EXPECT_FALSE(read_font(in, err));
}

}  // namespace
}  // namespace tarnix::fontconv
