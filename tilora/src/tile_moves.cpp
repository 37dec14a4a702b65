#include "tile_moves.h"

#include <cstdlib>

#include "corner_patterns.h"
#include "pattern_walk.h"

namespace tilora::game {

using detail::RemainingKinds;
using detail::RowMasks;

namespace {

// Calls f(corner, blocked window) for each corner cell of the player that
// passes `wanted`, in ascending order; a corner's window blocks the corners
// before it, so each placement is met through its first corner only.
template <class Wanted, class F>
void for_each_corner(const board::Board& board, unsigned player, Wanted&& wanted, F&& f) {
  const RowMasks closed(board, board::side_contact_flag(player));
  RowMasks earlier_corners;
  board.corners[player].for_each([&](unsigned corner) {
    if (wanted(corner)) f(corner, detail::blocked_window(closed, earlier_corners, corner));
    earlier_corners.set(corner);
  });
}

constexpr auto kEveryCorner = [](unsigned) { return true; };

// Records the placement of `end` anchored on `corner`.
void record(PlacementList& list, const RemainingKinds& remaining, const AnchoredVariant& end,
            unsigned corner) {
  std::array<std::uint16_t, kMaxPieceCells> cells{};
  for (unsigned j = 0; j < end.size; ++j)
    cells[j] = static_cast<std::uint16_t>(static_cast<int>(corner) + end.cells[j]);
  list.push_back({remaining.index_of_kind[end.kind], end.variant, corner - end.offset},
                 std::span(cells.data(), end.size));
}

}  // namespace

TileMoves get_tile_moves(const board::Board& board, unsigned player) {
  assert(player < kPlayers);
  TileMoves moves;
  const RemainingKinds remaining(board.pieces[player]);
  if (remaining.kinds == 0) return moves;
  const CornerPatterns& patterns = corner_patterns();
  for_each_corner(board, player, kEveryCorner, [&](unsigned corner, const WindowSet& blocked) {
    auto on_end = [&](const AnchoredVariant& end) { record(moves.list_, remaining, end, corner); };
    detail::walk_placements(patterns, patterns.nodes[0], blocked, remaining, on_end);
  });

  // Index the placements by cell, ids ascending within each cell.
  const PlacementList& list = moves.list_;
  for (unsigned id = 0; id < list.size(); ++id)
    for (std::uint16_t cell : list.covered_cells(id)) ++moves.bucket_size_[cell];
  std::uint32_t begin = 0;
  for (unsigned c = 0; c < kBoardCells; ++c) {
    moves.bucket_begin_[c] = begin;
    begin += moves.bucket_size_[c];
    if (moves.bucket_size_[c] != 0) moves.cells_.insert(c);
  }
  moves.bucket_ids_.resize(begin);
  std::array<std::uint32_t, kBoardCells> next = moves.bucket_begin_;
  for (std::uint32_t id = 0; id < list.size(); ++id)
    for (std::uint16_t cell : list.covered_cells(id)) moves.bucket_ids_[next[cell]++] = id;
  return moves;
}

CellSet first_cells(const board::Board& board, unsigned player) {
  assert(player < kPlayers);
  CellSet cells;
  const RemainingKinds remaining(board.pieces[player]);
  if (remaining.kinds == 0) return cells;
  const CornerPatterns& patterns = corner_patterns();
  for_each_corner(board, player, kEveryCorner, [&](unsigned corner, const WindowSet& blocked) {
    WindowSet covered;
    detail::walk_cells(patterns, patterns.nodes[0], blocked, remaining, WindowSet{}, covered);
    covered.for_each([&](unsigned bit) {
      cells.insert(detail::window_to_cell(corner, static_cast<int>(bit / kWindowSide),
                                          static_cast<int>(bit % kWindowSide)));
    });
  });
  return cells;
}

PlacementList placements_through(const board::Board& board, unsigned player, unsigned cell) {
  assert(player < kPlayers && cell < kBoardCells);
  PlacementList list;
  const RemainingKinds remaining(board.pieces[player]);
  if (remaining.kinds == 0) return list;
  const CornerPatterns& patterns = corner_patterns();
  const int row = static_cast<int>(cell / kBoardSide);
  const int col = static_cast<int>(cell % kBoardSide);
  // Only corners within a piece's reach of the cell can share a placement.
  auto near = [&](unsigned corner) {
    const int dr = row - static_cast<int>(corner / kBoardSide);
    const int dc = col - static_cast<int>(corner % kBoardSide);
    return std::abs(dr) <= kWindowReach && std::abs(dc) <= kWindowReach;
  };
  for_each_corner(board, player, near, [&](unsigned corner, const WindowSet& blocked) {
    const int dr = row - static_cast<int>(corner / kBoardSide);
    const int dc = col - static_cast<int>(corner % kBoardSide);
    auto on_end = [&](const AnchoredVariant& end) { record(list, remaining, end, corner); };
    detail::walk_placements_through(patterns, patterns.nodes[0], blocked, remaining,
                                    window_bit(dr, dc), false, on_end);
  });
  return list;
}

}  // namespace tilora::game
