#include "simulation/play_game.h"

#include "simulation/searching_player.h"

namespace tilora::self_play {

TrainingRecord play_game(const Config& config, Network& network, Rng& rng, Reporter& reporter) {
  const SearchParams params = SearchParams::from(config);

  game::Game game = game::Game::reset();
  TrainingRecord record;
  SearchingPlayer player;
  while (!game.is_over()) {
    (void)game.apply(player.choose(game, params, config.sample_moves, network, rng, record));
    reporter.move_played();
  }

  record.payoff = game.get_payoff();
  const board::Scores scores = game.get_score();
  record.history = game.take_history();
  reporter.game_finished(record.payoff, scores);
  return record;
}

}  // namespace tilora::self_play
