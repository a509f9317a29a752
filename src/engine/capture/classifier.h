// What the frame path needs from protocol classification. The protocol tree
// itself belongs to the protocol definitions; the capture side sees its nodes
// only as opaque references that it counts per link and can name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnix {

struct protocol_node;

// A classification path: the matched nodes from the root inwards, followed
// by a null entry, so at most six protocols.
constexpr int kPathSlots = 7;

class Classifier {
 public:
  virtual ~Classifier() = default;
  // Fills `path` (kPathSlots entries) for one frame (`caplen` bytes readable, `wire_len` counted)
  // and returns the number of protocols matched. Called for every frame on
  // the capture thread: must not allocate.
  virtual int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
                       const protocol_node** path) = 0;
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
