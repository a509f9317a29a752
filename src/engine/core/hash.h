// The hash functions whose bucket choice (low 8 bits) decides the iteration
// order that windows and reports show; they must not change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnix {

// h = (h << 2) ^ c over sign-extended bytes, 32-bit wrap.
inline std::int32_t string_hash(std::string_view key) {
  std::uint32_t h = 0;
  for (char ch : key) {
    auto c = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(ch)));
    h = (h << 2) ^ c;
  }
  return static_cast<std::int32_t>(h);
}

// Used by the host-name cache: h ^= c, then h <<= 1 at even positions.
inline std::int32_t string_hash_alt(std::string_view key) {
  std::uint32_t h = 0;
  std::size_t k = 0;
  for (char ch : key) {
    auto c = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(ch)));
    h ^= c;
    if (k % 2 == 0) h <<= 1;
    ++k;
  }
  return static_cast<std::int32_t>(h);
}

// Address hash: h = byte ^ (h << 2) over sign-extended bytes.
inline std::int32_t bytes_hash(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t h = 0;
  for (std::size_t i = 0; i < length; ++i) {
    auto c = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(bytes[i])));
    h = c ^ (h << 2);
  }
  return static_cast<std::int32_t>(h);
}

}  // namespace tarnix
