#include "core/wire_text.h"

#include <cstdio>
#include <utility>

namespace tarnix {

std::string wire_text(std::string_view raw, std::size_t max) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool cut = raw.size() > max;
  if (cut) raw = raw.substr(0, max);
  std::string out;
  out.reserve(raw.size() + (cut ? 3 : 0));
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  if (cut) out += "...";
  return out;
}

MessageLimiter::MessageLimiter(std::string prefix, int burst, std::chrono::seconds period, Sink sink,
                               Clock clock)
    : prefix_(std::move(prefix)),
      burst_(burst),
      period_(period),
      sink_(std::move(sink)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

MessageLimiter::~MessageLimiter() {
  std::lock_guard lock(mutex_);
  report_left_out();
}

void MessageLimiter::report_left_out() {
  if (left_out_ == 0) return;
  sink_(prefix_ + ": " + std::to_string(left_out_) + " similar message" + (left_out_ == 1 ? "" : "s") +
        " left out");
  left_out_ = 0;
}

bool MessageLimiter::print(const std::string& line) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  if (!started_ || now - period_start_ >= period_) {
    started_ = true;
    period_start_ = now;
    printed_ = 0;
  }
  if (printed_ >= burst_) {
    ++left_out_;
    return false;
  }
  report_left_out();
  ++printed_;
  sink_(line);
  return true;
}

MessageLimiter::Sink stderr_lines() {
  return [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
}

}  // namespace tarnix
