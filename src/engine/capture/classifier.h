// What the frame path needs from protocol classification. The protocol tree
// itself belongs to the protocol definitions; the capture side sees its nodes
// only as opaque references that it counts per link and can name.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnix {

struct protocol_node;
struct LinkProtoNode;

// A classification path: the matched nodes from the root inwards, followed
// by a null entry, so at most six protocols.
constexpr int kPathSlots = 7;

// What decides a frame's path, for a classifier that can say: the bytes its
// tests can read, masked, and how much of them was captured. Two frames with
// equal keys take the same path.
struct ClassKey {
  static constexpr int kWords = 4;  // one per window of the layout
  std::uint64_t words[kWords] = {};
  std::uint64_t seen = 0;
  bool operator==(const ClassKey& o) const {
    return ((words[0] ^ o.words[0]) | (words[1] ^ o.words[1]) | (words[2] ^ o.words[2]) |
            (words[3] ^ o.words[3]) | (seen ^ o.seen)) == 0;
  }
};

// Where a key lies in a frame: up to four 8-byte windows, each masked to the
// bytes that matter (byte k of a window in bits 8k..8k+7; an unused window
// has a zero mask and reads the frame's first bytes), and the span of those
// bytes. A frame of at least `whole` bytes is read one load per window.
struct ClassKeyLayout {
  static constexpr int kWindows = ClassKey::kWords;
  std::uint16_t at[kWindows] = {};
  std::uint64_t mask[kWindows] = {};
  std::uint32_t span = 0;  // one past the last byte that matters
  std::uint32_t whole = 8;
};

// The key of a frame of `caplen` captured bytes. Read in line by the frame
// path, so that a frame of a known conversation costs no call to find it.
inline ClassKey class_key_of(const ClassKeyLayout& layout, const std::uint8_t* frame, std::size_t caplen) {
  ClassKey key;
  key.seen = caplen < layout.span ? caplen : layout.span;
  if (std::endian::native == std::endian::little && caplen >= layout.whole) {
    for (int w = 0; w < ClassKeyLayout::kWindows; ++w) {
      std::uint64_t v;
      std::memcpy(&v, frame + layout.at[w], sizeof v);
      key.words[w] = v & layout.mask[w];
    }
    return key;
  }
  // Byte by byte, only what was captured: the same words as above.
  for (int w = 0; w < ClassKeyLayout::kWindows; ++w) {
    std::uint64_t v = 0;
    for (unsigned b = 0; b < 8; ++b) {
      const std::size_t at = layout.at[w] + b;
      if (at < caplen && (layout.mask[w] >> (b * 8) & 0xFF) != 0) v |= std::uint64_t{frame[at]} << (b * 8);
    }
    key.words[w] = v;
  }
  return key;
}

class Classifier {
 public:
  virtual ~Classifier() = default;
  // Fills `path` (kPathSlots entries) for one frame (`caplen` bytes readable, `wire_len` counted)
  // and returns the number of protocols matched. Called for every frame on
  // the capture thread: must not allocate.
  virtual int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
                       const protocol_node** path) = 0;
  // The layout of this classifier's keys when it keys its frames: then any
  // two frames whose keys (class_key_of) are equal take the same path, and
  // a caller that remembers a keyed frame's path may count a later frame
  // with an equal key through count_again instead of classify. Null: every
  // frame must be classified. Fixed for the classifier's lifetime.
  virtual const ClassKeyLayout* key_layout() const { return nullptr; }
  // Counts `frames` more frames of `bytes` bytes in all on `nodes[0..n)`,
  // the nodes of a link's protocol tree that frames with an equal key were
  // counted on: on the nodes themselves, and on their protocols as classify
  // would have counted those frames. One pass over the nodes for frames that
  // repeat their link's last class.
  virtual void count_again(LinkProtoNode* const* nodes, int n, std::uint64_t frames, std::uint64_t bytes);
  // Display name of a node ("ETHER", "TCP", ...); empty for null.
  virtual std::string_view name_of(const protocol_node* node) const = 0;
  // Human description of a node ("World Wide Web"); empty when none.
  virtual std::string_view description_of(const protocol_node* node) const {
    return name_of(node);
  }
};

// Classifies nothing: every path is empty. Used when no protocol file is
// loaded.
class NullClassifier final : public Classifier {
 public:
  int classify(const std::uint8_t*, std::size_t, std::uint32_t, const protocol_node** path) override {
    path[0] = nullptr;
    return 0;
  }
  std::string_view name_of(const protocol_node*) const override { return {}; }
};

}  // namespace tarnix
