// The statement interface over SQLite.
#include "db/sql.h"

#include <gtest/gtest.h>

#include <string>

#include "db_test_support.h"

namespace tarnix {
namespace {

using testing_support::TempDir;

class SqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Status st;
    c = sqlite_open(dir.file("t.db"), SqliteOptions{}, &st);
    ASSERT_TRUE(c) << st.message();
    ASSERT_TRUE(
        c->exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT, n INTEGER, d DOUBLE PRECISION)").ok());
  }
  int rows() {
    auto st = c->prepare("SELECT count(*) FROM t");
    st->step();
    return st->column_int(1);
  }
  TempDir dir;
  std::unique_ptr<Connection> c;
};

TEST_F(SqlTest, BoundValuesRoundTripByteForByte) {
  const std::string values[] = {"",
                                "plain",
                                "it's",
                                "\"quoted\"",
                                "a; DELETE FROM t; --",
                                std::string("nul\0byte", 8),
                                "\xff\xfe\x80 non-utf8",
                                std::string(10240, 'z')};
  auto ins = c->prepare("INSERT INTO t (v, n, d) VALUES (?, ?, ?)");
  ASSERT_TRUE(ins);
  for (const std::string& v : values) {
    ASSERT_TRUE(ins->bind_text(1, v).ok());
    ASSERT_TRUE(ins->bind_int(2, -5'000'000'000LL).ok());
    ASSERT_TRUE(ins->bind_double(3, 0.25).ok());
    ASSERT_EQ(ins->step(), StepResult::kDone);
    ins->reset();
  }
  auto sel = c->prepare("SELECT v, n, d FROM t ORDER BY id");
  for (const std::string& v : values) {
    ASSERT_EQ(sel->step(), StepResult::kRow);
    EXPECT_EQ(std::string(sel->column_text(1)), v);
    EXPECT_EQ(sel->column_int64(2), -5'000'000'000LL);
    EXPECT_EQ(sel->column_double(3), 0.25);
  }
  EXPECT_EQ(sel->step(), StepResult::kDone);
  EXPECT_EQ(rows(), 8);
}

TEST_F(SqlTest, ErrorsComeBackAsStatus) {
  Status st;
  EXPECT_FALSE(c->prepare("SELECT nonsense FROM nowhere", &st));
  EXPECT_FALSE(st.ok());
  EXPECT_NE(st.message().find("nowhere"), std::string::npos);
  EXPECT_FALSE(c->prepare("", &st));
  EXPECT_FALSE(st.ok());
  ASSERT_TRUE(c->exec("CREATE UNIQUE INDEX t_v ON t (v)").ok());
  auto ins = c->prepare("INSERT INTO t (v) VALUES (?)");
  ins->bind_text(1, "dup");
  EXPECT_EQ(ins->step(), StepResult::kDone);
  ins->reset();
  ins->bind_text(1, "dup");
  EXPECT_EQ(ins->step(), StepResult::kError);
  EXPECT_FALSE(ins->status().ok());
  ins->reset();
  auto nul = c->prepare("SELECT NULL");
  ASSERT_EQ(nul->step(), StepResult::kRow);
  EXPECT_TRUE(nul->column_is_null(1));
  EXPECT_EQ(nul->column_text(1), "");
}

TEST_F(SqlTest, NestedTransactionFailureUndoesOnlyItsOwnWork) {
  ASSERT_TRUE(c->begin().ok());
  ASSERT_TRUE(c->exec("INSERT INTO t (v) VALUES ('outer')").ok());
  Status inner = with_transaction(*c, [&]() -> Status {
    c->exec("INSERT INTO t (v) VALUES ('inner')");
    return Status::error(1, "inner failure");
  });
  EXPECT_FALSE(inner.ok());
  Status ok_inner = with_transaction(*c, [&]() { return c->exec("INSERT INTO t (v) VALUES ('kept')"); });
  EXPECT_TRUE(ok_inner.ok());
  ASSERT_TRUE(c->commit().ok());
  EXPECT_EQ(rows(), 2);
  EXPECT_FALSE(c->in_transaction());

  Status top = with_transaction(*c, [&]() -> Status {
    c->exec("INSERT INTO t (v) VALUES ('gone')");
    return Status::error(2, "whole");
  });
  EXPECT_FALSE(top.ok());
  EXPECT_EQ(rows(), 2);
}

TEST_F(SqlTest, TwoConnectionsSeeEachOthersCommits) {
  auto other = sqlite_open(dir.file("t.db"), SqliteOptions{});
  ASSERT_TRUE(other);
  ASSERT_TRUE(c->begin().ok());
  c->exec("INSERT INTO t (v) VALUES ('pending')");
  auto read = other->prepare("SELECT count(*) FROM t");
  ASSERT_EQ(read->step(), StepResult::kRow);
  EXPECT_EQ(read->column_int(1), 0) << "uncommitted work stays private";
  read->reset();
  ASSERT_TRUE(c->commit().ok());
  ASSERT_EQ(read->step(), StepResult::kRow);
  EXPECT_EQ(read->column_int(1), 1);
}

TEST(SqlOpen, MissingFileIsNotCreatedWhenNotAllowed) {
  TempDir dir;
  SqliteOptions o;
  o.create = false;
  Status st;
  EXPECT_FALSE(sqlite_open(dir.file("absent.db"), o, &st));
  EXPECT_FALSE(st.ok());
}

TEST(Timestamp, TextFormOrdersAndParsesBack) {
  TimestampRecord a{2026, 1, 2, 3, 4, 5, 6000};
  EXPECT_EQ(a.text(), "2026-01-02 03:04:05.000006");
  TimestampRecord b;
  ASSERT_TRUE(b.parse(a.text()));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(b.parse("1997-12-31 23:59:59"));
  EXPECT_EQ(b.year, 1997);
  EXPECT_EQ(b.fraction, 0u);
  EXPECT_FALSE(b.parse("not a time"));
  EXPECT_FALSE(b.parse("2026-01-02 03:04:05.1x"));
  TimestampRecord c{2026, 10, 1, 0, 0, 0, 0};
  EXPECT_LT(a.text(), c.text());
}

}  // namespace
}  // namespace tarnix
