#include "play/play_match.h"

#include <cassert>

namespace tilora::self_play {
namespace {

// Plays the move of one seat and returns its cell.
struct SeatMove {
  const game::Game& game;
  unsigned seat;
  Rng& rng;
  TrainingRecord& record;

  unsigned operator()(SearchSeat& player) const {
    assert(player.network);
    const SearchParams params = SearchParams::from(player.config);
    try {
      return player.player.choose(game, params, player.config.sample_moves, *player.network, rng,
                                  record);
    } catch (EvaluationFailed& failure) {
      failure.seat = static_cast<int>(seat);
      throw;
    }
  }

  unsigned operator()(GreedyPlayer& player) const {
    const unsigned cell = player.choose(game, rng);
    record.policies.push_back({{static_cast<std::uint16_t>(cell), 1.0f}});
    return cell;
  }
};

}  // namespace

TrainingRecord play_match(std::array<SeatPlayer, kPlayers>& seats, Rng& rng) {
  MoveRunner plain;
  return play_match(seats, rng, plain);
}

TrainingRecord play_match(std::array<SeatPlayer, kPlayers>& seats, Rng& rng, MoveRunner& runner,
                          const MatchSpan& span) {
  game::Game game = game::Game::reset();
  TrainingRecord record;
  for (const unsigned cell : span.opening) {
    if (game.apply(cell)) throw InternalStop("the opening lays an illegal cell");
    record.policies.emplace_back();
  }
  // A searching seat begins its decisions at a turn's first cell.
  if (game.turn_started()) throw InternalStop("the opening ends inside a turn");
  std::optional<unsigned> turns_left = span.turns;
  while (const auto player = game.current_player()) {
    if (turns_left && *turns_left == 0) break;
    const unsigned cell = runner.run(
        *player, [&] { return std::visit(SeatMove{game, *player, rng, record}, seats[*player]); });
    if (game.apply(cell)) throw InternalStop("a seat's player chose an illegal cell");
    if (turns_left && !game.turn_started()) --*turns_left;
  }
  record.payoff = game.get_payoff();  // of the scores reached, when cut short
  record.history = game.take_history();
  return record;
}

}  // namespace tilora::self_play
