#include "core/hashtable.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tarnix {
namespace {

// Counts live instances so ownership mistakes show up as wrong counts.
struct Tracked {
  static inline int live = 0;
  int v;
  explicit Tracked(int x) : v(x) { ++live; }
  Tracked(const Tracked& o) : v(o.v) { ++live; }
  Tracked& operator=(const Tracked&) = default;
  ~Tracked() { --live; }
};

// Keys are ints; the hash is the key itself, so keys 1, 257 and 513 share
// bucket 1 and only compare tells them apart.
struct IntTraits {
  static std::int32_t hash(int k) { return k; }
  static int compare(int stored, int probe) { return stored == probe ? 0 : 1; }
};

TEST(HashTable, StringHashesFollowTheirDefinitions) {
  EXPECT_EQ(string_hash(""), 0);
  // 'a' = 97: h = 97; 'b' = 98: h = (97 << 2) ^ 98 = 388 ^ 98 = 486.
  EXPECT_EQ(string_hash("ab"), 486);
  // Bytes above 0x7F sign-extend: 0xFF is -1.
  EXPECT_EQ(string_hash("\xff"), -1);
  // alt: 'a' -> 97 ^ 0 = 97, shifted (k=0) = 194; 'b' -> 194 ^ 98 = 160 (k=1, no shift);
  // 'c' -> 160 ^ 99 = 195, shifted (k=2) = 390.
  EXPECT_EQ(string_hash_alt("abc"), 390);
  std::uint8_t addr[4] = {192, 168, 1, 20};
  // 192 is -64 as a signed byte.
  std::uint32_t h = static_cast<std::uint32_t>(-64);
  h = static_cast<std::uint32_t>(-88) ^ (h << 2);
  h = 1u ^ (h << 2);
  h = 20u ^ (h << 2);
  EXPECT_EQ(bytes_hash(addr, 4), static_cast<std::int32_t>(h));
}

TEST(HashTable, CollidingKeysAreToldApartByCompare) {
  HashTable<int, int, IntTraits> t;
  EXPECT_EQ(t.insert(1, 10), 0);
  EXPECT_EQ(t.insert(257, 20), 0);
  EXPECT_EQ(t.insert(513, 30), 0);
  EXPECT_EQ(t.count(), 3);
  int v = -1;
  EXPECT_EQ(t.lookup(257, v), 1);
  EXPECT_EQ(v, 20);
  EXPECT_EQ(t.lookup(769, v), 0);
  EXPECT_EQ(v, 0);
  // Newest first within the chain.
  std::vector<int> order;
  t.foreach([&](int k, int) { order.push_back(k); });
  EXPECT_EQ(order, (std::vector<int>{513, 257, 1}));
  EXPECT_EQ(t.remove(257), 1);
  EXPECT_EQ(t.lookup(257, v), 0);
  EXPECT_EQ(t.lookup(513, v), 1);
  EXPECT_EQ(t.lookup(1, v), 1);
  EXPECT_EQ(t.count(), 2);
  EXPECT_EQ(t.remove(257), 0);
  EXPECT_EQ(t.count(), 2);
}

TEST(HashTable, IterationRunsBucketZeroToTwoFiftyFive) {
  HashTable<int, int, IntTraits> t;
  for (int k : {300, 5, 255, 0, 256}) t.insert(k, k);
  std::vector<int> order;
  t.foreach([&](int k, int) { order.push_back(k); });
  // Buckets: 0 -> {256, 0} newest first; 5; 44 (300); 255.
  EXPECT_EQ(order, (std::vector<int>{256, 0, 5, 300, 255}));
}

TEST(HashTable, InsertReleasesTheOldValueSetHandsItBack) {
  Tracked::live = 0;
  {
    HashTable<std::string, std::shared_ptr<Tracked>> t;
    auto a = std::make_shared<Tracked>(1);
    t.insert("k", a);
    EXPECT_EQ(a.use_count(), 2);  // stored a copy of the handle
    t.insert("k", std::make_shared<Tracked>(2));
    EXPECT_EQ(a.use_count(), 1);  // old value released by insert
    EXPECT_EQ(t.find("k")->get()->v, 2);
  }
  EXPECT_EQ(Tracked::live, 0);

  {
    HashTable<std::string, std::unique_ptr<Tracked>> t;
    EXPECT_EQ(t.set("k", std::make_unique<Tracked>(1)), 0);
    std::unique_ptr<Tracked> previous;
    EXPECT_EQ(t.set("k", std::make_unique<Tracked>(2), &previous), 1);
    ASSERT_TRUE(previous);
    EXPECT_EQ(previous->v, 1);  // set did not release the replaced value
    EXPECT_EQ(Tracked::live, 2);
    EXPECT_EQ(t.count(), 1);
  }
  EXPECT_EQ(Tracked::live, 0);  // the table released what it adopted
}

TEST(HashTable, RemoveAndClearReleaseOwnedValues) {
  Tracked::live = 0;
  HashTable<std::string, std::unique_ptr<Tracked>> t;
  for (int i = 0; i < 600; ++i) t.set("key" + std::to_string(i), std::make_unique<Tracked>(i));
  EXPECT_EQ(t.count(), 600);
  EXPECT_EQ(Tracked::live, 600);
  EXPECT_EQ(t.remove(std::string("key17")), 1);
  EXPECT_EQ(Tracked::live, 599);
  EXPECT_EQ(t.find(std::string("key17")), nullptr);
  EXPECT_EQ(t.find(std::string("key18"))->get()->v, 18);
  t.clear();
  EXPECT_EQ(Tracked::live, 0);
  EXPECT_EQ(t.count(), 0);
}

TEST(HashTable, LookupKeyGivesTheSharedStoredCopy) {
  HashTable<std::string, int> t;
  t.insert("name", 1);
  const std::string* k1 = t.lookup_key(std::string("name"));
  const std::string* k2 = t.lookup_key(std::string("name"));
  ASSERT_NE(k1, nullptr);
  EXPECT_EQ(k1, k2);
  EXPECT_EQ(t.lookup_key(std::string("other")), nullptr);
}

TEST(HashTable, PointerKeysUseTheirLowBits) {
  int objects[3];
  HashTable<int*, int, PointerKeyTraits<int*>> t;
  for (int i = 0; i < 3; ++i) t.insert(&objects[i], i);
  int v;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(t.lookup(&objects[i], v), 1);
    EXPECT_EQ(v, i);
  }
  EXPECT_EQ((HashTable<int*, int, PointerKeyTraits<int*>>::bucket_of(&objects[1])),
            static_cast<int>(reinterpret_cast<std::uintptr_t>(&objects[1]) & 0xFF));
}

}  // namespace
}  // namespace tarnix
