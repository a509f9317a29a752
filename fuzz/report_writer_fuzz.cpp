// Hostile names through the report writer's four forms: whatever a name
// holds, it cannot leave its place in the markup (an HTML element, an RTF
// group, one CSV field), and each form, read back by its own rules, shows
// the same text as the plain-text form.
//
// Input: [line kind:1][fields separated by 0x1F]. The first field is written
// as a line of the chosen kind and as a link; all of them as a CSV row.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_text.h"
#include "reports/report_writer.h"

namespace {

using namespace tarnix;

void check(bool ok) {
  if (!ok) std::abort();
}

bool starts(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}
bool ends(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

using tarnix::fuzz::append_utf8;

// HTML text: no markup of its own, every '&' an entity; gives the text.
std::string html_text(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    check(c != '<' && c != '>' && c != '"' && c != '\'');
    if (c != '&') {
      out += c;
      continue;
    }
    const std::size_t semi = s.find(';', i);
    check(semi != std::string_view::npos);
    const std::string_view name = s.substr(i + 1, semi - i - 1);
    if (name == "amp") {
      out += '&';
    } else if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "quot") {
      out += '"';
    } else if (name == "apos") {
      out += '\'';
    } else {
      check(name.size() >= 2 && name[0] == '#');
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits(name.substr(hex ? 2 : 1));
      check(!digits.empty() && digits.size() <= 6 &&
            digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") == std::string::npos);
      append_utf8(out, static_cast<std::uint32_t>(std::stoul(digits, nullptr, hex ? 16 : 10)));
    }
    i = semi;
  }
  return out;
}

// RTF text inside a group: braces and backslashes only as escapes, nothing
// but printable ASCII and line breaks as they are; gives the text. \'hh is
// read as the character hh of the document's code page (Latin-1 above
// 0x9F), or with `bytes` as one byte of the text's own UTF-8.
std::string rtf_text(std::string_view s, bool bytes) {
  std::string out;
  std::uint32_t high = 0;  // a UTF-16 high surrogate waiting for its pair
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    check(c != '{' && c != '}' && (c == '\n' || (c >= 0x20 && c < 0x7F)));
    if (c != '\\') {
      check(high == 0);
      out += static_cast<char>(c);
      continue;
    }
    check(i + 1 < s.size());
    const char e = s[++i];
    if (e == '\\' || e == '{' || e == '}') {
      check(high == 0);
      out += e;
    } else if (e == '\'') {
      check(high == 0 && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2])));
      const auto hh = static_cast<std::uint32_t>(std::stoul(std::string(s.substr(i + 1, 2)), nullptr, 16));
      if (bytes)
        out += static_cast<char>(hh);
      else
        append_utf8(out, hh);
      i += 2;
    } else {
      // \uN? : N a signed 16-bit UTF-16 unit, '?' the stand-in.
      check(e == 'u');
      std::size_t j = i + 1;
      if (j < s.size() && s[j] == '-') ++j;
      const std::size_t digits = j;
      while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
      check(j > digits && j - digits <= 5 && j < s.size() && s[j] == '?');
      long n = std::stol(std::string(s.substr(i + 1, j - i - 1)));
      check(n >= -32768 && n <= 32767);
      const auto unit = static_cast<std::uint32_t>(n < 0 ? n + 65536 : n);
      if (unit >= 0xD800 && unit < 0xDC00) {
        check(high == 0);
        high = unit;
      } else if (unit >= 0xDC00 && unit < 0xE000) {
        check(high != 0);
        append_utf8(out, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
        high = 0;
      } else {
        check(high == 0);
        append_utf8(out, unit);
      }
      i = j;
    }
  }
  check(high == 0);
  return out;
}

// The CSV fields of one record: each quoted, inner quotes doubled; gives
// them and moves `at` past the record's end.
std::vector<std::string> csv_record(std::string_view s, std::size_t& at) {
  std::vector<std::string> fields;
  for (;;) {
    check(at < s.size() && s[at] == '"');
    std::string f;
    for (++at;; ++at) {
      check(at < s.size());
      if (s[at] != '"') {
        f += s[at];
      } else if (at + 1 < s.size() && s[at + 1] == '"') {
        f += '"';
        ++at;
      } else {
        break;
      }
    }
    fields.push_back(f);
    ++at;
    check(at < s.size());
    if (s[at] == '\n') {
      ++at;
      return fields;
    }
    check(s[at] == ',');
    ++at;
    // The line form ends its one field with a comma.
    if (at < s.size() && s[at] == '\n') {
      ++at;
      return fields;
    }
  }
}

// A spreadsheet field may carry a leading ' that keeps a formula from being
// evaluated; otherwise it shows the text as it is.
bool csv_shows(const std::string& field, std::string_view text) {
  if (field == text) return true;
  return !text.empty() && std::string_view("=+-@").find(text[0]) != std::string_view::npos &&
         field.size() == text.size() + 1 && field[0] == '\'' && std::string_view(field).substr(1) == text;
}

std::string_view trim_breaks(std::string_view s) {
  const std::size_t b = s.find_first_not_of('\n');
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of('\n') - b + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const LineKind kKinds[] = {LineKind::kLine, LineKind::kSmall, LineKind::kHeading, LineKind::kItalic,
                                    LineKind::kUnderline};
  const LineKind kind = kKinds[data[0] % 5];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> fields;
  for (std::size_t at = 0;;) {
    const std::size_t sep = input.find('\x1F', at);
    fields.emplace_back(input.substr(at, sep == std::string_view::npos ? std::string_view::npos : sep - at));
    if (sep == std::string_view::npos) break;
    at = sep + 1;
  }
  const std::string& name = fields[0];

  // The plain-text form: one line as the other forms must show it.
  const std::string text_line = report_line(ReportForm::kText, kind, name);
  check(ends(text_line, "\n"));
  const std::string_view shown(text_line.data(), text_line.size() - 1);

  std::string html = report_line(ReportForm::kHtml, kind, name);
  check(ends(html, "<BR>"));
  std::string_view h(html.data(), html.size() - 4);
  if (kind == LineKind::kHeading || kind == LineKind::kItalic) {
    const std::string_view tag = kind == LineKind::kHeading ? "B>" : "I>";
    check(starts(h, std::string("<") + std::string(tag)) && ends(h, std::string("</") + std::string(tag)));
    h = h.substr(3, h.size() - 7);
  }
  check(html_text(h) == shown);

  const std::string rtf = report_line(ReportForm::kRtf, kind, name);
  static const std::string_view kOpens[] = {"{\\plain\\f3\\fs12 ", "{\\f3\\fs10 ", "{\\f3\\fs12\\b ", "{\\i ",
                                            "{\\ul "};
  const std::string_view open = kOpens[data[0] % 5];
  check(starts(rtf, std::string("\\par     ") + std::string(open)) && ends(rtf, "  }"));
  const std::size_t body_at = 9 + open.size();
  // Either reading of \'hh shows the text; each keeps the name in its group.
  const std::string_view rtf_body = std::string_view(rtf).substr(body_at, rtf.size() - body_at - 3);
  check(rtf_text(rtf_body, false) == shown || rtf_text(rtf_body, true) == shown);

  const std::string csv = report_line(ReportForm::kCsv, kind, name);
  if (trim_breaks(shown).empty()) {
    check(csv.empty());
  } else {
    std::size_t at = 0;
    const std::vector<std::string> one = csv_record(csv, at);
    check(at == csv.size() && one.size() == 1 && csv_shows(one[0], trim_breaks(shown)));
  }

  // A link shows the name and, when it is one at all, points where it says.
  const std::string link = report_link(ReportForm::kHtml, name);
  const std::string_view l(link);
  if (starts(l, "<A HREF=\"")) {
    const std::size_t q = l.find('"', 9);
    check(q != std::string_view::npos);
    const std::string_view href = l.substr(9, q - 9);
    check(l.substr(q) == "\">" + std::string(href) + "</A>");
    html_text(href);
  } else {
    html_text(l);
  }
  for (ReportForm form : {ReportForm::kText, ReportForm::kRtf, ReportForm::kCsv})
    check(report_link(form, name).empty());

  // A row keeps its fields apart, each shown as the line form shows it.
  const std::string row = report_csv_row(fields);
  std::size_t at = 0;
  const std::vector<std::string> back = csv_record(row, at);
  check(at == row.size() && back.size() == fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view f = fields[i];
    if (f.empty() || f != trim_breaks(f)) continue;
    const std::string alone = report_line(ReportForm::kCsv, LineKind::kLine, fields[i]);
    std::size_t a = 0;
    check(csv_record(alone, a)[0] == back[i]);
  }
  return 0;
}
