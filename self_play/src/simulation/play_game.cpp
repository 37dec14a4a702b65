#include "play_game.h"

#include "mcts.h"
#include "select_move.h"

namespace tilora::self_play {
namespace {

std::vector<PolicyEntry> visit_shares(const Node& root, std::vector<VisitEntry>& visits) {
  std::uint32_t total_count = 0;
  for (const Node& child : root.children) total_count += child.visit_count;
  const float total = static_cast<float>(total_count);
  std::vector<PolicyEntry> shares;
  shares.reserve(root.children.size());
  visits.clear();
  for (const Node& child : root.children) {
    shares.push_back({child.tile, static_cast<float>(child.visit_count) / total});
    visits.push_back({child.tile, child.visit_count});
  }
  return shares;
}

}  // namespace

unsigned search_move(const game::Game& game, const SearchParams& params,
                     std::uint32_t sample_moves, Network& network, Rng& rng,
                     TrainingRecord& record) {
  std::vector<VisitEntry> visits;
  const Node root = run_mcts(game, params, network, rng);
  record.policies.push_back(visit_shares(root, visits));
  return select_move(visits, static_cast<std::uint32_t>(record.policies.size()), sample_moves,
                     rng);
}

TrainingRecord play_game(const Config& config, Network& network, Rng& rng, Reporter& reporter) {
  check_config(config);
  const SearchParams params = SearchParams::from(config);

  game::Game game = game::Game::reset();
  TrainingRecord record;
  while (!game.is_over()) {
    (void)game.apply(search_move(game, params, config.sample_moves, network, rng, record));
    reporter.move_played();
  }

  record.payoff = game.get_payoff();
  const board::Scores scores = game.get_score();
  record.history = game.take_history();
  reporter.game_finished(record.payoff, scores);
  return record;
}

}  // namespace tilora::self_play
