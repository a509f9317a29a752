// The Focus Builder: edits a working copy of the focus dictionary (names,
// entries, colours) and, on OK, makes it the dictionary with the edited focus
// active. The protocol tree feeds entries by drag and drop.
#pragma once

#include <QAbstractListModel>
#include <QDialog>
#include <QListView>
#include <QStandardItemModel>
#include <QTreeView>
#include <functional>
#include <vector>

#include "capture/focus_file.h"
#include "ui/palette_editor.h"

namespace tarnix {
struct protocol_node;
}

namespace tarnix::ui {

inline constexpr char kProtocolMime[] = "application/x-tarnix-protocol";

QString protocol_label(const protocol_node* node);

// The working copy's foci, one row each; the name is editable (31 characters).
class FocusDictionaryModel : public QAbstractListModel {
 public:
  explicit FocusDictionaryModel(std::vector<FocusRecord>& foci, QObject* parent) : QAbstractListModel(parent), foci_(foci) {}
  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(foci_.size()); }
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  void append(FocusRecord focus);
  void remove(int row);

 private:
  std::vector<FocusRecord>& foci_;
};

// The edited focus's entries, each in its palette colour on black; protocols
// dropped from the tree are appended with colour 0.
class FocusEntryModel : public QAbstractListModel {
 public:
  FocusEntryModel(const LivePalette& palette, QObject* parent) : QAbstractListModel(parent), palette_(palette) {}
  void set_focus(FocusRecord* focus);
  FocusRecord* focus() const { return focus_; }
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override { return {QString::fromLatin1(kProtocolMime)}; }
  Qt::DropActions supportedDropActions() const override { return Qt::CopyAction; }
  bool canDropMimeData(const QMimeData* data, Qt::DropAction, int, int, const QModelIndex&) const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;
  void append(const protocol_node* node);
  void remove(int row);
  void set_colour(int row, int colour);

 private:
  const LivePalette& palette_;
  FocusRecord* focus_ = nullptr;
};

// The protocol tree as the builder shows it; dragging an item carries its node.
class ProtocolTreeModel : public QStandardItemModel {
 public:
  ProtocolTreeModel(const protocol_node* root, QObject* parent);
  QStringList mimeTypes() const override { return {QString::fromLatin1(kProtocolMime)}; }
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  static const protocol_node* node_of(const QModelIndex& index);

 private:
  void fill(const protocol_node* node, QStandardItem* parent);
};

class FocusBuilder : public QDialog {
  Q_OBJECT
 public:
  // `applied` runs after OK has replaced the dictionary and the active focus.
  FocusBuilder(FocusStore& store, LivePalette& palette, const protocol_node* root, std::function<void()> applied,
               QWidget* parent);

  QListView* dictionary_view() const { return dictionary_view_; }
  QListView* editor_view() const { return editor_view_; }
  QTreeView* tree_view() const { return tree_view_; }
  ProtocolTreeModel* tree_model() const { return tree_; }
  FocusEntryModel* entry_model() const { return entries_; }
  const std::vector<FocusRecord>& working() const { return working_; }
  int edited() const { return edited_; }

  void select_focus(int row);
  void new_focus();
  void delete_focus();
  void rename_focus();
  void delete_entry();
  // Opens the colour picker for the selected entry.
  void choose_colour();
  void edit_palette();

 protected:
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  void accept_changes();

  FocusStore& store_;
  LivePalette& palette_;
  std::function<void()> applied_;
  std::vector<FocusRecord> working_;
  int edited_ = -1;
  FocusDictionaryModel* dictionary_;
  FocusEntryModel* entries_;
  ProtocolTreeModel* tree_;
  QListView* dictionary_view_;
  QListView* editor_view_;
  QTreeView* tree_view_;
};

// The 32 focus colours as swatches at the mouse; a click picks one.
class ColourPicker : public QDialog {
  Q_OBJECT
 public:
  ColourPicker(const LivePalette& palette, QPoint at, QWidget* parent);
  ColourSwatch* swatch(int index) const;
  int chosen() const { return chosen_; }

 private:
  int chosen_ = -1;
};

}  // namespace tarnix::ui
