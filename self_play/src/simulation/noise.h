#pragma once
// Dirichlet noise on the root priors, so that self-play explores moves the
// network does not yet favour.
#include <vector>

#include "simulation/config.h"
#include "simulation/node.h"
#include "simulation/random.h"

namespace tilora::self_play {

// One sample of the symmetric Dirichlet distribution with n components and
// concentration alpha > 0: n Gamma(alpha, 1) variates divided by their sum.
// Drawn in double precision, in log space for alpha below 1 (where the
// variates underflow), and narrowed at the end, so the result is a valid
// probability vector for every positive alpha. An infinite alpha gives the
// limit, equal shares.
std::vector<float> dirichlet_sample(unsigned n, float alpha, Rng& rng);

// Mixes noise into the priors of a root with at least two children: the j-th
// child in iteration order gets
//   prior = exploration_fraction * eta[j] + (1 - exploration_fraction) * prior.
void add_root_noise(Node& root, const SearchParams& params, Rng& rng);

}  // namespace tilora::self_play
