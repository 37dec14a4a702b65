#pragma once
// Networks that need no model, for fixed baseline players: a search over
// one of them is as strong in every run as its simulations make it. Both give
// every legal tile the same prior.
#include <optional>
#include <string>
#include <string_view>

#include "game.h"
#include "simulation/network.h"
#include "simulation/random.h"

namespace tilora::self_play {

// Plays uniformly random legal tiles from `game` until the game is over and
// returns its payoff.
game::Payoff random_playout(game::Game game, Rng& rng);

// Plays uniformly random legal tiles from `game` until `turns` turns have been
// completed (a piece finished, whoever laid it) or the game is over, and
// returns the position reached.
game::Game play_random_turns(game::Game game, Rng& rng, unsigned turns);

// A hand-made value of a position, for every player: a softmax over the
// players of an estimated final score,
//
//   estimate_p = score_p + kHeuristicCornerWeight * corners_p,
//   value_p    = e^(estimate_p / kHeuristicTemperature) / sum over q,
//
// score_p being the game's score now (cells covered minus the player's
// cells, bonuses included) and corners_p the open corner cells a new piece of
// p may start from, counted only while p is still in the game: a player's
// cells to come can only start there, and a player who is out lays nothing
// more. The temperature is in cells: a lead of that many multiplies the
// leader's odds by e, about what a few turns of play can still undo.
// A finished game is valued by its payoff.
Values heuristic_values(const game::Game& position);
inline constexpr float kHeuristicCornerWeight = 1.0f;
inline constexpr float kHeuristicTemperature = 5.0f;

// A network played in C++, that keeps the last failure found in its
// replies itself.
class BaselineNetwork : public Network {
 public:
  void reject_reply(std::string_view reason) override { error_ = reason; }
  std::string error_text() const override { return error_; }

 private:
  std::string error_;
};

// Values a position by random playouts: the mean payoff of `playouts` of
// them (summed in order, then divided), each to the end of the game or, when
// `turns` is above 0, cut after that many turns and valued by
// heuristic_values.
class RolloutNetwork final : public BaselineNetwork {
 public:
  // Draws the playouts from `rng`, which must outlive the network; playouts
  // at least 1.
  explicit RolloutNetwork(Rng& rng, unsigned playouts = 1, unsigned turns = 0)
      : rng_(rng), playouts_(playouts), turns_(turns) {}

  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  // Equal priors without a playout.
  bool infer_policy(const game::Game& position, const StateRepr& planes, Reply& reply) override;

 private:
  Rng& rng_;
  unsigned playouts_;
  unsigned turns_;  // 0: to the end of the game
};

// Values a position by heuristic_values, with equal priors.
class HeuristicNetwork final : public BaselineNetwork {
 public:
  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
};

// Another network's values with equal priors in place of its policy, to
// measure what its values are worth to a search on their own. A root's
// policy is not asked of the inner network.
class EqualPriorsNetwork final : public Network {
 public:
  // `inner` must outlive this network.
  explicit EqualPriorsNetwork(Network& inner) : inner_(inner) {}

  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  bool infer_policy(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  void reject_reply(std::string_view reason) override { inner_.reject_reply(reason); }
  std::string error_text() const override { return inner_.error_text(); }

 private:
  Network& inner_;
};

// Values every position at par: a quarter of the payoff for each player.
class UniformNetwork final : public BaselineNetwork {
 public:
  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
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
