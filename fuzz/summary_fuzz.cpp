// Hostile names (hosts, protocols, foci, rankings, the capture's own name)
// through the headless program's end-of-run summary: the JSON form is always
// valid JSON in valid UTF-8, and each name in it reads back as it was when it
// was valid UTF-8 to begin with; the text forms are written without fault.
//
// Input: names separated by 0x1F, handed out in turn to the text fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/summary.h"
#include "fuzz_model.h"
#include "fuzz_text.h"

namespace {

using namespace tarnix;
using namespace tarnix::cli;

void check(bool ok) {
  if (!ok) std::abort();
}

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
std::size_t utf8_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned c = b(0);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size() || b(1) < lo || b(1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((b(k) & 0xC0) != 0x80) return 0;
  return n;
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8_at(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// A strict reader of JSON (RFC 8259) that keeps the strings it read.
class JsonReader {
 public:
  JsonReader(std::string_view s, bool keep) : s_(s), keep_(keep) {}
  bool document() {
    space();
    if (!value(0)) return false;
    space();
    return at_ == s_.size();
  }
  std::vector<std::string> strings;

 private:
  bool value(int depth) {
    if (depth > 64 || at_ >= s_.size()) return false;
    switch (s_[at_]) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }
  bool object(int depth) {
    ++at_;
    space();
    if (eat('}')) return true;
    for (;;) {
      space();
      if (at_ >= s_.size() || s_[at_] != '"' || !string()) return false;
      space();
      if (!eat(':')) return false;
      space();
      if (!value(depth + 1)) return false;
      space();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }
  bool array(int depth) {
    ++at_;
    space();
    if (eat(']')) return true;
    for (;;) {
      space();
      if (!value(depth + 1)) return false;
      space();
      if (eat(']')) return true;
      if (!eat(',')) return false;
    }
  }
  bool string() {
    ++at_;
    std::string out;
    unsigned high = 0;
    while (at_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        if (high) return false;
        if (keep_) strings.push_back(std::move(out));
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        const std::size_t n = utf8_at(s_, at_);
        if (n == 0 || high) return false;
        if (keep_) out.append(s_.substr(at_, n));
        at_ += n;
        continue;
      }
      if (++at_ >= s_.size()) return false;
      const char e = s_[at_++];
      const char* simple = "\"\\/bfnrt";
      const char* meant = "\"\\/\b\f\n\r\t";
      if (const char* p = e ? std::strchr(simple, e) : nullptr) {
        if (high) return false;
        out += meant[p - simple];
        continue;
      }
      if (e != 'u' || at_ + 4 > s_.size()) return false;
      unsigned u = 0;
      for (int k = 0; k < 4; ++k) {
        const char h = s_[at_++];
        u = u * 16 + static_cast<unsigned>(h >= '0' && h <= '9'   ? h - '0'
                                           : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                           : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                                  : 99);
        if (u >= 0x10000) return false;
      }
      if (u >= 0xD800 && u < 0xDC00) {
        if (high) return false;
        high = u;
        continue;
      }
      if (u >= 0xDC00 && u < 0xE000) {
        if (!high) return false;
        u = 0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00);
        high = 0;
      } else if (high) {
        return false;
      }
      tarnix::fuzz::append_utf8(out, u);
    }
    return false;
  }
  bool number() {
    const std::size_t start = at_;
    eat('-');
    if (eat('0')) {
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return at_ > start;
  }
  bool digits() {
    const std::size_t start = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > start;
  }
  bool word(std::string_view w) {
    if (s_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }
  bool eat(char c) {
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  void space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
      ++at_;
  }

  std::string_view s_;
  bool keep_;
  std::size_t at_ = 0;
};

// Checks a JSON text and gives the strings in it.
std::vector<std::string> json_strings(const std::string& text) {
  JsonReader r(text, true);
  check(r.document());
  return std::move(r.strings);
}

void check_json(const std::string& text) {
  JsonReader r(text, false);
  check(r.document());
}

class Names {
 public:
  explicit Names(std::string_view input) {
    for (std::size_t at = 0;;) {
      const std::size_t sep = input.find('\x1F', at);
      names_.emplace_back(
          input.substr(at, sep == std::string_view::npos ? std::string_view::npos : sep - at));
      if (sep == std::string_view::npos) break;
      at = sep + 1;
    }
  }
  // Each name once, then empty ones: a name written forty times over would
  // only make every input cost forty times as much.
  const std::string& next() { return next_ < names_.size() ? names_[next_++] : none_; }
  const std::vector<std::string>& all() const { return names_; }

 private:
  std::vector<std::string> names_;
  std::size_t next_ = 0;
  const std::string none_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Names names(std::string_view(reinterpret_cast<const char*>(data), size));

  // Every name alone reads back as it was, when it was valid UTF-8.
  for (const std::string& n : names.all()) {
    const std::vector<std::string> back = json_strings(json_string(n));
    check(back.size() == 1 && (!valid_utf8(n) || back[0] == n));
  }

  Summary s;
  s.source = names.next();
  s.cut_short_after = size;
  s.local_address = names.next();
  s.local_mask = names.next();
  for (int i = 0; i < 2; ++i) {
    s.hosts.push_back({names.next(), names.next(), names.next(), 1, 60, i == 0});
    LinkRow link;
    link.source = names.next();
    link.destination = names.next();
    link.dominant = names.next();
    link.protocols.push_back({names.next(), names.next(), 3, 180, {{names.next(), names.next(), 1, 60, {}}}});
    s.links.push_back(link);
  }
  s.subnets.push_back({names.next(), 2, {names.next(), names.next()}});
  s.duplicates = {names.next(), names.next()};
  s.recorded_urls = true;
  s.database = names.next();
  s.sensor = names.next();
  s.alarms_text = names.next();
  s.has_top = true;
  for (std::vector<TopRow>* rows :
       {&s.top.hosts, &s.top.links, &s.top.alarms, &s.top.urls, &s.top.url_clients, &s.top.url_servers})
    rows->push_back({names.next(), names.next(), 1, 9});
  (void)render_text(s);
  check_json(render_json(s));

  // Focus names come from a file; the protocols they name are the shipped
  // file's own.
  static const PdlClassifier classifier(fuzz::shipped_tree());
  const protocol_node* tcp = fuzz::shipped_tree()->lookup("TCP");
  FocusStore store;
  store.dictionary.push_back({names.next(), {{tcp, names.next(), 3}, {nullptr, names.next(), 31}}});
  store.dictionary.push_back({names.next(), {}});
  store.active = 1;
  (void)render_foci_text(store, classifier);
  check_json(render_foci_json(store, classifier));
  return 0;
}
