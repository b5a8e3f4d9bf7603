// The mesh's vertex numbering rests on this map answering exactly as a
// standard map would, through every growth of its table.

#include "core/flat_key_map.h"

#include <cstdint>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include <gtest/gtest.h>

namespace wendfit {
namespace {

TEST(FlatKeyMap, AnswersAsAStandardMapThroughGrowth) {
  FlatKeyMap<int> map;
  std::unordered_map<uint64_t, int> expected;
  std::mt19937_64 random(7);
  // Grid-edge keys: strided runs (the worst case for a weak hash) mixed
  // with repeats and keys far apart.
  for (int i = 0; i < 60000; ++i) {
    const uint64_t key = i % 3 == 0 ? uint64_t(i) * 4 * 8193 : i % 3 == 1 ? random() % 5000 : random() >> 1;
    const auto [value, added] = map.tryEmplace(key, i);
    const auto [slot, inserted] = expected.try_emplace(key, i);
    ASSERT_EQ(added, inserted) << key;
    ASSERT_EQ(*value, slot->second) << key;
  }
  EXPECT_EQ(map.size(), expected.size());
  for (const auto& [key, value] : expected) {
    ASSERT_NE(map.find(key), nullptr);
    ASSERT_EQ(*map.find(key), value);
  }
  EXPECT_EQ(map.find(uint64_t{1} << 62), nullptr);
  EXPECT_EQ(map.find(FlatKeyMap<int>::kFree), nullptr);
  EXPECT_THROW(map.tryEmplace(FlatKeyMap<int>::kFree, 0), std::invalid_argument);
  map[uint64_t{1} << 62] = 5;
  EXPECT_EQ(*map.find(uint64_t{1} << 62), 5);
}

}  // namespace
}  // namespace wendfit
