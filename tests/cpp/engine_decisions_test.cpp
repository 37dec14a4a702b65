// The decisions of a turn against the rules themselves: in random positions,
// at a turn's start and part-way through it, a set of cells is a decision
// exactly when laying those cells ends the turn, in any order, so every way
// to end the turn is reached by exactly one decision and none dead-ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "decisions.h"
#include "game.h"
#include "tile_moves.h"

namespace tilora::game {
namespace {

using Cells = std::vector<unsigned>;

// Whether laying `cells` from `game`, in the order given, is legal and ends
// the turn with the last cell (and not before).
bool ends_turn(Game game, const Cells& cells) {
  const auto player = game.current_player();
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (game.apply(cells[i])) return false;
    // The turn has passed when a new one has begun (a player who moves
    // again after everyone else is out starts a new turn too).
    const bool passed = game.current_player() != player || !game.turn_started();
    if (passed != (i + 1 == cells.size())) return false;
  }
  return true;
}

// The free cells of every legal placement of the turn through the cells laid
// so far, whose laying ends the turn: the slow answer.
std::set<Cells> turn_ends(const Game& game) {
  std::set<Cells> out;
  const unsigned player = *game.current_player();
  std::vector<Placement> candidates = game.turn_started() ? game.open_placements()
                                                          : get_tile_moves(game.board(), player).placements();
  for (const Placement& p : candidates) {
    const auto& piece = game.board().pieces[player][p.piece_index];
    Cells free;
    for (unsigned k : piece.variants.at(p.variant_index).offsets)
      if (game.board().owner(p.position + k) < 0) free.push_back(p.position + k);
    std::sort(free.begin(), free.end());
    if (ends_turn(game, free)) out.insert(free);
  }
  return out;
}

class Decisions : public ::testing::TestWithParam<unsigned> {};

TEST_P(Decisions, are_exactly_the_ways_to_end_the_turn) {
  std::mt19937 rng(GetParam());
  Game game = Game::reset();
  std::vector<Decision> decisions;
  unsigned checked = 0, mid_turn = 0, pruned = 0;
  while (!game.is_over()) {
    turn_decisions(game, decisions);
    std::set<Cells> found;
    for (const Decision& d : decisions) {
      ASSERT_TRUE(std::is_sorted(d.view().begin(), d.view().end()));
      ASSERT_TRUE(found.insert(Cells(d.view().begin(), d.view().end())).second) << "a decision twice";
    }
    const std::set<Cells> expected = turn_ends(game);
    ASSERT_EQ(found, expected);
    // Every order of a decision's cells ends the turn with the last (checked
    // at some positions: up to 120 orders each).
    if (checked % 8 == 0)
      for (const Decision& d : decisions) {
        Cells order(d.view().begin(), d.view().end());
        do ASSERT_TRUE(ends_turn(game, order));
        while (std::next_permutation(order.begin(), order.end()));
      }
    ++checked;
    mid_turn += game.turn_started();
    pruned += game.turn_started() ? 0 : get_tile_moves(game.board(), *game.current_player()).placements().size() -
                                            decisions.size();
    // Play on: mostly a decision's first cell, sometimes any legal cell.
    const Cells legal = game.legal_tiles();
    const unsigned cell = rng() % 3 ? decisions[rng() % decisions.size()].cells[0] : legal[rng() % legal.size()];
    ASSERT_FALSE(game.apply(cell));
  }
  EXPECT_GT(checked, 80u);
  EXPECT_GT(mid_turn, 20u);
  EXPECT_GT(pruned, 0u) << "no position had a placement inside a larger one";
}

INSTANTIATE_TEST_SUITE_P(Games, Decisions, ::testing::Range(0u, 6u));

TEST(Decisions, of_a_finished_game_are_none) {
  Game game = Game::reset();
  std::vector<Decision> decisions;
  while (!game.is_over()) {
    turn_decisions(game, decisions);
    apply_decision(game, decisions.front());
  }
  turn_decisions(game, decisions);
  EXPECT_TRUE(decisions.empty());
}

}  // namespace
}  // namespace tilora::game
