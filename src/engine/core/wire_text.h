// Text that came off the wire, made safe to print: a hostile peer must not
// reach the admin's terminal with escape sequences, nor fill the log.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace tarnix {

// Longest wire value quoted in a message before it is cut.
inline constexpr std::size_t kWireTextMax = 200;

// Printable ASCII passes; every other byte, and the backslash, is written as
// "\xNN" (so the text reads back unambiguously). More than `max` bytes of
// input are cut, and "..." says so.
std::string wire_text(std::string_view raw, std::size_t max = kWireTextMax);

// Lets the first `burst` messages of each period through and counts the
// rest; the first message let through afterwards (or the destructor) first
// reports "<prefix>: N similar messages left out". Thread-safe.
class MessageLimiter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Sink = std::function<void(const std::string& line)>;

  MessageLimiter(std::string prefix, int burst, std::chrono::seconds period, Sink sink, Clock clock = {});
  ~MessageLimiter();
  MessageLimiter(const MessageLimiter&) = delete;
  MessageLimiter& operator=(const MessageLimiter&) = delete;

  // `line` without its newline. False when it was left out.
  bool print(const std::string& line);

 private:
  void report_left_out();  // under mutex_

  std::string prefix_;
  int burst_;
  std::chrono::seconds period_;
  Sink sink_;
  Clock clock_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point period_start_{};
  bool started_ = false;
  int printed_ = 0;
  std::uint64_t left_out_ = 0;
};

// A sink writing each line and a newline to standard error.
MessageLimiter::Sink stderr_lines();

}  // namespace tarnix
