// How the lists show their figures: byte counts with a unit, counts with the
// user's thousands separators, and rows copied out as text.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnix::ui {

// "512 B", "1.2 kB", "3.4 MB" (powers of 1000, one decimal in the locale's
// form once a unit is reached).
QString format_bytes(std::uint64_t bytes, const QLocale& locale = QLocale());
// "1,234,567" in an English locale, "1.234.567" in a German one.
QString format_count(std::uint64_t count, const QLocale& locale = QLocale());
// The whole number a cell holds, or nothing when it holds none (empty,
// text, a fraction).
std::optional<std::uint64_t> cell_number(const QString& text);

// Rows with the header first, fields split by `separator`: tabs paste into a
// spreadsheet as columns, commas make CSV. A field holding the separator,
// a quote or a line break is quoted.
QString rows_as_text(const QStringList& header, const std::vector<QStringList>& rows,
                     QChar separator = QLatin1Char('\t'));

}  // namespace tarnix::ui
