#pragma once
// Networks that need no model, for fixed baseline players: a search over
// one of them is as strong in every run as its simulations make it. Both give
// every legal tile the same prior.
#include <optional>
#include <string>
#include <string_view>

#include "game.h"
#include "network.h"
#include "random.h"

namespace tilora::self_play {

// Plays uniformly random legal tiles from `game` until the game is over and
// returns its payoff.
game::Payoff random_playout(game::Game game, Rng& rng);

// Values a position by one random playout to the end of the game.
class RolloutNetwork final : public Network {
 public:
  // Draws the playouts from `rng`, which must outlive the network.
  explicit RolloutNetwork(Rng& rng) : rng_(rng) {}

  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  // Equal priors without a playout.
  bool infer_policy(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  void reject_reply(std::string_view reason) override { error_ = reason; }
  std::string error_text() const override { return error_; }

 private:
  Rng& rng_;
  std::string error_;
};

// Values every position at par: a quarter of the payoff for each player.
class UniformNetwork final : public Network {
 public:
  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  void reject_reply(std::string_view reason) override { error_ = reason; }
  std::string error_text() const override { return error_; }

 private:
  std::string error_;
};

// Another network's answers with each value mixed with one random playout's
// payoff from the same position: (1 - weight) * value + weight * payoff.
class PlayoutMixNetwork final : public Network {
 public:
  // Both `inner` and `rng` must outlive this network; weight in [0, 1].
  PlayoutMixNetwork(Network& inner, Rng& rng, float weight) : inner_(inner), rng_(rng), weight_(weight) {}

  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  // The inner network's answer, without a playout.
  bool infer_policy(const game::Game& position, const StateRepr& planes, Reply& reply) override {
    return inner_.infer_policy(position, planes, reply);
  }
  void reject_reply(std::string_view reason) override { inner_.reject_reply(reason); }
  std::string error_text() const override { return inner_.error_text(); }

 private:
  Network& inner_;
  Rng& rng_;
  float weight_;
};

// The network a search asks: `network` itself, or, when `weight` is above 0,
// `network` mixed with playouts, made in `mix` (which must outlive the use).
Network& with_playouts(Network& network, std::optional<PlayoutMixNetwork>& mix, Rng& rng, float weight);

}  // namespace tilora::self_play
