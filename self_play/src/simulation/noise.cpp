#include "simulation/noise.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

namespace tilora::self_play {

std::vector<float> dirichlet_sample(unsigned n, float alpha, Rng& rng) {
  assert(alpha > 0.0f);
  std::vector<float> shares(n);
  if (n == 0) return shares;
  if (std::isinf(alpha)) {
    std::fill(shares.begin(), shares.end(), 1.0f / static_cast<float>(n));
    return shares;
  }

  const double a = alpha;
  std::vector<double> logs(n);
  if (a >= 1.0) {
    std::gamma_distribution<double> gamma(a, 1.0);
    for (double& l : logs) l = std::log(gamma(rng));
  } else {
    // Gamma(a) = Gamma(a + 1) * U^(1/a), taken as a logarithm.
    std::gamma_distribution<double> gamma(a + 1.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (double& l : logs) {
      const double u = 1.0 - unit(rng);  // in (0, 1]
      l = std::log(gamma(rng)) + std::log(u) / a;
    }
  }
  const double top = *std::max_element(logs.begin(), logs.end());
  double sum = 0.0;
  for (double& l : logs) {
    l = std::exp(l - top);
    sum += l;
  }
  for (unsigned j = 0; j < n; ++j) shares[j] = static_cast<float>(logs[j] / sum);
  return shares;
}

void add_root_noise(Node& root, const SearchParams& params, Rng& rng) {
  const std::vector<float> eta =
      dirichlet_sample(static_cast<unsigned>(root.children.size()), params.dirichlet_alpha, rng);
  for (std::size_t j = 0; j < root.children.size(); ++j) {
    Node& child = root.children[j];
    child.prior = params.exploration_fraction * eta[j] + params.kept_fraction * child.prior;
  }
}

}  // namespace tilora::self_play
