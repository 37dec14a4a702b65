#include "simulation/mcts.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numeric>
#include <vector>

#include "simulation/evaluate.h"
#include "simulation/noise.h"

namespace tilora::self_play {
namespace {

template <class Rule, class Tree>
void run_simulations(Node& root, const game::Game& game, const SearchParams& params,
                     Network& network, Rng& rng, Tree& tree) {
  const Rule rule(params);
  for (std::uint32_t i = 0; i < params.sims_per_move; ++i)
    simulate(root, game, rule, i, network, rng, tree);
}

template <class Tree>
void run_simulations(Node& root, const game::Game& game, const SearchParams& params,
                     Network& network, Rng& rng, Tree& tree) {
  switch (params.rule) {
    case SearchRule::kClassic:
      run_simulations<ClassicRule>(root, game, params, network, rng, tree);
      break;
    case SearchRule::kPuct:
      run_simulations<PuctRule>(root, game, params, network, rng, tree);
      break;
  }
}

// Sequential halving over the root's children (gumbel.h).
template <class Rule, class Tree>
RootChoice run_gumbel_root(Node& root, const game::Game& game, const SearchParams& params,
                           Network& network, Rng& rng, Tree& tree) {
  const Rule rule(params);
  ForcedRoot<Rule> forced(rule, root);
  const std::size_t n = root.children.size();
  const bool noise = params.exploration_fraction > 0.0f;
  std::vector<float> base(n);  // g + log prior
  for (std::size_t i = 0; i < n; ++i)
    base[i] = std::log(root.children[i].prior) + (noise ? gumbel_sample(rng) : 0.0f);
  const auto higher = [&base](std::size_t a, std::size_t b) { return base[a] > base[b]; };
  std::vector<std::size_t> in_play(n);
  std::iota(in_play.begin(), in_play.end(), std::size_t{0});
  const std::size_t m = std::min<std::size_t>(params.gumbel_actions, n);
  std::stable_sort(in_play.begin(), in_play.end(), higher);
  in_play.resize(m);

  std::vector<float> score(n);
  const auto rescore = [&] {
    const std::vector<float> sigma = sigma_completed_q(root, params.gumbel_scale);
    for (std::size_t i = 0; i < n; ++i) score[i] = base[i] + sigma[i];
  };
  const auto better = [&score](std::size_t a, std::size_t b) { return score[a] > score[b]; };
  const unsigned phases = halving_phases(m);
  std::uint32_t run = 0;
  for (unsigned phase = 0; run < params.sims_per_move; ++phase) {
    const std::uint32_t each =
        phase_visits(params.sims_per_move, params.sims_per_move - run, phase, phases, in_play.size());
    for (std::size_t child : in_play) {
      forced.force(child);
      for (std::uint32_t k = 0; k < each && run < params.sims_per_move; ++k, ++run)
        simulate(root, game, forced, run, network, rng, tree);
    }
    if (in_play.size() > 1) {
      rescore();
      std::stable_sort(in_play.begin(), in_play.end(), better);
      in_play.resize((in_play.size() + 1) / 2);
    }
  }
  rescore();
  RootChoice choice;
  choice.child = *std::min_element(in_play.begin(), in_play.end(), better);
  choice.policy = improved_policy(root, params.gumbel_scale);
  return choice;
}

template <class Tree>
RootChoice run_gumbel_root(Node& root, const game::Game& game, const SearchParams& params,
                           Network& network, Rng& rng, Tree& tree) {
  if (params.rule == SearchRule::kClassic)
    return run_gumbel_root<ClassicRule>(root, game, params, network, rng, tree);
  return run_gumbel_root<PuctRule>(root, game, params, network, rng, tree);
}

// The root's simulations: by the rule, or by a Gumbel root when asked for.
template <class Tree>
void search_root(Node& root, const game::Game& game, const SearchParams& params,
                 Network& network, Rng& rng, Tree& tree, RootChoice* choice) {
  if (params.gumbel_actions > 0 && root.children.size() >= 2) {
    RootChoice made = run_gumbel_root(root, game, params, network, rng, tree);
    if (choice) *choice = std::move(made);
    return;
  }
  if (root.children.size() >= 2) add_root_noise(root, params, rng);
  run_simulations(root, game, params, network, rng, tree);
}

}  // namespace

std::optional<Values> CellTree::judge(Node& leaf, const game::Game& game, Network& network,
                                      Rng& rng) {
  return evaluate(leaf, game, network, rng);
}

void PlacementTree::extend(game::Game& game, const Node& child) {
  for (std::uint16_t x : edge_cells(child)) (void)game.apply(x);
}

std::optional<Values> PlacementTree::judge(Node& leaf, game::Game& game, Network& network,
                                           Rng& rng) {
  game::turn_decisions(game, decisions);
  while (decisions.size() == 1) {
    game::apply_decision(game, decisions.front());
    game::turn_decisions(game, decisions);
  }
  return evaluate_decisions(leaf, game, decisions, network, rng);
}

Node run_mcts(const game::Game& game, const SearchParams& params, Network& network, Rng& rng,
              const std::vector<game::Decision>* decisions, RootChoice* choice) {
  Node root;
  PlacementTree placements;
  std::optional<Values> evaluated;
  if (params.tree == SearchTree::kPlacements) {
    if (decisions)
      placements.decisions = *decisions;
    else
      game::turn_decisions(game, placements.decisions);
    evaluated = evaluate_decisions(root, game, placements.decisions, network, rng, Evaluated::kRoot);
  } else {
    evaluated = evaluate(root, game, network, rng, Evaluated::kRoot);
  }
  if (!evaluated) throw EvaluationFailed(EvaluationFailed::Where::kRoot, network.error_text());
  if (root.children.empty())
    throw InternalStop(
        "the network's policy covers none of the legal tiles of the position searched; the root "
        "has no child to play");
  if (params.tree == SearchTree::kPlacements) {
    search_root(root, game, params, network, rng, placements, choice);
  } else {
    CellTree cells;
    search_root(root, game, params, network, rng, cells, choice);
  }
  return root;
}

template <class Rule, class Tree>
void simulate(Node& root, const game::Game& game, const Rule& rule,
              std::uint32_t simulations_run, Network& network, Rng& rng, Tree&& tree) {
  std::vector<Node*> path;
  Node* node = &root;
  const game::Game* parent_position = &game;  // the position of the leaf's parent
  std::uint32_t visits = Rule::root_visits(simulations_run);
  while (node->expanded()) {
    if (node != &root) parent_position = node->position.get();
    assert(parent_position);
    node = &node->children[rule.select(*node, visits)];
    visits = node->visit_count;
    path.push_back(node);
  }
  // The scratch game is made where the leaf would keep it.
  auto scratch = std::make_unique<game::Game>(*parent_position);
  if (node != &root) tree.extend(*scratch, *node);

  const std::optional<Values> value = tree.judge(*node, *scratch, network, rng);
  if (!value) throw EvaluationFailed(EvaluationFailed::Where::kLeaf, network.error_text());
  if (node != &root && node->expanded()) node->position = std::move(scratch);
  backup(path, *value);
}

template void simulate<ClassicRule, CellTree>(Node&, const game::Game&, const ClassicRule&,
                                              std::uint32_t, Network&, Rng&, CellTree&&);
template void simulate<PuctRule, CellTree>(Node&, const game::Game&, const PuctRule&,
                                           std::uint32_t, Network&, Rng&, CellTree&&);
template void simulate<PuctRule, PlacementTree>(Node&, const game::Game&, const PuctRule&,
                                                std::uint32_t, Network&, Rng&, PlacementTree&&);

void backup(std::span<Node* const> path, const Values& value) {
  for (Node* node : path) {
    node->visit_count += 1;
    node->value_sum += value[node->chooser];
  }
}

}  // namespace tilora::self_play
