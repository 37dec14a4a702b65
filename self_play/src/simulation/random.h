#pragma once
// The random source of the search: one generator per thread, seeded from the
// operating system's entropy source on first use.
#include <bit>
#include <cstdint>
#include <random>

namespace tilora::self_play {

using Rng = std::mt19937;  // yields 32-bit words

// The calling thread's generator.
Rng& thread_rng();

// A generator whose draws are fixed by `seed`: the same seed gives the same
// game for the same settings and replies.
Rng seeded_rng(std::uint64_t seed);

// A uniform float in [0, 1) from one 32-bit word: its top 23 bits become the
// mantissa of a float in [1, 2), then 1 is subtracted (resolution 2^-23).
inline float unit_float_from_word(std::uint32_t word) {
  constexpr std::uint32_t kOneBits = 0x3F800000u;  // 1.0f
  return std::bit_cast<float>((word >> 9) | kOneBits) - 1.0f;
}

}  // namespace tilora::self_play
