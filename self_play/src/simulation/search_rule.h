#pragma once
// The two ways the search picks the child to descend into. A rule is chosen
// once per search (run_mcts) and the descent is compiled for it, so the hot
// loop has no branch on the rule.
//
// Both score a child by its Q, the mean value for the child's chooser (see
// node.h), plus an exploration term, and take the highest score: the first
// child in iteration order wins ties, a NaN score never wins, and the first
// child is taken when every score is NaN.
//
// Classic (the default for direct callers of the module):
//   score = Q + C * prior,   C = ln((c_base + N) + 1 / c_base) + c_init,
// Q = 0 for an unvisited child, N the node's visit count. The root is never
// visited, so C at the root is ln(c_base + 1 / c_base) + c_init throughout.
//
// PUCT (opt-in), for values on the payoff-share scale [0, 1]:
//   score = Q + C(N) * prior * sqrt(N) / (1 + n),
//   C(N) = ln((1 + N + c_base) / c_base) + c_init,
// N the evaluations through the node: its visit count, which includes the
// simulation that expanded it, and at the root one for its own evaluation
// plus the simulations run so far (so the first simulation already follows
// the priors); n the child's visits. An unvisited child's Q is the first-play
// value.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "simulation/config.h"
#include "simulation/node.h"

namespace tilora::self_play {

// Classic C for a node visited N times.
inline float exploration_coefficient(std::uint32_t visit_count, float c_base, float inv_c_base,
                                     float c_init) {
  return std::log(c_base + static_cast<float>(visit_count) + inv_c_base) + c_init;
}

// PUCT's C(N) * sqrt(N) for a node with N simulations through it.
inline float puct_exploration(std::uint32_t visits, float c_base, float c_init) {
  const float n = static_cast<float>(visits);
  return (std::log((1.0f + n + c_base) / c_base) + c_init) * std::sqrt(n);
}

// A function of the visit count tabulated for every count one search can
// reach (at most sims_per_move), so the descent looks it up instead of taking
// a logarithm at every level; computed directly beyond the table.
template <class F>
class VisitTable {
 public:
  VisitTable(std::uint32_t sims_per_move, F f)
      : table_(std::min(sims_per_move + std::uint64_t{1}, std::uint64_t{kMaxEntries})), f_(f) {
    for (std::size_t n = 0; n < table_.size(); ++n) table_[n] = f_(static_cast<std::uint32_t>(n));
  }
  float operator()(std::uint32_t visits) const {
    return visits < table_.size() ? table_[visits] : f_(visits);
  }

 private:
  static constexpr std::uint32_t kMaxEntries = 1u << 16;
  std::vector<float> table_;
  F f_;
};

struct ClassicCoefficient {
  float c_base, inv_c_base, c_init;
  float operator()(std::uint32_t n) const {
    return exploration_coefficient(n, c_base, inv_c_base, c_init);
  }
};

// The classic C for every visit count of one search.
class ExplorationTable : public VisitTable<ClassicCoefficient> {
 public:
  explicit ExplorationTable(const SearchParams& p)
      : VisitTable(p.sims_per_move, ClassicCoefficient{p.c_base, p.inv_c_base, p.c_init}) {}
};

// Classic: Q + C * prior, with Q = 0 for an unvisited child. An unvisited
// child's value_sum is 0.0, so dividing it by 1 gives that 0.0 without a branch.
inline float selection_score(const Node& child, float c) {
  const float q = child.value_sum / static_cast<float>(std::max(child.visit_count, 1u));
  return q + c * child.prior;
}

// PUCT: Q + c_sqrt_n * prior / (1 + n), c_sqrt_n being C(N) * sqrt(N).
inline float puct_score(const Node& child, float c_sqrt_n, float first_play_value) {
  const float q = child.visit_count > 0
                      ? child.value_sum / static_cast<float>(child.visit_count)
                      : first_play_value;
  return q + c_sqrt_n * child.prior / (1.0f + static_cast<float>(child.visit_count));
}

// The index of the highest-scoring child (ties and NaN as above).
template <class Score>
std::size_t best_child(const Node& node, Score score) {
  if (node.children.size() == 1) return 0;  // no score needed
  std::size_t best = 0;
  float best_score = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    const float s = score(node.children[i]);
    if (s > best_score) {
      best_score = s;
      best = i;
    }
  }
  return best;
}

// The classic rule, given the node's C.
inline std::size_t select_child(const Node& node, float c) {
  return best_child(node, [c](const Node& child) { return selection_score(child, c); });
}
// The same, computing C from the node's visit count.
inline std::size_t select_child(const Node& node, float c_base, float inv_c_base, float c_init) {
  return select_child(node, exploration_coefficient(node.visit_count, c_base, inv_c_base, c_init));
}

class ClassicRule {
 public:
  explicit ClassicRule(const SearchParams& params) : coefficients_(params) {}
  // The root is never visited under this rule.
  static std::uint32_t root_visits(std::uint32_t /*simulations_run*/) { return 0; }
  std::size_t select(const Node& node, std::uint32_t visits) const {
    return select_child(node, coefficients_(visits));
  }

 private:
  ExplorationTable coefficients_;
};

struct PuctCoefficient {
  float c_base, c_init;
  float operator()(std::uint32_t n) const { return puct_exploration(n, c_base, c_init); }
};

class PuctRule {
 public:
  explicit PuctRule(const SearchParams& params)
      : exploration_(params.sims_per_move, PuctCoefficient{params.c_base, params.c_init}),
        first_play_value_(params.first_play_value) {}
  static std::uint32_t root_visits(std::uint32_t simulations_run) { return simulations_run + 1; }
  std::size_t select(const Node& node, std::uint32_t visits) const {
    const float c = exploration_(visits);
    const float fpv = first_play_value_;
    return best_child(node, [c, fpv](const Node& child) { return puct_score(child, c, fpv); });
  }

 private:
  VisitTable<PuctCoefficient> exploration_;
  float first_play_value_;
};

}  // namespace tilora::self_play
