#include "ui/monitor/list_model.h"

#include <algorithm>

namespace tarnix::ui {

ListModel::ListModel(QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), headers_(std::move(headers)) {}

int ListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows();
}

int ListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows()) return {};
  if (role == Qt::DisplayRole) return text(index.row(), index.column());
  if (role == Qt::TextAlignmentRole && std::find(numeric_.begin(), numeric_.end(), index.column()) != numeric_.end())
    return int(Qt::AlignRight | Qt::AlignVCenter);
  return {};
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
