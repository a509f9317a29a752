#include "core/host_name.h"

namespace tarnix {

namespace {

bool letter_digit_hyphen(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

bool is_valid_host_name(std::string_view name) {
  if (name.empty() || name.size() > kHostNameMax) return false;
  bool last_all_digits = false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    const std::string_view label = name.substr(start, dot - start);
    if (label.empty() || label.size() > kHostLabelMax) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    last_all_digits = true;
    for (const char c : label) {
      if (!letter_digit_hyphen(c)) return false;
      last_all_digits = last_all_digits && c >= '0' && c <= '9';
    }
    start = dot + 1;
  }
  return !last_all_digits;
}

}  // namespace tarnix
