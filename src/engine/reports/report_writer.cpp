#include "reports/report_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <random>

#include "core/wire_text.h"

namespace tarnix {

const char kRtfHeader[] =
    "{\\rtf1\\ansi \\deff4\\deflang1033{\\fonttbl{\\f3\\fcourier\\fcharset0\\fprq0 Courier;}}"
    "{\\colortbl;\\red0\\green0\\blue0;\\red0\\green0\\blue255;\\red0\\green255\\blue255;"
    "\\red0\\green255\\blue0;"
    "\\red255\\green0\\blue255;\\red255\\green0\\blue0; }";

namespace {

// A line's leading and trailing line breaks are the report's own layout;
// only what lies between them is text, escaped like any other.
struct Layout {
  std::string_view lead, body, trail;
};
Layout layout_of(std::string_view text) {
  const std::size_t b = text.find_first_not_of('\n');
  if (b == std::string_view::npos) return {text, {}, {}};
  const std::size_t e = text.find_last_not_of('\n') + 1;
  return {text.substr(0, b), text.substr(b, e - b), text.substr(e)};
}

}  // namespace

const char* report_extension(ReportForm form) {
  switch (form) {
    case ReportForm::kText:
      return ".txt";
    case ReportForm::kRtf:
      return ".rtf";
    case ReportForm::kHtml:
      return ".html";
    case ReportForm::kCsv:
      return ".csv";
  }
  return "";
}

std::string report_begin(ReportForm form) {
  if (form == ReportForm::kRtf) return kRtfHeader;
  if (form == ReportForm::kHtml) return "<HTML><BODY>";
  return {};
}

std::string report_end(ReportForm form) {
  if (form == ReportForm::kRtf) return "}";
  if (form == ReportForm::kHtml) return "</BODY></HTML>";
  return {};
}

std::string report_line(ReportForm form, LineKind kind, std::string_view text) {
  const Layout l = layout_of(text);
  switch (form) {
    case ReportForm::kText:
      return std::string(l.lead) + escape_text(l.body) + std::string(l.trail) + "\n";
    case ReportForm::kRtf: {
      const char* open = "{\\plain\\f3\\fs12 ";
      if (kind == LineKind::kSmall) open = "{\\f3\\fs10 ";
      if (kind == LineKind::kHeading) open = "{\\f3\\fs12\\b ";
      if (kind == LineKind::kItalic) open = "{\\i ";
      if (kind == LineKind::kUnderline) open = "{\\ul ";
      // A line break in RTF source is no text at all, as in the form's own
      // "\n" lines.
      return std::string("\\par     ") + open + std::string(l.lead) + escape_rtf(l.body) +
             std::string(l.trail) + "  }";
    }
    case ReportForm::kHtml: {
      const std::string t = std::string(l.lead) + escape_html(l.body) + std::string(l.trail);
      if (kind == LineKind::kHeading) return "<B>" + t + "</B><BR>";
      if (kind == LineKind::kItalic) return "<I>" + t + "</I><BR>";
      return t + "<BR>";
    }
    case ReportForm::kCsv:
      // One record per line of the text form; the line breaks that space
      // the text form out are no data.
      if (l.body.empty()) return {};
      return escape_csv(l.body) + ",\n";
  }
  return {};
}

std::string report_link(ReportForm form, std::string_view url) {
  if (form != ReportForm::kHtml) return {};
  const std::string u = escape_html(url);
  // Only a web or file-transfer address is made a link: a name a peer chose
  // must not become a script to click.
  const bool linkable =
      url.starts_with("http://") || url.starts_with("https://") || url.starts_with("ftp://");
  if (!linkable) return u;
  return "<A HREF=\"" + u + "\">" + u + "</A>";
}

std::string report_csv_row(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ',';
    out += escape_csv(fields[i]);
  }
  out += '\n';
  return out;
}

std::string report_format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, ap);
    out.resize(static_cast<std::size_t>(n));
  }
  va_end(ap);
  return out;
}

// ---- files

namespace {

std::string errno_text(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

// A fresh file at path: never an existing one, never through a link.
int create_exclusive(const std::string& path, mode_t mode) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

}  // namespace

ReportFiles::~ReportFiles() {
  discard();
}

void ReportFiles::discard() {
  for (File& f : files_) {
    if (f.f != nullptr) {
      std::fclose(f.f);
      f.f = nullptr;
      ::unlink((mode_ == ReportFileMode::kReplace ? f.temp_path : f.path).c_str());
    }
  }
}

bool ReportFiles::open(const std::string& base, ReportFileMode mode, std::string* error) {
  discard();
  mode_ = mode;
  failed_ = false;
  failure_.clear();
  std::random_device random;
  for (int i = 0; i < kReportForms; ++i) {
    File& f = files_[i];
    f.path = base + report_extension(static_cast<ReportForm>(i));
    int fd = -1;
    if (mode == ReportFileMode::kPrivate) {
      fd = create_exclusive(f.path, 0600);
    } else {
      // A report lists who visited what: the user's alone, like the
      // database it comes from, whatever the umask.
      for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        f.temp_path = report_format("%s.%08x.part", f.path.c_str(), static_cast<unsigned>(random()));
        fd = create_exclusive(f.temp_path, 0600);
        if (fd >= 0 && ::fchmod(fd, 0600) != 0) {
          ::close(fd);
          ::unlink(f.temp_path.c_str());
          fd = -1;
          break;
        }
        if (fd < 0 && errno != EEXIST) break;
      }
    }
    if (fd >= 0) f.f = ::fdopen(fd, "wb");
    if (f.f == nullptr) {
      if (error) *error = errno_text(mode == ReportFileMode::kPrivate ? f.path : f.temp_path);
      if (fd >= 0) ::close(fd);
      discard();
      return false;
    }
  }
  return true;
}

void ReportFiles::write(ReportForm form, std::string_view bytes) {
  File& f = files_[static_cast<int>(form)];
  if (f.f == nullptr || bytes.empty() || failed_) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), f.f) != bytes.size()) {
    failed_ = true;
    failure_ = errno_text(f.path);
  }
}

bool ReportFiles::close(std::string* error) {
  for (File& f : files_) {
    if (f.f == nullptr) continue;
    const bool flushed = std::fflush(f.f) == 0 && ::fsync(::fileno(f.f)) == 0;
    if (!flushed && !failed_) {
      failed_ = true;
      failure_ = errno_text(f.path);
    }
  }
  if (failed_) {
    if (error) *error = failure_;
    discard();
    return false;
  }
  for (File& f : files_) {
    if (f.f == nullptr) continue;
    std::fclose(f.f);
    f.f = nullptr;
    if (mode_ == ReportFileMode::kReplace && ::rename(f.temp_path.c_str(), f.path.c_str()) != 0) {
      if (!failed_) failure_ = errno_text(f.path);
      failed_ = true;
      ::unlink(f.temp_path.c_str());
    }
  }
  if (failed_ && error) *error = failure_;
  return !failed_;
}

// ---- what the generators write through

void ReportOut::begin() {
  for (int i = 0; i < kReportForms; ++i)
    files_.write(static_cast<ReportForm>(i), report_begin(static_cast<ReportForm>(i)));
}

void ReportOut::end() {
  for (int i = 0; i < kReportForms; ++i)
    files_.write(static_cast<ReportForm>(i), report_end(static_cast<ReportForm>(i)));
}

void ReportOut::put(unsigned targets, LineKind kind, std::string_view text) {
  for (int i = 0; i < kReportForms; ++i)
    if (targets & (1u << i))
      files_.write(static_cast<ReportForm>(i), report_line(static_cast<ReportForm>(i), kind, text));
}

void ReportOut::html(std::string_view markup) {
  files_.write(ReportForm::kHtml, markup);
}

void ReportOut::html_link(std::string_view url) {
  files_.write(ReportForm::kHtml, report_link(ReportForm::kHtml, url));
}

void ReportOut::csv_row(const std::vector<std::string>& fields) {
  files_.write(ReportForm::kCsv, report_csv_row(fields));
}

}  // namespace tarnix
