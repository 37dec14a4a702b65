#pragma once
// The Gumbel root: a search root that improves on its priors with few
// simulations, as in "Policy improvement by planning with Gumbel" (Danihelka
// et al., ICLR 2022). Opt-in: SearchParams::gumbel_actions > 0.
//
// With root noise on (exploration_fraction > 0) each root child a draws g(a)
// from the standard Gumbel distribution; without it g(a) = 0, and the search
// is deterministic. The gumbel_actions children with the highest
// g(a) + log prior(a) are considered (the network's priors: no Dirichlet
// noise), and the simulations are spent on them by sequential halving:
// ceil(log2 m) phases for m considered children, each giving every child
// still in play max(1, n / (phases * in play)) simulations, the last phase
// what is left of the n; after a phase the better half by
// g + log prior + sigma(Q) stays. Below the root the rule selects as usual.
//
// sigma(q) = (50 + the most visits of a root child) * gumbel_scale * q, on
// the payoff-share scale of the PUCT rule's values. The move is the child in
// play with the highest g + log prior + sigma(completed Q). The improved
// policy, the search's policy target in place of the visit shares, is
// softmax(log prior + sigma(completed Q)) over every child: a visited child's
// completed Q is its Q, an unvisited one's the prior-weighted mean Q of the
// visited children (the paper's mixed value without the root's own value,
// which the root's evaluation does not ask for).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulation/node.h"
#include "simulation/random.h"

namespace tilora::self_play {

// What a Gumbel root settled on.
struct RootChoice {
  std::vector<float> policy;  // the improved policy, one share per root child
  std::size_t child = 0;      // the child sequential halving kept
};

// One draw of the standard Gumbel distribution, -ln(-ln u), u in (0, 1).
float gumbel_sample(Rng& rng);

// The completed Q of every root child (see above).
std::vector<float> completed_q(const Node& root);

// sigma(completed Q) of every root child at the root's current visit counts.
std::vector<float> sigma_completed_q(const Node& root, float scale);

// softmax(log prior + sigma(completed Q)) over the root's children.
std::vector<float> improved_policy(const Node& root, float scale);

// The simulations each child in play gets in phase `phase` of `phases`, with
// `left` of the search's `sims` still to run (at most `left` in all).
std::uint32_t phase_visits(std::uint32_t sims, std::uint32_t left, unsigned phase,
                           unsigned phases, std::size_t in_play);

// The number of halving phases for m considered children: ceil(log2 m).
unsigned halving_phases(std::size_t m);

// The simulation rule of sequential halving: at the root, the child in play
// that the schedule names; below it, the search's own rule.
template <class Rule>
class ForcedRoot {
 public:
  ForcedRoot(const Rule& rule, const Node& root) : rule_(rule), root_(&root) {}
  static std::uint32_t root_visits(std::uint32_t simulations_run) {
    return Rule::root_visits(simulations_run);
  }
  void force(std::size_t child) { child_ = child; }
  std::size_t select(const Node& node, std::uint32_t visits) const {
    return &node == root_ ? child_ : rule_.select(node, visits);
  }

 private:
  const Rule& rule_;
  const Node* root_;
  std::size_t child_ = 0;
};

}  // namespace tilora::self_play
