#pragma once
// Glue between the engine and the reference rules: reading the engine's
// state in the reference's terms.
#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "board.h"
#include "game.h"
#include "reference_rules.h"
#include "tile_moves.h"

namespace tilora::checks {

// The owners of the cells, from the board's cell codes.
inline reference::Owners owners_of(const board::Board& b) {
  reference::Owners owners;
  for (unsigned c = 0; c < kBoardCells; ++c) owners[c] = b.owner(c);
  return owners;
}

inline std::vector<unsigned> kinds_of(const board::PieceList& list) {
  std::vector<unsigned> out;
  for (unsigned i = 0; i < list.size(); ++i) out.push_back(list.kind_at(i));
  return out;
}

// The cells a placement covers, from the orientation it names in the
// player's current piece list.
inline reference::Footprint footprint_of(const board::Board& b, unsigned player,
                                         const game::Placement& p) {
  const auto& piece = b.pieces[player][p.piece_index];
  reference::Footprint f{piece.kind, {}};
  for (unsigned k : piece.variants.at(p.variant_index).offsets) f.cells.push_back(p.position + k);
  return f;
}

inline std::vector<reference::Footprint> footprints_of(const board::Board& b, unsigned player,
                                                       const std::vector<game::Placement>& ps) {
  std::vector<reference::Footprint> out;
  for (const auto& p : ps) out.push_back(footprint_of(b, player, p));
  std::sort(out.begin(), out.end());
  return out;
}

inline std::vector<unsigned> cells_of(const std::set<unsigned>& s) { return {s.begin(), s.end()}; }

// Everything observable about a game, for comparing states.
struct Snapshot {
  board::Board board;
  std::vector<game::Move> history;
  std::vector<unsigned> legal;
  std::vector<game::Placement> open;
  std::vector<unsigned> players;
  unsigned current_index = 0;
  std::optional<unsigned> current;
  board::PieceSizes last_piece_sizes{};
  bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const game::Game& g) {
  return {g.board(),
          {g.history().begin(), g.history().end()},
          g.legal_tiles(),
          g.open_placements(),
          {g.players().begin(), g.players().end()},
          g.current_index(),
          g.current_player(),
          g.last_piece_sizes()};
}

}  // namespace tilora::checks
