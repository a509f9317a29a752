#include <gtest/gtest.h>

#include <vector>

#include "core/alloc.h"
#include "core/list.h"

namespace tarnix {
namespace {

std::vector<int> contents(const List<int>& l) {
  std::vector<int> out;
  l.foreach([&](int v) { out.push_back(v); });
  return out;
}

// Descending order: walk past every element the new value is below.
int descending(const int& a, const int& b) { return a < b ? -1 : (a > b ? 1 : 0); }

TEST(List, InsertSortedKeepsOrderAndTailAtEveryPosition) {
  List<int> l;
  l.insert_sorted(50, descending);  // empty
  EXPECT_EQ(l.tail()->data, 50);
  l.insert_sorted(90, descending);  // before head
  l.insert_sorted(70, descending);  // right after head
  l.insert_sorted(60, descending);  // middle
  l.insert_sorted(10, descending);  // tail
  EXPECT_EQ(contents(l), (std::vector<int>{90, 70, 60, 50, 10}));
  EXPECT_EQ(l.head()->data, 90);
  EXPECT_EQ(l.tail()->data, 10);
  EXPECT_EQ(l.count(), 5);
  // Equal values go in front of the existing equal element.
  List<int>::Node* n = l.insert_sorted(60, descending);
  EXPECT_EQ(n->next->data, 60);
  EXPECT_EQ(l.count(), 6);
}

TEST(List, RemoveKeepsHeadTailAndCount) {
  List<int> l;
  l.append(1);
  EXPECT_EQ(l.remove(1), nullptr);
  EXPECT_EQ(l.head(), nullptr);
  EXPECT_EQ(l.tail(), nullptr);
  EXPECT_EQ(l.count(), 0);

  l.append(1);
  l.append(2);
  l.append(3);
  EXPECT_EQ(l.remove(3), nullptr);
  EXPECT_EQ(l.tail()->data, 2);
  l.append(4);  // the tail pointer must still be right
  EXPECT_EQ(contents(l), (std::vector<int>{1, 2, 4}));
  List<int>::Node* next = l.remove(1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->data, 2);
  EXPECT_EQ(l.head()->data, 2);
  EXPECT_EQ(l.remove(99), nullptr);
  EXPECT_EQ(l.count(), 2);
}

TEST(List, RemoveUsesIdentityForPointers) {
  int a = 5, b = 5;
  List<int*> l;
  l.append(&a);
  l.append(&b);
  l.remove(&b);
  ASSERT_EQ(l.count(), 1);
  EXPECT_EQ(l.head()->data, &a);
}

TEST(List, WalkFindPrependMapAndDestroy) {
  List<int> l;
  l.prepend(3);
  EXPECT_EQ(l.tail()->data, 3);
  l.prepend(2);
  l.prepend(1);
  int visited = 0;
  l.walk([&](int&, List<int>::Node*) -> List<int>::Node* {
    ++visited;
    return nullptr;
  });
  EXPECT_EQ(visited, 1);
  // Returning the node itself continues with its successor.
  visited = 0;
  l.walk([&](int&, List<int>::Node* n) {
    ++visited;
    return n;
  });
  EXPECT_EQ(visited, 3);
  int* found = l.find(2, [](int key, int e) { return key - e; });
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, 2);
  EXPECT_EQ(l.find(7, [](int key, int e) { return key - e; }), nullptr);
  List<int> doubled = l.map([](int v) { return v * 2; });
  EXPECT_EQ(contents(doubled), (std::vector<int>{2, 4, 6}));
  std::vector<int> seen;
  l.destroy([&](int v) { seen.push_back(v); });
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(l.count(), 0);
  EXPECT_EQ(l.head(), nullptr);
}

TEST(Strings, StrdupUntilAndSpacesToNul) {
  EXPECT_EQ(strdup_until("www.example.org", '.'), "www");
  EXPECT_EQ(strdup_until("localhost", '.'), "localhost");
  EXPECT_EQ(strdup_until(".lead", '.'), "");
  char text[] = "a b  c";
  spaces_to_nul(text);
  EXPECT_STREQ(text, "a");
  EXPECT_STREQ(text + 2, "b");
  EXPECT_EQ(text[3], '\0');
  char out[32];
  escape_backslashes(out, "a\\b\\\\c");
  EXPECT_STREQ(out, "a\\\\b\\\\\\\\c");
  char* dup = xstrdup("copy");
  EXPECT_STREQ(dup, "copy");
  std::free(dup);
  EXPECT_EQ(xstrdup(nullptr), nullptr);
}

}  // namespace
}  // namespace tarnix
