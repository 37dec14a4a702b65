#pragma once
// Evaluation of a search node: a finished game is valued by its payoff; any
// other position is sent to the network, and the node is expanded with one
// child per legal tile that the policy covers.
//
// Priors are e^logit / sum over the legal tiles, in 32-bit floats, summed in
// ascending cell order. Only when that sum is not a finite positive number
// (a logit above about 88 overflows the exponential) are the logits shifted by
// their maximum; if even that gives no finite sum, the reply is rejected.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <vector>

#include "decisions.h"
#include "game.h"
#include "simulation/network.h"
#include "simulation/node.h"
#include "simulation/random.h"

namespace tilora::self_play {

struct CellPrior {
  std::uint16_t cell = 0;
  float prior = 0.0f;
};

// The priors of one expansion, in ascending cell order: the first `size`
// entries (the rest are not initialised).
struct Priors {
  std::array<CellPrior, kBoardCells> entries;
  unsigned size = 0;

  std::span<const CellPrior> view() const { return {entries.data(), size}; }
};

// Priors for the cells i < logits.size() whose mask entry is exactly 1.0.
// Returns false when the logits give no finite priors (a NaN logit, or none
// finite after the shift).
bool compute_priors(std::span<const float> logits,
                    std::span<const float, kBoardCells> mask, Priors& out);

// Sets the node's player to move and inserts a fresh child per prior, with
// that player as its chooser. A child
// already under one of the cells is replaced with its subtree; other children
// stay. The children are then shuffled into a uniformly random order.
void expand(Node& node, unsigned to_play, std::span<const CellPrior> priors,
            Rng& rng);

// What an evaluation is for: a search root's value is never read, so its
// network is asked for the policy only (Network::infer_policy).
enum class Evaluated : std::uint8_t { kLeaf, kRoot };

// The node's position valued for every player (absolute player order), or
// none when the network failed or answered values that are not finite; the
// network then holds the failure and the node is unchanged.
std::optional<Values> evaluate(Node& node, const game::Game& game, Network& network, Rng& rng,
                               Evaluated use = Evaluated::kLeaf);

// Priors of decisions: a decision's prior is its size times the geometric
// mean of e^logit over its cells, normalised over the decisions (a softmax of
// ln(size) + the mean logit; every logit is first taken relative to the
// largest one read, so a common offset of the logits changes nothing). Equal logits favour
// the larger placements, in proportion to their cells, as the policy's mass
// on them would; and a network that learned the policy entry of a search
// that settled on one decision (its share spread over its cells, searching_player.h)
// gives that decision the whole prior, since every other decision has a cell
// outside it. A decision with a cell at or beyond logits.size() gets none
// (NaN in `out`). Returns false when the logits give no finite priors.
bool decision_priors(std::span<const float> logits, std::span<const game::Decision> decisions,
                     std::vector<float>& out);

// evaluate() for the placement tree: the node is expanded with one child per
// decision of `decisions` (those of `game`) that gets a prior.
std::optional<Values> evaluate_decisions(Node& node, const game::Game& game,
                                         std::span<const game::Decision> decisions,
                                         Network& network, Rng& rng,
                                         Evaluated use = Evaluated::kLeaf);

}  // namespace tilora::self_play
