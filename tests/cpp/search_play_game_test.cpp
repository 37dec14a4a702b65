// Whole self-play games with a fake network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "search_fake_network.h"
#include "simulation/format.h"
#include "simulation/internal_stop.h"
#include "simulation/mcts.h"
#include "simulation/play_game.h"

namespace tilora::self_play {
namespace {

using testing::FakeNetwork;

// The module's defaults: the classic rule over cells.
Config config(std::uint32_t sims, std::uint32_t sample_moves = 30) {
  return testing::search_config(sims, SearchRule::kClassic, sample_moves);
}

// Keeps what the game reports.
struct RecordingReporter final : Reporter {
  void move_played() override { ++moves; }
  void game_finished(const game::Payoff& p, const board::Scores& s) override {
    ++finished;
    payoff = p;
    scores = s;
  }
  unsigned moves = 0;
  unsigned finished = 0;
  game::Payoff payoff{};
  board::Scores scores{};
};

TEST(SearchPlayGame, RecordMatchesAReplayOfTheGame) {
  Rng rng(40);
  FakeNetwork network({0.3f, -0.1f, 0.2f, 0.6f});
  RecordingReporter reporter;
  ::testing::internal::CaptureStdout();
  const TrainingRecord record = play_game(config(6), network, rng, reporter);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  ASSERT_EQ(record.policies.size(), record.history.size());
  ASSERT_GT(record.history.size(), 40u);
  game::Game replay = game::Game::reset();
  for (unsigned i = 0; i < record.history.size(); ++i) {
    const game::Move move = record.history[i];
    ASSERT_EQ(replay.current_player(), move.player) << i;
    std::vector<unsigned> cells;
    float shares = 0.0f;
    for (const PolicyEntry& e : record.policies[i]) {
      cells.push_back(e.cell);
      shares += e.share;
    }
    std::sort(cells.begin(), cells.end());
    EXPECT_EQ(cells, replay.legal_tiles()) << "move " << i;
    EXPECT_NEAR(shares, 1.0f, 1e-5) << "move " << i;
    EXPECT_TRUE(std::binary_search(cells.begin(), cells.end(), move.cell));
    ASSERT_FALSE(replay.apply(move.cell));
  }
  EXPECT_TRUE(replay.is_over());
  EXPECT_EQ(record.payoff, replay.get_payoff());
  EXPECT_EQ(reporter.moves, record.history.size());
  EXPECT_EQ(reporter.finished, 1u);
  EXPECT_EQ(reporter.payoff, replay.get_payoff());
  EXPECT_EQ(reporter.scores, replay.get_score());
}

TEST(SearchPlayGame, ZeroSimulationsGiveNaNSharesAndPlayTheLastChild) {
  Rng rng(41);
  FakeNetwork network;
  SilentReporter reporter;
  const TrainingRecord record = play_game(config(0, 10), network, rng, reporter);
  EXPECT_EQ(network.calls, record.history.size());
  for (unsigned i = 0; i < record.history.size(); ++i) {
    for (const PolicyEntry& e : record.policies[i]) EXPECT_TRUE(std::isnan(e.share));
    EXPECT_EQ(record.history[i].cell, record.policies[i].back().cell) << i;
  }
}

class SearchPlayGameRootFailure : public ::testing::TestWithParam<unsigned> {};

// The game prints nothing of the failure (the boundary's reporter prints it).
TEST_P(SearchPlayGameRootFailure, ThrowsTheRootsFailureAndPrintsNothing) {
  Rng rng(42);
  FakeNetwork network;
  network.fail_on_call = GetParam();  // with 0 simulations every call is a root
  SilentReporter reporter;
  const std::string error = "fake failure on call " + std::to_string(GetParam());
  ::testing::internal::CaptureStdout();
  try {
    (void)play_game(config(0), network, rng, reporter);
    ADD_FAILURE() << "no failure";
  } catch (const EvaluationFailed& failure) {
    EXPECT_EQ(failure.where, EvaluationFailed::Where::kRoot);
    EXPECT_EQ(failure.error_text, error);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

INSTANTIATE_TEST_SUITE_P(Moves, SearchPlayGameRootFailure, ::testing::Values(0u, 1u, 57u));

class SearchConfigAlpha : public ::testing::TestWithParam<float> {};

TEST_P(SearchConfigAlpha, InvalidDirichletAlphaIsRefusedWithItsValue) {
  Config c = config(4);
  EXPECT_NO_THROW(check_config(c));
  c.dirichlet_alpha = GetParam();
  try {
    check_config(c);
    FAIL() << "no stop";
  } catch (const InternalStop& stop) {
    EXPECT_EQ(std::string(stop.what()), "invalid configuration: dirichlet_alpha must be a positive number, got " +
                                             format_float(GetParam()));
  }
}

INSTANTIATE_TEST_SUITE_P(Alphas, SearchConfigAlpha,
                         ::testing::Values(0.0f, -0.0f, -1.5f,
                                           std::numeric_limits<float>::quiet_NaN(),
                                           -std::numeric_limits<float>::infinity()));

struct FloatText {
  float value;
  const char* text;
};

class SearchFormatFloat : public ::testing::TestWithParam<FloatText> {};

TEST_P(SearchFormatFloat, ShortestRoundTripWithAFraction) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SearchFormatFloat,
    ::testing::Values(FloatText{0.0f, "0.0"}, FloatText{1.0f, "1.0"}, FloatText{0.5f, "0.5"},
                      FloatText{1.0f / 3.0f, "0.33333334"}, FloatText{0.25f, "0.25"},
                      FloatText{-2.0f, "-2.0"}, FloatText{0.1f, "0.1"},
                      FloatText{1e-5f, "1.0e-05"}, FloatText{1.5e-5f, "1.5e-05"},
                      FloatText{3e38f, "3.0e+38"}));

TEST(SearchFormatLists, PayoffAndScores) {
  EXPECT_EQ(format_payoff({0.0f, 0.5f, 0.5f, 0.0f}), "[0.0, 0.5, 0.5, 0.0]");
  EXPECT_EQ(format_scores({-10, 5, 5, -3}), "[-10, 5, 5, -3]");
}

}  // namespace
}  // namespace tilora::self_play
