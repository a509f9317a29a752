// The report writer: one operation per kind of line, each rendered in the
// four forms a report is written in at once (plain text, RTF, HTML and
// comma-separated data), and the files that receive them.
//
// Texts come from the wire (host names, URLs): every form escapes what it
// writes by its own rule (core/wire_text.h), so a hostile name can neither
// reach a terminal that shows the text file, break out of the markup, nor
// become a spreadsheet formula. A line's leading and trailing line breaks are
// layout and kept. Only the reports' own table tags go out unescaped,
// through ReportOut::html(), with any name in them escaped by the caller.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix {

enum class ReportForm : int { kText = 0, kRtf = 1, kHtml = 2, kCsv = 3 };
inline constexpr int kReportForms = 4;

enum class LineKind { kLine, kSmall, kHeading, kItalic, kUnderline };

// The RTF form's header, as the window's reader expects it.
extern const char kRtfHeader[];

// The bytes each operation writes in a form (empty where a form writes
// nothing).
std::string report_begin(ReportForm form);
std::string report_line(ReportForm form, LineKind kind, std::string_view text);
std::string report_link(ReportForm form, std::string_view url);
std::string report_end(ReportForm form);
// A table row of the comma-separated form (other forms: nothing).
std::string report_csv_row(const std::vector<std::string>& fields);

// How a report's files come into being.
enum class ReportFileMode {
  // In a directory private to this process: each file is created anew
  // (never through a link, never over an existing file), readable by the
  // owner only.
  kPrivate,
  // In a directory the user named: each file is written beside its final
  // name and renamed over it once complete, so a reader never sees half a
  // report and a link planted under the name is replaced, not followed.
  kReplace,
};

// The extensions of the four files, by form.
const char* report_extension(ReportForm form);

// The four files of one report: base path + ".txt", ".rtf", ".html", ".csv".
class ReportFiles {
 public:
  ReportFiles() = default;
  ReportFiles(const ReportFiles&) = delete;
  ReportFiles& operator=(const ReportFiles&) = delete;
  ~ReportFiles();

  // False, with the reason in *error, when any file cannot be created;
  // nothing is left behind then.
  bool open(const std::string& base, ReportFileMode mode, std::string* error);
  void write(ReportForm form, std::string_view bytes);
  // Flushes and closes all four; false (with the reason) when anything
  // failed to be written. In replace mode the files then take their names.
  bool close(std::string* error);

 private:
  void discard();

  struct File {
    std::FILE* f = nullptr;
    std::string path;       // final name
    std::string temp_path;  // replace mode: where it is written first
  };
  File files_[kReportForms];
  ReportFileMode mode_ = ReportFileMode::kPrivate;
  bool failed_ = false;
  std::string failure_;
};

// Targets of one write: any of the four forms.
enum ReportTarget : unsigned {
  kToText = 1u << 0,
  kToRtf = 1u << 1,
  kToHtml = 1u << 2,
  kToCsv = 1u << 3,
  // The text and RTF files, and the comma-separated form that mirrors the
  // text file's lines.
  kToTextRtf = kToText | kToRtf | kToCsv,
  kToAll = kToText | kToRtf | kToHtml | kToCsv,
};

// What the generators write through.
class ReportOut {
 public:
  explicit ReportOut(ReportFiles& files) : files_(files) {}
  void begin();
  void end();
  void put(unsigned targets, LineKind kind, std::string_view text);
  void line(unsigned targets, std::string_view text) { put(targets, LineKind::kLine, text); }
  void heading(unsigned targets, std::string_view text) { put(targets, LineKind::kHeading, text); }
  // The reports' own HTML markup, as it is.
  void html(std::string_view markup);
  void html_link(std::string_view url);
  void csv_row(const std::vector<std::string>& fields);

 private:
  ReportFiles& files_;
};

// printf into a std::string.
std::string report_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tarnix
