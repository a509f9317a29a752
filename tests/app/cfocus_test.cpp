#include "app/cfocus.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <map>

namespace tarnix::app {
namespace {

// Stand-in protocol nodes: only their addresses matter to the focus.
struct Protocols {
  std::map<std::string, int> nodes{{"HTTP", 0}, {"DNS", 0}, {"SSH", 0}};
  ProtocolLookup lookup() {
    return [this](std::string_view n) -> const protocol_node* {
      auto it = nodes.find(std::string(n));
      return it == nodes.end() ? nullptr : reinterpret_cast<const protocol_node*>(&it->second);
    };
  }
};

std::string bytes_u32(std::uint32_t v) {
  return std::string{char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
}

class CfocusTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  Protocols protocols;
  std::string path() const { return dir.filePath("cfdump.bin").toStdString(); }
  void write(const std::string& bytes) { std::ofstream(path(), std::ios::binary) << bytes; }
};

TEST_F(CfocusTest, RoundTripKeepsPaletteFociEntriesAndColours) {
  FocusStore out;
  for (int i = 0; i < kPaletteColours; ++i) out.palette[std::size_t(i)] = std::uint32_t(0x010203 * i);
  const ProtocolLookup look = protocols.lookup();
  out.dictionary.push_back({"Web", {{look("HTTP"), "HTTP", 4}, {look("DNS"), "DNS", 9}}});
  out.dictionary.push_back({"Empty", {}});
  out.dictionary.push_back({"Shell", {{look("SSH"), "SSH", 31}}});
  ASSERT_EQ(cfocus_dump(path(), out), 1);

  FocusStore in;
  ASSERT_EQ(cfocus_load(path(), look, in), LoadStatus::Ok);
  EXPECT_EQ(in.palette, out.palette);
  ASSERT_EQ(in.dictionary.size(), 3u);
  EXPECT_EQ(in.dictionary[0].name, "Web");
  ASSERT_EQ(in.dictionary[0].entries.size(), 2u);
  EXPECT_EQ(in.dictionary[0].entries[1].protocol, look("DNS"));
  EXPECT_EQ(in.dictionary[0].entries[1].colour, 9);
  EXPECT_TRUE(in.dictionary[1].entries.empty());
  EXPECT_EQ(in.dictionary[2].entries[0].colour, 31);
  in.focus_set_active("Shell");
  ASSERT_NE(in.active_list(), nullptr);
  EXPECT_EQ(in.active_list()->at(0).colour, 31);
  in.focus_set_active("Nothing");
  EXPECT_EQ(in.active_list(), nullptr);
}

TEST_F(CfocusTest, PaletteOnlyFileAndRefusedHeader) {
  std::string b = bytes_u32(33);
  for (int i = 0; i < 33; ++i) b += bytes_u32(std::uint32_t(i));
  write(b);
  FocusStore s;
  ASSERT_EQ(cfocus_load(path(), protocols.lookup(), s), LoadStatus::Ok);
  EXPECT_EQ(s.palette[32], 32u);
  EXPECT_TRUE(s.dictionary.empty());

  write(bytes_u32(34) + bytes_u32(0xffffff));
  FocusStore keep;
  keep.palette.fill(7);
  cfocus_load(path(), protocols.lookup(), keep);
  EXPECT_EQ(keep.palette[0], 7u);  // unchanged
  std::FILE* f = std::fopen(path().c_str(), "rb");
  EXPECT_EQ(palette_read(f, keep.palette), 0);
  std::fclose(f);
  EXPECT_EQ(palette_read(nullptr, keep.palette), -1);
}

TEST_F(CfocusTest, UnknownProtocolsAreDroppedAndTruncatedFocusAloneIsLost) {
  std::string b = bytes_u32(0);
  b += "First\n" + bytes_u32(2) + "HTTP\n" + bytes_u32(3) + "GOPHER\n" + bytes_u32(5);
  b += "First\n" + bytes_u32(1) + "SSH\n" + bytes_u32(6);
  b += "Cut\n" + bytes_u32(2) + "DNS\n" + bytes_u32(1) + "HTTP\n";  // palette index missing
  write(b);
  FocusStore s;
  ASSERT_EQ(cfocus_load(path(), protocols.lookup(), s), LoadStatus::Ok);
  ASSERT_EQ(s.dictionary.size(), 2u);
  ASSERT_EQ(s.dictionary[0].entries.size(), 1u);
  EXPECT_EQ(s.dictionary[0].entries[0].protocol_name, "HTTP");
  // Two foci of one name: the later one is found.
  EXPECT_EQ(s.focus_find("First"), 1);
  s.focus_set_active("First");
  EXPECT_EQ(s.active_focus()->entries[0].protocol_name, "SSH");
}

TEST_F(CfocusTest, MissingAndUnwritableFiles) {
  FocusStore s;
  EXPECT_EQ(cfocus_load(dir.filePath("none.bin").toStdString(), protocols.lookup(), s),
            LoadStatus::CannotOpen);
  EXPECT_EQ(cfocus_dump(dir.filePath("no/such/dir/x.bin").toStdString(), s), -1);
}

}  // namespace
}  // namespace tarnix::app
