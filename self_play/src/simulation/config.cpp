#include "config.h"

#include <cmath>
#include <string>

#include "internal_stop.h"
#include "output.h"

namespace tilora::self_play {
namespace {

[[noreturn]] void invalid(const char* name, const char* requirement, float value) {
  throw InternalStop(std::string("invalid configuration: ") + name + " must be " + requirement +
                     ", got " + format_float(value));
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
}

}  // namespace tilora::self_play
