#include "ui/reports/rtf_reader.h"

#include <QFontDatabase>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <cctype>
#include <vector>

namespace tarnix::ui {

namespace {

struct GroupState {
  QTextCharFormat format;
  bool skip = false;  // inside the font or colour table
};

QTextCharFormat plain_format(const QTextCharFormat& base) {
  QTextCharFormat f = base;
  f.setFontWeight(QFont::Normal);
  f.setFontItalic(false);
  f.setFontUnderline(false);
  return f;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void rtf_read(const QByteArray& rtf, QTextDocument& document) {
  document.clear();
  QTextCursor cursor(&document);
  QTextCharFormat base;
  base.setFontFamilies({QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
  std::vector<GroupState> stack{{base, false}};
  QString pending;  // text not yet inserted in the current format

  auto flush = [&] {
    if (!pending.isEmpty() && !stack.back().skip) cursor.insertText(pending, stack.back().format);
    pending.clear();
  };

  const qsizetype n = rtf.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char c = rtf[i];
    if (c == '{') {
      flush();
      stack.push_back(stack.back());
    } else if (c == '}') {
      flush();
      if (stack.size() > 1) stack.pop_back();
    } else if (c == '\r' || c == '\n') {
      // Line breaks in RTF source are no text.
    } else if (c != '\\') {
      pending += QChar(static_cast<unsigned char>(c));
    } else if (i + 1 < n) {
      const char d = rtf[++i];
      if (d == '\\' || d == '{' || d == '}') {
        pending += QChar(d);
      } else if (d == '\'') {
        const int hi = i + 1 < n ? hex_digit(rtf[i + 1]) : -1;
        const int lo = i + 2 < n ? hex_digit(rtf[i + 2]) : -1;
        if (hi >= 0 && lo >= 0) {
          pending += QChar(static_cast<char16_t>(hi * 16 + lo));  // the ANSI page read as Latin-1
          i += 2;
        }
      } else if (std::isalpha(static_cast<unsigned char>(d))) {
        qsizetype j = i;
        while (j < n && std::isalpha(static_cast<unsigned char>(rtf[j]))) ++j;
        const QByteArray word = rtf.mid(i, j - i);
        bool has_value = false;
        long value = 0;
        bool negative = false;
        if (j < n && rtf[j] == '-') {
          negative = true;
          ++j;
        }
        while (j < n && std::isdigit(static_cast<unsigned char>(rtf[j])) && value < 100000) {
          value = value * 10 + (rtf[j] - '0');
          has_value = true;
          ++j;
        }
        if (negative) value = -value;
        if (j < n && rtf[j] == ' ') ++j;  // the delimiter belongs to the word
        i = j - 1;
        flush();
        QTextCharFormat& f = stack.back().format;
        const bool on = !has_value || value != 0;
        if (word == "par") {
          cursor.insertBlock();
        } else if (word == "fonttbl" || word == "colortbl") {
          stack.back().skip = true;
        } else if (word == "plain") {
          f = plain_format(f);
        } else if (word == "f") {
          if (value == 3) f.setFontFamilies({QStringLiteral("Courier New"), QStringLiteral("Courier"),
                                             QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
          f.setFontFixedPitch(value == 3);
        } else if (word == "fs") {
          if (has_value && value > 0 && value <= 400) f.setFontPointSize(value / 2.0);
        } else if (word == "b") {
          f.setFontWeight(on ? QFont::Bold : QFont::Normal);
        } else if (word == "i") {
          f.setFontItalic(on);
        } else if (word == "ul") {
          f.setFontUnderline(on);
        } else if (word == "ulnone") {
          f.setFontUnderline(false);
        }
        // rtf1, ansi, deff, deflang and words the writer never emits: nothing.
      }
      // A control symbol the writer never emits is dropped.
    }
  }
  flush();
}

}  // namespace tarnix::ui
