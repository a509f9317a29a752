// The protocol tree read from a protocol definition file, and the walk that
// classifies every captured frame against it.
//
//   auto parsed = pdl_parse("protocol.pdl");
//   if (!parsed) { show(parsed.error); ... }
//   ProtocolPath path;
//   int n = protocol_classify(parsed.tree.get(), frame, caplen, wirelen, path);
//   // path[0] is ROOT, path[n] is null.
//
// The tree's shape never changes after the parse; only the counters do, so
// any thread may walk the child/sibling links and read the counters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pdl/protocol_counters.h"
#include "pdl/symbol.h"

namespace tarnix {

// Longest description a protocol file may give (a 32-byte field). Generated
// "Other ..." descriptions are cut to the same length.
inline constexpr std::size_t kProtocolDescriptionMax = 31;

inline constexpr std::uint32_t kProtocolWidthBits = 0x7;
inline constexpr std::uint32_t kProtocolMaskFlag = 0x8;

struct protocol_node {
  protocol_node* next_sibling = nullptr;
  protocol_node* first_child = nullptr;
  std::string name;
  std::string description;
  std::int32_t header_length = 0;  // how far the base moves, see protocol_classify
  std::uint32_t two_offsets = 0;   // 1: try second_offset when first_offset fails
  std::int32_t first_offset = 0;
  std::int32_t second_offset = 0;
  std::uint32_t value_low = 0;  // inclusive range, or the bit mask
  std::uint32_t value_high = 0;
  std::uint32_t flags = 0;  // width in bytes (0, 1, 2, 4) | kProtocolMaskFlag
  mutable ProtocolCounters counters;

  int width() const { return static_cast<int>(flags & kProtocolWidthBits); }
  bool masked() const { return (flags & kProtocolMaskFlag) != 0; }
};

// The matched nodes, root first, then a null entry: at most 6 protocols.
inline constexpr int kProtocolPathMax = 6;
using ProtocolPath = std::array<const protocol_node*, kProtocolPathMax + 1>;

class ProtocolTree {
 public:
  ProtocolTree() = default;
  ProtocolTree(const ProtocolTree&) = delete;
  ProtocolTree& operator=(const ProtocolTree&) = delete;

  const protocol_node* root() const { return root_; }
  // The node of that exact (case-sensitive) name, or null.
  const protocol_node* lookup(std::string_view name) const;
  const protocol_symbols& symbols() const { return symbols_; }
  std::size_t node_count() const { return nodes_.size(); }

 private:
  friend struct TreeBuilder;
  std::vector<std::unique_ptr<protocol_node>> nodes_;
  protocol_symbols symbols_;
  protocol_node* root_ = nullptr;
};

struct PdlResult {
  std::unique_ptr<ProtocolTree> tree;  // null when the parse failed
  std::string error;                   // "file:line: what went wrong" when it failed
  int error_line = 0;                  // 0 when the error has no line
  bool unreadable = false;             // the file could not be opened or read

  explicit operator bool() const { return tree != nullptr; }
};

// The message a user sees when the protocol file cannot be opened.
std::string pdl_open_error(std::string_view path);

// Reads a protocol file. On any error the result holds no tree and nothing
// that the parse built is kept.
PdlResult pdl_parse(const std::string& path);
// The same from text in memory; source_name stands for the file in messages.
PdlResult pdl_parse_text(std::string_view text, std::string_view source_name = "<text>");

// The node of that name in the tree's symbol table, or null (also for no tree).
const protocol_node* protocol_lookup(const ProtocolTree* tree, std::string_view name);

// Walks the tree for one frame that starts at its Ethernet header. Fields
// are read only within the captured bytes; every matched node counts the
// frame with wire_length bytes. Fills path (root first, null after the last
// node) and returns the number of nodes matched. Allocates nothing.
int protocol_classify(const ProtocolTree* tree, const std::uint8_t* frame, std::size_t captured_length,
                      std::uint64_t wire_length, ProtocolPath& path);

std::uint64_t protocol_frames(const protocol_node* node);
std::uint64_t protocol_bytes(const protocol_node* node);

// Things in a parsed file that are legal but almost certainly mistakes,
// as "line N: ..." texts in line order: names used in field lines but never
// defined (they match only the value 0), definitions that no field line
// reaches, empty ranges.
std::vector<std::string> protocol_tree_warnings(const ProtocolTree& tree);

// The tree as text, one node a line in child order, indented by depth:
// name, description, field (width, offsets, mask), values, header length.
std::string protocol_tree_dump(const ProtocolTree& tree);
// One node's line without indentation.
std::string protocol_node_describe(const protocol_node& node);

}  // namespace tarnix
