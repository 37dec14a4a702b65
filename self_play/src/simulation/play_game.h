#pragma once
// The self-play driver: one whole game, every move chosen by a tree search,
// and the record the network is trained on.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config.h"
#include "game.h"
#include "network.h"
#include "random.h"

namespace tilora::self_play {

inline constexpr std::string_view kErrorRunningMcts = "Error running MCTS";
inline constexpr std::uint32_t kProgressLength = kBoardCells;

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

using GameResult = std::variant<TrainingRecord, std::string>;

// One move's search: runs the search on `game`, appends the root's visit
// shares to record.policies and returns the cell chosen by select_move, or
// none when the root could not be evaluated (the network holds the failure).
std::optional<unsigned> search_move(const game::Game& game, const SearchParams& params,
                                    std::uint32_t sample_moves, Network& network, Rng& rng,
                                    TrainingRecord& record);

// Plays one game from the starting position to its end. Returns the record,
// or the message "Error running MCTS" when a search root could not be
// evaluated (after printing the two error lines). Draws the progress bar on
// standard error and prints the summary line on standard output. Stops
// (InternalStop) on an invalid configuration (check_config) before the first
// evaluation, and on any failure the game cannot go on from.
GameResult play_game(const Config& config, Network& network, Rng& rng);

}  // namespace tilora::self_play
