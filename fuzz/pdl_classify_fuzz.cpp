// Any bytes as a captured frame against the shipped protocol tree: the walk
// stays within the frame, and its path is a chain of the tree from ROOT.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pdl/protocol_tree.h"

namespace {

const tarnix::ProtocolTree* shipped_tree() {
  static const tarnix::ProtocolTree* tree = [] {
    tarnix::PdlResult r = tarnix::pdl_parse(TARNIX_SOURCE_DIR "/data/protocol.pdl");
    if (!r) {
      std::fprintf(stderr, "pdl_classify_fuzz: %s\n", r.error.c_str());
      std::abort();
    }
    return r.tree.release();
  }();
  return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tarnix::ProtocolTree* tree = shipped_tree();
  // An exact-size copy, so that any read past the captured bytes is caught.
  std::vector<std::uint8_t> frame(data, data + size);
  std::uint64_t before = tarnix::protocol_frames(tree->root());
  tarnix::ProtocolPath path;
  int n = tarnix::protocol_classify(tree, frame.data(), frame.size(), size, path);
  // ROOT matches every frame, and every protocol with a body ends in a
  // child that matches anything: at least ROOT and one child.
  if (n < 2 || n > tarnix::kProtocolPathMax || path[static_cast<std::size_t>(n)] != nullptr) std::abort();
  if (path[0] != tree->root() || tarnix::protocol_frames(tree->root()) != before + 1) std::abort();
  for (int i = 1; i < n; ++i) {
    bool child = false;
    for (const tarnix::protocol_node* c = path[static_cast<std::size_t>(i - 1)]->first_child; c != nullptr;
         c = c->next_sibling)
      child |= c == path[static_cast<std::size_t>(i)];
    if (!child) std::abort();
  }
  // The walk only ends early at a node without children.
  if (n < tarnix::kProtocolPathMax && path[static_cast<std::size_t>(n - 1)]->first_child != nullptr)
    std::abort();
  return 0;
}
