#include "mcts.h"

#include <cassert>
#include <vector>

#include "evaluate.h"
#include "noise.h"

namespace tilora::self_play {
namespace {

template <class Rule>
void run_simulations(Node& root, const game::Game& game, const SearchParams& params,
                     Network& network, Rng& rng) {
  const Rule rule(params);
  for (std::uint32_t i = 0; i < params.sims_per_move; ++i)
    simulate(root, game, rule, i, network, rng);
}

}  // namespace

Node run_mcts(const game::Game& game, const SearchParams& params, Network& network, Rng& rng) {
  Node root;
  if (!evaluate(root, game, network, rng))
    throw EvaluationFailed(EvaluationFailed::Where::kRoot, network.error_text());
  if (root.children.empty())
    throw InternalStop(
        "the network's policy covers none of the legal tiles of the position searched; the root "
        "has no child to play");
  if (root.children.size() >= 2) add_root_noise(root, params, rng);
  switch (params.rule) {
    case SearchRule::kClassic:
      run_simulations<ClassicRule>(root, game, params, network, rng);
      break;
    case SearchRule::kPuct:
      run_simulations<PuctRule>(root, game, params, network, rng);
      break;
  }
  return root;
}

template <class Rule>
void simulate(Node& root, const game::Game& game, const Rule& rule,
              std::uint32_t simulations_run, Network& network, Rng& rng) {
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
  if (node != &root) (void)scratch->apply(node->tile);

  const std::optional<Values> value = evaluate(*node, *scratch, network, rng);
  if (!value) throw EvaluationFailed(EvaluationFailed::Where::kLeaf, network.error_text());
  if (node != &root && node->expanded()) node->position = std::move(scratch);
  backup(path, *value);
}

template void simulate<ClassicRule>(Node&, const game::Game&, const ClassicRule&, std::uint32_t,
                                    Network&, Rng&);
template void simulate<PuctRule>(Node&, const game::Game&, const PuctRule&, std::uint32_t,
                                 Network&, Rng&);

void backup(std::span<Node* const> path, const Values& value) {
  for (Node* node : path) {
    node->visit_count += 1;
    node->value_sum += value[node->chooser];
  }
}

}  // namespace tilora::self_play
