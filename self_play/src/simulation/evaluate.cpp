#include "simulation/evaluate.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <limits>

#include "simulation/state_repr.h"

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

namespace {

// Asks the network for the position's reply and checks its values; false
// (the failure kept by the network) when it cannot be used.
bool ask(const game::Game& game, const StateRepr& planes, Network& network, Evaluated use,
         Reply& reply) {
  const bool answered = use == Evaluated::kRoot ? network.infer_policy(game, planes, reply)
                                                : network.infer(game, planes, reply);
  if (!answered) return false;
  if (!std::all_of(reply.values.begin(), reply.values.end(), [](float v) { return std::isfinite(v); })) {
    network.reject_reply("the reply's values are not all finite numbers (a value is NaN or infinite)");
    return false;
  }
  return true;
}

constexpr const char* kNoFinitePriors =
    "the policy's logits over the legal tiles give no finite priors (a logit is NaN or +inf, or "
    "every logit is -inf)";
constexpr const char* kNoFiniteDecisionPriors =
    "the policy's logits over the legal placements give no finite priors (a logit is NaN or +inf, "
    "or every placement has a cell whose logit is -inf)";

}  // namespace

std::optional<Values> evaluate(Node& node, const game::Game& game, Network& network, Rng& rng,
                               Evaluated use) {
  if (game.is_over()) return game.get_payoff();

  const StateRepr planes = get_representation(game);
  Reply reply;
  if (!ask(game, planes, network, use, reply)) return std::nullopt;

  const std::span<const float, kBoardCells> mask(planes.data() + kLegalPlane * kBoardCells,
                                                 kBoardCells);
  Priors priors;
  if (!compute_priors({reply.policy.data(), reply.policy_size}, mask, priors)) {
    network.reject_reply(kNoFinitePriors);
    return std::nullopt;
  }
  expand(node, *game.current_player(), priors.view(), rng);
  return reply.values;
}

bool decision_priors(std::span<const float> logits, std::span<const game::Decision> decisions,
                     std::vector<float>& out) {
  out.assign(decisions.size(), std::numeric_limits<float>::quiet_NaN());
  auto covered = [&](const game::Decision& d) {
    const auto cells = d.view();
    return std::all_of(cells.begin(), cells.end(), [&](std::uint16_t x) { return x < logits.size(); });
  };
  // Every logit is taken relative to the largest one the decisions read, so
  // that a common offset of the logits changes nothing and huge finite logits
  // neither overflow a sum nor drown ln(size).
  float shift = -std::numeric_limits<float>::infinity();
  bool any = false;
  for (const game::Decision& d : decisions) {
    if (!covered(d)) continue;
    any = true;
    for (std::uint16_t x : d.view()) {
      const float logit = logits[x];
      if (std::isnan(logit) || logit == std::numeric_limits<float>::infinity()) return false;
      shift = std::max(shift, logit);
    }
  }
  if (!any) return true;                   // the policy covers no decision
  if (!std::isfinite(shift)) return false;  // every logit read is -inf
  float top = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < decisions.size(); ++i) {
    if (!covered(decisions[i])) continue;
    const auto cells = decisions[i].view();
    float sum = 0.0f;
    for (std::uint16_t x : cells) sum += logits[x] - shift;
    const float size = static_cast<float>(cells.size());
    out[i] = std::log(size) + sum / size;
    top = std::max(top, out[i]);
  }
  if (!std::isfinite(top)) return false;  // every decision has a cell whose logit is -inf
  float total = 0.0f;
  for (float& p : out)
    if (!std::isnan(p)) total += p = std::exp(p - top);
  if (!finite_positive(total)) return false;
  for (float& p : out) p /= total;
  return true;
}

std::optional<Values> evaluate_decisions(Node& node, const game::Game& game,
                                         std::span<const game::Decision> decisions,
                                         Network& network, Rng& rng, Evaluated use) {
  if (game.is_over()) return game.get_payoff();

  const StateRepr planes = get_representation(game);
  Reply reply;
  if (!ask(game, planes, network, use, reply)) return std::nullopt;
  std::vector<float> priors;
  if (!decision_priors({reply.policy.data(), reply.policy_size}, decisions, priors)) {
    network.reject_reply(kNoFiniteDecisionPriors);
    return std::nullopt;
  }

  node.to_play = static_cast<std::uint8_t>(*game.current_player());
  node.children.clear();
  node.children.reserve(decisions.size());
  for (std::size_t i = 0; i < decisions.size(); ++i) {
    if (std::isnan(priors[i])) continue;
    const auto cells = decisions[i].view();
    Node& child = node.children.emplace_back();
    child.tile = cells[0];
    child.rest_size = static_cast<std::uint8_t>(cells.size() - 1);
    std::copy(cells.begin() + 1, cells.end(), child.rest.begin());
    child.prior = priors[i];
    child.chooser = node.to_play;
  }
  std::shuffle(node.children.begin(), node.children.end(), rng);
  return reply.values;
}

}  // namespace tilora::self_play
