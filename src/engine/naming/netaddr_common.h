// Operations both address kinds share, parameterised by length.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/hash.h"

namespace tarnix::netaddr_detail {

template <int N>
std::int32_t hash(const std::uint8_t* b) {
  return bytes_hash(b, N);
}
template <int N>
void copy(const std::uint8_t* from, std::uint8_t* to) {
  std::memcpy(to, from, N);
}
template <int N>
void clear(std::uint8_t* b) {
  std::memset(b, 0, N);
}
// Sign of the first differing byte, compared as unsigned.
template <int N>
int compare(const std::uint8_t* a, const std::uint8_t* b) {
  for (int i = 0; i < N; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

}  // namespace tarnix::netaddr_detail
