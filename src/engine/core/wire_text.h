// Text that came off the wire, made safe to print: a hostile peer must not
// reach the admin's terminal with escape sequences, nor fill the log.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/mutex.h"

namespace tarnix {

// Longest wire value quoted in a message before it is cut.
inline constexpr std::size_t kWireTextMax = 200;

// Every output that shows text a peer can shape (host names, URLs, Host
// values, TLS server names, names the name service answered) goes through
// one of the rules below, one per form. All of them start from the text
// rule, so a name reads the same in a terminal, a report and a spreadsheet.
//
// Text (terminal, plain-text files): printable ASCII and well-formed UTF-8
// pass. C0 controls, DEL, C1 controls (U+0080..U+009F), the characters that
// turn text around or break lines without a control (bidirectional
// overrides and isolates, U+2028, U+2029), every byte of malformed UTF-8
// and the backslash itself are written byte by byte as "\xNN", so the text
// reads back unambiguously and nothing reaches a terminal as a command.
std::string escape_text(std::string_view raw);

// One CSV field (RFC 4180): the text rule, then quoted with inner quotes
// doubled. A field that would start with = + - or @ gets a leading ', so a
// spreadsheet shows it rather than evaluating it as a formula.
std::string escape_csv(std::string_view raw);

// HTML text or attribute value: the text rule, then & < > " ' as entities.
std::string escape_html(std::string_view raw);

// RTF text: the text rule, then \ { } escaped; U+00A0..U+00FF as \'hh (the
// document's \ansi code page), other non-ASCII characters as \uN? (N the
// signed 16-bit UTF-16 unit, '?' what a reader without Unicode shows).
std::string escape_rtf(std::string_view raw);

// A quoted JSON string of wire text: quotes, backslashes, C0 controls, DEL
// and C1 controls escaped as \uXXXX (with kShortForms, newline and tab as
// \n and \t), every byte of malformed UTF-8 as U+FFFD, so the document is
// valid UTF-8 that a strict reader takes and a terminal shows as data.
enum class JsonControls { kCodePoints, kShortForms };
std::string escape_json(std::string_view raw, JsonControls controls = JsonControls::kCodePoints);

// The text rule for a value quoted in a message: more than `max` bytes of
// input are cut (at a character boundary), and "..." says so.
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
  void report_left_out() REQUIRES(mutex_);

  std::string prefix_;
  int burst_;
  std::chrono::seconds period_;
  Sink sink_;
  Clock clock_;
  Mutex mutex_;
  std::chrono::steady_clock::time_point period_start_ GUARDED_BY(mutex_){};
  bool started_ GUARDED_BY(mutex_) = false;
  int printed_ GUARDED_BY(mutex_) = 0;
  std::uint64_t left_out_ GUARDED_BY(mutex_) = 0;
};

// A sink writing each line and a newline to standard error.
MessageLimiter::Sink stderr_lines();

}  // namespace tarnix
