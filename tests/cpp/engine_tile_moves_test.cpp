// Move generation: every legal placement, indexed by the cells it covers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine_checks.h"
#include "tile_moves.h"

namespace tilora::game {
namespace {

using checks::footprint_of;
using reference::Footprint;

// Checks the table's own consistency and its placements against the
// brute-force enumeration; returns the footprints.
std::vector<Footprint> expect_table_matches_reference(const board::Board& b, unsigned player) {
  const TileMoves moves = get_tile_moves(b, player);
  const auto& ps = moves.placements();
  std::vector<Footprint> found;
  for (unsigned id = 0; id < ps.size(); ++id) {
    const Footprint f = footprint_of(b, player, ps[id]);
    const auto covered = moves.covered_cells(id);
    EXPECT_EQ(std::vector<unsigned>(covered.begin(), covered.end()), f.cells.to_vector()) << "placement " << id;
    found.push_back(f);
  }
  std::sort(found.begin(), found.end());
  EXPECT_EQ(std::adjacent_find(found.begin(), found.end()), found.end()) << "a placement is held twice";
  const auto owners = checks::owners_of(b);
  EXPECT_EQ(found, reference::legal_placements(owners, player, checks::kinds_of(b.pieces[player])));

  // Each cell's list holds exactly the placements covering it, once each.
  std::set<unsigned> keys;
  for (unsigned cell = 0; cell < kBoardCells; ++cell) {
    std::vector<unsigned> expected;
    for (unsigned id = 0; id < ps.size(); ++id) {
      const auto covered = moves.covered_cells(id);
      if (std::find(covered.begin(), covered.end(), cell) != covered.end()) expected.push_back(id);
    }
    const auto bucket = moves.covering(cell);
    EXPECT_EQ(std::vector<unsigned>(bucket.begin(), bucket.end()), expected) << "cell " << cell;
    if (!expected.empty()) keys.insert(cell);
  }
  EXPECT_EQ(moves.cells().to_vector(), checks::cells_of(keys));
  EXPECT_EQ(moves.empty(), ps.empty());

  // The game's turn-start shortcuts agree with the full map: the first cells
  // are its keys, and the placements through a cell are that cell's set.
  EXPECT_EQ(first_cells(b, player).to_vector(), checks::cells_of(keys));
  for (unsigned cell : keys) {
    const PlacementList through = placements_through(b, player, cell);
    std::vector<Footprint> expected, got;
    for (const auto& f : found)
      if (f.cells.contains(cell)) expected.push_back(f);
    for (unsigned id = 0; id < through.size(); ++id) {
      const Footprint f = footprint_of(b, player, through.placements()[id]);
      const auto covered = through.covered_cells(id);
      EXPECT_EQ(std::vector<unsigned>(covered.begin(), covered.end()), f.cells.to_vector());
      got.push_back(f);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected) << "placements through cell " << cell;
  }
  return found;
}

// Start position: each player's placements all cover its start corner, from
// the one position that puts the matching bounding-box corner there.
struct StartCase {
  unsigned player;
  std::vector<unsigned> keys;
  // The position that puts an orientation's matching corner on the start
  // corner, and whether that corner of the bounding box is filled.
  std::function<unsigned(const pieces::PieceVariant&)> position;
  std::function<bool(const pieces::PieceVariant&)> corner_filled;
};

unsigned rows_of(const pieces::PieceVariant& v) { return static_cast<unsigned>(v.shape.size()); }

const std::vector<StartCase>& start_cases() {
  static const std::vector<StartCase> cases = {
      {0,
       {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80},
       [](const pieces::PieceVariant&) { return 0u; },
       [](const pieces::PieceVariant& v) { return bool(v.shape.front().front()); }},
      {1,
       {15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99},
       [](const pieces::PieceVariant& v) { return 20 - v.width; },
       [](const pieces::PieceVariant& v) { return bool(v.shape.front().back()); }},
      {2,
       {319, 338, 339, 357, 358, 359, 376, 377, 378, 379, 395, 396, 397, 398, 399},
       [](const pieces::PieceVariant& v) { return 400 - static_cast<unsigned>(v.mask.size()); },
       [](const pieces::PieceVariant& v) { return bool(v.shape.back().back()); }},
      {3,
       {300, 320, 321, 340, 341, 342, 360, 361, 362, 363, 380, 381, 382, 383, 384},
       [](const pieces::PieceVariant& v) { return 380 - (rows_of(v) - 1) * 20; },
       [](const pieces::PieceVariant& v) { return bool(v.shape.back().front()); }},
  };
  return cases;
}

class StartPosition : public ::testing::TestWithParam<unsigned> {};

TEST_P(StartPosition, lists_58_placements_over_15_cells_around_the_start_corner) {
  const StartCase& c = start_cases()[GetParam()];
  const board::Board b;
  const TileMoves moves = get_tile_moves(b, c.player);
  EXPECT_EQ(moves.placements().size(), 58u);
  EXPECT_EQ(moves.cells().to_vector(), c.keys);
  EXPECT_EQ(moves.covering(kStartCorners[c.player]).size(), 58u);

  std::vector<Placement> expected;
  for (unsigned i = 0; i < kPieceKinds; ++i) {
    const auto& variants = b.pieces[c.player][i].variants;
    for (unsigned v = 0; v < variants.size(); ++v)
      if (c.corner_filled(variants[v])) expected.push_back({i, v, c.position(variants[v])});
  }
  std::vector<Placement> found = moves.placements();
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, expected);
  expect_table_matches_reference(b, c.player);
}

INSTANTIATE_TEST_SUITE_P(FourPlayers, StartPosition, ::testing::Range(0u, 4u));

// Boards built tile by tile, checked for every player against the
// brute-force enumeration.
struct BoardCase {
  std::string name;
  std::vector<std::pair<unsigned, unsigned>> tiles;  // (cell, player)
  std::vector<unsigned> kinds_removed_from_player0;
};

class ConstructedBoard : public ::testing::TestWithParam<BoardCase> {};

board::Board build(const BoardCase& c) {
  board::Board b;
  for (auto [cell, player] : c.tiles) b.place_tile(cell, player);
  for (unsigned kind : c.kinds_removed_from_player0) {
    const auto kinds = checks::kinds_of(b.pieces[0]);
    const auto at = std::find(kinds.begin(), kinds.end(), kind);
    b.pieces[0].remove(static_cast<unsigned>(at - kinds.begin()));
  }
  return b;
}

TEST_P(ConstructedBoard, every_player_gets_exactly_the_brute_force_placements) {
  const board::Board b = build(GetParam());
  for (unsigned p = 0; p < kPlayers; ++p) {
    SCOPED_TRACE("player " + std::to_string(p));
    expect_table_matches_reference(b, p);
  }
}

std::vector<unsigned> all_kinds_but(std::vector<unsigned> kept) {
  std::vector<unsigned> out;
  for (unsigned k = 0; k < kPieceKinds; ++k)
    if (std::find(kept.begin(), kept.end(), k) == kept.end()) out.push_back(k);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Boards, ConstructedBoard,
    ::testing::Values(
        BoardCase{"two_corners_one_placement", {{0, 0}, {4, 0}}, {}},
        BoardCase{"other_player_beside_the_start", {{1, 1}, {40, 2}}, {}},
        BoardCase{"start_corner_taken_by_another", {{0, 1}}, {}},
        BoardCase{"right_edge_straights_only", {{18, 0}, {98, 0}}, all_kinds_but({3, 4, 9})},
        BoardCase{"mixed_middle_game",
                  {{0, 0}, {19, 1}, {399, 2}, {380, 3}, {21, 0}, {38, 1}, {42, 0}, {63, 1},
                   {44, 2}, {20, 3}, {250, 0}, {251, 1}, {231, 2}, {270, 3}, {229, 2}, {199, 0},
                   {64, 0}, {85, 0}, {106, 0}, {126, 3}},
                  {0, 5, 12}},
        BoardCase{"no_pieces_left", {{0, 0}}, all_kinds_but({})}),
    [](const auto& info) { return info.param.name; });

TEST(TileMoves, a_placement_through_two_corner_cells_is_held_once_per_cell) {
  board::Board b;
  b.place_tile(0, 0);
  b.place_tile(4, 0);  // corner cells 21, 23, 25
  const TileMoves moves = get_tile_moves(b, 0);
  const Placement tromino{3, 0, 21};  // kind 3 lying flat on 21, 22, 23
  for (unsigned cell : {21u, 22u, 23u}) {
    const auto bucket = moves.covering(cell);
    const auto n = std::count_if(bucket.begin(), bucket.end(),
                                 [&](std::uint16_t id) { return moves.placements()[id] == tromino; });
    EXPECT_EQ(n, 1) << "cell " << cell;
  }
  EXPECT_EQ(std::count(moves.placements().begin(), moves.placements().end(), tromino), 1);
}

TEST(TileMoves, no_placement_wraps_from_the_right_edge_onto_the_next_row) {
  board::Board b;
  b.place_tile(18, 1);  // corner cells 37 and 39 (19 now borders the tile); 40 is free
  const TileMoves moves = get_tile_moves(b, 1);
  for (unsigned id = 0; id < moves.placements().size(); ++id) {
    const auto cells = moves.covered_cells(id);
    const bool right = std::any_of(cells.begin(), cells.end(), [](unsigned c) { return c % 20 == 19; });
    const bool left = std::any_of(cells.begin(), cells.end(), [](unsigned c) { return c % 20 == 0; });
    EXPECT_FALSE(right && left) << "placement " << id;
  }
  EXPECT_FALSE(moves.cells().contains(40));
  EXPECT_TRUE(moves.cells().contains(39));
}

TEST(TileMoves, a_player_without_corner_cells_or_pieces_has_none) {
  board::Board b;
  b.place_tile(0, 1);
  EXPECT_TRUE(get_tile_moves(b, 0).empty());
  EXPECT_TRUE(get_tile_moves(b, 0).cells().empty());
  board::Board c;
  while (!c.pieces[2].empty()) c.pieces[2].remove(c.pieces[2].size() - 1);
  EXPECT_TRUE(get_tile_moves(c, 2).empty());
  EXPECT_FALSE(get_tile_moves(c, 3).empty());
}

}  // namespace
}  // namespace tilora::game
