// The real move chosen from the visit counts.
#include <gtest/gtest.h>

#include <vector>

#include "simulation/select_move.h"

namespace tilora::self_play {
namespace {

std::vector<VisitEntry> visits(std::initializer_list<std::uint32_t> counts) {
  std::vector<VisitEntry> out;
  std::uint16_t cell = 100;
  for (auto c : counts) out.push_back({cell++, c});
  return out;
}

struct SampleCase {
  std::vector<VisitEntry> visits;
  float r;
  unsigned expected;
};

class SearchSampleMove : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SearchSampleMove, FirstEntryWhoseRunningShareExceedsR) {
  EXPECT_EQ(sample_move(GetParam().visits, GetParam().r), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchSampleMove,
    ::testing::Values(SampleCase{visits({1, 3}), 0.2f, 100},   // 0.25 > 0.2
                      SampleCase{visits({1, 3}), 0.25f, 101},  // 0.25 is not > 0.25
                      SampleCase{visits({1, 3}), 0.0f, 100},
                      SampleCase{visits({0, 2, 2}), 0.0f, 101},
                      SampleCase{visits({1, 1, 1}), 0.99999988f, 102},
                      // Zero total: every share is NaN, the last entry is taken.
                      SampleCase{visits({0, 0, 0}), 0.1f, 102}));

TEST(SearchGreedyMove, MostVisitsAndTheLastAmongEquals) {
  EXPECT_EQ(greedy_move(visits({5, 9, 9})), 102u);
  EXPECT_EQ(greedy_move(visits({9, 5, 9, 2})), 102u);
  EXPECT_EQ(greedy_move(visits({3, 8, 1})), 101u);
  EXPECT_EQ(greedy_move(visits({0, 0})), 101u);
}

TEST(SearchUnitFloat, TopTwentyThreeBitsOfTheWord) {
  EXPECT_EQ(unit_float_from_word(0), 0.0f);
  EXPECT_EQ(unit_float_from_word(0x1FF), 0.0f);  // low 9 bits unused
  EXPECT_EQ(unit_float_from_word(0x80000000u), 0.5f);
  EXPECT_EQ(unit_float_from_word(0x00000200u), 0x1p-23f);
  EXPECT_EQ(unit_float_from_word(0xFFFFFFFFu), 1.0f - 0x1p-23f);
}

// Sampling while the policies count is below sample_moves: with counts
// [1, 1], sampling takes the first entry for r < 0.5, greedy the last.
TEST(SearchSelectMove, SamplesBelowSampleMovesAndIsGreedyFromThere) {
  const auto tie = visits({1, 1});
  for (unsigned seed = 0; seed < 40; ++seed) {
    Rng rng(seed);
    Rng replay = rng;
    const float r = unit_float_from_word(replay());
    EXPECT_EQ(select_move(tie, 29, 30, rng), r < 0.5f ? 100u : 101u);
    EXPECT_EQ(rng, replay);  // one word consumed
    EXPECT_EQ(select_move(tie, 30, 30, rng), 101u);
    EXPECT_EQ(select_move(tie, 1, 1, rng), 101u);
    EXPECT_EQ(select_move(tie, 1, 0, rng), 101u);
    EXPECT_EQ(rng, replay);  // greedy draws nothing
  }
}

}  // namespace
}  // namespace tilora::self_play
