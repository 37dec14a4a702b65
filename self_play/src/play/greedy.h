#pragma once
// A baseline player without search: at the start of each of its turns it
// picks, among its legal placements, one with the most cells (ties at
// random), and lays that placement's cells one per move, in ascending order.
// No larger placement contains the one picked, so the turn passes with its
// last cell.
#include <cstdint>
#include <vector>

#include "game.h"
#include "simulation/random.h"

namespace tilora::self_play {

class GreedyPlayer {
 public:
  // The cell to lay in `game`, where this player is to move. Stops
  // (InternalStop) when the game is not where the player left it.
  unsigned choose(const game::Game& game, Rng& rng);

 private:
  std::vector<std::uint16_t> to_lay_;  // cells of the picked placement still to lay, descending
};

}  // namespace tilora::self_play
