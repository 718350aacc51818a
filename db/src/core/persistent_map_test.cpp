#include "core/persistent_map.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <vector>

namespace tessaradb {
namespace {

// Drives a PersistentMap and std::map through the same random writes, taking copies along the
// way, and checks that every copy still equals the model it was taken from.
TEST(PersistentMap, MatchesAModelAndCopiesAreIsolated) {
  std::mt19937_64 rng{12345};
  PersistentMap<int> map;
  std::map<std::uint64_t, int> model;
  std::vector<std::pair<PersistentMap<int>, std::map<std::uint64_t, int>>> copies;
  auto random_key = [&] {
    switch (rng() % 3) {
      case 0: return rng() % 200;                  // dense small keys
      case 1: return rng() % 100000;               // sparse keys
      default: return rng();                       // full 64-bit range
    }
  };
  for (int step = 0; step < 20000; ++step) {
    const std::uint64_t key = random_key();
    if (rng() % 3 == 0) {
      EXPECT_EQ(map.erase(key), model.erase(key) == 1);
    } else {
      const int value = static_cast<int>(rng() % 1000);
      EXPECT_EQ(map.insert_or_assign(key, value), model.insert_or_assign(key, value).second);
    }
    if (step % 997 == 0) copies.emplace_back(map, model);
  }
  copies.emplace_back(map, model);
  for (const auto& [copy, expected] : copies) {
    ASSERT_EQ(copy.size(), expected.size());
    auto it = expected.begin();
    copy.for_each([&](std::uint64_t key, int value) {
      EXPECT_EQ(key, it->first);
      EXPECT_EQ(value, it->second);
      ++it;
    });
    for (const auto& [key, value] : expected) {
      ASSERT_NE(copy.find(key), nullptr);
      EXPECT_EQ(*copy.find(key), value);
    }
  }
}

// A set moves between its inline single key and its trie as it grows and shrinks through one and
// two keys; every state and every copy must still match a std::set.
TEST(PersistentSet, MatchesAModelThroughTheSingleKeyForm) {
  std::mt19937_64 rng{99};
  PersistentSet set;
  std::set<std::uint64_t> model;
  std::vector<std::pair<PersistentSet, std::set<std::uint64_t>>> copies;
  const auto check = [](const PersistentSet& s, const std::set<std::uint64_t>& m) {
    ASSERT_EQ(s.size(), m.size());
    EXPECT_EQ(s.empty(), m.empty());
    std::vector<std::uint64_t> seen;
    s.for_each([&](std::uint64_t key) { seen.push_back(key); });
    EXPECT_EQ(seen, std::vector<std::uint64_t>(m.begin(), m.end()));
    for (std::uint64_t key = 0; key < 6; ++key) EXPECT_EQ(s.contains(key), m.count(key) == 1);
  };
  for (int step = 0; step < 4000; ++step) {
    const std::uint64_t key = rng() % 6;  // few keys: sizes 0, 1 and 2 come round often
    if (rng() % 2 == 0) {
      EXPECT_EQ(set.erase(key), model.erase(key) == 1);
    } else {
      EXPECT_EQ(set.insert(key), model.insert(key).second);
    }
    check(set, model);
    if (step % 37 == 0) copies.emplace_back(set, model);
  }
  for (const auto& [copy, expected] : copies) check(copy, expected);
  // Stopping early works in both forms.
  PersistentSet one;
  one.insert(7);
  int calls = 0;
  EXPECT_FALSE(one.for_each([&](std::uint64_t) { ++calls; return false; }));
  EXPECT_EQ(calls, 1);
}

TEST(PersistentMap, ForEachFromStartsAtTheFirstKeyNotBelow) {
  PersistentMap<int> map;
  for (std::uint64_t key : {3ull, 64ull, 65ull, 4095ull, 4096ull, 1ull << 50}) {
    map.insert_or_assign(key, 0);
  }
  struct Case { std::uint64_t from; std::vector<std::uint64_t> keys; };
  for (const Case& c : {Case{0, {3, 64, 65, 4095, 4096, 1ull << 50}}, Case{4, {64, 65, 4095, 4096, 1ull << 50}},
                        Case{65, {65, 4095, 4096, 1ull << 50}}, Case{4097, {1ull << 50}},
                        Case{(1ull << 50) + 1, {}}, Case{~0ull, {}}}) {
    SCOPED_TRACE(c.from);
    std::vector<std::uint64_t> keys;
    map.for_each_from(c.from, [&](std::uint64_t key, int) { keys.push_back(key); });
    EXPECT_EQ(keys, c.keys);
  }
}

}  // namespace
}  // namespace tessaradb
