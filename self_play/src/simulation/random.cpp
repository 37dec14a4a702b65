#include "simulation/random.h"

#include <array>

namespace tilora::self_play {

Rng& thread_rng() {
  thread_local Rng rng = [] {
    std::random_device entropy;
    std::array<std::uint32_t, 8> words{};
    for (auto& w : words) w = entropy();
    std::seed_seq seed(words.begin(), words.end());
    return Rng(seed);
  }();
  return rng;
}

Rng seeded_rng(std::uint64_t seed) {
  std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)};
  return Rng(words);
}

}  // namespace tilora::self_play
