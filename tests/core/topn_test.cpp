#include "core/topn.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

namespace tarnix {
namespace {

struct Rec {
  std::string name;
  std::uint64_t value = 0;
  int slot = -1;
};

struct RecTraits {
  static int compare(const Rec* a, const Rec* b) { return compare_values(a->value, b->value); }
  static int get_position(const Rec* r) { return r ? r->slot : -1; }
  static void set_position(Rec* r, int i) { r->slot = i; }
  static std::string name(const Rec* r) { return r->name; }
  static std::uint64_t value(const Rec* r) { return r->value; }
};

using Ranking = TopN<Rec, RecTraits>;

// Every held item must sit where its own position field says, in
// non-increasing order.
void expect_consistent(const Ranking& t) {
  for (int i = 0; i < t.count(); ++i) {
    ASSERT_EQ(t.at(i)->slot, i);
    if (i > 0) {
      ASSERT_GE(t.at(i - 1)->value, t.at(i)->value);
    }
  }
}

TEST(TopN, FullRankingTakesOnlyStrictlyLargerAndDropsTheSmallest) {
  std::deque<Rec> recs;
  Ranking t;
  for (int i = 0; i < 50; ++i) {
    recs.push_back({"h" + std::to_string(i), static_cast<std::uint64_t>(100 + i)});
    t.insert(&recs.back());
  }
  expect_consistent(t);
  EXPECT_EQ(t.count(), 50);
  Rec* smallest = t.at(49);
  EXPECT_EQ(smallest->value, 100u);

  Rec equal{"eq", 100};
  EXPECT_EQ(t.insert(&equal), -1);
  EXPECT_EQ(equal.slot, -1);

  Rec bigger{"big", 120};
  int at = t.insert(&bigger);
  // Behind every held item of equal value (h20 has 120).
  EXPECT_EQ(t.at(at - 1)->value, 120u);
  EXPECT_EQ(smallest->slot, -1);
  EXPECT_EQ(t.count(), 50);
  expect_consistent(t);
}

TEST(TopN, InsertPositionsAndEqualValues) {
  Rec a{"a", 10}, b{"b", 30}, c{"c", 20}, d{"d", 20}, e{"e", 5};
  Ranking t;
  EXPECT_EQ(t.insert(&a), 0);
  EXPECT_EQ(t.insert(&b), 0);
  EXPECT_EQ(t.insert(&c), 1);
  EXPECT_EQ(t.insert(&d), 2);  // equal to c: goes behind it
  EXPECT_EQ(t.insert(&e), 4);
  expect_consistent(t);
  EXPECT_EQ(a.slot, 3);
}

TEST(TopN, UpdateBubblesUpButNeverSwapsEquals) {
  Rec a{"a", 30}, b{"b", 20}, c{"c", 20};
  Ranking t;
  t.insert(&a);
  t.insert(&b);
  t.insert(&c);
  t.update(&c);  // equal to b: stays behind it
  EXPECT_EQ(b.slot, 1);
  EXPECT_EQ(c.slot, 2);
  c.value = 40;
  t.update(&c);
  EXPECT_EQ(c.slot, 0);
  EXPECT_EQ(a.slot, 1);
  EXPECT_EQ(b.slot, 2);
  t.update(&c);  // index 0: nothing moves
  EXPECT_EQ(c.slot, 0);
  expect_consistent(t);
  Rec outside{"x", 1000};
  t.update(&outside);  // not ranked: nothing happens
  EXPECT_EQ(outside.slot, -1);
  EXPECT_EQ(t.count(), 3);
}

TEST(TopN, ResortAfterManyGrowths) {
  std::deque<Rec> recs;
  Ranking t;
  for (int i = 0; i < 20; ++i) {
    recs.push_back({std::to_string(i), 10});
    t.insert(&recs.back());
  }
  for (int i = 0; i < 20; ++i) recs[static_cast<std::size_t>(i)].value += static_cast<std::uint64_t>(i * 7 % 13);
  t.resort();
  expect_consistent(t);
}

TEST(TopN, SnapshotEndsWithAnEmptyPairWhenNotFull) {
  Rec a{"a", 3}, b{"b", 2}, c{"c", 1};
  Ranking t;
  t.insert(&a);
  t.insert(&b);
  t.insert(&c);
  auto s = t.snapshot();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].name, "a");
  EXPECT_EQ(s[2].value, 1u);
  EXPECT_FALSE(s[3].has_name);
  EXPECT_EQ(s[3].value, 0u);
}

TEST(TopN, RanksSixtyFourBitValues) {
  Rec small{"small", 0xFFFFFFFFull}, large{"large", 0x100000000ull};
  Ranking t;
  t.insert(&small);
  EXPECT_EQ(t.insert(&large), 0);
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

// The same records ranked twice: one ranking reads the records, the other
// keeps the values it was given. Each record carries a position per ranking.
struct Twin {
  std::uint64_t value = 0;
  int read_slot = -1;
  int kept_slot = -1;
};
struct ReadTraits {
  static int compare(const Twin* a, const Twin* b) { return compare_values(a->value, b->value); }
  static int get_position(const Twin* r) { return r->read_slot; }
  static void set_position(Twin* r, int i) { r->read_slot = i; }
  static std::string name(const Twin*) { return {}; }
  static std::uint64_t value(const Twin* r) { return r->value; }
};
struct KeptTraits {
  static constexpr bool kCacheValues = true;
  static int compare(const Twin* a, const Twin* b) { return compare_values(a->value, b->value); }
  static int get_position(const Twin* r) { return r->kept_slot; }
  static void set_position(Twin* r, int i) { r->kept_slot = i; }
  static std::string name(const Twin*) { return {}; }
  static std::uint64_t value(const Twin* r) { return r->value; }
};

// Records grow and are offered after every growth, as the frame path does:
// more records than places, ties, the top record growing, newcomers that
// outgrow held ones, and a resort after growths nobody was told of.
TEST(TopN, KeptValuesRankExactlyAsReadValues) {
  std::deque<Twin> recs(300);
  TopN<Twin, ReadTraits> read;
  TopN<Twin, KeptTraits> kept;
  std::mt19937 rng(21);
  auto offer = [&](Twin& r) {
    if (r.read_slot < 0) {
      read.insert(&r);
    } else {
      read.update(&r);
    }
    if (r.kept_slot < 0) {
      kept.insert(&r);
    } else {
      kept.update(&r);
    }
  };
  auto same = [&]() {
    ASSERT_EQ(read.count(), kept.count());
    for (int i = 0; i < read.count(); ++i) ASSERT_EQ(read.at(i), kept.at(i)) << "place " << i;
    for (const Twin& r : recs) ASSERT_EQ(r.read_slot, r.kept_slot);
  };
  for (int step = 0; step < 40000; ++step) {
    // A few busy records and a long tail, with growths of equal size so
    // that ties are common.
    const std::size_t i = rng() % 4 == 0 ? rng() % 8 : rng() % recs.size();
    recs[i].value += 60 * (1 + rng() % 3);
    offer(recs[i]);
    if (step % 997 == 0) {
      ASSERT_NO_FATAL_FAILURE(same()) << "step " << step;
    }
  }
  ASSERT_NO_FATAL_FAILURE(same());
  EXPECT_EQ(read.count(), read.kCapacity);

  for (int i = 0; i < 40; ++i) recs[static_cast<std::size_t>(rng() % recs.size())].value += rng() % 5000;
  read.resort();
  kept.resort();
  ASSERT_NO_FATAL_FAILURE(same());
}

}  // namespace
}  // namespace tarnix
