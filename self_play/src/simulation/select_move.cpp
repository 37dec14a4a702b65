#include "simulation/select_move.h"

#include <cassert>

namespace tilora::self_play {

unsigned select_move(std::span<const VisitEntry> visits, std::uint32_t policies_len,
                     std::uint32_t sample_moves, Rng& rng) {
  if (policies_len < sample_moves) return sample_move(visits, unit_float_from_word(rng()));
  return greedy_move(visits);
}

unsigned sample_move(std::span<const VisitEntry> visits, float r) {
  assert(!visits.empty());
  std::uint32_t total_count = 0;
  for (const VisitEntry& v : visits) total_count += v.visit_count;
  const float total = static_cast<float>(total_count);
  float running = 0.0f;
  for (const VisitEntry& v : visits) {
    running += static_cast<float>(v.visit_count) / total;
    if (running > r) return v.cell;
  }
  return visits.back().cell;
}

unsigned greedy_move(std::span<const VisitEntry> visits) {
  assert(!visits.empty());
  const VisitEntry* best = &visits.front();
  for (const VisitEntry& v : visits)
    if (v.visit_count >= best->visit_count) best = &v;
  return best->cell;
}

}  // namespace tilora::self_play
