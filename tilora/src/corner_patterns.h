#pragma once
// Every way a catalogue orientation can cover a given cell, arranged as a
// prefix tree over the cells around that cell, so that move generation can
// discard every placement through a blocked cell with one test.
//
// Cells are named by their place in a 9 x 9 window centred on the covered
// (anchor) cell: bit (dr + 4) * 9 + (dc + 4) for row offset dr and column
// offset dc, both in -4..4 (a piece spans at most five rows or columns).
#include <array>
#include <bit>
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

// A set of window cells (81 bits).
class WindowSet {
 public:
  bool contains(unsigned bit) const { return (words_[bit / 64] >> (bit % 64)) & 1u; }
  void insert(unsigned bit) { words_[bit / 64] |= std::uint64_t{1} << (bit % 64); }
  void insert_all(const WindowSet& other) {
    words_[0] |= other.words_[0];
    words_[1] |= other.words_[1];
  }
  // Whether every cell of this set is in `other`.
  bool subset_of(const WindowSet& other) const {
    return (words_[0] & ~other.words_[0]) == 0 && (words_[1] & ~other.words_[1]) == 0;
  }
  // Adds the cells of window row `row` whose column bits are set in `bits`.
  void insert_row(unsigned row, std::uint64_t bits) {
    const unsigned at = row * kWindowSide;
    words_[at / 64] |= bits << (at % 64);
    if (at % 64 + kWindowSide > 64) words_[at / 64 + 1] |= bits >> (64 - at % 64);
  }
  // Calls f(bit) for every cell of the set, ascending.
  template <class F>
  void for_each(F&& f) const {
    for (unsigned w = 0; w < 2; ++w)
      for (std::uint64_t bits = words_[w]; bits; bits &= bits - 1)
        f(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
  }

 private:
  std::array<std::uint64_t, 2> words_{};
};

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
  std::uint8_t cell;           // window cell this node adds (the anchor at the root)
  std::uint32_t kinds;         // bit k: a kind-k orientation ends in this subtree
  std::uint32_t end_kinds;     // bit k: a kind-k orientation ends at this node
  std::uint16_t first_child;   // children are contiguous
  std::uint16_t child_count;
  std::uint16_t ends_begin;    // orientations whose cells are exactly the path
  std::uint16_t ends_end;
  WindowSet reach;             // every cell of every path through this node
};

struct CornerPatterns {
  std::vector<PatternNode> nodes;     // nodes[0] is the root (the anchor)
  std::vector<AnchoredVariant> ends;  // indexed by the nodes' ends ranges
};

// Built once from the catalogue.
const CornerPatterns& corner_patterns();

}  // namespace tilora::game
