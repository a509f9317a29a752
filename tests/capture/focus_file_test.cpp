#include "capture/focus_file.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>

namespace tarnix {
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
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("focus_file_test_" + std::to_string(::getpid()));
  Protocols protocols;
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string path() const { return (dir / "cfdump.bin").string(); }
  void write(const std::string& bytes) { std::ofstream(path(), std::ios::binary) << bytes; }
  // Reads `bytes` as a focus file.
  FocusStore read(const std::string& bytes) {
    FocusStore s;
    std::FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    cfocus_read(f, protocols.lookup(), s);
    std::fclose(f);
    return s;
  }
};

TEST_F(CfocusTest, RoundTripKeepsPaletteFociEntriesAndColours) {
  FocusStore out;
  for (int i = 0; i < kPaletteColours; ++i) out.palette[std::size_t(i)] = std::uint32_t(0x010203 * i);
  const ProtocolLookup look = protocols.lookup();
  out.dictionary.push_back({"Web", {{look("HTTP"), "HTTP", 4}, {look("DNS"), "DNS", 9}}});
  out.dictionary.push_back({"Empty", {}});
  out.dictionary.push_back({"Shell", {{look("SSH"), "SSH", 31}}});
  ASSERT_TRUE(cfocus_dump(path(), out));

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

TEST_F(CfocusTest, UnknownProtocolsAreDroppedAndTheLaterOfEqualNamesIsFound) {
  std::string b = bytes_u32(0);
  b += "First\n" + bytes_u32(2) + "HTTP\n" + bytes_u32(3) + "GOPHER\n" + bytes_u32(5);
  b += "First\n" + bytes_u32(1) + "SSH\n" + bytes_u32(6);
  FocusStore s = read(b);
  ASSERT_EQ(s.dictionary.size(), 2u);
  ASSERT_EQ(s.dictionary[0].entries.size(), 1u);
  EXPECT_EQ(s.dictionary[0].entries[0].protocol_name, "HTTP");
  EXPECT_EQ(s.focus_find("First"), 1);
  s.focus_set_active("First");
  EXPECT_EQ(s.active_focus()->entries[0].protocol_name, "SSH");
}

// Whatever the cut or the garbage, the reader keeps every focus and entry it
// read whole, and bounds what it keeps of each line.
TEST_F(CfocusTest, DamagedFilesLoadWhatTheyCan) {
  const std::string head = bytes_u32(0) + "Whole\n" + bytes_u32(1) + "DNS\n" + bytes_u32(4);
  struct Case {
    const char* what;
    std::string tail;
    std::vector<std::size_t> entries;  // per focus kept
  };
  const std::string long_name(5000, 'N');
  const Case cases[] = {
      {"palette index missing", "Cut\n" + bytes_u32(2) + "DNS\n" + bytes_u32(1) + "HTTP\n", {1, 1}},
      {"protocol line missing", "Cut\n" + bytes_u32(3) + "SSH\n" + bytes_u32(1), {1, 1}},
      {"count missing", "Cut\n" + std::string("\x01\x00", 2), {1}},
      {"huge count", "Big\n" + bytes_u32(0x7fffffff) + "SSH\n" + bytes_u32(2), {1, 1}},
      {"negative count", "Neg\n" + bytes_u32(0xffffffff) + "Next\n" + bytes_u32(0), {1, 0, 0}},
      {"long lines", long_name + "\n" + bytes_u32(1) + std::string(300, 'P') + "\n" + bytes_u32(1), {1, 0}},
      {"colour out of range",
       "Odd\n" + bytes_u32(2) + "SSH\n" + bytes_u32(32) + "DNS\n" + bytes_u32(0xffffffff),
       {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FocusStore s = read(head + c.tail);
    ASSERT_EQ(s.dictionary.size(), c.entries.size());
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
      EXPECT_EQ(s.dictionary[i].entries.size(), c.entries[i]);
      EXPECT_LE(s.dictionary[i].name.size(), std::size_t(kFocusNameMax));
      for (const auto& e : s.dictionary[i].entries) {
        EXPECT_GE(e.colour, 0);
        EXPECT_LT(e.colour, kFocusColours);
      }
    }
  }
  // A protocol name line is read as its first 18 characters.
  protocols.nodes.emplace("ABCDEFGHIJKLMNOPQR", 0);
  FocusStore s = read(bytes_u32(0) + "F\n" + bytes_u32(1) + "ABCDEFGHIJKLMNOPQRST\n" + bytes_u32(9));
  ASSERT_EQ(s.dictionary.at(0).entries.size(), 1u);
  EXPECT_EQ(s.dictionary[0].entries[0].colour, 9);
}

TEST_F(CfocusTest, MissingAndUnwritableFiles) {
  FocusStore s;
  EXPECT_EQ(cfocus_load((dir / "none.bin").string(), protocols.lookup(), s), LoadStatus::CannotOpen);
  EXPECT_FALSE(cfocus_dump((dir / "no/such/dir/x.bin").string(), s));
}

}  // namespace
}  // namespace tarnix
