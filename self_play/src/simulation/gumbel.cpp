#include "simulation/gumbel.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tilora::self_play {
namespace {

constexpr float kVisitOffset = 50.0f;  // c_visit of the paper

float mean_value(const Node& child) {
  return child.value_sum / static_cast<float>(child.visit_count);
}

}  // namespace

float gumbel_sample(Rng& rng) {
  // u in (0, 1): a word's top 23 bits, offset by half a step.
  const float u = unit_float_from_word(rng()) + 0.5f / 8388608.0f;
  return -std::log(-std::log(u));
}

std::vector<float> completed_q(const Node& root) {
  double weighted = 0.0, weight = 0.0;
  for (const Node& child : root.children)
    if (child.visit_count > 0) {
      weighted += static_cast<double>(child.prior) * mean_value(child);
      weight += child.prior;
    }
  // With no visited child every completed Q is the same, and sigma of it
  // moves no share.
  const float mixed = weight > 0.0 ? static_cast<float>(weighted / weight) : 0.0f;
  std::vector<float> q;
  q.reserve(root.children.size());
  for (const Node& child : root.children)
    q.push_back(child.visit_count > 0 ? mean_value(child) : mixed);
  return q;
}

std::vector<float> sigma_completed_q(const Node& root, float scale) {
  std::uint32_t most = 0;
  for (const Node& child : root.children) most = std::max(most, child.visit_count);
  const float factor = (kVisitOffset + static_cast<float>(most)) * scale;
  std::vector<float> sigma = completed_q(root);
  for (float& q : sigma) q *= factor;
  return sigma;
}

std::vector<float> improved_policy(const Node& root, float scale) {
  std::vector<float> logits = sigma_completed_q(root, scale);
  float top = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < logits.size(); ++i) {
    logits[i] += std::log(root.children[i].prior);
    top = std::max(top, logits[i]);
  }
  double sum = 0.0;
  for (float& l : logits) {
    l = std::isfinite(top) ? std::exp(l - top) : 1.0f;
    sum += l;
  }
  for (float& l : logits) l = static_cast<float>(l / sum);
  return logits;
}

std::uint32_t phase_visits(std::uint32_t sims, std::uint32_t left, unsigned phase,
                           unsigned phases, std::size_t in_play) {
  const auto count = static_cast<std::uint64_t>(in_play);
  const std::uint64_t each = phase + 1 >= phases ? left / count : sims / (phases * count);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(each, 1), left));
}

unsigned halving_phases(std::size_t m) {
  unsigned phases = 0;
  while ((std::size_t{1} << phases) < m) ++phases;
  return phases;
}

}  // namespace tilora::self_play
