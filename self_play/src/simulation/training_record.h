#pragma once
// What a game leaves for training: its moves, the search's visit shares of
// each move, and the payoff.
#include <cstdint>
#include <vector>

#include "game.h"

namespace tilora::self_play {

struct PolicyEntry {
  std::uint16_t cell = 0;
  float share = 0.0f;  // visit_count / total over the root's children
};

struct TrainingRecord {
  game::History history;  // (player, cell) per move, in playing order
  // Per move, one entry per root child in the root's iteration order.
  std::vector<std::vector<PolicyEntry>> policies;
  game::Payoff payoff{};
};

}  // namespace tilora::self_play
