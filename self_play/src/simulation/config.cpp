#include "simulation/config.h"

#include <cmath>
#include <string>

#include "simulation/format.h"
#include "simulation/internal_stop.h"
#include "simulation/search_rule.h"

namespace tilora::self_play {
namespace {

[[noreturn]] void invalid(const char* name, const std::string& requirement, float value) {
  throw InternalStop(std::string("invalid configuration: ") + name + " must be " + requirement +
                     ", got " + format_float(value));
}

// PUCT's C(N) grows with N, and N is at least 1 wherever the rule scores
// children (the root counts its own evaluation), so C(1) is its least value.
// A negative C turns the exploration term around: the least likely children
// come first. Computed as the descent computes it (sqrt(1) is exactly 1).
void check_puct(const Config& config) {
  if (!(config.c_base > 0.0f)) invalid("c_base", "positive under the PUCT rule", config.c_base);
  const float least = puct_exploration(1, config.c_base, 0.0f);
  if (!(least + config.c_init >= 0.0f))
    invalid("c_init",
            "at least -ln((2 + c_base) / c_base) = " + format_float(-least) +
                " under the PUCT rule, so that C(N) is never negative",
            config.c_init);
}

}  // namespace

void check_config(const Config& config) {
  if (!(config.dirichlet_alpha > 0.0f))
    invalid("dirichlet_alpha", "a positive number", config.dirichlet_alpha);
  if (!std::isfinite(config.c_base)) invalid("c_base", "a finite number", config.c_base);
  if (!std::isfinite(config.c_init)) invalid("c_init", "a finite number", config.c_init);
  if (!(config.exploration_fraction >= 0.0f && config.exploration_fraction <= 1.0f))
    invalid("exploration_fraction", "from 0 to 1", config.exploration_fraction);
  if (!(config.rollout_weight >= 0.0f && config.rollout_weight <= 1.0f))
    invalid("rollout_weight", "from 0 to 1", config.rollout_weight);
  if (!std::isfinite(config.first_play_value))
    invalid("first_play_value", "a finite number", config.first_play_value);
  if (!(config.gumbel_scale >= 0.0f && std::isfinite(config.gumbel_scale)))
    invalid("gumbel_scale", "a finite number of at least 0", config.gumbel_scale);
  if (config.rule == SearchRule::kPuct) check_puct(config);
}

}  // namespace tilora::self_play
