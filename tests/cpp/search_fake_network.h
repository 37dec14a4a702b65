#pragma once
// A network for the search tests: answers every request from a function of
// the planes (by default logits 0 on every cell and fixed values), counts
// the calls and fails on request.
#include <functional>
#include <string>
#include <vector>

#include "simulation/config.h"
#include "simulation/network.h"

namespace tilora::self_play::testing {

class FakeNetwork : public Network {
 public:
  using Answer = std::function<void(const StateRepr&, Reply&)>;

  explicit FakeNetwork(Values values = {0.1f, 0.2f, 0.3f, 0.4f}) {
    answer = [values](const StateRepr&, Reply& reply) {
      reply.policy.fill(0.0f);
      reply.policy_size = kBoardCells;
      reply.values = values;
    };
  }

  bool infer(const game::Game& /*position*/, const StateRepr& planes, Reply& reply) override {
    const unsigned call = calls++;
    if (keep_requests) requests.push_back(planes);
    if (fail_on_call && call == *fail_on_call) {
      last_error = "fake failure on call " + std::to_string(call);
      return false;
    }
    answer(planes, reply);
    return true;
  }
  void reject_reply(std::string_view reason) override {
    ++rejections;
    last_error = std::string(reason);
  }
  std::string error_text() const override { return last_error; }

  Answer answer;
  unsigned calls = 0;
  unsigned rejections = 0;
  std::optional<unsigned> fail_on_call;
  bool keep_requests = false;
  std::vector<StateRepr> requests;
  std::string last_error;
};

// The search settings the tests play with (those of the toolkit), with
// `sims` simulations, the first `sample_moves` - 1 moves sampled.
inline Config search_config(std::uint32_t sims, SearchRule rule = SearchRule::kPuct,
                            std::uint32_t sample_moves = 4) {
  Config config;
  config.sims_per_move = sims;
  config.sample_moves = sample_moves;
  config.c_base = 19652.0f;
  config.c_init = 1.25f;
  config.dirichlet_alpha = 0.3f;
  config.exploration_fraction = 0.25f;
  config.rule = rule;
  return config;
}

// The legal cells of a game, ascending.
inline std::vector<unsigned> legal_cells(const game::Game& game) { return game.legal_tiles(); }

}  // namespace tilora::self_play::testing
