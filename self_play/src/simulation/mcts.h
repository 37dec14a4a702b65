#pragma once
// Monte Carlo tree search for one move.
//
// A search evaluates the root, noises its priors, and runs sims_per_move
// simulations: each descends by the search rule (search_rule.h) to a leaf,
// evaluates and expands it, and adds one visit and the value for each node's
// chooser (node.h) to every node below the root on the way. A finished game
// is valued by its payoff, so each chooser is credited with its own share.
//
// The tree's edges are cells or decisions (SearchParams::tree). Under the
// cell tree each placement is reachable by many orders of its cells; under
// the placement tree each way to end a turn is one edge, the turns that leave
// a single decision cost no evaluation, and a root's value, never read, costs
// no playout.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decisions.h"
#include "game.h"
#include "simulation/config.h"
#include "simulation/gumbel.h"
#include "simulation/internal_stop.h"
#include "simulation/network.h"
#include "simulation/node.h"
#include "simulation/random.h"
#include "simulation/search_rule.h"

namespace tilora::self_play {

// An evaluation failed and the game cannot go on: the search root's (what()
// is "Error evaluating root node: " and the text) or a leaf's inside the
// simulations ("Error evaluating leaf node: ..."). The network holds the
// failure; the module attaches it as the cause. In a match, `seat` names the
// seat whose search failed.
class EvaluationFailed : public InternalStop {
 public:
  enum class Where { kRoot, kLeaf };
  EvaluationFailed(Where where, const std::string& error_text)
      : InternalStop((where == Where::kRoot ? "Error evaluating root node: "
                                            : "Error evaluating leaf node: ") +
                     error_text),
        where(where),
        error_text(error_text) {}

  Where where;
  std::string error_text;  // the network's text form of the failure
  int seat = -1;
};

// The search for one move from `game` (not changed), by params.rule:
// evaluates the root, noises its priors when it has two or more children,
// and runs sims_per_move simulations. Returns the root. Throws
// EvaluationFailed when an evaluation fails, and stops (InternalStop) when
// the root gets no child. Under the placement tree, `decisions` (when given)
// are the game's turn decisions, which the caller already listed.
//
// With params.gumbel_actions > 0 and two or more children, the root is a
// Gumbel root (gumbel.h) instead: no Dirichlet noise, and the simulations
// spent by sequential halving; `choice`, when given, receives its improved
// policy and the child it kept. Otherwise `choice` is left as it is.
Node run_mcts(const game::Game& game, const SearchParams& params, Network& network, Rng& rng,
              const std::vector<game::Decision>* decisions = nullptr,
              RootChoice* choice = nullptr);

// The cell tree: an edge lays one cell, and every position is evaluated.
struct CellTree {
  static void extend(game::Game& game, const Node& child) { (void)game.apply(child.tile); }
  std::optional<Values> judge(Node& leaf, const game::Game& game, Network& network, Rng& rng);
};

// The placement tree: an edge lays a decision's cells; a position whose
// player has a single decision is played through without an evaluation.
struct PlacementTree {
  static void extend(game::Game& game, const Node& child);
  // Plays `game` through forced decisions first (the leaf keeps the result).
  std::optional<Values> judge(Node& leaf, game::Game& game, Network& network, Rng& rng);

  std::vector<game::Decision> decisions;  // scratch, kept between simulations
};

// One simulation: descends from the root (at `game`) by the rule, makes the
// leaf's position as a copy of its parent's plus the leaf's edge, evaluates
// the leaf (keeping the position when it is expanded) and backs its value up.
// `simulations_run` counts the simulations of this search before this one.
// Throws EvaluationFailed (a leaf's) when the evaluation fails.
template <class Rule, class Tree = CellTree>
void simulate(Node& root, const game::Game& game, const Rule& rule,
              std::uint32_t simulations_run, Network& network, Rng& rng, Tree&& tree = Tree{});

// Adds one visit, and the component of each node's chooser, to every node of
// the path (the nodes below the root, in descent order).
void backup(std::span<Node* const> path, const Values& value);

}  // namespace tilora::self_play
