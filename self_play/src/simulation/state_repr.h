#pragma once
// The network's view of a position: five 20 x 20 planes of 0.0 / 1.0, seen
// from the player to move c.
//   plane 0  tiles of player (c + 3) mod 4, who moved just before c
//   plane 1  tiles of c
//   plane 2  tiles of player (c + 1) mod 4
//   plane 3  tiles of player (c + 2) mod 4
//   plane 4  the cells c may lay next
// A tile of owner o lies on plane (o + 1 - c) mod 4. Element (plane p, cell k)
// is at flat index p * 400 + k.
#include <array>
#include <cstdint>

#include "game.h"

namespace tilora::self_play {

inline constexpr unsigned kPlanes = 5;
inline constexpr unsigned kLegalPlane = 4;
using StateRepr = std::array<float, kPlanes * kBoardCells>;

// Encodes a game that has a player to move; stops with "No current player"
// (InternalStop) otherwise.
StateRepr get_representation(const game::Game& game);

// The planes packed eight entries to a byte, in flat index order, the first
// entry of a byte in its most significant bit (numpy.packbits' order).
inline constexpr unsigned kPackedPlaneBytes = kPlanes * kBoardCells / 8;
static_assert(kPlanes * kBoardCells % 8 == 0);
using PackedPlanes = std::array<std::uint8_t, kPackedPlaneBytes>;

// Sets the bit of flat entry `index`.
inline void set_packed_entry(PackedPlanes& packed, unsigned index) {
  packed[index / 8] |= static_cast<std::uint8_t>(0x80u >> (index % 8));
}

// Any non-zero entry counts as set.
PackedPlanes pack_planes(const StateRepr& planes);

}  // namespace tilora::self_play
