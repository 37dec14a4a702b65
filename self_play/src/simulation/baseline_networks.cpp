#include "baseline_networks.h"

#include <random>

namespace tilora::self_play {

game::Payoff random_playout(game::Game game, Rng& rng) {
  while (!game.is_over()) {
    const CellSet& legal = game.legal_cells();
    const unsigned k = static_cast<unsigned>(
        std::uniform_int_distribution<unsigned>(0, legal.size() - 1)(rng));
    (void)game.apply(legal.nth(k));
  }
  return game.get_payoff();
}

bool RolloutNetwork::infer(const game::Game& position, const StateRepr& /*planes*/, Reply& reply) {
  reply.policy.fill(0.0f);
  reply.policy_size = kBoardCells;
  reply.values = random_playout(position, rng_);
  return true;
}

bool RolloutNetwork::infer_policy(const game::Game& position, const StateRepr& planes, Reply& reply) {
  UniformNetwork uniform;
  return uniform.infer(position, planes, reply);
}

bool UniformNetwork::infer(const game::Game& /*position*/, const StateRepr& /*planes*/,
                           Reply& reply) {
  reply.policy.fill(0.0f);
  reply.policy_size = kBoardCells;
  reply.values.fill(1.0f / static_cast<float>(kPlayers));
  return true;
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
