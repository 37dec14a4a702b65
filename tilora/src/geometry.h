#pragma once
// Board geometry shared by every part of the engine: cells are numbered
// row-major on a 20 x 20 board, cell = row * 20 + column.
#include <array>
#include <cstdint>

namespace tilora {

inline constexpr unsigned kBoardSide = 20;
inline constexpr unsigned kBoardCells = kBoardSide * kBoardSide;
inline constexpr unsigned kPlayers = 4;
inline constexpr unsigned kPieceKinds = 21;
inline constexpr unsigned kCellsPerPlayer = 89;  // cells of the whole catalogue
inline constexpr unsigned kMaxMoves = kPlayers * kCellsPerPlayer;

// The cell each player's first piece must cover, in player order.
inline constexpr std::array<unsigned, kPlayers> kStartCorners = {0, 19, 399, 380};

// Column of a cell.
constexpr unsigned column_of(unsigned cell) { return cell % kBoardSide; }

}  // namespace tilora
