// The protocol symbol table: every name the protocol file mentions, with
// the tree node that the name stands for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/hashtable.h"

namespace tarnix {

struct protocol_node;

// Longest name a protocol file may give a protocol (a 20-byte field with
// its terminator). Generated "OTHER_" names may be longer.
inline constexpr std::size_t kProtocolNameMax = 19;

enum : std::int32_t {
  kSymbolUndefined = 0,  // seen, not (yet) defined
  kSymbolPrimitive = 1,  // "primitive" line, or a generated Other child
  kSymbolProtocol = 2,   // protocol with a body of field lines
};

struct protocol_symbol {
  std::string name;
  protocol_node* node = nullptr;
  std::int32_t kind = kSymbolUndefined;
  // Where the file placed the name; kept for error messages.
  int defined_line = 0;                     // primitive line or protocol head
  int body_line = 0;                        // protocol head with a body
  int field_line = 0;                       // the field line naming it
  const protocol_node* parent = nullptr;    // protocol of that field line
};

// h = (h ^ c) << 1 over the name's characters taken as signed bytes.
inline std::int32_t symbol_hash(std::string_view name) {
  std::uint32_t h = 0;
  for (char ch : name) {
    auto c = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(ch)));
    h = (h ^ c) << 1;
  }
  return static_cast<std::int32_t>(h);
}

struct SymbolKeyTraits {
  static std::int32_t hash(std::string_view key) { return symbol_hash(key); }
  static int compare(std::string_view stored, std::string_view probe) { return stored.compare(probe); }
};

using protocol_symbols = HashTable<std::string, protocol_symbol, SymbolKeyTraits>;

}  // namespace tarnix
