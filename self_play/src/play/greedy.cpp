#include "play/greedy.h"

#include "simulation/internal_stop.h"
#include "tile_moves.h"

namespace tilora::self_play {

unsigned GreedyPlayer::choose(const game::Game& game, Rng& rng) {
  if (to_lay_.empty()) {
    const auto player = game.current_player();
    if (!player) throw InternalStop("greedy player asked to move in a finished game");
    const game::TileMoves moves = game::get_tile_moves(game.board(), *player);
    // Reservoir choice among the largest placements: each is kept with
    // probability 1 / (number seen so far of that size).
    std::size_t best_size = 0;
    unsigned best = 0;
    unsigned ties = 0;
    for (unsigned id = 0; id < moves.placements().size(); ++id) {
      const std::size_t size = moves.covered_cells(id).size();
      if (size < best_size) continue;
      ties = size > best_size ? 1 : ties + 1;
      best_size = size;
      if (ties == 1 || std::uniform_int_distribution<unsigned>(0, ties - 1)(rng) == 0) best = id;
    }
    if (best_size == 0) throw InternalStop("greedy player has no legal placement on its turn");
    const auto cells = moves.covered_cells(best);
    to_lay_.assign(cells.rbegin(), cells.rend());
  }
  const unsigned cell = to_lay_.back();
  to_lay_.pop_back();
  if (!game.legal_cells().contains(cell))
    throw InternalStop("greedy player's placement is no longer legal in the game");
  return cell;
}

}  // namespace tilora::self_play
