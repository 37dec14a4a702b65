#pragma once
// Move generation: every legal placement of one player's remaining pieces,
// indexed by the cells it covers.
//
// A placement is legal when it lies wholly on the board, none of its cells is
// occupied or shares an edge with the player's own tiles, and one of its cells
// is in the player's corner set (before the first piece: the start corner).
// Cells of other players may touch it along edges.
#include <array>
#include <cassert>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "board.h"
#include "cell_set.h"
#include "placement_list.h"

namespace tilora::game {

// Placements covering one cell: at most one per (orientation, filled cell)
// pair of the catalogue, 414 in all.
inline constexpr unsigned kMaxPlacementsPerCell = 414;

// The tile-move map of a turn: every legal placement, and for each cell the
// placements that cover it. Its keys (`cells`) are the legal moves.
class TileMoves {
 public:
  // Placements in generation order; an id is an index into this list.
  const std::vector<Placement>& placements() const { return list_.placements(); }
  const PlacementList& list() const { return list_; }
  std::span<const std::uint16_t> covered_cells(unsigned id) const { return list_.covered_cells(id); }
  // Ids of the placements covering a cell, ascending.
  std::span<const std::uint32_t> covering(unsigned cell) const {
    assert(cell < kBoardCells);
    return {bucket_ids_.data() + bucket_begin_[cell], bucket_size_[cell]};
  }
  // The cells covered by at least one placement: the map's keys.
  const CellSet& cells() const { return cells_; }
  bool empty() const { return list_.empty(); }

 private:
  friend TileMoves get_tile_moves(const board::Board& board, unsigned player);
  PlacementList list_;
  std::array<std::uint32_t, kBoardCells> bucket_begin_{};
  std::array<std::uint16_t, kBoardCells> bucket_size_{};
  std::vector<std::uint32_t> bucket_ids_;
  CellSet cells_;
};

// Lists every legal placement of `player` (below 4) on `board`. A player with
// no pieces or no corner cells gets an empty map.
TileMoves get_tile_moves(const board::Board& board, unsigned player);

// The keys of get_tile_moves(board, player), without listing placements: the
// cells the player may lay first in a new turn.
CellSet first_cells(const board::Board& board, unsigned player);

// The legal placements of `player` that cover `cell`, each once.
PlacementList placements_through(const board::Board& board, unsigned player, unsigned cell);

}  // namespace tilora::game
