#pragma once
// Walking the corner-pattern tree over a board: the shared core of move
// generation. Internal to the engine.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "board.h"
#include "corner_patterns.h"

namespace tilora::game::detail {

// Board rows as bit masks (bit c + 4 for column c), with four blocked columns
// of margin on each side, so a window row is one shift.
class RowMasks {
 public:
  static constexpr std::uint16_t kFullRow = (1u << kWindowSide) - 1;

  RowMasks() = default;
  // The cells of the board that carry `flag`.
  RowMasks(const board::Board& board, board::CellCode flag) {
    const unsigned shift = static_cast<unsigned>(std::countr_zero(flag));
    for (unsigned r = 0; r < kBoardSide; ++r) {
      const board::CellCode* row = board.cells.data() + r * kBoardSide;
      const std::uint32_t bits = flag_bits(row, shift) | flag_bits(row + 8, shift) << 8 |
                                 (flag_bits(row + 12, shift) >> 4) << 16;
      rows_[r] = bits << kWindowReach;
    }
  }
  void set(unsigned cell) {
    rows_[cell / kBoardSide] |= std::uint32_t{1} << (cell % kBoardSide + kWindowReach);
  }
  // Row r's bits for columns col - 4 .. col + 4 (bit 0 = col - 4); cells off
  // the board read as set.
  std::uint16_t window_row(int r, unsigned col) const {
    if (r < 0 || r >= static_cast<int>(kBoardSide)) return kFullRow;
    return static_cast<std::uint16_t>(((rows_[r] | kOffBoard) >> col) & kFullRow);
  }

 private:
  // Bit i is bit `shift` of codes[i], for the eight codes from `codes`.
  static std::uint32_t flag_bits(const board::CellCode* codes, unsigned shift) {
    std::uint64_t bytes;
    std::memcpy(&bytes, codes, sizeof bytes);
    const std::uint64_t low_bits = (bytes >> shift) & 0x0101010101010101ull;
    // Moves byte i's low bit to bit 56 + i; no two partial products meet.
    return static_cast<std::uint32_t>((low_bits * 0x0102040810204080ull) >> 56);
  }

  static constexpr std::uint32_t kMargin = 0xFu;
  static constexpr std::uint32_t kOffBoard = kMargin | (kMargin << (kBoardSide + kWindowReach));
  std::array<std::uint32_t, kBoardSide> rows_{};
};

// The window cells that no placement through `corner` may use: off the
// board, not open to the player, or a corner cell met earlier in the
// ascending walk of the corner set (placements through it were found then).
inline WindowSet blocked_window(const RowMasks& closed, const RowMasks& earlier_corners,
                                unsigned corner) {
  WindowSet w;
  const int row = static_cast<int>(corner / kBoardSide);
  const unsigned col = corner % kBoardSide;
  for (int i = 0; i < kWindowSide; ++i) {
    const int r = row + i - kWindowReach;
    w.insert_row(static_cast<unsigned>(i), closed.window_row(r, col) | earlier_corners.window_row(r, col));
  }
  return w;
}

// The player's remaining pieces as a set of kinds, and each kind's index in
// the player's list.
struct RemainingKinds {
  std::uint32_t kinds = 0;
  std::array<std::uint8_t, kPieceKinds> index_of_kind{};

  explicit RemainingKinds(const board::PieceList& pieces) {
    for (unsigned i = 0; i < pieces.size(); ++i) {
      kinds |= 1u << pieces.kind_at(i);
      index_of_kind[pieces.kind_at(i)] = static_cast<std::uint8_t>(i);
    }
  }
  bool has(unsigned kind) const { return kinds >> kind & 1u; }
};

// Calls on_end(end) for every orientation of a remaining kind whose cells,
// the path from the root to `node`, are all unblocked.
template <class OnEnd>
void walk_placements(const CornerPatterns& patterns, const PatternNode& node,
                     const WindowSet& blocked, const RemainingKinds& remaining, OnEnd& on_end) {
  if (node.end_kinds & remaining.kinds)
    for (unsigned e = node.ends_begin; e < node.ends_end; ++e)
      if (remaining.has(patterns.ends[e].kind)) on_end(patterns.ends[e]);
  const PatternNode* child = &patterns.nodes[node.first_child];
  for (unsigned n = 0; n < node.child_count; ++n, ++child)
    if ((child->kinds & remaining.kinds) && !blocked.contains(child->cell))
      walk_placements(patterns, *child, blocked, remaining, on_end);
}

// As walk_placements, restricted to the orientations that cover window cell
// `target`; `on_path` tells whether the path to `node` covers it already.
template <class OnEnd>
void walk_placements_through(const CornerPatterns& patterns, const PatternNode& node,
                             const WindowSet& blocked, const RemainingKinds& remaining,
                             unsigned target, bool on_path, OnEnd& on_end) {
  on_path = on_path || node.cell == target;
  if (on_path && (node.end_kinds & remaining.kinds))
    for (unsigned e = node.ends_begin; e < node.ends_end; ++e)
      if (remaining.has(patterns.ends[e].kind)) on_end(patterns.ends[e]);
  const PatternNode* child = &patterns.nodes[node.first_child];
  for (unsigned n = 0; n < node.child_count; ++n, ++child)
    if ((child->kinds & remaining.kinds) && !blocked.contains(child->cell) &&
        (on_path || child->reach.contains(target)))
      walk_placements_through(patterns, *child, blocked, remaining, target, on_path, on_end);
}

// Adds to `covered` the cells of every placement that walk_placements would
// report (the path to each node where a remaining kind ends), skipping the
// subtrees that can add no new cell.
inline void walk_cells(const CornerPatterns& patterns, const PatternNode& node,
                       const WindowSet& blocked, const RemainingKinds& remaining, WindowSet path,
                       WindowSet& covered) {
  path.insert(node.cell);
  if (node.end_kinds & remaining.kinds) covered.insert_all(path);
  const PatternNode* child = &patterns.nodes[node.first_child];
  for (unsigned n = 0; n < node.child_count; ++n, ++child)
    if ((child->kinds & remaining.kinds) && !blocked.contains(child->cell) &&
        !child->reach.subset_of(covered))
      walk_cells(patterns, *child, blocked, remaining, path, covered);
}

// The board cell of window cell (row i, column bit j) around `anchor`.
constexpr unsigned window_to_cell(unsigned anchor, int i, int j) {
  return static_cast<unsigned>(static_cast<int>(anchor) + (i - kWindowReach) * static_cast<int>(kBoardSide) +
                               (j - kWindowReach));
}

}  // namespace tilora::game::detail
