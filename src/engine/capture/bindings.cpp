#include "capture/bindings.h"

#include <bit>
#include <cstring>

#include "capture/net.h"

namespace tarnix {

namespace {

// Collects every byte that protocol_classify can read, following its rules:
// a node's field is read at the current base plus its offsets (the second
// only when the first fails); the base then moves by the header length of
// the node matched one step earlier (the root's own at the first step); the
// walk stops after kProtocolPathMax matches. False when the places cannot be
// bounded (too many, too far, or a tree too large to follow).
bool collect_positions(const protocol_node* root, std::vector<std::uint16_t>& out, std::uint16_t& span) {
  constexpr std::int64_t kFarthest = 255;
  constexpr int kMaxVisits = 100000;
  std::vector<bool> read(kFarthest + 1, false);
  struct State {
    const protocol_node* first;  // first node of the sibling chain to try
    int count;                   // nodes matched before it
    std::int64_t base;
    const protocol_node* previous;
  };
  std::vector<State> todo;
  if (root != nullptr) todo.push_back({root, 0, 0, root});
  int visits = 0;
  while (!todo.empty()) {
    State st = todo.back();
    todo.pop_back();
    if (st.count >= kProtocolPathMax) continue;
    for (const protocol_node* n = st.first; n != nullptr; n = n->next_sibling) {
      if (++visits > kMaxVisits) return false;
      const int w = static_cast<int>(n->flags & kProtocolWidthBits);
      if (w == 1 || w == 2 || w == 4) {
        const std::int64_t offsets[2] = {n->first_offset, n->second_offset};
        for (int k = 0; k < (n->two_offsets != 0 ? 2 : 1); ++k) {
          const std::int64_t at = st.base + offsets[k];
          if (at < 0) continue;  // fails without reading
          if (at + w > kFarthest) return false;
          for (int b = 0; b < w; ++b) read[static_cast<std::size_t>(at + b)] = true;
        }
      }
      todo.push_back({n->first_child, st.count + 1, st.base + st.previous->header_length, n});
    }
  }
  out.clear();
  span = 0;
  for (std::size_t i = 0; i < read.size(); ++i) {
    if (!read[i]) continue;
    out.push_back(static_cast<std::uint16_t>(i));
    span = static_cast<std::uint16_t>(i + 1);
  }
  return true;
}

// Counts frames on a node as the walk does: the capture thread is the only
// thread that changes protocol counters (the alarm evaluation that takes
// them runs on it too), so a load and a store of each atomic add exactly
// what fetch_add would, without a locked instruction per node; readers on
// other threads still see whole values that never go backwards.
inline void count_frames(ProtocolCounters& c, std::uint64_t frames, std::uint64_t bytes) {
  c.bytes.store(c.bytes.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  c.frames.store(c.frames.load(std::memory_order_relaxed) + frames, std::memory_order_relaxed);
}

}  // namespace

PdlClassifier::PdlClassifier(const ProtocolTree* tree) : tree_(tree) {
  std::uint16_t span = 0;
  if (tree_ != nullptr && tree_->root() != nullptr && collect_positions(tree_->root(), positions_, span)) {
    // Cover the decisive bytes with as few 8-byte windows as it takes.
    bool fits = true;
    int used = 0;
    for (std::uint16_t pos : positions_) {
      if (used > 0 && pos < layout_.at[used - 1] + 8) {
        layout_.mask[used - 1] |= std::uint64_t{0xFF} << ((pos - layout_.at[used - 1]) * 8);
        continue;
      }
      if (used == ClassKeyLayout::kWindows) {
        fits = false;
        break;
      }
      layout_.at[used] = pos;
      layout_.mask[used] = 0xFF;
      ++used;
    }
    if (fits) {
      layout_.span = span;
      // Unused windows read the frame's first eight bytes under a zero mask,
      // so those must have been captured too.
      layout_.whole = used > 0 ? layout_.at[used - 1] + 8u : 8u;
      memo_ = true;
      recent_ = std::make_unique<Recent[]>(kRecentPaths);
    }
  }
  if (!memo_) {
    positions_.clear();
    layout_ = {};
  }
}

int PdlClassifier::classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
                            const protocol_node** path) {
  if (!memo_ || frame == nullptr) {
    ProtocolPath p;
    int n = protocol_classify(tree_, frame, caplen, wire_len, p);
    for (int i = 0; i < kPathSlots; ++i) path[i] = p[static_cast<std::size_t>(i)];
    return n;
  }
  // The key: the decisive bytes that were captured, and how much of their
  // span was, which settles every bounds test of the walk.
  const Key key = class_key_of(layout_, frame, caplen);
  std::uint64_t h = (key.words[0] * 0x9E3779B97F4A7C15ull) ^ (key.words[1] * 0xC2B2AE3D27D4EB4Full) ^
                    (key.words[2] * 0x165667B19E3779F9ull) ^ (key.words[3] * 0x27D4EB2F165667C5ull) ^
                    (key.seen * 0x94D049BB133111EBull);
  // Two entries a set, the newer first, so that two busy conversations whose
  // keys hash alike do not keep pushing each other out.
  // The top bits: the only ones that every key byte reaches through the
  // multiplications.
  Recent* set = &recent_[(static_cast<std::size_t>(h >> 56) * 2) & (kRecentPaths - 1)];
  for (int way = 0; way < 2; ++way) {
    const Recent& r = set[way];
    if (r.count >= 0 && r.key == key) {
      for (int i = 0; i < r.count; ++i) count_frames(r.path[i]->counters, 1, wire_len);
      for (int i = 0; i < kPathSlots; ++i) path[i] = r.path[i];
      return r.count;
    }
  }
  set[1] = set[0];
  Recent& r = set[0];
  ProtocolPath p;
  const int n = protocol_classify(tree_, frame, caplen, wire_len, p);
  for (int i = 0; i < kPathSlots; ++i) path[i] = r.path[i] = p[static_cast<std::size_t>(i)];
  r.key = key;
  r.count = n;
  return n;
}

void PdlClassifier::count_again(LinkProtoNode* const* nodes, int n, std::uint64_t frames, std::uint64_t bytes) {
  for (int i = 0; i < n; ++i) {
    LinkProtoNode* node = nodes[i];
    node->frames += frames;
    node->bytes += bytes;
    count_frames(node->protocol->counters, frames, bytes);
  }
}

std::string_view PdlClassifier::name_of(const protocol_node* node) const {
  return node ? std::string_view(node->name) : std::string_view();
}

std::string_view PdlClassifier::description_of(const protocol_node* node) const {
  return node ? std::string_view(node->description) : std::string_view();
}

}  // namespace tarnix
static_assert(tarnix::kPathSlots == tarnix::kProtocolPathMax + 1, "path sizes differ");
