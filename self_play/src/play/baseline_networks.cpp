#include "play/baseline_networks.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tilora::self_play {

namespace {

void equal_policy(Reply& reply) {
  reply.policy.fill(0.0f);
  reply.policy_size = kBoardCells;
}

// Equal priors and every value at par.
bool par_reply(Reply& reply) {
  equal_policy(reply);
  reply.values.fill(1.0f / static_cast<float>(kPlayers));
  return true;
}

// One uniformly random legal tile.
unsigned random_tile(const game::Game& game, Rng& rng) {
  const CellSet& legal = game.legal_cells();
  return legal.nth(std::uniform_int_distribution<unsigned>(0, legal.size() - 1)(rng));
}

}  // namespace

game::Payoff random_playout(game::Game game, Rng& rng) {
  while (!game.is_over()) (void)game.apply(random_tile(game, rng));
  return game.get_payoff();
}

game::Game play_random_turns(game::Game game, Rng& rng, unsigned turns) {
  while (turns > 0 && !game.is_over()) {
    (void)game.apply(random_tile(game, rng));
    // The anchor is cleared exactly when a piece is finished and a turn begins.
    if (!game.turn_started()) --turns;
  }
  return game;
}

Values heuristic_values(const game::Game& position) {
  if (position.is_over()) return position.get_payoff();
  const board::Scores scores = position.get_score();
  std::array<float, kPlayers> estimate{};
  for (unsigned p = 0; p < kPlayers; ++p) estimate[p] = static_cast<float>(scores[p]);
  for (const unsigned p : position.players())
    estimate[p] += kHeuristicCornerWeight * static_cast<float>(position.board().corners[p].size());
  // Shifted by the best estimate so that the exponentials cannot overflow.
  const float top = *std::max_element(estimate.begin(), estimate.end());
  Values values{};
  float total = 0.0f;
  for (unsigned p = 0; p < kPlayers; ++p) {
    values[p] = std::exp((estimate[p] - top) / kHeuristicTemperature);
    total += values[p];
  }
  for (float& value : values) value /= total;
  return values;
}

bool RolloutNetwork::infer(const game::Game& position, const StateRepr& /*planes*/, Reply& reply) {
  equal_policy(reply);
  Values sum{};
  for (unsigned i = 0; i < playouts_; ++i) {
    const Values one = turns_ == 0 ? random_playout(position, rng_)
                                   : heuristic_values(play_random_turns(position, rng_, turns_));
    for (unsigned p = 0; p < kPlayers; ++p) sum[p] += one[p];
  }
  for (unsigned p = 0; p < kPlayers; ++p) reply.values[p] = sum[p] / static_cast<float>(playouts_);
  return true;
}

bool HeuristicNetwork::infer(const game::Game& position, const StateRepr& /*planes*/, Reply& reply) {
  equal_policy(reply);
  reply.values = heuristic_values(position);
  return true;
}

bool EqualPriorsNetwork::infer(const game::Game& position, const StateRepr& planes, Reply& reply) {
  if (!inner_.infer(position, planes, reply)) return false;
  equal_policy(reply);
  return true;
}

bool EqualPriorsNetwork::infer_policy(const game::Game& /*position*/, const StateRepr& /*planes*/,
                                      Reply& reply) {
  return par_reply(reply);
}

bool RolloutNetwork::infer_policy(const game::Game& /*position*/, const StateRepr& /*planes*/,
                                  Reply& reply) {
  return par_reply(reply);
}

bool UniformNetwork::infer(const game::Game& /*position*/, const StateRepr& /*planes*/,
                           Reply& reply) {
  return par_reply(reply);
}

bool PlayoutMixNetwork::infer(const game::Game& position, const StateRepr& planes, Reply& reply) {
  if (!inner_.infer(position, planes, reply)) return false;
  const game::Payoff payoff = random_playout(position, rng_);
  const float kept = 1.0f - weight_;
  for (unsigned p = 0; p < kPlayers; ++p) reply.values[p] = kept * reply.values[p] + weight_ * payoff[p];
  return true;
}

Network& with_playouts(Network& network, std::optional<PlayoutMixNetwork>& mix, Rng& rng, float weight) {
  if (weight > 0.0f) return mix.emplace(network, rng, weight);
  return network;
}

}  // namespace tilora::self_play
