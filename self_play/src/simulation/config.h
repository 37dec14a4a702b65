#pragma once
// The six search settings of one call, read once from the caller's config
// object and fixed for the whole game.
#include <cstdint>

namespace tilora::self_play {

struct Config {
  std::uint32_t sims_per_move = 0;  // simulations per real move
  std::uint32_t sample_moves = 0;   // moves below this count are sampled
  float c_base = 0.0f;              // base of the exploration coefficient
  float c_init = 0.0f;              // additive constant of the coefficient
  float dirichlet_alpha = 0.0f;     // concentration of the root noise
  float exploration_fraction = 0.0f;  // weight of the root noise
};

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

  static SearchParams from(const Config& config) {
    return {config.sims_per_move,      config.c_base,
            1.0f / config.c_base,      config.c_init,
            config.dirichlet_alpha,    config.exploration_fraction,
            1.0f - config.exploration_fraction};
  }
};

}  // namespace tilora::self_play
