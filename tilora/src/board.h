#pragma once
// The physical position: who covers each cell, which cells each player may no
// longer use, each player's corner cells and each player's remaining pieces.
//
// Cell code, one byte per cell:
//   bits 0..3  0 = empty, 1..4 = covered by player (value - 1)
//   bit 4 + p  side-contact flag of player p: the cell is covered, or shares
//              an edge with one of p's tiles. Flags are never cleared.
// A cell is open to player p exactly when (code & side_contact_flag(p)) == 0.
#include <array>
#include <cassert>
#include <cstdint>

#include "cell_set.h"
#include "geometry.h"
#include "pieces.h"

namespace tilora::board {

using CellCode = std::uint8_t;
inline constexpr CellCode kOwnerMask = 0x0F;
inline constexpr CellCode kAllSideFlags = 0xF0;

// The side-contact flag of a player.
constexpr CellCode side_contact_flag(unsigned player) {
  return static_cast<CellCode>(0x10u << player);
}

// A player's remaining pieces, in catalogue order, as references into the
// shared catalogue. Removing a piece moves the later ones down one place.
class PieceList {
 public:
  PieceList();  // the full catalogue, kinds 0..20

  unsigned size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const pieces::Piece& operator[](unsigned index) const;
  unsigned kind_at(unsigned index) const {
    assert(index < size_);
    return kinds_[index];
  }
  void remove(unsigned index);

  bool operator==(const PieceList&) const = default;

 private:
  std::array<std::uint8_t, kPieceKinds> kinds_{};
  std::uint8_t size_ = 0;
};

using Scores = std::array<std::int32_t, kPlayers>;
using PieceSizes = std::array<unsigned, kPlayers>;

struct Board {
  std::array<PieceList, kPlayers> pieces;  // remaining pieces per player
  std::array<CellSet, kPlayers> corners;   // cells a new piece may start from
  std::array<CellCode, kBoardCells> cells{};

  // The starting position: full piece lists, corner sets {0}, {19}, {399},
  // {380}, all cells 0.
  Board();

  // Covers `cell` for `player` and keeps flags and corner sets up to date.
  // The cell must not be covered yet.
  void place_tile(unsigned cell, unsigned player);

  // Covered cells minus 89 per player; a player with no pieces left scores
  // 15, or 20 when its last piece was the single cell.
  Scores get_scores(const PieceSizes& last_piece_sizes) const;

  // The owner of a cell, or -1 when it is empty.
  int owner(unsigned cell) const {
    assert(cell < kBoardCells);
    return static_cast<int>(cells[cell] & kOwnerMask) - 1;
  }
  // Whether `player` may cover `cell`.
  bool open_to(unsigned cell, unsigned player) const {
    assert(cell < kBoardCells && player < kPlayers);
    return (cells[cell] & side_contact_flag(player)) == 0;
  }

  bool operator==(const Board&) const = default;
};

}  // namespace tilora::board
