// The monitor lists' model and the database reader, without a program
// around them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include "ui/monitor/db_reader.h"
#include "ui/monitor/list_model.h"

namespace tarnix::ui {
namespace {

RowRef ref_of(int id) {
  RowRef r;
  r.id[0] = id;
  return r;
}

TEST(ListModel, RowsAreReusedInsertedAndRedrawnOnlyWhenTheyChange) {
  ListModel m({"A", "B"});
  int changed = 0, inserted = 0;
  QObject::connect(&m, &QAbstractItemModel::dataChanged, [&] { ++changed; });
  QObject::connect(&m, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
  m.set_row(5, {"x", "1"}, ref_of(1));  // beyond the end: appended
  m.set_row(1, {"y", "2"}, ref_of(2));
  EXPECT_EQ(inserted, 2);
  m.set_row(0, {"x", "1"}, ref_of(1));  // the same: no redraw
  EXPECT_EQ(changed, 0);
  m.set_row(0, {"x", "3"}, ref_of(1));
  EXPECT_EQ(changed, 1);
  m.insert_row(0, {"z"}, ref_of(3));
  m.set_cells(0, 1, {"9"});
  EXPECT_EQ(m.text(0, 1), "9");
  EXPECT_EQ(m.text(1, 0), "x");
  EXPECT_EQ(m.ref(2)->id[0], 2);
  EXPECT_EQ(m.ref(3), nullptr);
  m.clear();
  EXPECT_EQ(m.rowCount(), 0);
}

bool wait_for(const std::function<bool()>& done) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

TEST(DbReader, ResultsReachLiveReceiversOnlyAndAMissingDatabaseGivesNoSession) {
  DbReader reader("/nonexistent/folder/tarnix.db");
  int delivered = 0;
  bool had_session = true;
  QObject kept;
  auto* gone = new QObject;
  reader.read<int>(gone, [](DbSession*) { return 1; }, [&](int v) { delivered += v * 100; });
  delete gone;
  reader.read<int>(
      &kept,
      [&](DbSession* s) {
        had_session = s != nullptr;
        return 1;
      },
      [&](int v) { delivered += v; });
  ASSERT_TRUE(wait_for([&] { return reader.pending() == 0 && delivered != 0; }));
  QApplication::processEvents();
  EXPECT_EQ(delivered, 1);
  EXPECT_FALSE(had_session);
  reader.stop();
  reader.read<int>(&kept, [](DbSession*) { return 1; }, [&](int) { delivered = -1; });
  EXPECT_EQ(reader.pending(), 0) << "nothing runs after stop";
}

}  // namespace
}  // namespace tarnix::ui
