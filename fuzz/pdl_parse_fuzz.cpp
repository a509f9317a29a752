// Any text as a protocol file: the parse either gives a tree or an error
// message, never crashes or leaks, and any tree it gives is well formed
// and can classify frames.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pdl/protocol_tree.h"

namespace {

using tarnix::protocol_node;

bool in_chain(const protocol_node* first, const protocol_node* n) {
  for (const protocol_node* c = first; c != nullptr; c = c->next_sibling)
    if (c == n) return true;
  return false;
}

void check_path(const tarnix::ProtocolTree& tree, const tarnix::ProtocolPath& path, int n) {
  if (n < 0 || n > tarnix::kProtocolPathMax || path[static_cast<std::size_t>(n)] != nullptr) std::abort();
  for (int i = 0; i < n; ++i) {
    const protocol_node* node = path[static_cast<std::size_t>(i)];
    const protocol_node* chain = i == 0 ? tree.root() : path[static_cast<std::size_t>(i - 1)]->first_child;
    if (node == nullptr || !in_chain(chain, node) || node->counters.frames_value() == 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarnix::PdlResult r = tarnix::pdl_parse_text(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!r) {
    if (r.error.empty()) std::abort();
    return 0;
  }
  const tarnix::ProtocolTree& tree = *r.tree;
  if (tree.root() == nullptr) std::abort();
  tree.symbols().foreach ([&](const std::string& name, const tarnix::protocol_symbol& s) {
    if (tree.lookup(name) != s.node) std::abort();
    if (s.node != nullptr && s.node->description.size() > tarnix::kProtocolDescriptionMax) std::abort();
  });
  (void)tarnix::protocol_tree_dump(tree);
  (void)tarnix::protocol_tree_warnings(tree);

  // The file's own bytes make a frame of odd shape; an all-zero and an
  // all-ones frame reach the zero and full-range values.
  tarnix::ProtocolPath path;
  int n = tarnix::protocol_classify(&tree, data, size, size, path);
  check_path(tree, path, n);
  static const std::uint8_t zeros[64] = {};
  n = tarnix::protocol_classify(&tree, zeros, sizeof zeros, 64, path);
  check_path(tree, path, n);
  std::uint8_t ones[64];
  for (std::uint8_t& b : ones) b = 0xFF;
  n = tarnix::protocol_classify(&tree, ones, sizeof ones, 64, path);
  check_path(tree, path, n);
  return 0;
}
