#include "evaluate.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <limits>

#include "state_repr.h"

namespace tilora::self_play {
namespace {

// Fills the weights e^(logit - shift) and returns their sum, added in order.
float exponentiate(Priors& priors, std::span<const float> logits, float shift) {
  float sum = 0.0f;
  for (unsigned i = 0; i < priors.size; ++i) {
    CellPrior& entry = priors.entries[i];
    entry.prior = std::exp(logits[entry.cell] - shift);
    sum += entry.prior;
  }
  return sum;
}

bool finite_positive(float x) { return x > 0.0f && std::isfinite(x); }

}  // namespace

bool compute_priors(std::span<const float> logits,
                    std::span<const float, kBoardCells> mask, Priors& out) {
  out.size = 0;
  const auto cells = static_cast<unsigned>(std::min<std::size_t>(logits.size(), kBoardCells));
  for (unsigned i = 0; i < cells; ++i)
    if (mask[i] == 1.0f) out.entries[out.size++].cell = static_cast<std::uint16_t>(i);
  if (out.size == 0) return true;

  float sum = exponentiate(out, logits, 0.0f);
  if (!finite_positive(sum)) {
    float top = -std::numeric_limits<float>::infinity();
    for (unsigned i = 0; i < out.size; ++i) top = std::max(top, logits[out.entries[i].cell]);
    sum = exponentiate(out, logits, top);
    if (!finite_positive(sum)) return false;
  }
  for (unsigned i = 0; i < out.size; ++i) out.entries[i].prior /= sum;
  return true;
}

void expand(Node& node, unsigned to_play, std::span<const CellPrior> priors,
            Rng& rng) {
  node.to_play = static_cast<std::uint8_t>(to_play);
  const auto chooser = static_cast<std::uint8_t>(to_play);
  if (!node.children.empty()) {
    std::bitset<kBoardCells> replaced;
    for (const CellPrior& p : priors) replaced.set(p.cell);
    std::erase_if(node.children, [&](const Node& c) { return replaced.test(c.tile); });
  }
  node.children.reserve(node.children.size() + priors.size());
  for (const CellPrior& p : priors) {
    Node& child = node.children.emplace_back();
    child.tile = p.cell;
    child.prior = p.prior;
    child.chooser = chooser;
  }
  std::shuffle(node.children.begin(), node.children.end(), rng);
}

std::optional<Values> evaluate(Node& node, const game::Game& game,
                               Network& network, Rng& rng) {
  if (game.is_over()) return game.get_payoff();

  const StateRepr planes = get_representation(game);
  Reply reply;
  if (!network.infer(game, planes, reply)) return std::nullopt;
  if (!std::all_of(reply.values.begin(), reply.values.end(), [](float v) { return std::isfinite(v); })) {
    network.reject_reply("the reply's values are not all finite numbers (a value is NaN or infinite)");
    return std::nullopt;
  }

  const std::span<const float, kBoardCells> mask(planes.data() + kLegalPlane * kBoardCells,
                                                 kBoardCells);
  Priors priors;
  if (!compute_priors({reply.policy.data(), reply.policy_size}, mask, priors)) {
    network.reject_reply(
        "the policy's logits over the legal tiles give no finite priors (a logit is NaN or "
        "+inf, or every logit is -inf)");
    return std::nullopt;
  }
  expand(node, *game.current_player(), priors.view(), rng);
  return reply.values;
}

}  // namespace tilora::self_play
