#pragma once
// Move generation: every legal placement of one player's remaining pieces,
// indexed by the cells it covers.
//
// A placement is legal when it lies wholly on the board, none of its cells is
// occupied or shares an edge with the player's own tiles, and one of its cells
// is in the player's corner set (before the first piece: the start corner).
#include <array>
#include <cassert>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "board.h"
#include "cell_set.h"

namespace tilora::game {

struct Placement {
  unsigned piece_index = 0;    // into the player's remaining pieces, this turn
  unsigned variant_index = 0;  // into that piece's orientations
  unsigned position = 0;       // board cell of the bounding box's top-left

  bool operator==(const Placement&) const = default;
  auto operator<=>(const Placement&) const = default;
};

// Placements covering one cell: at most one per (orientation, filled cell)
// pair of the catalogue, 414 in all.
inline constexpr unsigned kMaxPlacementsPerCell = 414;
inline constexpr unsigned kMaxPieceCells = 5;

// The tile-move map of one turn: the placements generated when the turn
// began, and for each cell the placements that cover it. Immutable once built,
// so game copies share it.
class TileMoves {
 public:
  // Placements in generation order; an id is an index into this list.
  const std::vector<Placement>& placements() const { return placements_; }
  // Cells covered by a placement, ascending.
  std::span<const std::uint16_t> covered_cells(unsigned id) const {
    assert(id < covered_.size());
    return {covered_[id].cells.data(), covered_[id].count};
  }
  // Ids of the placements covering a cell, ascending.
  std::span<const std::uint32_t> covering(unsigned cell) const {
    assert(cell < kBoardCells);
    return {bucket_ids_.data() + bucket_begin_[cell], bucket_size_[cell]};
  }
  // The cells covered by at least one placement: the map's keys.
  const CellSet& cells() const { return cells_; }
  bool empty() const { return placements_.empty(); }

 private:
  friend TileMoves get_tile_moves(const board::Board& board, unsigned player);
  struct Cells {
    std::array<std::uint16_t, kMaxPieceCells> cells{};
    std::uint8_t count = 0;
  };
  std::vector<Placement> placements_;
  std::vector<Cells> covered_;
  std::array<std::uint32_t, kBoardCells> bucket_begin_{};
  std::array<std::uint16_t, kBoardCells> bucket_size_{};
  std::vector<std::uint32_t> bucket_ids_;
  CellSet cells_;
};

// Lists every legal placement of `player` (below 4) on `board`. A player with
// no pieces or no corner cells gets an empty map.
TileMoves get_tile_moves(const board::Board& board, unsigned player);

}  // namespace tilora::game
