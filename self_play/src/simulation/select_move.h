#pragma once
// The real move chosen from a search's visit counts: sampled in proportion to
// the counts during the opening, the most visited afterwards.
#include <cstdint>
#include <span>

#include "simulation/random.h"

namespace tilora::self_play {

struct VisitEntry {
  std::uint16_t cell = 0;
  std::uint32_t visit_count = 0;
};

// Samples while policies_len (the number of policies entries, this move's
// included) is below sample_moves, so the first sample_moves - 1 moves of a
// game are sampled; greedy afterwards. `visits` is not empty.
unsigned select_move(std::span<const VisitEntry> visits, std::uint32_t policies_len,
                     std::uint32_t sample_moves, Rng& rng);

// The first entry whose running sum of count / total (32-bit floats) is
// strictly greater than r; the last entry when none is (rounding, or a zero
// total).
unsigned sample_move(std::span<const VisitEntry> visits, float r);

// The entry with the most visits; the last one wins ties.
unsigned greedy_move(std::span<const VisitEntry> visits);

}  // namespace tilora::self_play
