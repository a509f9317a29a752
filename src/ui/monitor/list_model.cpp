#include "ui/monitor/list_model.h"

#include <arpa/inet.h>

#include <QLocale>
#include <algorithm>

#include "ui/monitor/list_format.h"

namespace tarnix::ui {

ListModel::ListModel(QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), headers_(std::move(headers)) {
  for (const QString& h : headers_)
    kinds_.push_back(h.contains(QLatin1String("Bytes"), Qt::CaseInsensitive) ? Kind::kBytes : Kind::kText);
}

void ListModel::set_numeric(int column) {
  if (column < 0 || column >= int(kinds_.size())) return;
  if (kinds_[std::size_t(column)] == Kind::kText) kinds_[std::size_t(column)] = Kind::kCount;
}

ListModel::Kind ListModel::kind(int column) const {
  return column >= 0 && column < int(kinds_.size()) ? kinds_[std::size_t(column)] : Kind::kText;
}

namespace {

// An IPv6 address sorts by its bytes, after every IPv4 address: "2~" comes
// after the largest IPv4 key ("255.") and before names of a later digit.
QString ipv6_key(const QString& text) {
  if (!text.contains(QLatin1Char(':'))) return {};
  const QByteArray latin = text.toLatin1();
  std::uint8_t bytes[16];
  if (inet_pton(AF_INET6, latin.constData(), bytes) != 1) return {};
  QString key = QStringLiteral("2~");
  for (const std::uint8_t b : bytes) key += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
  return key;
}

// Dotted IPv4 addresses sort by their value: each part zero-padded.
QString address_key(const QString& text) {
  if (QString six = ipv6_key(text); !six.isEmpty()) return six;
  const QStringList parts = text.split(QLatin1Char('.'));
  if (parts.size() != 4) return text;
  QString key;
  for (const QString& p : parts) {
    bool ok = false;
    const int v = p.toInt(&ok);
    if (!ok || v < 0 || v > 255) return text;
    key += QStringLiteral("%1.").arg(v, 3, 10, QLatin1Char('0'));
  }
  return key;
}

}  // namespace

int ListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows();
}

int ListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows()) return {};
  const Kind k = kind(index.column());
  const QString t = text(index.row(), index.column());
  const std::optional<std::uint64_t> n = k == Kind::kText ? std::nullopt : cell_number(t);
  switch (role) {
    case Qt::DisplayRole:
      if (!n) return t;
      return k == Kind::kBytes ? format_bytes(*n) : format_count(*n);
    case Qt::ToolTipRole:
      // The exact figure behind a unit; the whole text of a cut one.
      if (n && k == Kind::kBytes) return QStringLiteral("%1 bytes").arg(format_count(*n));
      return t.isEmpty() ? QVariant() : QVariant(t);
    case kSortRole:
      if (k != Kind::kText) return QVariant::fromValue<qulonglong>(n.value_or(0));
      return address_key(t);
    case Qt::TextAlignmentRole:
      if (k != Kind::kText) return int(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

QVariant ListModel::headerData(int section, Qt::Orientation o, int role) const {
  if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < headers_.size())
    return headers_[section];
  return {};
}

void ListModel::set_row(int i, const QStringList& cells, const RowRef& ref) {
  if (i >= rows()) {
    insert_row(rows(), cells, ref);
    return;
  }
  Row& r = rows_[std::size_t(i)];
  if (r.cells == cells && r.ref == ref) return;
  r.cells = cells;
  r.ref = ref;
  Q_EMIT dataChanged(index(i, 0), index(i, columnCount() - 1));
}

void ListModel::insert_row(int i, const QStringList& cells, const RowRef& ref) {
  i = std::clamp(i, 0, rows());
  beginInsertRows({}, i, i);
  rows_.insert(rows_.begin() + i, Row{cells, ref});
  endInsertRows();
}

void ListModel::set_cells(int i, int first, const QStringList& cells) {
  if (i < 0 || i >= rows()) return;
  QStringList& c = rows_[std::size_t(i)].cells;
  bool changed = false;
  for (int k = 0; k < cells.size(); ++k) {
    while (c.size() <= first + k) c.append(QString());
    if (c[first + k] != cells[k]) {
      c[first + k] = cells[k];
      changed = true;
    }
  }
  if (changed) Q_EMIT dataChanged(index(i, first), index(i, first + int(cells.size()) - 1));
}

const RowRef* ListModel::ref(int i) const {
  return i >= 0 && i < rows() ? &rows_[std::size_t(i)].ref : nullptr;
}

QString ListModel::text(int row, int column) const {
  if (row < 0 || row >= rows()) return {};
  const QStringList& c = rows_[std::size_t(row)].cells;
  return column >= 0 && column < c.size() ? c[column] : QString();
}

void ListModel::clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  endResetModel();
}

}  // namespace tarnix::ui
