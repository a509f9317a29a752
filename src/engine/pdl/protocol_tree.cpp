// Frame classification against the protocol tree, and the tree as text.
#include "pdl/protocol_tree.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tarnix {

namespace {

// A field that does not lie wholly within the captured bytes fails its test,
// so a short frame can never make the walk read past its end.
inline bool field_passes(const protocol_node& node, const std::uint8_t* frame, std::int64_t captured,
                         std::int64_t at) {
  std::uint32_t value;
  switch (node.flags & kProtocolWidthBits) {
    case 0:
      value = 0;
      break;
    case 1:
      if (at < 0 || at + 1 > captured) return false;
      value = frame[at];
      break;
    case 2:
      if (at < 0 || at + 2 > captured) return false;
      value = static_cast<std::uint32_t>(frame[at]) << 8 | frame[at + 1];
      break;
    case 4:
      if (at < 0 || at + 4 > captured) return false;
      value = static_cast<std::uint32_t>(frame[at]) << 24 | static_cast<std::uint32_t>(frame[at + 1]) << 16 |
              static_cast<std::uint32_t>(frame[at + 2]) << 8 | frame[at + 3];
      break;
    default:
      return false;
  }
  if (node.flags & kProtocolMaskFlag) return (value & node.value_low) != 0;
  return node.value_low <= value && value <= node.value_high;
}

// Counts one frame on a matched node. The capture thread is the only thread
// that changes the counters (classification adds, and the alarm evaluation
// that takes them runs on the same thread), so a plain load and store of
// each atomic adds exactly what fetch_add would, without the locked
// instructions that cost more than the rest of the walk; other threads still
// read whole values that never go backwards.
inline void count_frame(const protocol_node& node, std::uint64_t wire_length) {
  ProtocolCounters& c = node.counters;
  c.bytes.store(c.bytes.load(std::memory_order_relaxed) + wire_length, std::memory_order_relaxed);
  c.frames.store(c.frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

const protocol_node* ProtocolTree::lookup(std::string_view name) const {
  const protocol_symbol* s = symbols_.find(name);
  return s != nullptr ? s->node : nullptr;
}

const protocol_node* protocol_lookup(const ProtocolTree* tree, std::string_view name) {
  return tree != nullptr ? tree->lookup(name) : nullptr;
}

int protocol_classify(const ProtocolTree* tree, const std::uint8_t* frame, std::size_t captured_length,
                      std::uint64_t wire_length, ProtocolPath& path) {
  int count = 0;
  const protocol_node* current = tree != nullptr ? tree->root() : nullptr;
  if (frame == nullptr) captured_length = 0;
  const auto captured = static_cast<std::int64_t>(captured_length);
  // The base moves by the header length of the node matched one step
  // before the one that just matched (the root's own at the first step).
  std::int64_t base = 0;
  const protocol_node* previous = current;
  while (current != nullptr && count < kProtocolPathMax) {
    const protocol_node& n = *current;
    if (field_passes(n, frame, captured, base + n.first_offset) ||
        (n.two_offsets != 0 && field_passes(n, frame, captured, base + n.second_offset))) {
      count_frame(n, wire_length);
      path[static_cast<std::size_t>(count++)] = current;
      base += previous->header_length;
      previous = current;
      current = n.first_child;
    } else {
      current = n.next_sibling;
    }
  }
  path[static_cast<std::size_t>(count)] = nullptr;
  return count;
}

std::uint64_t protocol_frames(const protocol_node* node) {
  return node != nullptr ? node->counters.frames_value() : 0;
}

std::uint64_t protocol_bytes(const protocol_node* node) {
  return node != nullptr ? node->counters.bytes_value() : 0;
}

namespace {

std::string number_text(std::uint32_t v) {
  char buf[32];
  if (v < 10)
    std::snprintf(buf, sizeof buf, "%u", v);
  else
    std::snprintf(buf, sizeof buf, "%u (0x%x)", v, v);
  return buf;
}

}  // namespace

std::string protocol_node_describe(const protocol_node& node) {
  std::string line = node.name + " \"" + node.description + "\": ";
  static const char* const kWidthNames[] = {"", "byte", "word", "", "lword", "", "", ""};
  int width = node.width();
  if (width == 0) {
    bool passes = node.masked() ? false : node.value_low == 0;
    line += passes ? "any frame" : "no frame";
  } else {
    if (node.masked()) line += "mask ";
    line += kWidthNames[width];
    line += " at " + std::to_string(node.first_offset);
    if (node.two_offsets != 0) line += " or " + std::to_string(node.second_offset);
    if (node.masked()) {
      line += " has a bit of " + number_text(node.value_low);
    } else if (node.value_low == node.value_high) {
      line += " = " + number_text(node.value_low);
    } else {
      line += " in " + number_text(node.value_low) + " .. " + number_text(node.value_high);
    }
  }
  if (node.header_length != 0 || node.first_child != nullptr)
    line += ", header " + std::to_string(node.header_length);
  return line;
}

std::string protocol_tree_dump(const ProtocolTree& tree) {
  std::string out;
  std::vector<std::pair<const protocol_node*, int>> stack;
  if (tree.root() != nullptr) stack.emplace_back(tree.root(), 0);
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    out += protocol_node_describe(*node);
    out += '\n';
    // Children in chain order: push them last first.
    std::vector<const protocol_node*> children;
    for (const protocol_node* c = node->first_child; c != nullptr; c = c->next_sibling) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, depth + 1);
  }
  return out;
}

}  // namespace tarnix

namespace tarnix {

std::vector<std::string> protocol_tree_warnings(const ProtocolTree& tree) {
  std::vector<std::pair<int, std::string>> found;
  auto q = [](const std::string& s) { return "\"" + s + "\""; };
  tree.symbols().foreach ([&](const std::string& name, const protocol_symbol& s) {
    const protocol_node* node = s.node;
    if (node == nullptr) return;
    if (s.kind == kSymbolUndefined) {
      found.emplace_back(
          s.field_line, q(name) + " is named in a field line but never defined; it matches only the value 0");
      return;
    }
    if (node != tree.root() && s.parent == nullptr) {
      found.emplace_back(s.defined_line,
                         q(name) + " is defined but named in no field line, so no frame reaches it");
    }
    if (!node->masked() && node->value_low > node->value_high) {
      found.emplace_back(s.defined_line, q(name) + " has the range " + std::to_string(node->value_low) + "," +
                                             std::to_string(node->value_high) + ", which no value falls in");
    }
  });
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  out.reserve(found.size());
  for (auto& [line, text] : found) out.push_back("line " + std::to_string(line) + ": " + text);
  return out;
}

}  // namespace tarnix
