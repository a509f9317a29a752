// Frame classification: field tests, the base-offset rule, the path limit,
// bounds and counters.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pdl/protocol_tree.h"
#include "pdl_test_util.h"

namespace tarnix {
namespace {

using pdltest::path_names;

std::unique_ptr<ProtocolTree> tree_of(const std::string& text) {
  PdlResult r = pdl_parse_text(text, "test.pdl");
  EXPECT_TRUE(r) << r.error;
  return std::move(r.tree);
}

std::string classify(const ProtocolTree* tree, const std::vector<std::uint8_t>& frame,
                     std::uint64_t wire = 100) {
  ProtocolPath path;
  path.fill(reinterpret_cast<const protocol_node*>(&path));  // garbage the walk must overwrite
  int n = protocol_classify(tree, frame.data(), frame.size(), wire, path);
  EXPECT_EQ(path[static_cast<std::size_t>(n)], nullptr);
  std::string names = path_names(path);
  int counted = 0;
  for (int i = 0; i < n; ++i) counted += path[static_cast<std::size_t>(i)] != nullptr;
  EXPECT_EQ(counted, n);
  return names;
}

TEST(ProtocolClassify, NoTreeGivesAnEmptyPath) {
  ProtocolPath path;
  path.fill(nullptr);
  std::uint8_t frame[20] = {};
  EXPECT_EQ(protocol_classify(nullptr, frame, sizeof frame, 20, path), 0);
  EXPECT_EQ(path[0], nullptr);
}

using Bytes = std::vector<std::uint8_t>;

// `size` zero bytes but for the given (offset, value) pairs.
Bytes frame_with(std::size_t size, std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
  Bytes f(size, 0);
  for (const auto& [at, value] : set) f[at] = value;
  return f;
}

// Root h0=3 (no field: matches every frame), then A h1=5, B h2=7, C h3=11,
// D h4=13, E. The matched chain after the root is tested at h0, 2h0,
// 2h0+h1, 2h0+h1+h2, 2h0+h1+h2+h3: 3, 6, 11, 18, 29.
constexpr const char* kLevels =
    "protocol ROOT : 0 \"r\" 3 { byte : 0 A }\n"
    "protocol A : 0x11 \"a\" 5 { byte : 0 B }\n"
    "protocol B : 0x12 \"b\" 7 { byte : 0 C }\n"
    "protocol C : 0x13 \"c\" 11 { byte : 0 D }\n"
    "protocol D : 0x14 \"d\" 13 { byte : 0 E }\n"
    "protocol E : 0x15 \"e\" 17 { byte : 0 F }\n";

// The path one frame takes through a fresh tree: the root's own shapes,
// field widths and byte order, ranges compared unsigned, masks, two offsets,
// the base moving by the header of the node matched one step earlier, and
// offsets that wrap negative. Only the nodes on the path count the frame.
TEST(ProtocolClassify, FieldTestsDecideThePath) {
  const char* const body = "primitive A : 7 \"a\" protocol ROOT : 0 \"r\" 0 { byte : 0 A }";
  const char* const fields =
      "primitive IP : 0x0800 \"ip\"\n"
      "primitive BIG : 0x01020304 \"four bytes\"\n"
      "primitive RANGE : 6,9 \"range\"\n"
      "protocol ROOT : 0 \"r\" 0 { word : 12 IP lword : 20 BIG byte : 30 RANGE }";
  const char* const high =
      "primitive HIGH : 4294967040,4294967295 \"top 256 values\"\n"
      "protocol ROOT : 0 \"r\" 0 { lword : 0 HIGH }";
  const char* const flag = "primitive FLAG : 0x02 \"flag\" protocol ROOT : 0 \"r\" 0 { mask byte : 1 FLAG }";
  const char* const two = "primitive P : 80 \"web\" protocol ROOT : 0 \"r\" 0 { word : 0,2 P }";
  struct PathCase {
    std::string name;
    const char* tree;
    Bytes frame;
    const char* path;
  };
  std::vector<PathCase> cases = {
      {"a primitive root: paths of one node", "primitive ROOT : 0 \"r\"", Bytes(20, 0), "ROOT"},
      {"a root with a body, no child matching", body, Bytes(20, 0), "ROOT/OTHER_ROOT"},
      {"a root with a body, a child matching", body, frame_with(20, {{0, 7}}), "ROOT/A"},
      {"a root valued above 0 matches nothing", "protocol ROOT : 1 \"r\" 0 { byte : 0 A }",
       frame_with(20, {{0, 7}}), ""},
      {"word", fields, frame_with(40, {{12, 0x08}}), "ROOT/IP"},
      {"word of another value", fields, frame_with(40, {{12, 0x08}, {13, 0x01}}), "ROOT/OTHER_ROOT"},
      {"word in the other byte order", fields, frame_with(40, {{13, 0x08}}), "ROOT/OTHER_ROOT"},
      {"lword", fields, frame_with(40, {{20, 1}, {21, 2}, {22, 3}, {23, 4}}), "ROOT/BIG"},
      {"lword in the other byte order", fields, frame_with(40, {{20, 4}, {21, 2}, {22, 3}, {23, 1}}),
       "ROOT/OTHER_ROOT"},
      {"range above 2^31, compared unsigned", high, {0xFF, 0xFF, 0xFF, 0x00}, "ROOT/HIGH"},
      {"just below that range", high, {0xFF, 0xFF, 0xFE, 0x00}, "ROOT/OTHER_ROOT"},
      {"mask ignores the high value",
       "primitive FLAG : 0x80,0x01 \"f\" protocol ROOT : 0 \"r\" 0 { mask word : 0 FLAG }",
       {0x00, 0x80},
       "ROOT/FLAG"},
      {"first offset", two, {0, 80, 0x9c, 0x40}, "ROOT/P"},
      {"second offset", two, {0x9c, 0x40, 0, 80}, "ROOT/P"},
      {"both offsets", two, {0, 80, 0, 80}, "ROOT/P"},
      {"neither offset", two, {0x9c, 0x40, 0x9c, 0x41}, "ROOT/OTHER_ROOT"},
      {"the second offset when the first lies beyond the frame",
       "primitive P : 80 \"web\" protocol ROOT : 0 \"r\" 0 { word : 100,0 P }",
       {0, 80},
       "ROOT/P"},
      {"equal offsets: one test only",
       "primitive P : 80 \"web\" protocol ROOT : 0 \"r\" 0 { word : 2,2 P }",
       {0, 80, 0, 81},
       "ROOT/OTHER_ROOT"},
      {"the base moves by the header matched one step earlier", kLevels,
       frame_with(64, {{3, 0x11}, {6, 0x12}, {11, 0x13}, {18, 0x14}, {29, 0x15}}), "ROOT/A/B/C/D/E"},
      // Were it to move by the header just matched, B would be at 3+5 = 8,
      // C at 15 and so on.
      {"not by the header just matched", kLevels,
       frame_with(64, {{3, 0x11}, {8, 0x12}, {15, 0x13}, {26, 0x14}, {39, 0x15}}), "ROOT/A/OTHER_A"},
      // 4294967295 is -1 as a signed offset and as a header length: the base
      // becomes -1, B is tested at -1 and A at -2; both fail.
      {"offsets that wrap negative never read before the frame",
       "primitive A : 0 \"a\"\n"
       "protocol ROOT : 0 \"r\" 4294967295 { byte : 4294967295 A byte : 0 B }\n"
       "protocol B : 0 \"b\" 0 { byte : 0 C }\n"
       "protocol C : 0 \"c\" 0 { byte : 0 D }\n",
       {0},
       "ROOT/OTHER_ROOT"},
  };
  for (int v : {5, 6, 7, 8, 9, 10, 0xFF}) {
    cases.push_back({"byte " + std::to_string(v) + " against the range 6,9", fields,
                     frame_with(40, {{30, static_cast<std::uint8_t>(v)}}),
                     v >= 6 && v <= 9 ? "ROOT/RANGE" : "ROOT/OTHER_ROOT"});
  }
  for (int v : {0x02, 0x03, 0xFF, 0x06, 0x00, 0x01, 0xFD, 0x04}) {
    cases.push_back({"mask 2 against " + std::to_string(v), flag,
                     frame_with(4, {{1, static_cast<std::uint8_t>(v)}}),
                     (v & 0x02) != 0 ? "ROOT/FLAG" : "ROOT/OTHER_ROOT"});
  }
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto tree = tree_of(c.tree);
    ASSERT_NE(tree, nullptr);
    const std::string path = classify(tree.get(), c.frame);
    EXPECT_EQ(path, c.path);
    EXPECT_EQ(protocol_frames(tree->root()), path.empty() ? 0u : 1u);
    EXPECT_EQ(protocol_frames(tree->lookup("OTHER_ROOT")), path == "ROOT/OTHER_ROOT" ? 1u : 0u);
  }
}

TEST(ProtocolClassify, FirstMatchingSiblingWinsAndCounts) {
  auto tree = tree_of(
      "primitive A : 1 \"a\" primitive B : 1 \"b\" protocol ROOT : 0 \"r\" 0 { byte : 0 A byte : 0 B }");
  EXPECT_EQ(classify(tree.get(), {1}, 60), "ROOT/B");
  EXPECT_EQ(protocol_frames(tree->lookup("B")), 1u);
  EXPECT_EQ(protocol_bytes(tree->lookup("B")), 60u);
  EXPECT_EQ(protocol_frames(tree->lookup("A")), 0u);
  EXPECT_EQ(protocol_frames(tree->lookup("OTHER_ROOT")), 0u);
}

TEST(ProtocolClassify, PathHoldsAtMostSixProtocols) {
  auto tree = tree_of(
      "protocol ROOT : 0 \"r\" 0 { byte : 0 L1 }\n"
      "protocol L1 : 0 \"1\" 0 { byte : 0 L2 }\n"
      "protocol L2 : 0 \"2\" 0 { byte : 0 L3 }\n"
      "protocol L3 : 0 \"3\" 0 { byte : 0 L4 }\n"
      "protocol L4 : 0 \"4\" 0 { byte : 0 L5 }\n"
      "protocol L5 : 0 \"5\" 0 { byte : 0 L6 }\n"
      "protocol L6 : 0 \"6\" 0 { byte : 0 L7 }\n");
  ProtocolPath path;
  std::uint8_t frame[8] = {};
  EXPECT_EQ(protocol_classify(tree.get(), frame, sizeof frame, 8, path), 6);
  EXPECT_EQ(path_names(path), "ROOT/L1/L2/L3/L4/L5");
  EXPECT_EQ(path[6], nullptr);
  EXPECT_EQ(protocol_frames(tree->lookup("L5")), 1u);
  EXPECT_EQ(protocol_frames(tree->lookup("L6")), 0u);
  EXPECT_EQ(protocol_frames(tree->lookup("OTHER_L5")), 0u);
}

TEST(ProtocolClassify, FieldsBeyondTheCapturedBytesFail) {
  auto tree = tree_of(kLevels);
  // The buffer holds the whole chain, but only 11 bytes were captured: C's
  // byte 11 lies outside, so the walk ends in B's Other child.
  std::vector<std::uint8_t> f(64, 0);
  f[3] = 0x11, f[6] = 0x12, f[11] = 0x13, f[18] = 0x14, f[29] = 0x15;
  ProtocolPath path;
  protocol_classify(tree.get(), f.data(), 11, 64, path);
  EXPECT_EQ(path_names(path), "ROOT/A/B/OTHER_B");
  protocol_classify(tree.get(), f.data(), 12, 64, path);
  EXPECT_EQ(path_names(path), "ROOT/A/B/C/OTHER_C");

  // Exactly sized heap copies, so a read past the end shows under ASan.
  auto words = tree_of(
      "primitive W : 0x0102 \"w\" primitive L : 0x01020304 \"l\" primitive B : 9 \"b\"\n"
      "protocol ROOT : 0 \"r\" 0 { byte : 4 B word : 3 W lword : 1 L }");
  for (std::size_t len = 0; len <= 5; ++len) {
    std::vector<std::uint8_t> full = {0, 1, 2, 3, 4};
    std::vector<std::uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
    std::string got = classify(words.get(), part);
    EXPECT_EQ(got, len == 5 ? "ROOT/L" : "ROOT/OTHER_ROOT") << len;
  }
  // No bytes at all: only fields of width 0 can pass.
  ProtocolPath empty_path;
  EXPECT_EQ(protocol_classify(words.get(), nullptr, 0, 0, empty_path), 2);
  EXPECT_EQ(path_names(empty_path), "ROOT/OTHER_ROOT");
}

TEST(ProtocolClassify, EveryNodeOnThePathCountsTheWireLength) {
  auto tree = tree_of("primitive A : 7 \"a\" protocol ROOT : 0 \"r\" 0 { byte : 0 A }");
  ProtocolPath path;
  std::uint8_t seven[1] = {7};
  std::uint8_t zero[1] = {0};
  protocol_classify(tree.get(), seven, 1, 1500, path);
  protocol_classify(tree.get(), seven, 1, 60, path);
  protocol_classify(tree.get(), zero, 1, 5'000'000'000ull, path);
  EXPECT_EQ(protocol_frames(tree->root()), 3u);
  EXPECT_EQ(protocol_bytes(tree->root()), 1560u + 5'000'000'000ull);
  EXPECT_EQ(protocol_frames(tree->lookup("A")), 2u);
  EXPECT_EQ(protocol_bytes(tree->lookup("A")), 1560u);
  EXPECT_EQ(protocol_frames(tree->lookup("OTHER_ROOT")), 1u);
  EXPECT_EQ(protocol_bytes(tree->lookup("OTHER_ROOT")), 5'000'000'000ull);
  EXPECT_EQ(protocol_frames(nullptr), 0u);
  EXPECT_EQ(protocol_bytes(nullptr), 0u);

  // An occurrence alarm reads and clears in one step.
  ProtocolCounters& stat = tree->lookup("A")->counters;
  EXPECT_EQ(stat.take_frames(), 2u);
  EXPECT_EQ(protocol_frames(tree->lookup("A")), 0u);
  EXPECT_EQ(protocol_bytes(tree->lookup("A")), 0u);
  tree->root()->counters.reset();
  EXPECT_EQ(protocol_frames(tree->root()), 0u);
}

TEST(ProtocolClassify, CountersMayBeReadWhileFramesAreCounted) {
  // The capture thread classifies while another reads the counters; run
  // under ThreadSanitizer this must report nothing.
  auto tree = tree_of("primitive A : 7 \"a\" protocol ROOT : 0 \"r\" 0 { byte : 0 A }");
  const protocol_node* a = tree->lookup("A");
  std::atomic<bool> done{false};
  std::uint64_t seen = 0;
  std::thread reader([&] {
    while (!done.load()) {
      std::uint64_t f = protocol_frames(a);
      EXPECT_GE(f, seen);
      seen = f;
    }
  });
  std::uint8_t frame[1] = {7};
  ProtocolPath path;
  for (int i = 0; i < 20000; ++i) protocol_classify(tree.get(), frame, 1, 64, path);
  done = true;
  reader.join();
  EXPECT_EQ(protocol_frames(a), 20000u);
  EXPECT_EQ(protocol_bytes(a), 20000u * 64u);
}

}  // namespace
}  // namespace tarnix
