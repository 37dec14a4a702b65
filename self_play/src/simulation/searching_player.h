#pragma once
// The player that chooses its moves by a tree search, over cells or over
// placements (SearchParams::tree), and writes each move's visit shares into
// the game's record.
#include <cstdint>
#include <span>
#include <vector>

#include "decisions.h"
#include "game.h"
#include "simulation/config.h"
#include "simulation/network.h"
#include "simulation/node.h"
#include "simulation/random.h"
#include "simulation/training_record.h"

namespace tilora::self_play {

// One move's search: runs the search on `game`, appends the root's visit
// shares to record.policies and returns the cell chosen by select_move. A
// Gumbel root (gumbel.h) records its improved policy instead, and plays a
// child sampled from it while the moves are sampled, the child sequential
// halving kept afterwards.
// Throws EvaluationFailed when an evaluation fails.
unsigned search_move(const game::Game& game, const SearchParams& params,
                     std::uint32_t sample_moves, Network& network, Rng& rng,
                     TrainingRecord& record);

// The placement tree's policy entry for a searched root: each cell gets the
// visit share of every decision covering it divided by the decision's size,
// in ascending cell order.
std::vector<PolicyEntry> placement_shares(const Node& root);
// The same with `shares[i]` in place of child i's visit share (a Gumbel
// root's improved policy).
std::vector<PolicyEntry> placement_shares(const Node& root, std::span<const float> shares);

// Chooses the moves of a player that searches. Under the cell tree every
// move is one search (search_move). Under the placement tree a turn is one
// search over its decisions, none when it has a single one; the decision's
// cells are then laid in ascending order. The searched move's policy entry
// holds, per cell, the visit share of every decision covering it divided by
// the decision's size (a distribution over the cells, the same whatever
// order the cells are laid in); every other move's entry is empty.
class SearchingPlayer {
 public:
  // The cell to lay in `game`; appends this move's policy entry to `record`.
  // Throws EvaluationFailed when an evaluation fails.
  unsigned choose(const game::Game& game, const SearchParams& params, std::uint32_t sample_moves,
                  Network& network, Rng& rng, TrainingRecord& record);

 private:
  std::vector<std::uint16_t> to_lay_;  // the decision's cells still to lay, descending
  std::vector<game::Decision> decisions_;
};

}  // namespace tilora::self_play
