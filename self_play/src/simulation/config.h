#pragma once
// The search settings of one call, read once from the caller's config object
// and fixed for the whole game.
#include <cstdint>
#include <optional>

namespace tilora::self_play {

// How the search picks the child to descend into (see search_rule.h).
enum class SearchRule : std::uint8_t {
  kClassic,  // Q + C * prior, no visit-count factor (the default)
  kPuct,     // Q + C(N) * prior * sqrt(N) / (1 + n), values as payoff shares
};

// What an edge of the search tree is (see mcts.h).
enum class SearchTree : std::uint8_t {
  kCells,       // one cell: a piece takes several edges of the same player (the default)
  kPlacements,  // one whole placement that ends the turn, laid in ascending cell order
};

// The first-play value of the PUCT rule when the caller names none: an
// unvisited child counts as an average outcome, a quarter of the payoff.
// Measured against 0.0 (a sure loss) and 1.0 (a sure win); see docs/search.md.
inline constexpr float kDefaultFirstPlayValue = 0.25f;

// The Gumbel root's value scale when the caller names none (c_scale of
// "Policy improvement by planning with Gumbel", Danihelka et al., 2022).
inline constexpr float kDefaultGumbelScale = 1.0f;

struct Config {
  std::uint32_t sims_per_move = 0;  // simulations per real move
  std::uint32_t sample_moves = 0;   // moves below this count are sampled
  float c_base = 0.0f;              // base of the exploration coefficient
  float c_init = 0.0f;              // additive constant of the coefficient
  float dirichlet_alpha = 0.0f;     // concentration of the root noise
  float exploration_fraction = 0.0f;  // weight of the root noise
  // Optional settings; a config object without them gets these.
  SearchRule rule = SearchRule::kClassic;
  SearchTree tree = SearchTree::kCells;
  float first_play_value = kDefaultFirstPlayValue;  // PUCT: Q of an unvisited child
  std::optional<std::uint64_t> seed;  // seeds the game's random draws when set
  bool packed_planes = false;  // requests carry the planes as 250 packed bytes
  // Weight of one random playout's payoff in every value the network gives:
  // value = (1 - w) * network + w * playout (0: the network's alone).
  float rollout_weight = 0.0f;
  // The Gumbel root (gumbel.h): the number of root children it considers (0:
  // the root selects by the rule, like any other node) and the scale of the
  // values in its scores.
  std::uint32_t gumbel_actions = 0;
  float gumbel_scale = kDefaultGumbelScale;
};

// Stops (InternalStop, "invalid configuration: ...") on settings the search
// cannot run with: dirichlet_alpha not a positive number, c_base or c_init or
// first_play_value not finite, exploration_fraction or rollout_weight outside
// [0, 1], gumbel_scale negative or not finite; under the PUCT rule, c_base not positive or a c_init that makes
// C(N) negative for some N. (The classic rule takes any finite c_base and
// c_init.)
void check_config(const Config& config);

// The settings the search reads on every move, with the two derived values
// computed once per game.
struct SearchParams {
  std::uint32_t sims_per_move = 0;
  float c_base = 0.0f;
  float inv_c_base = 0.0f;  // 1 / c_base
  float c_init = 0.0f;
  float dirichlet_alpha = 0.0f;
  float exploration_fraction = 0.0f;
  float kept_fraction = 0.0f;  // 1 - exploration_fraction
  SearchRule rule = SearchRule::kClassic;
  SearchTree tree = SearchTree::kCells;
  float first_play_value = kDefaultFirstPlayValue;
  std::uint32_t gumbel_actions = 0;
  float gumbel_scale = kDefaultGumbelScale;

  static SearchParams from(const Config& config) {
    return {config.sims_per_move,      config.c_base,
            1.0f / config.c_base,      config.c_init,
            config.dirichlet_alpha,    config.exploration_fraction,
            1.0f - config.exploration_fraction, config.rule,
            config.tree,               config.first_play_value,
            config.gumbel_actions,     config.gumbel_scale};
  }
};

}  // namespace tilora::self_play
