#pragma once
// Monte Carlo tree search for one move.
//
// Selection at a node with visit count N picks the child with the highest
//   score = Q + C * prior,   C = ln((c_base + N) + 1 / c_base) + c_init,
// in 32-bit floats, where Q = value_sum / visit_count (0 for an unvisited
// child). The exploration term has no square-root factor and does not depend
// on the child's own visits. Q is the mean value for the player to move in
// the child's position (see node.h); backup adds to every node on the path
// the component of its own to_play. The root itself is never visited, so C
// at the root is ln(c_base + 1 / c_base) + c_init on every simulation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "game.h"
#include "internal_stop.h"
#include "network.h"
#include "node.h"
#include "random.h"

namespace tilora::self_play {

// A leaf evaluation failed during the simulations: the game cannot go on.
// The module attaches the network's failure as the cause.
class LeafEvaluationFailed : public InternalStop {
 public:
  using InternalStop::InternalStop;
};

// C = ln((c_base + N) + inv_c_base) + c_init for a node visited N times.
inline float exploration_coefficient(std::uint32_t visit_count, float c_base, float inv_c_base,
                                     float c_init) {
  return std::log(c_base + static_cast<float>(visit_count) + inv_c_base) + c_init;
}

// C for every visit count a node can reach in one search (at most
// sims_per_move), computed once per search with exploration_coefficient, so
// the descent looks it up instead of taking a logarithm at every level.
class ExplorationTable {
 public:
  explicit ExplorationTable(const SearchParams& params);
  float operator()(std::uint32_t visit_count) const {
    return visit_count < table_.size()
               ? table_[visit_count]
               : exploration_coefficient(visit_count, c_base_, inv_c_base_, c_init_);
  }

 private:
  static constexpr std::uint32_t kMaxEntries = 1u << 16;
  std::vector<float> table_;
  float c_base_, inv_c_base_, c_init_;
};

// Q + C * prior, with Q = 0 for an unvisited child. An unvisited child's
// value_sum is 0.0, so dividing it by 1 gives that 0.0 without a branch.
inline float selection_score(const Node& child, float c) {
  const float q = child.value_sum / static_cast<float>(std::max(child.visit_count, 1u));
  return q + c * child.prior;
}

// The search for one move from `game` (not changed): evaluates the root,
// noises its priors when it has two or more children, and runs
// sims_per_move simulations. Returns the root, or none when the root's
// evaluation failed (after printing "Error evaluating root node: ..." on
// standard output). Stops (InternalStop) when the root gets no child.
std::optional<Node> run_mcts(const game::Game& game, const SearchParams& params,
                             Network& network, Rng& rng);

// One simulation: descends from the root (at `game`) by select_child, makes
// the leaf's position as a copy of its parent's plus the leaf's tile,
// evaluates the leaf (keeping the position when it is expanded) and backs
// its value up. Throws LeafEvaluationFailed when the evaluation fails.
void simulate(Node& root, const game::Game& game, const ExplorationTable& coefficients,
              Network& network, Rng& rng);

// The index in node.children of the child to follow (the node has
// children): the highest score; the first in iteration order wins ties, a
// NaN score never wins, and the first child is taken when every score is NaN.
std::size_t select_child(const Node& node, float c_base, float inv_c_base, float c_init);
// The same, given the node's C.
std::size_t select_child(const Node& node, float c);

// Adds one visit, and the component of each node's own to_play, to every
// node of the path (the nodes below the root, in descent order).
void backup(std::span<Node* const> path, const Values& value);

}  // namespace tilora::self_play
