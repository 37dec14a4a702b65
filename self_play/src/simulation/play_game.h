#pragma once
// The self-play driver: one whole game, every move chosen by a tree search,
// and the record the network is trained on.
#include <cstdint>
#include <vector>

#include "config.h"
#include "decisions.h"
#include "game.h"
#include "network.h"
#include "node.h"
#include "random.h"
#include "reporter.h"

namespace tilora::self_play {

struct PolicyEntry {
  std::uint16_t cell = 0;
  float share = 0.0f;  // visit_count / total over the root's children
};

struct TrainingRecord {
  game::History history;  // (player, cell) per move, in playing order
  // Per move, one entry per root child in the root's iteration order.
  std::vector<std::vector<PolicyEntry>> policies;
  game::Payoff payoff{};
};

// One move's search: runs the search on `game`, appends the root's visit
// shares to record.policies and returns the cell chosen by select_move.
// Throws EvaluationFailed when an evaluation fails.
unsigned search_move(const game::Game& game, const SearchParams& params,
                     std::uint32_t sample_moves, Network& network, Rng& rng,
                     TrainingRecord& record);

// The placement tree's policy entry for a searched root: each cell gets the
// visit share of every decision covering it divided by the decision's size,
// in ascending cell order.
std::vector<PolicyEntry> placement_shares(const Node& root);

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

// Plays one game from the starting position to its end and returns its
// record, telling `reporter` of every move and of the end. Stops
// (InternalStop) on an invalid configuration (check_config) before the first
// evaluation; throws EvaluationFailed when an evaluation fails, and stops on
// any other failure the game cannot go on from.
TrainingRecord play_game(const Config& config, Network& network, Rng& rng, Reporter& reporter);

}  // namespace tilora::self_play
