#include "ui/focus_builder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "pdl/protocol_tree.h"
#include "ui_helpers.h"

namespace tarnix::ui {
namespace {

class FocusBuilderTest : public ::testing::Test {
 protected:
  PdlResult parsed = pdl_parse(std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl");
  FocusStore store;
  LivePalette palette{&store.palette, {}};
  int applied = 0;

  void SetUp() override {
    ASSERT_TRUE(parsed);
    store.dictionary.push_back({"Web", {{node("HTTP"), "HTTP", 3}}});
    store.dictionary.push_back({"Shell", {}});
    store.active = 0;
  }
  const protocol_node* node(const char* name) const { return protocol_lookup(parsed.tree.get(), name); }
  std::unique_ptr<FocusBuilder> open() {
    auto b = std::make_unique<FocusBuilder>(
        store, palette, parsed.tree->root(), [this] { ++applied; }, nullptr);
    b->show();
    return b;
  }
  // What a drop of the tree item showing `node` onto the Focus Editor does.
  bool drag_to_editor(FocusBuilder& b, const protocol_node* n) {
    const QModelIndexList found = b.tree_model()->match(b.tree_model()->index(0, 0), Qt::DisplayRole,
                                                        protocol_label(n), 1, Qt::MatchRecursive);
    if (found.isEmpty()) return false;
    std::unique_ptr<QMimeData> data(b.tree_model()->mimeData(found));
    return b.entry_model()->dropMimeData(data.get(), Qt::CopyAction, -1, -1, {});
  }
  void click(FocusBuilder& b, const char* id) { b.findChild<QPushButton*>(QString::fromLatin1(id))->click(); }
};

TEST_F(FocusBuilderTest, CancelKeepsTheDictionaryOkReplacesItAndActivatesTheEditedFocus) {
  for (const char* button : {"2", "1065"}) {
    SCOPED_TRACE(button);
    const auto before = store.dictionary.size();
    auto b = open();
    EXPECT_TRUE(b->edited() == 0 && b->entry_model()->rowCount() == 1);  // opens on the active focus
    click(*b, "1063");                                                   // New
    b->select_focus(1);
    ASSERT_TRUE(drag_to_editor(*b, node("SSH")));
    ASSERT_TRUE(drag_to_editor(*b, node("SSH")));  // the same protocol twice is allowed
    EXPECT_EQ(b->entry_model()->index(0).data().toString(), protocol_label(node("SSH")));
    click(*b, button);
    const bool ok = std::string(button) == "1065";
    EXPECT_EQ(b->result(), ok ? 1 : 2);
    ASSERT_EQ(store.dictionary.size(), before + ok);
    ASSERT_EQ(store.dictionary[1].entries.size(), ok ? 2u : 0u);
    EXPECT_EQ(store.active, ok ? 1 : 0);
    EXPECT_EQ(applied, ok ? 1 : 0);
  }
  EXPECT_EQ(store.dictionary.back().name, "New Focus");
  EXPECT_EQ(store.dictionary[1].entries[0].protocol_name, "SSH");
  EXPECT_EQ(store.dictionary[1].entries[0].colour, 0);
  // Deleting the edited focus leaves none edited: OK then clears the active focus.
  auto b = open();
  b->select_focus(0);
  click(*b, "1062");
  EXPECT_TRUE(b->edited() == -1 && b->entry_model()->rowCount() == 0);
  EXPECT_FALSE(drag_to_editor(*b, node("SSH")));
  click(*b, "1065");
  EXPECT_EQ(store.active, -1);
  EXPECT_EQ(store.dictionary.front().name, "Shell");
}

// OK without a touch keeps whichever focus was active, not the first.
TEST_F(FocusBuilderTest, OpensOnTheActiveFocusSoOkKeepsIt) {
  store.active = 1;
  auto b = open();
  EXPECT_EQ(b->edited(), 1);
  EXPECT_EQ(b->dictionary_view()->currentIndex().row(), 1);
  click(*b, "1065");
  EXPECT_EQ(store.active, 1);
}

// The colour popup over an entry, opened by a double click while a rename
// of a focus is open: the colour is taken and no editor is closed twice.
TEST_F(FocusBuilderTest, ColourPopupTakesTheColourWithoutEditorWarnings) {
  testing::WarningCatcher warnings;
  auto b = open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(b.get()));
  b->rename_focus();
  QListView* entries = b->findChild<QListView*>(QStringLiteral("1012"));
  ASSERT_NE(entries, nullptr);
  const QPoint at = entries->visualRect(b->entry_model()->index(0)).center();
  testing::on_next_modal([](QWidget* w) {
    auto* picker = qobject_cast<ColourPicker*>(w);
    ASSERT_NE(picker, nullptr);
    QTest::mouseClick(picker->swatch(7), Qt::LeftButton);
  });
  QTest::mouseClick(entries->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(entries->viewport(), Qt::LeftButton, {}, at);
  QApplication::processEvents();
  EXPECT_EQ(b->working()[0].entries[0].colour, 7);
  click(*b, "1065");
  QApplication::processEvents();
  EXPECT_TRUE(testing::WarningCatcher::caught().isEmpty())
      << testing::WarningCatcher::caught().join(" | ").toStdString();
}

TEST_F(FocusBuilderTest, RenameTakesAtMost31Characters) {
  auto b = open();
  b->rename_focus();
  auto* edit = b->dictionary_view()->findChild<QLineEdit*>(QStringLiteral("rename"));
  ASSERT_NE(edit, nullptr);
  edit->setText(QStringLiteral("A focus name far longer than thirty-one"));
  Q_EMIT b->dictionary_view()->itemDelegate()->commitData(edit);
  EXPECT_EQ(b->working()[0].name, "A focus name far longer than th");
  EXPECT_EQ(store.dictionary[0].name, "Web");  // only the working copy until OK
}

// Branches follow their later siblings; the generated "Other" leaves (the
// last child of each protocol) are not offered.
TEST_F(FocusBuilderTest, TreeListsLeavesBeforeBranchesWithoutOtherLeaves) {
  auto b = open();
  std::function<void(const QModelIndex&)> check = [&](const QModelIndex& parent) {
    bool branch_seen = false;
    for (int r = 0; r < b->tree_model()->rowCount(parent); ++r) {
      const QModelIndex i = b->tree_model()->index(r, 0, parent);
      const protocol_node* n = ProtocolTreeModel::node_of(i);
      ASSERT_NE(n, nullptr);
      EXPECT_TRUE(n->next_sibling || n->first_child) << n->name;
      const bool branch = b->tree_model()->rowCount(i) > 0;
      EXPECT_FALSE(branch_seen && !branch) << n->name << " after a branch";
      branch_seen = branch_seen || branch;
      check(i);
    }
  };
  check({});
  EXPECT_FALSE(b->tree_model()
                   ->match(b->tree_model()->index(0, 0), Qt::DisplayRole, protocol_label(node("HTTP")), 1,
                           Qt::MatchRecursive)
                   .isEmpty());
}

}  // namespace
}  // namespace tarnix::ui
