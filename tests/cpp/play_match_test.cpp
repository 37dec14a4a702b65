// Matches: each seat's own player, greedy and rollout baselines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ranges>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "play/baseline_networks.h"
#include "play/play_match.h"
#include "search_fake_network.h"
#include "simulation/state_repr.h"
#include "tile_moves.h"

namespace tilora::self_play {
namespace {

using testing::FakeNetwork;
using testing::search_config;

// The players of consecutive moves with repeats merged: one entry per turn.
template <class Seq>
std::vector<unsigned> turns(const Seq& players) {
  std::vector<unsigned> out;
  for (unsigned p : players)
    if (out.empty() || out.back() != p) out.push_back(p);
  return out;
}

TEST(SearchMatch, EverySeatsSearchAsksOnlyItsOwnNetwork) {
  Rng rng(40);
  std::vector<unsigned> asked;  // the seat of each network call, in order
  std::array<FakeNetwork, kPlayers> networks;
  std::array<SeatPlayer, kPlayers> seats;
  for (unsigned s = 0; s < kPlayers; ++s) {
    networks[s].answer = [s, &asked](const StateRepr&, Reply& reply) {
      asked.push_back(s);
      reply.policy.fill(0.0f);
      reply.policy_size = kBoardCells;
      reply.values = {0.25f, 0.25f, 0.25f, 0.25f};
    };
    seats[s] = SearchSeat{search_config(2 + s, s % 2 ? SearchRule::kPuct : SearchRule::kClassic),
                          &networks[s]};
  }
  const TrainingRecord record = play_match(seats, rng);
  std::vector<unsigned> movers;
  for (const game::Move& move : record.history) movers.push_back(move.player);
  // Every move's search asks at least once (its root), so the turns seen by
  // the networks are exactly the game's turns.
  EXPECT_EQ(turns(asked), turns(movers));
  EXPECT_EQ(record.policies.size(), record.history.size());
  // Seat s searches with 2 + s simulations: its roots' visits say so.
  for (std::size_t i = 0; i < record.history.size(); ++i) {
    const unsigned s = record.history[i].player;
    if (record.policies[i].size() < 2) continue;
    float total = 0.0f;
    for (const PolicyEntry& e : record.policies[i]) total += e.share * static_cast<float>(2 + s);
    EXPECT_NEAR(total, 2.0f + static_cast<float>(s), 1e-4) << i;
  }
}

TEST(SearchMatch, GreedyLaysALargestPlacementEveryTurn) {
  Rng rng(41);
  std::array<SeatPlayer, kPlayers> seats{GreedyPlayer{}, GreedyPlayer{}, GreedyPlayer{},
                                          GreedyPlayer{}};
  const TrainingRecord record = play_match(seats, rng);
  game::Game replay = game::Game::reset();
  std::size_t i = 0;
  while (i < record.history.size()) {
    // A turn begins: the greedy player lays exactly a largest placement, and
    // the piece it finishes has that size.
    const unsigned player = *replay.current_player();
    const game::TileMoves moves = game::get_tile_moves(replay.board(), player);
    unsigned largest = 0;
    for (unsigned id = 0; id < moves.placements().size(); ++id)
      largest = std::max(largest, static_cast<unsigned>(moves.covered_cells(id).size()));
    ASSERT_LE(i + largest, record.history.size());
    for (unsigned k = 0; k < largest; ++k, ++i) {
      ASSERT_EQ(record.history[i].player, player) << i;
      ASSERT_FALSE(replay.apply(record.history[i].cell));
      ASSERT_EQ(record.policies[i].size(), 1u);
      EXPECT_EQ(record.policies[i][0].share, 1.0f);
    }
    EXPECT_EQ(replay.last_piece_sizes()[player], largest) << "turn ending at move " << i;
  }
  EXPECT_TRUE(replay.is_over());
  EXPECT_EQ(record.payoff, replay.get_payoff());
}

TEST(SearchMatch, SeededMatchesRepeatAndRolloutsNeedNoNetwork) {
  auto play = [](std::uint64_t seed) {
    Rng rng = seeded_rng(seed);
    RolloutNetwork rollouts(rng);
    std::array<SeatPlayer, kPlayers> seats{
        SearchSeat{search_config(3, SearchRule::kPuct), &rollouts}, GreedyPlayer{},
        SearchSeat{search_config(2, SearchRule::kClassic), &rollouts}, GreedyPlayer{}};
    return play_match(seats, rng);
  };
  const TrainingRecord a = play(7), b = play(7), c = play(8);
  ASSERT_EQ(a.history.size(), b.history.size());
  EXPECT_TRUE(std::equal(a.history.begin(), a.history.end(), b.history.begin()));
  EXPECT_EQ(a.payoff, b.payoff);
  EXPECT_FALSE(a.history.size() == c.history.size() &&
               std::equal(a.history.begin(), a.history.end(), c.history.begin()));
}

TEST(PlacementMatch, rollout_seats_of_both_trees_finish_the_game) {
  Rng rng(11);
  RolloutNetwork rollout(rng);
  std::array<SeatPlayer, kPlayers> seats;
  for (unsigned p = 0; p < kPlayers; ++p) {
    Config c = search_config(8, SearchRule::kPuct, 8);
    c.tree = p % 2 ? SearchTree::kCells : SearchTree::kPlacements;
    seats[p] = SearchSeat{c, &rollout};
  }
  const TrainingRecord record = play_match(seats, rng);
  game::Game game = game::Game::reset();
  for (const auto& move : record.history) ASSERT_FALSE(game.apply(move.cell));
  EXPECT_TRUE(game.is_over());
  EXPECT_EQ(record.payoff, game.get_payoff());
}

// Records the seat of every move it makes, and stops the match at move `stop_at`.
class RecordingRunner : public MoveRunner {
 public:
  unsigned run(unsigned seat, const std::function<unsigned()>& choose) override {
    if (seats.size() == stop_at) throw std::runtime_error("stopped");
    seats.push_back(seat);
    return choose();
  }
  std::vector<unsigned> seats;
  std::size_t stop_at = SIZE_MAX;
};

TEST(SearchMatch, EveryMoveGoesThroughTheRunnerWithTheSeatToMove) {
  std::array<SeatPlayer, kPlayers> seats{GreedyPlayer{}, GreedyPlayer{}, GreedyPlayer{},
                                          GreedyPlayer{}};
  Rng rng(45);
  RecordingRunner runner;
  const TrainingRecord record = play_match(seats, rng, runner);
  std::vector<unsigned> movers;
  for (const game::Move& move : record.history) movers.push_back(move.player);
  EXPECT_EQ(runner.seats, movers);

  RecordingRunner stopping;
  stopping.stop_at = 7;
  EXPECT_THROW((void)play_match(seats, rng, stopping), std::runtime_error);
  EXPECT_EQ(stopping.seats.size(), 7u);
}

TEST(SearchRollout, PlayoutEndsTheGameAndPaysItsWinners) {
  Rng rng(43);
  for (int i = 0; i < 5; ++i) {
    const game::Payoff payoff = random_playout(game::Game::reset(), rng);
    float total = 0.0f;
    for (float p : payoff) total += p;
    EXPECT_NEAR(total, 1.0f, 1e-6);
  }
}

TEST(SearchRollout, MixedValuesWeighTheNetworkAgainstOnePlayout) {
  constexpr Values kInner = {0.2f, 0.4f, 0.0f, 0.8f};
  FakeNetwork inner(kInner);
  Rng rng(44);
  const Rng before = rng;
  PlayoutMixNetwork mixed(inner, rng, 0.25f);
  const game::Game game = game::Game::reset();
  Reply reply;
  ASSERT_TRUE(mixed.infer(game, get_representation(game), reply));
  Rng replay = before;
  const game::Payoff payoff = random_playout(game, replay);
  for (unsigned p = 0; p < kPlayers; ++p)
    EXPECT_FLOAT_EQ(reply.values[p], 0.75f * kInner[p] + 0.25f * payoff[p]) << p;
  EXPECT_EQ(rng, replay);  // one playout, drawn from the given generator
}

TEST(SearchMatch, APartOfAGameLaysItsOpeningThenPlaysExactlyTheTurnsAsked) {
  Rng rng(48);
  std::array<SeatPlayer, kPlayers> seats{GreedyPlayer{}, GreedyPlayer{}, GreedyPlayer{}, GreedyPlayer{}};
  const TrainingRecord whole = play_match(seats, rng);
  // The opening: the first six turns of that game.
  MatchSpan span;
  const std::vector<unsigned> movers = turns(whole.history | std::views::transform(&game::Move::player));
  for (std::size_t i = 0, turn = 0; i < whole.history.size(); ++i) {
    if (i > 0 && whole.history[i].player != whole.history[i - 1].player && ++turn == 6) break;
    span.opening.push_back(whole.history[i].cell);
  }
  span.turns = 2;
  MoveRunner plain;
  const TrainingRecord part = play_match(seats, rng, plain, span);
  ASSERT_EQ(part.policies.size(), part.history.size());
  for (std::size_t i = 0; i < part.history.size(); ++i) {
    if (i < span.opening.size()) {
      EXPECT_EQ(part.history[i].cell, span.opening[i]);
      EXPECT_TRUE(part.policies[i].empty());
    } else {
      EXPECT_FALSE(part.policies[i].empty());  // played by its seat
    }
  }
  const auto players = part.history | std::views::transform(&game::Move::player);
  EXPECT_EQ(turns(players), std::vector<unsigned>(movers.begin(), movers.begin() + 8));
  span.opening.pop_back();  // now ends inside a turn: no seat may begin there
  EXPECT_THROW((void)play_match(seats, rng, plain, span), InternalStop);
}

// The pieces laid so far, all players together: one a completed turn.
unsigned pieces_laid(const game::Game& game) {
  unsigned laid = 0;
  for (const auto& pieces : game.board().pieces) laid += kPieceKinds - pieces.size();
  return laid;
}

class SearchCutPlayout : public ::testing::TestWithParam<unsigned> {};

TEST_P(SearchCutPlayout, LaysExactlyTheTurnsAskedForAndStopsAtATurnStart) {
  const unsigned turns = GetParam();
  Rng rng(45);
  for (int i = 0; i < 20; ++i) {
    const game::Game start = play_random_turns(game::Game::reset(), rng, static_cast<unsigned>(i) * 3);
    const game::Game cut = play_random_turns(start, rng, turns);
    if (cut.is_over()) {
      EXPECT_LE(pieces_laid(cut), pieces_laid(start) + turns);
      continue;
    }
    EXPECT_EQ(pieces_laid(cut), pieces_laid(start) + turns) << i;
    EXPECT_FALSE(cut.turn_started()) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Turns, SearchCutPlayout, ::testing::Values(0u, 1u, 2u, 8u, 40u));

struct PlayoutCase {
  unsigned playouts;
  unsigned turns;
};

class SearchRolloutValues : public ::testing::TestWithParam<PlayoutCase> {};

TEST_P(SearchRolloutValues, AreTheMeanOfThatManySeededPlayouts) {
  const auto [playouts, turns] = GetParam();
  Rng rng(46);
  const game::Game game = play_random_turns(game::Game::reset(), rng, 12);
  Rng replay = rng;
  RolloutNetwork rollouts(rng, playouts, turns);
  Reply reply;
  ASSERT_TRUE(rollouts.infer(game, get_representation(game), reply));
  Values sum{};
  for (unsigned i = 0; i < playouts; ++i) {
    const Values one =
        turns == 0 ? random_playout(game, replay) : heuristic_values(play_random_turns(game, replay, turns));
    for (unsigned p = 0; p < kPlayers; ++p) sum[p] += one[p];
  }
  for (unsigned p = 0; p < kPlayers; ++p) EXPECT_EQ(reply.values[p], sum[p] / static_cast<float>(playouts)) << p;
  EXPECT_EQ(rng, replay);  // exactly that many playouts, in order
  EXPECT_TRUE(std::all_of(reply.policy.begin(), reply.policy.end(), [](float logit) { return logit == 0.0f; }));
}

INSTANTIATE_TEST_SUITE_P(Playouts, SearchRolloutValues,
                         ::testing::Values(PlayoutCase{1, 0}, PlayoutCase{5, 0}, PlayoutCase{5, 3}));

TEST(SearchHeuristic, SharesAreParAtTheStartThePayoffAtTheEndAndSkipCornersOfPlayersOut) {
  const game::Game start = game::Game::reset();
  for (float value : heuristic_values(start)) EXPECT_FLOAT_EQ(value, 0.25f);

  Rng rng(47);
  bool saw_player_out = false;
  for (int g = 0; g < 10; ++g) {
    game::Game game = start;
    while (!game.is_over()) {
      const Values values = heuristic_values(game);
      float total = 0.0f;
      for (float v : values) total += v;
      ASSERT_NEAR(total, 1.0f, 1e-5f);
      if (game.players().size() < kPlayers) {
        // A player out lays nothing more: its corner cells must not raise its estimate.
        const unsigned out = [&] {
          for (unsigned p = 0; p < kPlayers; ++p)
            if (std::find(game.players().begin(), game.players().end(), p) == game.players().end()) return p;
          return kPlayers;
        }();
        const unsigned in = game.players()[0];
        const board::Scores scores = game.get_score();
        const float estimate_in = static_cast<float>(scores[in]) +
                                  kHeuristicCornerWeight * static_cast<float>(game.board().corners[in].size());
        EXPECT_NEAR(std::log(values[out] / values[in]),
                    (static_cast<float>(scores[out]) - estimate_in) / kHeuristicTemperature, 1e-3f);
        saw_player_out |= game.board().corners[out].size() > 0;
      }
      game = play_random_turns(game, rng, 1);
    }
    const Values end = heuristic_values(game);
    const game::Payoff payoff = game.get_payoff();
    for (unsigned p = 0; p < kPlayers; ++p) EXPECT_EQ(end[p], payoff[p]);
  }
  EXPECT_TRUE(saw_player_out);  // the check above met a player out with corner cells left
}

TEST(SearchEqualPriors, KeepTheNetworksValuesAndNeverAskItAtARoot) {
  constexpr Values kInner = {0.2f, 0.4f, 0.0f, 0.4f};
  FakeNetwork inner(kInner);
  inner.answer = [&](const StateRepr&, Reply& reply) {
    reply.policy.fill(-3.0f);
    reply.policy[7] = 5.0f;
    reply.policy_size = kBoardCells;
    reply.values = kInner;
  };
  EqualPriorsNetwork equal(inner);
  const game::Game game = game::Game::reset();
  Reply reply;
  ASSERT_TRUE(equal.infer_policy(game, get_representation(game), reply));
  EXPECT_EQ(inner.calls, 0u);
  ASSERT_TRUE(equal.infer(game, get_representation(game), reply));
  EXPECT_EQ(inner.calls, 1u);
  EXPECT_EQ(reply.values, kInner);
  EXPECT_EQ(reply.policy_size, kBoardCells);
  EXPECT_TRUE(std::all_of(reply.policy.begin(), reply.policy.end(), [](float logit) { return logit == 0.0f; }));
}

}  // namespace
}  // namespace tilora::self_play
