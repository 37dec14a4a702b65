#pragma once
// A slow, obviously correct restatement of the rules, written from the board's
// owners alone, for checking the engine: the catalogue as pictures, the eight
// turns and mirrors of a picture, the cells open to a player, its corner
// cells, and every legal placement found by trying every orientation of every
// remaining piece at every position of the board.
#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tilora::reference {

inline constexpr int kSide = 20;
inline constexpr int kCells = kSide * kSide;
inline constexpr int kNoOwner = -1;
inline constexpr std::array<unsigned, 4> kCorners = {0, 19, 399, 380};

// A piece picture: rows top to bottom, 'X' a cell, '.' empty.
using Picture = std::vector<std::string>;

// The catalogue, kind 0 to 20, rows separated by '/'.
inline constexpr std::array<std::string_view, 21> kCatalogue = {
    "X",         "XX",          "XX/.X",       "XXX",        "XXXX",
    "XX/X./X.",  "XXX/.X.",     "XX/XX",       "XX./.XX",    "XXXXX",
    "XXXX/X...", "XXX./..XX",   "XXX/XX.",     "XXX/X../X..", "XX./.XX/..X",
    "XX./.X./.XX", "XXX/X.X",   "XXXX/.X..",   ".X./XXX/.X.", ".X./XXX/X..",
    "XXX/.X./.X.",
};

inline Picture picture_of(unsigned kind) {
  Picture rows(1);
  for (char ch : kCatalogue.at(kind)) {
    if (ch == '/')
      rows.emplace_back();
    else
      rows.back().push_back(ch);
  }
  return rows;
}

inline unsigned cells_of(const Picture& p) {
  unsigned n = 0;
  for (const auto& row : p) n += static_cast<unsigned>(std::count(row.begin(), row.end(), 'X'));
  return n;
}

// The picture turned a quarter clockwise: the left column, read bottom to
// top, becomes the top row.
inline Picture turned_clockwise(const Picture& p) {
  const std::size_t rows = p.size(), cols = p[0].size();
  Picture out(cols, std::string(rows, '.'));
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c) out[c][rows - 1 - r] = p[r][c];
  return out;
}

inline Picture mirrored(const Picture& p) {
  Picture out = p;
  for (auto& row : out) std::reverse(row.begin(), row.end());
  return out;
}

// Candidate `step` (1 to 8) of a kind: the stored picture turned clockwise
// step - 1 times (steps 1 to 4), or its mirror turned step - 5 times.
inline Picture candidate(unsigned kind, unsigned step) {
  Picture p = picture_of(kind);
  if (step >= 5) p = mirrored(p);
  for (unsigned i = 0; i < (step - 1) % 4; ++i) p = turned_clockwise(p);
  return p;
}

// The distinct orientations of a kind, in no particular order.
inline std::vector<Picture> orientations(unsigned kind) {
  std::set<Picture> seen;
  for (unsigned step = 1; step <= 8; ++step) seen.insert(candidate(kind, step));
  return {seen.begin(), seen.end()};
}

// An orientation as the board sees it: its bounding box and the offsets
// row * 20 + column of its cells inside the box.
struct Orientation {
  int rows = 0, cols = 0;
  std::vector<unsigned> offsets;
};

// The distinct orientations of every kind, computed once.
inline const std::vector<std::vector<Orientation>>& all_orientations() {
  static const std::vector<std::vector<Orientation>> table = [] {
    std::vector<std::vector<Orientation>> t(kCatalogue.size());
    for (unsigned kind = 0; kind < kCatalogue.size(); ++kind)
      for (const Picture& p : orientations(kind)) {
        Orientation o{static_cast<int>(p.size()), static_cast<int>(p[0].size()), {}};
        for (int r = 0; r < o.rows; ++r)
          for (int c = 0; c < o.cols; ++c)
            if (p[r][c] == 'X') o.offsets.push_back(static_cast<unsigned>(r * kSide + c));
        t[kind].push_back(std::move(o));
      }
    return t;
  }();
  return table;
}

// The cells of one placement, ascending; at most five.
class FootprintCells {
 public:
  void push_back(unsigned cell) { cells_.at(count_++) = cell; }
  const unsigned* begin() const { return cells_.data(); }
  const unsigned* end() const { return cells_.data() + count_; }
  unsigned size() const { return count_; }
  bool contains(unsigned cell) const { return std::find(begin(), end(), cell) != end(); }
  std::vector<unsigned> to_vector() const { return {begin(), end()}; }
  auto operator<=>(const FootprintCells&) const = default;

 private:
  unsigned count_ = 0;
  std::array<unsigned, 5> cells_{};
};

// A placement seen from outside: which piece, and which cells.
struct Footprint {
  unsigned kind = 0;
  FootprintCells cells;
  auto operator<=>(const Footprint&) const = default;
};

// The board as the rules see it: who covers each cell.
using Owners = std::array<int, kCells>;

inline Owners empty_owners() {
  Owners o;
  o.fill(kNoOwner);
  return o;
}

inline int row_of(unsigned cell) { return static_cast<int>(cell) / kSide; }
inline int col_of(unsigned cell) { return static_cast<int>(cell) % kSide; }

// Calls f(n) for every cell n that shares an edge with `cell` (diagonal =
// false), or only a corner (diagonal = true), without leaving the board.
template <class F>
void for_each_neighbour(unsigned cell, bool diagonal, F&& f) {
  static constexpr int kEdge[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
  static constexpr int kDiagonal[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
  for (const auto& d : diagonal ? kDiagonal : kEdge) {
    const int r = row_of(cell) + d[0], c = col_of(cell) + d[1];
    if (r >= 0 && r < kSide && c >= 0 && c < kSide) f(static_cast<unsigned>(r * kSide + c));
  }
}

// Whether `player` may cover each cell: it is empty and none of its edge
// neighbours is the player's.
using CellFlags = std::array<bool, kCells>;

inline CellFlags open_cells(const Owners& owners, unsigned player) {
  CellFlags open{};
  for (unsigned cell = 0; cell < kCells; ++cell) open[cell] = owners[cell] == kNoOwner;
  for (unsigned cell = 0; cell < kCells; ++cell)
    if (owners[cell] == static_cast<int>(player)) for_each_neighbour(cell, false, [&](unsigned n) { open[n] = false; });
  return open;
}

// The codes the engine keeps for the cells: 0xF0 + owner + 1 on a covered
// cell, otherwise one flag 0x10 << p for every player p with a tile along an
// edge.
inline std::array<std::uint8_t, kCells> cell_codes(const Owners& owners) {
  std::array<std::uint8_t, kCells> codes{};
  for (unsigned cell = 0; cell < kCells; ++cell) {
    if (owners[cell] == kNoOwner) continue;
    for_each_neighbour(cell, false, [&](unsigned n) { codes[n] |= static_cast<std::uint8_t>(0x10u << owners[cell]); });
  }
  for (unsigned cell = 0; cell < kCells; ++cell)
    if (owners[cell] != kNoOwner) codes[cell] = static_cast<std::uint8_t>(0xF0 + owners[cell] + 1);
  return codes;
}

// Open cells diagonal to one of the player's tiles, and the start corner
// while it is open; ascending.
inline std::vector<unsigned> corner_cells(const Owners& owners, unsigned player) {
  const CellFlags open = open_cells(owners, player);
  CellFlags corner{};
  corner[kCorners[player]] = open[kCorners[player]];
  for (unsigned cell = 0; cell < kCells; ++cell) {
    if (owners[cell] != static_cast<int>(player)) continue;
    for_each_neighbour(cell, true, [&](unsigned n) { corner[n] = corner[n] || open[n]; });
  }
  std::vector<unsigned> out;
  for (unsigned cell = 0; cell < kCells; ++cell)
    if (corner[cell]) out.push_back(cell);
  return out;
}

// Every legal placement of the given kinds: each orientation at each
// position that keeps its bounding box on the board, with all cells open to
// the player and one of them a corner cell. Sorted.
//
// The positions of one orientation along a row are tried together: with a
// bit per column, bit `left` of (row bits >> c) is the cell in column
// left + c, so OR-ing those over the orientation's cells (r, c) gives, for
// every left column at once, whether some cell is closed or a corner.
inline std::vector<Footprint> legal_placements(const Owners& owners, unsigned player,
                                               const std::vector<unsigned>& kinds) {
  std::array<std::uint32_t, kSide> closed_rows{}, corner_rows{};
  const CellFlags open = open_cells(owners, player);
  for (unsigned c = 0; c < kCells; ++c)
    if (!open[c]) closed_rows[row_of(c)] |= 1u << col_of(c);
  for (unsigned c : corner_cells(owners, player)) corner_rows[row_of(c)] |= 1u << col_of(c);

  std::vector<Footprint> out;
  for (unsigned kind : kinds)
    for (const Orientation& o : all_orientations().at(kind)) {
      const std::uint32_t lefts_on_board = (1u << (kSide - o.cols + 1)) - 1;
      for (int top = 0; top + o.rows <= kSide; ++top) {
        std::uint32_t closed = 0, corner = 0;
        for (unsigned k : o.offsets) {
          const int r = top + static_cast<int>(k) / kSide, c = static_cast<int>(k) % kSide;
          closed |= closed_rows[r] >> c;
          corner |= corner_rows[r] >> c;
        }
        const std::uint32_t fits = ~closed & corner & lefts_on_board;
        for (int left = 0; left < kSide; ++left) {
          if (!((fits >> left) & 1u)) continue;
          Footprint f{kind, {}};
          for (unsigned k : o.offsets) f.cells.push_back(static_cast<unsigned>(top * kSide + left) + k);
          out.push_back(std::move(f));
        }
      }
    }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace tilora::reference
