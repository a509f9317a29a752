// What the frame path needs from protocol classification. The protocol tree
// itself belongs to the protocol definitions; the capture side sees its nodes
// only as opaque references that it counts per link and can name.
#pragma once

#include <cstddef>
#include <cstdint>
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
  std::uint64_t words[4] = {};
  std::uint64_t seen = 0;
  bool operator==(const ClassKey& o) const {
    return ((words[0] ^ o.words[0]) | (words[1] ^ o.words[1]) | (words[2] ^ o.words[2]) |
            (words[3] ^ o.words[3]) | (seen ^ o.seen)) == 0;
  }
};

class Classifier {
 public:
  virtual ~Classifier() = default;
  // Fills `path` (kPathSlots entries) for one frame (`caplen` bytes readable, `wire_len` counted)
  // and returns the number of protocols matched. Called for every frame on
  // the capture thread: must not allocate.
  virtual int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
                       const protocol_node** path) = 0;
  // Fills `key` for the frame and returns true when this classifier keys
  // its frames (see ClassKey); false when every frame must be classified.
  // A caller that remembers the path of a keyed frame may count a later
  // frame with an equal key through count_again instead of classify.
  virtual bool class_key(const std::uint8_t* /*frame*/, std::size_t /*caplen*/, ClassKey& /*key*/) {
    return false;
  }
  // Counts one more frame of `wire_len` bytes on `nodes[0..n)`, the nodes
  // of a link's protocol tree that a frame with an equal key was counted on:
  // on the nodes themselves, and on their protocols as classify would have
  // counted them. One pass over the nodes for the frames that repeat their
  // link's last class.
  virtual void count_again(LinkProtoNode* const* nodes, int n, std::uint32_t wire_len);
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
