#include "ui/monitor/list_format.h"

namespace tarnix::ui {

QString format_bytes(std::uint64_t bytes, const QLocale& locale) {
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) return QStringLiteral("%1 B").arg(bytes);
  double v = double(bytes);
  int unit = -1;
  // 999,950 bytes would round to "1000.0 kB": the next unit takes it.
  while (v >= 999.95 && unit + 1 < int(std::size(kUnits))) {
    v /= 1000.0;
    ++unit;
  }
  return QStringLiteral("%1 %2").arg(locale.toString(v, 'f', 1), QLatin1String(kUnits[unit]));
}

QString format_count(std::uint64_t count, const QLocale& locale) {
  return locale.toString(qulonglong(count));
}

std::optional<std::uint64_t> cell_number(const QString& text) {
  bool ok = false;
  const qulonglong v = text.toULongLong(&ok);
  if (!ok) return std::nullopt;
  return std::uint64_t(v);
}

namespace {

// A field holding a separator, quote or line break is quoted so the row
// keeps its columns when pasted.
QString field(const QString& s, QChar sep) {
  if (!s.contains(sep) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n'))) return s;
  QString q = s;
  q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + q + QLatin1Char('"');
}

QString line(const QStringList& cells, QChar sep) {
  QStringList out;
  for (const QString& c : cells) out << field(c, sep);
  return out.join(sep);
}

}  // namespace

QString rows_as_text(const QStringList& header, const std::vector<QStringList>& rows, QChar separator) {
  QString text = line(header, separator) + QLatin1Char('\n');
  for (const QStringList& r : rows) text += line(r, separator) + QLatin1Char('\n');
  return text;
}

}  // namespace tarnix::ui
