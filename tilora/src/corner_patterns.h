#pragma once
// Every way a catalogue orientation can cover a given cell, arranged as a
// prefix tree over the cells around that cell, so that move generation can
// discard every placement through a blocked cell with one test.
//
// Cells are named by their place in a 9 x 9 window centred on the covered
// (anchor) cell: bit (dr + 4) * 9 + (dc + 4) for row offset dr and column
// offset dc, both in -4..4 (a piece spans at most five rows or columns).
#include <array>
#include <cstdint>
#include <vector>

#include "geometry.h"

namespace tilora::game {

inline constexpr int kWindowSide = 9;
inline constexpr int kWindowReach = 4;
inline constexpr unsigned kWindowCells = kWindowSide * kWindowSide;

// The window cell of a row and column offset from the anchor.
constexpr unsigned window_bit(int dr, int dc) {
  return static_cast<unsigned>((dr + kWindowReach) * kWindowSide + dc + kWindowReach);
}

// One orientation laid so that its filled cell `offset` lies on the anchor.
struct AnchoredVariant {
  std::uint8_t kind;
  std::uint8_t variant;
  std::uint8_t offset;  // the orientation's offset that lands on the anchor
  std::uint8_t size;    // cells of the orientation
  // Covered cells relative to the anchor cell (row-major board offsets),
  // ascending.
  std::array<std::int8_t, 5> cells;
};

struct PatternNode {
  std::uint8_t row;            // window row (dr + 4) of the cell this node adds
  std::uint16_t column_bit;    // 1 << (dc + 4) of that cell
  std::uint32_t kinds;         // bit k: a kind-k orientation ends in this subtree
  std::uint16_t first_child;   // children are contiguous
  std::uint16_t child_count;
  std::uint16_t ends_begin;    // orientations whose cells are exactly the path
  std::uint16_t ends_end;
};

struct CornerPatterns {
  std::vector<PatternNode> nodes;     // nodes[0] is the root (the anchor)
  std::vector<AnchoredVariant> ends;  // indexed by the nodes' ends ranges
};

// Built once from the catalogue.
const CornerPatterns& corner_patterns();

}  // namespace tilora::game
