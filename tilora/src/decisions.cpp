#include "decisions.h"

#include <algorithm>

#include "tile_moves.h"

namespace tilora::game {
namespace {

// A placement's cells as a 64-bit summary: bit (cell mod 64) per cell. A
// placement contains another only if its summary has all the other's bits,
// which rejects almost every candidate with one operation.
std::uint64_t summary(std::span<const std::uint16_t> cells) {
  std::uint64_t bits = 0;
  for (std::uint16_t x : cells) bits |= std::uint64_t{1} << (x % 64);
  return bits;
}

// Whether every cell of `inner` is a cell of `outer` (both ascending).
bool contains(std::span<const std::uint16_t> outer, std::span<const std::uint16_t> inner) {
  return std::includes(outer.begin(), outer.end(), inner.begin(), inner.end());
}

}  // namespace

namespace {

// maximal_placements with `covering(cell)`, the ids of the list's placements
// covering a cell: a placement that contains P covers each of P's cells, so
// the candidates are those covering the cell of P that the fewest cover.
template <class Covering>
void keep_maximal(const PlacementList& list, const board::Board& board, Covering covering,
                  std::vector<Decision>& out) {
  out.clear();
  const unsigned n = list.size();
  std::vector<std::uint64_t> summaries(n);
  for (unsigned id = 0; id < n; ++id) summaries[id] = summary(list.covered_cells(id));
  for (unsigned id = 0; id < n; ++id) {
    const auto cells = list.covered_cells(id);
    bool contained = false;
    // No piece has more than kMaxPieceCells cells, so the largest placements
    // are never contained.
    if (cells.size() < kMaxPieceCells) {
      auto candidates = covering(cells.front());
      for (std::uint16_t x : cells.subspan(1))
        if (const auto c = covering(x); c.size() < candidates.size()) candidates = c;
      for (const std::uint32_t other : candidates) {
        const auto other_cells = list.covered_cells(other);
        if (other_cells.size() > cells.size() && (summaries[id] & ~summaries[other]) == 0 &&
            contains(other_cells, cells)) {
          contained = true;
          break;
        }
      }
    }
    if (contained) continue;
    Decision& decision = out.emplace_back();
    for (std::uint16_t x : cells)
      if ((board.cells[x] & board::kOwnerMask) == 0) decision.cells[decision.size++] = x;
  }
}

}  // namespace

void maximal_placements(const PlacementList& list, const board::Board& board,
                        std::vector<Decision>& out) {
  // For each cell, the placements covering it (a counting sort by cell).
  const unsigned n = list.size();
  std::array<std::uint32_t, kBoardCells + 1> begin{};
  for (unsigned id = 0; id < n; ++id)
    for (std::uint16_t x : list.covered_cells(id)) ++begin[x + 1];
  for (unsigned c = 0; c < kBoardCells; ++c) begin[c + 1] += begin[c];
  std::vector<std::uint32_t> ids(begin[kBoardCells]);
  std::array<std::uint32_t, kBoardCells> next{};
  std::copy(begin.begin(), begin.end() - 1, next.begin());
  for (unsigned id = 0; id < n; ++id)
    for (std::uint16_t x : list.covered_cells(id)) ids[next[x]++] = id;
  keep_maximal(list, board, [&](unsigned cell) {
    return std::span<const std::uint32_t>(ids.data() + begin[cell], begin[cell + 1] - begin[cell]);
  }, out);
}

void turn_decisions(const Game& game, std::vector<Decision>& out) {
  out.clear();
  const auto player = game.current_player();
  if (!player) return;
  if (game.turn_started()) {
    maximal_placements(game.open_placement_list(), game.board(), out);
  } else {
    // The turn's placement list is indexed by cell already.
    const TileMoves moves = get_tile_moves(game.board(), *player);
    keep_maximal(moves.list(), game.board(), [&](unsigned cell) { return moves.covering(cell); }, out);
  }
}

void apply_decision(Game& game, const Decision& decision) {
  for (std::uint16_t x : decision.view()) {
    [[maybe_unused]] const auto error = game.apply(x);
    assert(!error && "a decision's cells are legal in the position it was made for");
  }
}

}  // namespace tilora::game
