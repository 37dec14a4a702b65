#pragma once
// A match: one game in which each seat's moves are chosen by that seat's own
// player. A searching seat's every evaluation, in its own searches, goes to
// its own network, with its own search settings; no seat's search ever asks
// another seat's network.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>
#include <variant>

#include "play/greedy.h"
#include "simulation/config.h"
#include "simulation/internal_stop.h"
#include "simulation/mcts.h"
#include "simulation/network.h"
#include "simulation/random.h"
#include "simulation/searching_player.h"

namespace tilora::self_play {

// A seat that chooses every move by a tree search over its network.
struct SearchSeat {
  Config config;  // one that check_config accepts
  Network* network = nullptr;  // not owned; outlives the match
  SearchingPlayer player{};    // the seat's decision in progress
};

using SeatPlayer = std::variant<SearchSeat, GreedyPlayer>;

// Plays one game from the starting position with `seats[p]` choosing player
// p's moves and returns its record: the moves, for each move the root visit
// shares of the seat that made it (a greedy move is its cell with share 1),
// and the payoff. Each search seat's sample_moves counts the moves of the
// whole game, as in self-play. Reports nothing. The caller checks each
// seat's config once, before the match (check_config); a failed evaluation
// throws EvaluationFailed with the seat whose search failed.
TrainingRecord play_match(std::array<SeatPlayer, kPlayers>& seats, Rng& rng);

// Makes each move of a match: given the seat to move and its choice, returns
// the cell to play; whatever it throws ends the match. The plain runner just
// chooses. A caller wraps the choice in what the engine cannot know of (the
// Python module lets other threads run while a seat that never calls Python
// thinks, and stops on a pending signal).
class MoveRunner {
 public:
  virtual ~MoveRunner() = default;
  virtual unsigned run(unsigned /*seat*/, const std::function<unsigned()>& choose) {
    return choose();
  }
};

// The part of a game a match plays: the `opening` cells (whole turns) are laid first, with
// empty policy entries (not searched), then the seats play until `turns` more
// turns are finished (none: to the end). A match cut short is paid by the
// scores it reached, as a finished game would be. Lets a study ask each player
// what it chooses in the same position without playing the game out.
struct MatchSpan {
  std::vector<unsigned> opening;
  std::optional<unsigned> turns;
};

// The same, every move made through `runner`. Stops (InternalStop) on an
// illegal opening cell or an opening that ends inside a turn.
TrainingRecord play_match(std::array<SeatPlayer, kPlayers>& seats, Rng& rng, MoveRunner& runner,
                          const MatchSpan& span = {});

}  // namespace tilora::self_play
