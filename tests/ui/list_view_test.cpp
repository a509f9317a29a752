// The list windows as a user handles them: figures shown with units and
// separators, sorted by value, filtered, copied out, and the window's place
// and sort kept for the next run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QTemporaryDir>

#include "app/settings.h"
#include "ui/monitor/list_format.h"
#include "ui/monitor/popup.h"

namespace tarnix::ui {
namespace {

TEST(ListFormat, BytesTakeAUnitAndCountsTheLocalesSeparators) {
  const QLocale en(QLocale::English, QLocale::UnitedStates);
  const QLocale de(QLocale::German, QLocale::Germany);
  struct Case {
    std::uint64_t value;
    const QLocale& locale;
    const char* bytes;
    const char* count;
  } cases[] = {
      {0, en, "0 B", "0"},
      {999, en, "999 B", "999"},
      {1000, en, "1.0 kB", "1,000"},
      {1234567, en, "1.2 MB", "1,234,567"},
      {1234567, de, "1,2 MB", "1.234.567"},
      // Rounding up never shows "1000.0 kB".
      {999950, en, "1.0 MB", "999,950"},
      {UINT64_MAX, en, "18.4 EB", "18,446,744,073,709,551,615"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_bytes(c.value, c.locale), c.bytes) << c.value;
    EXPECT_EQ(format_count(c.value, c.locale), c.count) << c.value;
  }
  EXPECT_FALSE(cell_number("").has_value());
  EXPECT_FALSE(cell_number("1.5").has_value());
  EXPECT_EQ(cell_number("42"), 42u);
}

TEST(ListFormat, CopiedRowsKeepTheirColumns) {
  const QString tsv = rows_as_text({"Host", "Bytes"}, {{"a\tb", "1"}, {"say \"hi\"", "2"}});
  EXPECT_EQ(tsv, "Host\tBytes\n\"a\tb\"\t1\n\"say \"\"hi\"\"\"\t2\n");
  EXPECT_EQ(rows_as_text({"URL"}, {{"http://x/?a,b"}}, QLatin1Char(',')), "URL\n\"http://x/?a,b\"\n");
}

// A list window with rows given by the test; a command records the row's id.
class TestList final : public ListWindow {
 public:
  TestList(app::Settings& s, bool filter)
      : ListWindow(s, {"Test", "testlist", {"Address", "Total Bytes Sent", "Frames"}, "host", -1, filter},
                   nullptr) {
    model()->set_numeric(2);
  }
  int commanded = 0;

 protected:
  void refresh() override {}
  void fill_menu(QMenu& menu, const RowRef&) override { add_command(menu, 1, "Pick"); }
  void command(int, const RowRef& ref) override { commanded = ref.id[0]; }
};

RowRef id(int i) {
  RowRef r;
  r.id[0] = i;
  return r;
}

// The first column's texts as the view shows them, top to bottom.
QStringList shown(const ListWindow& w, int column = 0) {
  QStringList out;
  for (int r = 0; r < w.proxy()->rowCount(); ++r) out << w.proxy()->index(r, column).data().toString();
  return out;
}

class ListView : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  app::Settings settings;
  void SetUp() override { set_window_state_file(dir.filePath("windows.ini")); }
  void TearDown() override { set_window_state_file({}); }

  std::unique_ptr<TestList> filled(bool filter = false) {
    auto w = std::make_unique<TestList>(settings, filter);
    w->model()->set_row(0, {"10.0.0.10", "900", "9"}, id(1));
    w->model()->set_row(1, {"10.0.0.9", "1500000", "10"}, id(2));
    w->model()->set_row(2, {"192.168.1.2", "20000", "100"}, id(3));
    return w;
  }
};

TEST_F(ListView, ColumnsSortByValueNotByText) {
  auto w = filled();
  EXPECT_EQ(shown(*w), QStringList({"10.0.0.10", "10.0.0.9", "192.168.1.2"}))
      << "arrival order until a click";
  struct Case {
    int column;
    Qt::SortOrder order;
    QStringList first_column;
  } cases[] = {
      {0, Qt::AscendingOrder, {"10.0.0.9", "10.0.0.10", "192.168.1.2"}},
      {1, Qt::DescendingOrder, {"10.0.0.9", "192.168.1.2", "10.0.0.10"}},
      {2, Qt::AscendingOrder, {"10.0.0.10", "10.0.0.9", "192.168.1.2"}},
  };
  for (const Case& c : cases) {
    w->view()->sortByColumn(c.column, c.order);
    EXPECT_EQ(shown(*w), c.first_column) << "column " << c.column;
  }
  // Figures are shown with their unit or separators, the exact bytes in the
  // tooltip, while text() keeps the plain number.
  w->view()->sortByColumn(1, Qt::DescendingOrder);
  const QModelIndex top = w->proxy()->index(0, 1);
  EXPECT_EQ(top.data().toString(), format_bytes(1500000));
  EXPECT_EQ(top.data(Qt::ToolTipRole).toString(), format_count(1500000) + " bytes");
  EXPECT_EQ(w->model()->text(1, 1), "1500000");
  // A value that changes moves its row.
  w->model()->set_cells(0, 1, {"9000000"});
  EXPECT_EQ(shown(*w).first(), "10.0.0.10");
}

// IPv6 addresses sort by their bytes, not their text, and after IPv4 ones.
TEST_F(ListView, Ipv6AddressesSortByBytesAfterIpv4) {
  TestList w(settings, false);
  const QStringList arrival = {"fd00::10", "10.0.0.9", "fd00::9", "2001:db8::1", "::1", "255.255.255.255"};
  for (int i = 0; i < arrival.size(); ++i) w.model()->set_row(i, {arrival[i], "1", "1"}, id(i));
  w.view()->sortByColumn(0, Qt::AscendingOrder);
  EXPECT_EQ(shown(w),
            QStringList({"10.0.0.9", "255.255.255.255", "::1", "2001:db8::1", "fd00::9", "fd00::10"}));
}

TEST_F(ListView, CommandsAndCopiesFollowTheRowsShownAfterSortAndFilter) {
  auto w = filled(true);
  ASSERT_NE(w->filter_box(), nullptr);
  w->view()->sortByColumn(2, Qt::DescendingOrder);
  // The top row shown is the record with the most frames.
  const int source_row = w->proxy()->mapToSource(w->proxy()->index(0, 0)).row();
  w->run_command(source_row, 1);
  EXPECT_EQ(w->commanded, 3);

  w->filter_box()->setText("10.0.0");
  EXPECT_EQ(shown(*w), QStringList({"10.0.0.9", "10.0.0.10"}));
  // Nothing selected: every shown row, in the shown order, plain figures.
  EXPECT_EQ(w->selection_text(QLatin1Char(',')),
            "Address,Total Bytes Sent,Frames\n10.0.0.9,1500000,10\n10.0.0.10,900,9\n");
  w->view()->selectRow(1);
  EXPECT_EQ(w->selection_text(), "Address\tTotal Bytes Sent\tFrames\n10.0.0.10\t900\t9\n");
}

TEST_F(ListView, SizePlaceAndSortComeBackInTheNextRun) {
  {
    auto w = filled();
    w->setGeometry(120, 140, 510, 330);
    w->view()->sortByColumn(1, Qt::DescendingOrder);
    w->close();
  }
  auto again = filled();
  EXPECT_EQ(again->size(), QSize(510, 330));
  EXPECT_EQ(again->pos(), QPoint(120, 140));
  EXPECT_EQ(again->view()->horizontalHeader()->sortIndicatorSection(), 1);
  EXPECT_EQ(again->view()->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
  EXPECT_EQ(shown(*again).first(), "10.0.0.9");

  // With nothing kept, a window is tall enough for ten rows.
  set_window_state_file(dir.filePath("other.ini"));
  TestList fresh(settings, false);
  fresh.show();
  const int row = fresh.view()->verticalHeader()->defaultSectionSize();
  EXPECT_GE(fresh.view()->height() + 1, 10 * row) << fresh.size().height();
}

}  // namespace
}  // namespace tarnix::ui
