#include "capture/bindings.h"

namespace tarnix {

int PdlClassifier::classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
                            const protocol_node** path) {
  ProtocolPath p;
  int n = protocol_classify(tree_, frame, caplen, wire_len, p);
  for (int i = 0; i < kPathSlots; ++i) path[i] = p[static_cast<std::size_t>(i)];
  return n;
}

std::string_view PdlClassifier::name_of(const protocol_node* node) const {
  return node ? std::string_view(node->name) : std::string_view();
}

std::string_view PdlClassifier::description_of(const protocol_node* node) const {
  return node ? std::string_view(node->description) : std::string_view();
}

}  // namespace tarnix
static_assert(tarnix::kPathSlots == tarnix::kProtocolPathMax + 1, "path sizes differ");
