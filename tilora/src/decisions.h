#pragma once
// The decisions of a turn: the placements with which the player to move can
// still end its turn.
//
// A turn ends when every open placement is complete, so a placement that a
// larger open placement contains can never end it: the larger one always
// keeps a cell to lay. The decisions are therefore the open placements that
// no other open placement contains, and laying one's cells in any order ends
// the turn with its last cell. Each decision is given by the cells it has
// left to lay, ascending; no two decisions have the same cells.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "game.h"
#include "placement_list.h"

namespace tilora::game {

struct Decision {
  std::array<std::uint16_t, kMaxPieceCells> cells{};  // ascending; the first `size` are used
  std::uint8_t size = 0;

  std::span<const std::uint16_t> view() const { return {cells.data(), size}; }
};

// Fills `out` with the decisions of the player to move in `game` (none when
// the game is over), in the engine's placement order.
void turn_decisions(const Game& game, std::vector<Decision>& out);

// The placements of `list` that no other placement of it contains, with the
// cells that `board` has free, in list order.
void maximal_placements(const PlacementList& list, const board::Board& board,
                        std::vector<Decision>& out);

// Lays a decision's cells in ascending order; the turn passes with the last.
void apply_decision(Game& game, const Decision& decision);

}  // namespace tilora::game
