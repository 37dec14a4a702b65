// The game: laying pieces cell by cell, the finish test, errors, scores and
// the payoff split.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "engine_checks.h"
#include "game.h"

namespace tilora::game {
namespace {

using checks::snapshot;

const std::vector<unsigned> kPlayer0StartCells = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};
const std::vector<unsigned> kPlayer1StartCells = {15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99};

// Kinds 0 to 20 except `kind` (all of them for a kind above 20).
std::vector<unsigned> kinds_without(unsigned kind) {
  std::vector<unsigned> out;
  for (unsigned k = 0; k < kPieceKinds; ++k)
    if (k != kind) out.push_back(k);
  return out;
}

// Player 0's start placements that contain `cell` and have another cell.
std::vector<reference::Footprint> start_placements_extending(unsigned cell) {
  std::vector<reference::Footprint> out;
  for (auto& f : reference::legal_placements(reference::empty_owners(), 0, kinds_without(kPieceKinds)))
    if (f.cells.size() > 1 && f.cells.contains(cell)) out.push_back(f);
  return out;
}

TEST(NewGame, player_0_to_move_through_cell_0) {
  const Game g = Game::reset();
  EXPECT_EQ(g.current_player(), 0u);
  EXPECT_EQ(g.current_index(), 0u);
  EXPECT_EQ(std::vector<unsigned>(g.players().begin(), g.players().end()), (std::vector<unsigned>{0, 1, 2, 3}));
  EXPECT_EQ(g.legal_tiles(), kPlayer0StartCells);
  EXPECT_EQ(g.open_placements().size(), 58u);
  EXPECT_TRUE(g.history().empty());
  EXPECT_EQ(g.last_piece_sizes(), (board::PieceSizes{0, 0, 0, 0}));
  EXPECT_EQ(g.get_score(), (board::Scores{-89, -89, -89, -89}));
  EXPECT_EQ(g.get_payoff(), (Payoff{0.25f, 0.25f, 0.25f, 0.25f}));
  EXPECT_FALSE(g.is_over());
}

struct FirstCellCase {
  unsigned cell;
  std::vector<unsigned> legal;
  unsigned open_placements;
};

class FirstCell : public ::testing::TestWithParam<FirstCellCase> {};

TEST_P(FirstCell, narrows_to_the_placements_through_it_and_keeps_the_turn) {
  const FirstCellCase& c = GetParam();
  Game g = Game::reset();
  ASSERT_EQ(g.apply(c.cell), std::nullopt);
  EXPECT_EQ(g.current_player(), 0u);
  EXPECT_EQ(g.legal_tiles(), c.legal);
  EXPECT_EQ(g.open_placements().size(), c.open_placements);
  EXPECT_EQ(checks::footprints_of(g.board(), 0, g.open_placements()), start_placements_extending(c.cell));
  EXPECT_EQ(std::vector<Move>(g.history().begin(), g.history().end()),
            (std::vector<Move>{{0, static_cast<std::uint16_t>(c.cell)}}));
  EXPECT_EQ(g.board().owner(c.cell), 0);
  EXPECT_EQ(g.board().pieces[0].size(), 21u);
  // The set under each legal cell holds the open placements that cover it.
  for (unsigned cell : g.legal_tiles()) {
    std::vector<reference::Footprint> expected;
    for (auto& f : start_placements_extending(c.cell))
      if (f.cells.contains(cell)) expected.push_back(f);
    EXPECT_EQ(checks::footprints_of(g.board(), 0, g.placements_covering(cell)), expected) << "cell " << cell;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cells0And1, FirstCell,
    ::testing::Values(FirstCellCase{0, {1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80}, 57},
                      FirstCellCase{1, {0, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61}, 35}),
    [](const auto& info) { return "cell_" + std::to_string(info.param.cell); });

// After cell 80 only the vertical five at position 0 is left; its other cells
// may follow in any order and the fourth of them ends the piece.
class VerticalFive : public ::testing::TestWithParam<std::vector<unsigned>> {};

TEST_P(VerticalFive, ends_after_the_fourth_remaining_cell_in_any_order) {
  const Placement five{9, 1, 0};
  Game g = Game::reset();
  ASSERT_EQ(g.apply(80), std::nullopt);
  EXPECT_EQ(g.legal_tiles(), (std::vector<unsigned>{0, 20, 40, 60}));
  EXPECT_EQ(g.open_placements(), std::vector<Placement>{five});
  for (unsigned cell : {0u, 20u, 40u, 60u}) EXPECT_EQ(g.placements_covering(cell), std::vector<Placement>{five});

  std::vector<Move> history = {{0, 80}};
  std::vector<unsigned> left = {0, 20, 40, 60};
  for (unsigned cell : GetParam()) {
    ASSERT_EQ(g.current_player(), 0u);
    ASSERT_EQ(g.apply(cell), std::nullopt) << "cell " << cell;
    history.push_back({0, static_cast<std::uint16_t>(cell)});
    left.erase(std::find(left.begin(), left.end(), cell));
    if (!left.empty()) {
      EXPECT_EQ(g.legal_tiles(), left);
      EXPECT_EQ(g.open_placements(), std::vector<Placement>{five});
    }
  }
  EXPECT_EQ(g.current_player(), 1u);
  EXPECT_EQ(g.current_index(), 1u);
  EXPECT_EQ(checks::kinds_of(g.board().pieces[0]), kinds_without(9));
  EXPECT_EQ(g.last_piece_sizes(), (board::PieceSizes{5, 0, 0, 0}));
  EXPECT_EQ(std::vector<Move>(g.history().begin(), g.history().end()), history);
  EXPECT_EQ(g.legal_tiles(), kPlayer1StartCells);
  EXPECT_EQ(g.get_score(), (board::Scores{-84, -89, -89, -89}));
  EXPECT_EQ(g.board().corners[0].to_vector(), std::vector<unsigned>{101});
}

std::vector<std::vector<unsigned>> all_orders() {
  std::vector<unsigned> cells = {0, 20, 40, 60};
  std::vector<std::vector<unsigned>> out;
  do out.push_back(cells);
  while (std::next_permutation(cells.begin(), cells.end()));
  return out;
}

INSTANTIATE_TEST_SUITE_P(All24Orders, VerticalFive, ::testing::ValuesIn(all_orders()), [](const auto& info) {
  std::string name = "order";
  for (unsigned c : info.param) name += "_" + std::to_string(c);
  return name;
});

// An explicit piece index ends that piece at once, whatever was laid.
struct ExplicitCase {
  unsigned piece_index;
  unsigned size;
};

class ExplicitPieceIndex : public ::testing::TestWithParam<ExplicitCase> {};

TEST_P(ExplicitPieceIndex, ends_the_named_piece_and_passes_the_turn) {
  const ExplicitCase& c = GetParam();
  Game g = Game::reset();
  ASSERT_EQ(g.apply(0, c.piece_index), std::nullopt);
  EXPECT_EQ(g.current_player(), 1u);
  EXPECT_EQ(checks::kinds_of(g.board().pieces[0]), kinds_without(c.piece_index));
  EXPECT_EQ(g.last_piece_sizes(), (board::PieceSizes{c.size, 0, 0, 0}));
  EXPECT_EQ(g.legal_tiles(), kPlayer1StartCells);
  EXPECT_EQ(g.get_score(), (board::Scores{-88, -89, -89, -89}));
}

INSTANTIATE_TEST_SUITE_P(Pieces, ExplicitPieceIndex,
                         ::testing::Values(ExplicitCase{0, 1}, ExplicitCase{2, 3}, ExplicitCase{5, 4},
                                           ExplicitCase{20, 5}),
                         [](const auto& info) { return "index_" + std::to_string(info.param.piece_index); });

TEST(ExplicitPieceIndex, mid_piece_index_counts_in_the_current_list) {
  Game g = Game::reset();
  ASSERT_EQ(g.apply(0, 0), std::nullopt);   // player 0 ends kind 0
  ASSERT_EQ(g.apply(19, 0), std::nullopt);  // player 1 ends kind 0
  ASSERT_EQ(g.apply(399, 0), std::nullopt);
  ASSERT_EQ(g.apply(380, 0), std::nullopt);
  ASSERT_EQ(g.current_player(), 0u);
  ASSERT_EQ(g.apply(21), std::nullopt);
  ASSERT_EQ(g.apply(22, 0), std::nullopt);  // index 0 is now kind 1
  std::vector<unsigned> expected;
  for (unsigned k = 2; k < kPieceKinds; ++k) expected.push_back(k);
  EXPECT_EQ(checks::kinds_of(g.board().pieces[0]), expected);
  EXPECT_EQ(g.last_piece_sizes()[0], 2u);
  EXPECT_EQ(g.current_player(), 1u);
  EXPECT_EQ(g.get_score(), (board::Scores{-86, -88, -88, -88}));
}

// Errors change nothing, and the game goes on afterwards.
struct InvalidCase {
  std::vector<unsigned> before;
  unsigned cell;
};

class InvalidMove : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidMove, is_refused_and_leaves_the_game_unchanged) {
  Game g = Game::reset();
  for (unsigned cell : GetParam().before) ASSERT_EQ(g.apply(cell), std::nullopt);
  const auto before = snapshot(g);
  EXPECT_EQ(g.apply(GetParam().cell), "Invalid move");
  EXPECT_EQ(g.apply(GetParam().cell, 0u), "Invalid move");
  EXPECT_TRUE(snapshot(g) == before);
  const unsigned next = g.legal_tiles().front();
  EXPECT_EQ(g.apply(next), std::nullopt);
  EXPECT_EQ(g.history().size(), before.history.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, InvalidMove,
    ::testing::Values(InvalidCase{{}, 5}, InvalidCase{{}, 19}, InvalidCase{{}, 399}, InvalidCase{{}, 400},
                      InvalidCase{{}, 65536}, InvalidCase{{}, UINT_MAX},
                      InvalidCase{{0}, 0},     // already laid
                      InvalidCase{{0}, 24},    // no placement through cell 0 reaches it
                      InvalidCase{{80}, 1},    // legal before the narrowing
                      InvalidCase{{80, 0}, 80},
                      InvalidCase{{80}, 400}),
    [](const auto& info) {
      std::string name = "after";
      for (unsigned c : info.param.before) name += "_" + std::to_string(c);
      return name + "_cell_" + std::to_string(info.param.cell);
    });

Game finished_game(unsigned seed) {
  std::mt19937_64 rng(seed);
  Game g = Game::reset();
  for (unsigned moves = 0; !g.is_over(); ++moves) {
    EXPECT_LE(moves, kMaxMoves);
    if (moves > kMaxMoves) break;
    const auto tiles = g.legal_tiles();
    EXPECT_EQ(g.apply(tiles[rng() % tiles.size()]), std::nullopt);
  }
  return g;
}

TEST(FinishedGame, refuses_every_move_with_no_current_player) {
  Game g = finished_game(7);
  ASSERT_TRUE(g.is_over());
  EXPECT_EQ(g.current_player(), std::nullopt);
  EXPECT_TRUE(g.legal_tiles().empty());
  EXPECT_TRUE(g.players().empty());
  const auto before = snapshot(g);
  for (unsigned cell : {0u, 19u, 210u, 399u, 400u}) {
    EXPECT_EQ(g.apply(cell), "No current player");
    EXPECT_EQ(g.apply(cell, 0u), "No current player");
  }
  EXPECT_TRUE(snapshot(g) == before);
  // Scores and payoff still read the final board.
  const auto scores = g.get_score();
  const auto payoff = g.get_payoff();
  const std::int32_t best = *std::max_element(scores.begin(), scores.end());
  const auto leaders = static_cast<float>(std::count(scores.begin(), scores.end(), best));
  for (unsigned p = 0; p < kPlayers; ++p) EXPECT_EQ(payoff[p], scores[p] == best ? 1.0f / leaders : 0.0f);
}

// Payoff splits, with scores set up by ending pieces early: each player lays
// one or two cells, the second with an explicit piece index.
struct PayoffCase {
  std::array<unsigned, kPlayers> cells_laid;
  board::Scores scores;
  Payoff payoff;
};

class PayoffSplit : public ::testing::TestWithParam<PayoffCase> {};

TEST_P(PayoffSplit, gives_the_best_scores_an_equal_share) {
  const PayoffCase& c = GetParam();
  // The start corner, then its neighbour along the first row.
  const std::array<std::array<unsigned, 2>, kPlayers> cells = {{{0, 1}, {19, 18}, {399, 398}, {380, 381}}};
  Game g = Game::reset();
  for (unsigned p = 0; p < kPlayers; ++p) {
    ASSERT_EQ(g.current_player(), p);
    if (c.cells_laid[p] == 1) {
      ASSERT_EQ(g.apply(cells[p][0], 0u), std::nullopt);
    } else {
      ASSERT_EQ(g.apply(cells[p][0]), std::nullopt);
      ASSERT_EQ(g.apply(cells[p][1], 1u), std::nullopt);
    }
  }
  EXPECT_EQ(g.get_score(), c.scores);
  EXPECT_EQ(g.get_payoff(), c.payoff);
}

constexpr float kThird = 1.0f / 3.0f;

INSTANTIATE_TEST_SUITE_P(
    Splits, PayoffSplit,
    ::testing::Values(PayoffCase{{1, 1, 1, 1}, {-88, -88, -88, -88}, {0.25f, 0.25f, 0.25f, 0.25f}},
                      PayoffCase{{2, 1, 1, 1}, {-87, -88, -88, -88}, {1.0f, 0.0f, 0.0f, 0.0f}},
                      PayoffCase{{1, 1, 1, 2}, {-88, -88, -88, -87}, {0.0f, 0.0f, 0.0f, 1.0f}},
                      PayoffCase{{1, 2, 1, 2}, {-88, -87, -88, -87}, {0.0f, 0.5f, 0.0f, 0.5f}},
                      PayoffCase{{2, 2, 1, 2}, {-87, -87, -88, -87}, {kThird, kThird, 0.0f, kThird}},
                      PayoffCase{{1, 2, 2, 2}, {-88, -87, -87, -87}, {0.0f, kThird, kThird, kThird}}),
    [](const auto& info) {
      std::string name = "cells";
      for (unsigned n : info.param.cells_laid) name += "_" + std::to_string(n);
      return name;
    });

// The payoff from any scores, including ones play cannot reach: the first
// best score need not be player 0's, and ties split by 32-bit division.
struct ScoresCase {
  board::Scores scores;
  Payoff payoff;
};

class PayoffOfScores : public ::testing::TestWithParam<ScoresCase> {};

TEST_P(PayoffOfScores, splits_one_between_the_best_scores) {
  EXPECT_EQ(payoff_of(GetParam().scores), GetParam().payoff);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PayoffOfScores,
    ::testing::Values(ScoresCase{{-10, 5, 5, -3}, {0.0f, 0.5f, 0.5f, 0.0f}},
                      ScoresCase{{20, 15, 20, 20}, {kThird, 0.0f, kThird, kThird}},
                      ScoresCase{{-89, -90, -91, -92}, {1.0f, 0.0f, 0.0f, 0.0f}},
                      ScoresCase{{-5, -5, -5, -4}, {0.0f, 0.0f, 0.0f, 1.0f}},
                      ScoresCase{{0, 0, 0, 0}, {0.25f, 0.25f, 0.25f, 0.25f}}));

}  // namespace
}  // namespace tilora::game
