#pragma once
// The search's view of the neural network: it answers a position's planes
// with logits over the board cells and a value per player. The module's
// implementation asks the Python side; tests use a fake.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "game.h"
#include "simulation/node.h"
#include "simulation/state_repr.h"

namespace tilora::self_play {

// A decoded answer: policy[i] is the logit of cell i for i < policy_size
// (entries beyond are not read, and not initialised); values are in absolute
// player order (entry p is player p's value).
struct Reply {
  std::array<float, kBoardCells> policy;
  unsigned policy_size = 0;
  Values values{};
};

class Network {
 public:
  virtual ~Network() = default;

  // Asks for the evaluation of a position, given with its planes. Fills
  // `reply` and returns true, or returns false and keeps the failure (see
  // error_text).
  virtual bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) = 0;

  // The same when only the policy will be read (a search root's value is
  // never used); networks that pay for their values may skip them.
  virtual bool infer_policy(const game::Game& position, const StateRepr& planes, Reply& reply) {
    return infer(position, planes, reply);
  }

  // Records a failure found after decoding, for a reply the search cannot
  // use; it then stands as the last failure.
  virtual void reject_reply(std::string_view reason) = 0;

  // A one-line text form of the last failure.
  virtual std::string error_text() const = 0;
};

}  // namespace tilora::self_play
