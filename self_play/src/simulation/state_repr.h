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

#include "game.h"

namespace tilora::self_play {

inline constexpr unsigned kPlanes = 5;
inline constexpr unsigned kLegalPlane = 4;
using StateRepr = std::array<float, kPlanes * kBoardCells>;

// Encodes a game that has a player to move; stops with "No current player"
// (InternalStop) otherwise.
StateRepr get_representation(const game::Game& game);

}  // namespace tilora::self_play
