// The rows of a monitor list: texts per column and what each row stands for
// (a record of the traffic model, or database ids), which the context menus
// act on.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace tarnix::ui {

struct RowRef {
  const void* record = nullptr;   // host, link or alarm record
  const void* record2 = nullptr;  // a protocol tree node (host watch)
  std::int32_t id[3] = {0, 0, 0};
  bool operator==(const RowRef& o) const {
    return record == o.record && record2 == o.record2 && id[0] == o.id[0] && id[1] == o.id[1] &&
           id[2] == o.id[2];
  }
};

class ListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  // What a column's cells hold: the text() of a figure stays the plain
  // number; the view shows it with separators or a unit.
  enum class Kind { kText, kCount, kBytes };
  // The value a column sorts by: a number for figures, so 9 comes before 10.
  static constexpr int kSortRole = Qt::UserRole + 1;

  // Columns whose header names bytes show them with a unit.
  explicit ListModel(QStringList headers, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;

  int rows() const { return static_cast<int>(rows_.size()); }
  // Row i's texts and ref: overwritten when the row exists, else appended
  // (i at or beyond the end). Unchanged rows are not redrawn.
  void set_row(int i, const QStringList& cells, const RowRef& ref);
  // A new row at position i (clamped to the end).
  void insert_row(int i, const QStringList& cells, const RowRef& ref);
  // Columns from `first` on of an existing row.
  void set_cells(int i, int first, const QStringList& cells);
  const RowRef* ref(int i) const;
  QString text(int row, int column) const;
  void clear();
  // Columns of figures: right-aligned, sorted by value; a bytes column
  // stays one.
  void set_numeric(int column);
  Kind kind(int column) const;
  QStringList headers() const { return headers_; }

 private:
  struct Row {
    QStringList cells;
    RowRef ref;
  };
  QStringList headers_;
  std::vector<Row> rows_;
  std::vector<Kind> kinds_;
};

}  // namespace tarnix::ui
