#include "ui/focus_builder.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "pdl/protocol_tree.h"

namespace tarnix::ui {
namespace {

constexpr int kEntryHeight = 14;
constexpr int kNodeRole = Qt::UserRole + 1;

// The rename field takes no more than a focus name holds.
class NameDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& o, const QModelIndex& i) const override {
    QWidget* w = QStyledItemDelegate::createEditor(parent, o, i);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      edit->setMaxLength(kFocusNameMax);
      edit->setObjectName(QStringLiteral("rename"));
    }
    return w;
  }
};

QString mime_of(const protocol_node* node) {
  return QString::number(reinterpret_cast<quintptr>(node));
}

}  // namespace

QString protocol_label(const protocol_node* node) {
  if (!node) return {};
  return QString::fromStdString(node->description.empty() ? node->name : node->description);
}

// --- dictionary ---

QVariant FocusDictionaryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  if (role == Qt::DisplayRole || role == Qt::EditRole)
    return QString::fromStdString(foci_[std::size_t(index.row())].name);
  return {};
}

bool FocusDictionaryModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || index.row() >= rowCount()) return false;
  const QString text = value.toString();
  if (text.isEmpty()) return false;  // an edit that ends without a text keeps the name
  foci_[std::size_t(index.row())].name = text.left(kFocusNameMax).toStdString();
  Q_EMIT dataChanged(index, index);
  return true;
}

Qt::ItemFlags FocusDictionaryModel::flags(const QModelIndex& index) const {
  return QAbstractListModel::flags(index) | Qt::ItemIsEditable;
}

void FocusDictionaryModel::append(FocusRecord focus) {
  beginInsertRows({}, rowCount(), rowCount());
  foci_.push_back(std::move(focus));
  endInsertRows();
}

void FocusDictionaryModel::remove(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows({}, row, row);
  foci_.erase(foci_.begin() + row);
  endRemoveRows();
}

// --- entries ---

void FocusEntryModel::set_focus(FocusRecord* focus) {
  beginResetModel();
  focus_ = focus;
  endResetModel();
}

int FocusEntryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !focus_ ? 0 : int(focus_->entries.size());
}

QVariant FocusEntryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const FocusRecord::Entry& e = focus_->entries[std::size_t(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return protocol_label(e.protocol);
    case Qt::ForegroundRole:
      return palette_.colour(e.colour);
    case Qt::BackgroundRole:
      return QColor(Qt::black);
    case Qt::SizeHintRole:
      return QSize(-1, kEntryHeight);
    default:
      return {};
  }
}

Qt::ItemFlags FocusEntryModel::flags(const QModelIndex& index) const {
  return QAbstractListModel::flags(index) | Qt::ItemIsDropEnabled;
}

bool FocusEntryModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int,
                                      const QModelIndex&) const {
  return focus_ && data && data->hasFormat(QString::fromLatin1(kProtocolMime));
}

bool FocusEntryModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                                   const QModelIndex& parent) {
  if (!canDropMimeData(data, action, row, column, parent)) return false;
  // The node's address travels inside this process only; it names a node of
  // the protocol tree, which lives as long as the program.
  bool ok = false;
  const quintptr p = QString::fromLatin1(data->data(QString::fromLatin1(kProtocolMime))).toULongLong(&ok);
  if (!ok || p == 0) return false;
  append(reinterpret_cast<const protocol_node*>(p));
  return true;
}

void FocusEntryModel::append(const protocol_node* node) {
  if (!focus_ || !node) return;
  beginInsertRows({}, rowCount(), rowCount());
  focus_->entries.push_back({node, node->name, 0});
  endInsertRows();
}

void FocusEntryModel::remove(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows({}, row, row);
  focus_->entries.erase(focus_->entries.begin() + row);
  endRemoveRows();
}

void FocusEntryModel::set_colour(int row, int colour) {
  if (row < 0 || row >= rowCount() || colour < 0 || colour >= kFocusColours) return;
  focus_->entries[std::size_t(row)].colour = colour;
  Q_EMIT dataChanged(index(row), index(row));
}

// --- protocol tree ---

ProtocolTreeModel::ProtocolTreeModel(const protocol_node* root, QObject* parent)
    : QStandardItemModel(parent) {
  if (root) fill(root, invisibleRootItem());
}

void ProtocolTreeModel::fill(const protocol_node* node, QStandardItem* parent) {
  const QStyle* style = QApplication::style();
  auto make = [&](bool branch) {
    auto* item = new QStandardItem(style->standardIcon(branch ? QStyle::SP_DirIcon : QStyle::SP_FileIcon),
                                   protocol_label(node));
    item->setData(QVariant::fromValue(reinterpret_cast<quintptr>(node)), kNodeRole);
    item->setEditable(false);
    item->setDragEnabled(true);
    item->setDropEnabled(false);
    parent->appendRow(item);
    return item;
  };
  // A leaf without a next sibling is its parent's generated "Other" and is
  // not offered; a protocol with children follows all of its later siblings.
  if (node->next_sibling) {
    if (!node->first_child) make(false);
    fill(node->next_sibling, parent);
  }
  if (node->first_child) fill(node->first_child, make(true));
}

const protocol_node* ProtocolTreeModel::node_of(const QModelIndex& index) {
  return reinterpret_cast<const protocol_node*>(index.data(kNodeRole).value<quintptr>());
}

QMimeData* ProtocolTreeModel::mimeData(const QModelIndexList& indexes) const {
  if (indexes.isEmpty()) return nullptr;
  auto* data = new QMimeData;
  data->setData(QString::fromLatin1(kProtocolMime), mime_of(node_of(indexes.first())).toLatin1());
  return data;
}

// --- colour picker ---

ColourPicker::ColourPicker(const LivePalette& palette, QPoint at, QWidget* parent)
    : QDialog(parent, Qt::Popup) {
  setObjectName(QStringLiteral("ColourPicker"));
  for (int i = 0; i < kFocusColours; ++i) {
    auto* s = new ColourSwatch(palette, i, this);
    s->setGeometry((i % 4) * 15 + 3, (i / 4) * 15 + 3, 13, 13);
    connect(s, &ColourSwatch::clicked, this, [this](int k) {
      chosen_ = k;
      done(1);
    });
  }
  setGeometry(at.x(), at.y(), 70, 130);
}

ColourSwatch* ColourPicker::swatch(int index) const {
  return findChild<ColourSwatch*>(QStringLiteral("color_box_%1").arg(index));
}

// --- the dialog ---

FocusBuilder::FocusBuilder(FocusStore& store, LivePalette& palette, const protocol_node* root,
                           std::function<void()> applied, QWidget* parent)
    : QDialog(parent),
      store_(store),
      palette_(palette),
      applied_(std::move(applied)),
      working_(store.dictionary) {
  setObjectName(QStringLiteral("FocusBuilder"));
  setWindowTitle(QStringLiteral("Focus Builder"));

  dictionary_ = new FocusDictionaryModel(working_, this);
  dictionary_view_ = new QListView(this);
  dictionary_view_->setObjectName(QStringLiteral("1013"));
  dictionary_view_->setModel(dictionary_);
  dictionary_view_->setItemDelegate(new NameDelegate(dictionary_view_));
  dictionary_view_->setSelectionMode(QAbstractItemView::SingleSelection);
  dictionary_view_->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);

  entries_ = new FocusEntryModel(palette_, this);
  editor_view_ = new QListView(this);
  editor_view_->setObjectName(QStringLiteral("1012"));
  editor_view_->setModel(entries_);
  editor_view_->setUniformItemSizes(true);
  editor_view_->setSelectionMode(QAbstractItemView::SingleSelection);
  editor_view_->setAcceptDrops(true);
  editor_view_->setDropIndicatorShown(false);
  editor_view_->setDragDropMode(QAbstractItemView::DropOnly);
  editor_view_->setDefaultDropAction(Qt::CopyAction);
  QPalette black = editor_view_->palette();
  black.setColor(QPalette::Base, Qt::black);
  editor_view_->setPalette(black);
  editor_view_->setContextMenuPolicy(Qt::NoContextMenu);
  connect(editor_view_, &QListView::doubleClicked, this, [this] { choose_colour(); });

  tree_ = new ProtocolTreeModel(root, this);
  tree_view_ = new QTreeView(this);
  tree_view_->setObjectName(QStringLiteral("1011"));
  tree_view_->setModel(tree_);
  tree_view_->setHeaderHidden(true);
  tree_view_->setDragEnabled(true);
  tree_view_->setDragDropMode(QAbstractItemView::DragOnly);
  tree_view_->setDefaultDropAction(Qt::CopyAction);

  auto button = [this](const QString& text, int id) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(QString::number(id));
    b->setAutoDefault(false);
    return b;
  };
  QPushButton* add = button(QStringLiteral("New"), 1063);
  QPushButton* del = button(QStringLiteral("Delete"), 1062);
  QPushButton* pal = button(QStringLiteral("Edit Palette"), 1064);
  QPushButton* cancel = button(QStringLiteral("Cancel"), 2);
  QPushButton* ok = button(QStringLiteral("OK"), 1065);
  connect(add, &QPushButton::clicked, this, &FocusBuilder::new_focus);
  connect(del, &QPushButton::clicked, this, &FocusBuilder::delete_focus);
  connect(pal, &QPushButton::clicked, this, &FocusBuilder::edit_palette);
  connect(cancel, &QPushButton::clicked, this, [this] { done(2); });
  connect(ok, &QPushButton::clicked, this, &FocusBuilder::accept_changes);

  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QStringLiteral("Focus Dictionary"), this), 0, 0);
  grid->addWidget(new QLabel(QStringLiteral("Focus Editor"), this), 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("Protocol Tree"), this), 0, 2);
  grid->addWidget(dictionary_view_, 1, 0);
  grid->addWidget(editor_view_, 1, 1);
  grid->addWidget(tree_view_, 1, 2);
  auto* left = new QHBoxLayout;
  left->addWidget(add);
  left->addWidget(del);
  grid->addLayout(left, 2, 0);
  grid->addWidget(pal, 2, 1);
  auto* right = new QHBoxLayout;
  right->addWidget(cancel);
  right->addWidget(ok);
  grid->addLayout(right, 2, 2);
  grid->setColumnStretch(2, 1);
  resize(620, 360);

  connect(dictionary_view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { select_focus(current.isValid() ? current.row() : -1); });
  // Opens on the active focus, so that OK without a change keeps it active.
  const int active = store_.active >= 0 && store_.active < int(working_.size()) ? store_.active : -1;
  select_focus(active >= 0 ? active : (working_.empty() ? -1 : 0));
}

void FocusBuilder::select_focus(int row) {
  edited_ = (row >= 0 && row < int(working_.size())) ? row : -1;
  if (edited_ >= 0 && dictionary_view_->currentIndex().row() != edited_)
    dictionary_view_->setCurrentIndex(dictionary_->index(edited_));
  entries_->set_focus(edited_ >= 0 ? &working_[std::size_t(edited_)] : nullptr);
  if (entries_->rowCount() > 0) editor_view_->setCurrentIndex(entries_->index(0));
}

void FocusBuilder::new_focus() {
  // Appending may move the records; the entry list is pointed at them again.
  dictionary_->append({"New Focus", {}});
  entries_->set_focus(edited_ >= 0 ? &working_[std::size_t(edited_)] : nullptr);
}

void FocusBuilder::delete_focus() {
  if (edited_ < 0) return;
  const int row = edited_;
  edited_ = -1;
  entries_->set_focus(nullptr);
  const QSignalBlocker quiet(dictionary_view_->selectionModel());
  dictionary_->remove(row);
  dictionary_view_->clearSelection();
  dictionary_view_->setCurrentIndex({});
}

void FocusBuilder::rename_focus() {
  if (edited_ >= 0) dictionary_view_->edit(dictionary_->index(edited_));
}

void FocusBuilder::delete_entry() {
  entries_->remove(editor_view_->currentIndex().row());
}

void FocusBuilder::choose_colour() {
  const int row = editor_view_->currentIndex().row();
  if (row < 0 || row >= entries_->rowCount()) return;
  ColourPicker picker(palette_, QCursor::pos(), this);
  if (picker.exec() == 1) entries_->set_colour(row, picker.chosen());
}

void FocusBuilder::edit_palette() {
  PaletteEditor editor(palette_, this);
  editor.exec();
  editor_view_->viewport()->update();
}

void FocusBuilder::contextMenuEvent(QContextMenuEvent* e) {
  QMenu menu(this);
  if (dictionary_view_->geometry().contains(e->pos())) {
    menu.setObjectName(QStringLiteral("CFOCUSLEFTMENU"));
    menu.addAction(QStringLiteral("Delete"), this, &FocusBuilder::delete_focus);
    menu.addAction(QStringLiteral("New"), this, &FocusBuilder::new_focus);
    menu.addAction(QStringLiteral("Rename"), this, &FocusBuilder::rename_focus);
  } else if (editor_view_->geometry().contains(e->pos())) {
    menu.setObjectName(QStringLiteral("CFOCUSMIDDLEMENU"));
    menu.addAction(QStringLiteral("Choose colour"), this, &FocusBuilder::choose_colour);
    menu.addAction(QStringLiteral("Delete"), this, &FocusBuilder::delete_entry);
  } else {
    return;
  }
  menu.exec(e->globalPos());
}

void FocusBuilder::accept_changes() {
  // The capture thread never walks the dictionary: it reads the active focus
  // as a list of its own that `applied` hands over, so replacing these
  // records cannot pull anything from under a running tick.
  store_.dictionary = working_;
  store_.active = edited_;
  if (applied_) applied_();
  done(1);
}

}  // namespace tarnix::ui
