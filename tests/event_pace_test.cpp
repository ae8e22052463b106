#include <gtest/gtest.h>

#include <cstdint>

#include "support/events.h"

using namespace kestrel;

namespace {

constexpr int64_t kMinute = EventPace::kIntervalMs;
constexpr uint32_t kKeys = 20;  // more than the pace remembers

// Rounds of every key in turn, each round a little later: how many were due.
int DueOverRounds(EventPace& pace, int rounds, int64_t startMs) {
  int due = 0;
  for (int round = 0; round < rounds; ++round) {
    for (uint32_t key = 1; key <= kKeys; ++key) due += pace.Due(key, startMs + round * 100) ? 1 : 0;
  }
  return due;
}

TEST(EventPaceTest, KeysBeyondItsMemoryAreFoldedNotToldOneByOne) {
  EventPace pace;
  EXPECT_EQ(DueOverRounds(pace, 5, 0), 16);  // each remembered key once; the other 4 never
  EventPace::Folded folded;
  EXPECT_FALSE(pace.FoldedDue(kMinute - 1, folded));
  EXPECT_EQ(pace.FoldedDueMs(), kMinute);
  ASSERT_TRUE(pace.FoldedDue(kMinute, folded));
  EXPECT_EQ(folded.events, 20u);
  EXPECT_EQ(folded.keys, 4);
  EXPECT_FALSE(folded.moreKeys);
  EXPECT_FALSE(pace.FoldedDue(2 * kMinute, folded));  // told once, started again
  EXPECT_EQ(pace.FoldedDueMs(), -1);
}

TEST(EventPaceTest, AKeyIsToldAgainAfterAMinuteAndTakesAPlaceNotSeenForOne) {
  EventPace pace;
  EXPECT_EQ(DueOverRounds(pace, 1, 0), 16);
  EXPECT_FALSE(pace.Due(1, kMinute - 1));
  EXPECT_TRUE(pace.Due(1, kMinute));
  EXPECT_TRUE(pace.Due(17, kMinute));  // key 2's place, unseen for a minute
  EXPECT_FALSE(pace.Due(17, kMinute + 1));
  EXPECT_TRUE(pace.Due(2, kMinute + 2));  // key 3's
}

TEST(EventPaceTest, DistinctFoldedKeysAreCountedUpToWhatItRemembers) {
  EventPace pace;
  for (uint32_t key = 0; key < 16 + 300; ++key) pace.Due(key, 0);
  pace.Due(16, 1);  // folded again: one key, two events
  EventPace::Folded folded;
  ASSERT_TRUE(pace.FoldedDue(kMinute, folded));
  EXPECT_EQ(folded.events, 301u);
  EXPECT_EQ(folded.keys, 256);
  EXPECT_TRUE(folded.moreKeys);
}

}  // namespace
