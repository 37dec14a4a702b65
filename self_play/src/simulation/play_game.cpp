#include "play_game.h"

#include "internal_stop.h"
#include "mcts.h"
#include "output.h"
#include "progress_bar.h"
#include "select_move.h"

namespace tilora::self_play {
namespace {

void check_dirichlet_alpha(float alpha) {
  if (!(alpha > 0.0f))
    throw InternalStop("invalid configuration: dirichlet_alpha must be a positive number, got " +
                       format_float(alpha));
}

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

GameResult play_game(const Config& config, Network& network, Rng& rng) {
  check_dirichlet_alpha(config.dirichlet_alpha);
  const SearchParams params = SearchParams::from(config);

  game::Game game = game::Game::reset();
  TrainingRecord record;
  ProgressBar progress(kProgressLength);
  std::vector<VisitEntry> visits;

  while (!game.is_over()) {
    unsigned cell = 0;
    {
      const std::optional<Node> root = run_mcts(game, params, network, rng);
      if (!root) {
        print_line("Error running MCTS: " + network.error_text());
        return std::string(kErrorRunningMcts);
      }
      record.policies.push_back(visit_shares(*root, visits));
      cell = select_move(visits, static_cast<std::uint32_t>(record.policies.size()),
                         config.sample_moves, rng);
    }
    (void)game.apply(cell);
    progress.inc();
  }

  record.payoff = game.get_payoff();
  const board::Scores scores = game.get_score();
  record.history = game.take_history();
  progress.finish();
  print_line("Game finished with payoff: " + format_payoff(record.payoff) +
             " and score: " + format_scores(scores));
  return record;
}

}  // namespace tilora::self_play
