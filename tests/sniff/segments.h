// TCP segments built byte by byte, for the sniffers' tests.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnix::testing_support {

// A TCP header (with `options_len` bytes of options, a multiple of 4)
// followed by the payload.
inline std::vector<std::uint8_t> tcp_segment(std::uint16_t sport, std::uint16_t dport,
                                             std::string_view payload, int options_len = 12) {
  std::vector<std::uint8_t> seg(20 + static_cast<std::size_t>(options_len), 0);
  seg[0] = static_cast<std::uint8_t>(sport >> 8);
  seg[1] = static_cast<std::uint8_t>(sport);
  seg[2] = static_cast<std::uint8_t>(dport >> 8);
  seg[3] = static_cast<std::uint8_t>(dport);
  seg[12] = static_cast<std::uint8_t>(((20 + options_len) / 4) << 4);
  seg[13] = 0x18;                                                                   // PSH, ACK
  for (int i = 0; i < options_len; ++i) seg[20 + static_cast<std::size_t>(i)] = 1;  // NOP
  seg.insert(seg.end(), payload.begin(), payload.end());
  return seg;
}

}  // namespace tarnix::testing_support
