#include "core/wire_text.h"

#include <cstdio>
#include <utility>

namespace tarnix {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length of the well-formed UTF-8 character at text[i], with its code
// point; 0 when the bytes there are no such character (a stray continuation
// byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t utf8_char(std::string_view text, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t n = 0;
  char32_t least = 0;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, cp = b0 & 0x1F, least = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, cp = b0 & 0x0F, least = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, cp = b0 & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool shown_as_is(char32_t cp) {
  if (cp < 0x20 || cp == 0x7F || cp == '\\') return false;
  if (cp >= 0x80 && cp <= 0x9F) return false;  // C1: CSI, OSC, ... on some terminals
  // Characters that reorder or break the text around them: what is shown
  // would no longer be what was sent.
  if (cp == 0x061C || cp == 0x200E || cp == 0x200F) return false;
  if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) return false;
  if (cp == 0x2028 || cp == 0x2029) return false;
  return true;
}

void put_hex(std::string& out, std::string_view bytes) {
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xf];
  }
}

// The text rule over [0, limit) of raw, stopping before a character that
// would not fit whole.
std::string escape_upto(std::string_view raw, std::size_t limit, std::size_t* consumed) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    char32_t cp = 0;
    const std::size_t n = utf8_char(raw, i, cp);
    const std::size_t step = n == 0 ? 1 : n;
    if (i + step > limit) break;
    if (n != 0 && shown_as_is(cp))
      out.append(raw, i, n);
    else
      put_hex(out, raw.substr(i, step));
    i += step;
  }
  if (consumed != nullptr) *consumed = i;
  return out;
}

}  // namespace

std::string escape_text(std::string_view raw) {
  return escape_upto(raw, raw.size(), nullptr);
}

std::string escape_json(std::string_view raw, JsonControls controls) {
  std::string out;
  out.reserve(raw.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < raw.size();) {
    char32_t cp = 0;
    const std::size_t n = utf8_char(raw, i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (controls == JsonControls::kShortForms && cp == '\n') {
      out += "\\n";
    } else if (controls == JsonControls::kShortForms && cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
      out += "\\u00";
      out += kHex[cp >> 4];
      out += kHex[cp & 0xF];
    } else {
      out.append(raw, i, n);
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string wire_text(std::string_view raw, std::size_t max) {
  std::size_t consumed = 0;
  std::string out = escape_upto(raw, max, &consumed);
  if (consumed < raw.size()) out += "...";
  return out;
}

std::string escape_csv(std::string_view raw) {
  const std::string text = escape_text(raw);
  std::string out = "\"";
  if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@')) out += '\'';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string escape_html(std::string_view raw) {
  const std::string text = escape_text(raw);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string escape_rtf(std::string_view raw) {
  const std::string text = escape_text(raw);
  std::string out;
  out.reserve(text.size());
  auto unit = [&out](char32_t u) {
    out += "\\u" + std::to_string(static_cast<std::int16_t>(static_cast<std::uint16_t>(u))) + "?";
  };
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    // The text rule left only well-formed characters.
    const std::size_t n = utf8_char(text, i, cp);
    if (cp < 0x80) {
      if (cp == '\\' || cp == '{' || cp == '}') out += '\\';
      out += static_cast<char>(cp);
    } else if (cp <= 0xFF) {
      // The document's own code page (\ansi) holds these: readers without
      // Unicode show them too.
      out += "\\'";
      out += kHex[cp >> 4];
      out += kHex[cp & 0xf];
    } else if (cp < 0x10000) {
      unit(cp);
    } else {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    i += n == 0 ? 1 : n;
  }
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
  MutexLock lock(mutex_);
  report_left_out();
}

void MessageLimiter::report_left_out() {
  if (left_out_ == 0) return;
  sink_(prefix_ + ": " + std::to_string(left_out_) + " similar message" + (left_out_ == 1 ? "" : "s") +
        " left out");
  left_out_ = 0;
}

bool MessageLimiter::print(const std::string& line) {
  MutexLock lock(mutex_);
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
