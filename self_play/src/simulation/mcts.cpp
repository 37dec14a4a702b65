#include "mcts.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "evaluate.h"
#include "noise.h"
#include "output.h"

namespace tilora::self_play {

std::optional<Node> run_mcts(const game::Game& game, const SearchParams& params,
                             Network& network, Rng& rng) {
  Node root;
  if (!evaluate(root, game, network, rng)) {
    print_line("Error evaluating root node: " + network.error_text());
    return std::nullopt;
  }
  if (root.children.empty())
    throw InternalStop(
        "the network's policy covers none of the legal tiles of the position searched; the root "
        "has no child to play");
  if (root.children.size() >= 2) add_root_noise(root, params, rng);
  const ExplorationTable coefficients(params);
  for (std::uint32_t i = 0; i < params.sims_per_move; ++i)
    simulate(root, game, coefficients, network, rng);
  return root;
}

ExplorationTable::ExplorationTable(const SearchParams& params)
    : table_(std::min(params.sims_per_move + std::uint64_t{1}, std::uint64_t{kMaxEntries})),
      c_base_(params.c_base),
      inv_c_base_(params.inv_c_base),
      c_init_(params.c_init) {
  for (std::size_t n = 0; n < table_.size(); ++n)
    table_[n] = exploration_coefficient(static_cast<std::uint32_t>(n), c_base_, inv_c_base_, c_init_);
}

void simulate(Node& root, const game::Game& game, const ExplorationTable& coefficients,
              Network& network, Rng& rng) {
  std::vector<Node*> path;
  Node* node = &root;
  const game::Game* parent_position = &game;  // the position of the leaf's parent
  while (node->expanded()) {
    if (node != &root) parent_position = node->position.get();
    assert(parent_position);
    node = &node->children[select_child(*node, coefficients(node->visit_count))];
    path.push_back(node);
  }
  // The scratch game is made where the leaf would keep it.
  auto scratch = std::make_unique<game::Game>(*parent_position);
  if (node != &root) (void)scratch->apply(node->tile);

  const std::optional<Values> value = evaluate(*node, *scratch, network, rng);
  if (!value) throw LeafEvaluationFailed("Error evaluating leaf node: " + network.error_text());
  if (node != &root && node->expanded()) node->position = std::move(scratch);
  backup(path, *value);
}

std::size_t select_child(const Node& node, float c_base, float inv_c_base, float c_init) {
  return select_child(node, exploration_coefficient(node.visit_count, c_base, inv_c_base, c_init));
}

std::size_t select_child(const Node& node, float c) {
  if (node.children.size() == 1) return 0;  // no score needed
  std::size_t best = 0;
  float best_score = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    const float score = selection_score(node.children[i], c);
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

void backup(std::span<Node* const> path, const Values& value) {
  for (Node* node : path) {
    node->visit_count += 1;
    node->value_sum += value[node->to_play];
  }
}

}  // namespace tilora::self_play
