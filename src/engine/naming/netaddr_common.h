// What every address kind shares: the operations that depend only on its
// length, its text form through its formatter, and the record tying them
// together.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/hash.h"
#include "naming/netaddr.h"

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

// The text form, written by the kind's own formatter.
template <void (*Format)(const std::uint8_t*, char*)>
std::string text(const std::uint8_t* b) {
  char buf[kAddressTextSize];
  Format(b, buf);
  return buf;
}

// A kind's record: its length's operations with its own text forms.
template <int N, void (*Format)(const std::uint8_t*, char*), void (*Parse)(std::uint8_t*, const char*)>
constexpr AddressType address_type(int index) {
  return {index, N, hash<N>, copy<N>, clear<N>, compare<N>, text<Format>, Format, Parse};
}

}  // namespace tarnix::netaddr_detail
