// The board: cell codes, corner sets and scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board.h"
#include "reference_rules.h"

namespace tilora::board {
namespace {

std::vector<unsigned> corner_list(const Board& b, unsigned player) {
  return b.corners[player].to_vector();
}

std::vector<unsigned> kinds_of(const PieceList& list) {
  std::vector<unsigned> out;
  for (unsigned i = 0; i < list.size(); ++i) out.push_back(list.kind_at(i));
  return out;
}

TEST(NewBoard, is_empty_with_full_piece_lists_and_the_start_corners) {
  const Board b;
  EXPECT_TRUE(std::all_of(b.cells.begin(), b.cells.end(), [](CellCode c) { return c == 0; }));
  std::vector<unsigned> all_kinds(21);
  for (unsigned k = 0; k < 21; ++k) all_kinds[k] = k;
  for (unsigned p = 0; p < kPlayers; ++p) {
    EXPECT_EQ(corner_list(b, p), std::vector<unsigned>{kStartCorners[p]});
    EXPECT_EQ(kinds_of(b.pieces[p]), all_kinds);
    EXPECT_EQ(b.pieces[p][20].kind, 20u);
  }
  EXPECT_EQ(b.get_scores({0, 0, 0, 0}), (Scores{-89, -89, -89, -89}));
}

struct FirstTileCase {
  unsigned player;
  unsigned cell;
  CellCode code;
  std::vector<unsigned> edge_neighbours;
  std::vector<unsigned> corners;  // the mover's set afterwards
};

class FirstTileInCorner : public ::testing::TestWithParam<FirstTileCase> {};

TEST_P(FirstTileInCorner, flags_the_edge_neighbours_and_adds_only_the_inner_diagonal) {
  const FirstTileCase& c = GetParam();
  Board b;
  b.place_tile(c.cell, c.player);
  for (unsigned cell = 0; cell < kBoardCells; ++cell) {
    CellCode expected = 0;
    if (cell == c.cell) expected = c.code;
    if (std::count(c.edge_neighbours.begin(), c.edge_neighbours.end(), cell))
      expected = side_contact_flag(c.player);
    EXPECT_EQ(b.cells[cell], expected) << "cell " << cell;
  }
  for (unsigned p = 0; p < kPlayers; ++p)
    EXPECT_EQ(corner_list(b, p), p == c.player ? c.corners : std::vector<unsigned>{kStartCorners[p]})
        << "player " << p;
}

INSTANTIATE_TEST_SUITE_P(FourCorners, FirstTileInCorner,
                         ::testing::Values(FirstTileCase{0, 0, 0xF1, {1, 20}, {21}},
                                           FirstTileCase{1, 19, 0xF2, {18, 39}, {38}},
                                           FirstTileCase{2, 399, 0xF3, {398, 379}, {378}},
                                           FirstTileCase{3, 380, 0xF4, {381, 360}, {361}}),
                         [](const auto& info) { return "player_" + std::to_string(info.param.player); });

// Diagonals that would wrap to the other side of the board are never corner
// cells, wherever the tile lies in the edge column.
struct WrapCase {
  unsigned cell;
  std::vector<unsigned> corners;
};
class EdgeColumnTile : public ::testing::TestWithParam<WrapCase> {};

TEST_P(EdgeColumnTile, adds_no_wrapped_diagonal) {
  Board b;
  b.place_tile(GetParam().cell, 0);
  EXPECT_EQ(corner_list(b, 0), GetParam().corners);
}

INSTANTIATE_TEST_SUITE_P(LeftAndRight, EdgeColumnTile,
                         ::testing::Values(WrapCase{200, {0, 181, 221}},  // not 179 or 219
                                           WrapCase{219, {0, 198, 238}},  // not 200 or 240
                                           WrapCase{20, {1, 41}},  // not 39; 0 now borders the tile
                                           WrapCase{379, {0, 358, 398}}),  // not 360
                         [](const auto& info) { return "cell_" + std::to_string(info.param.cell); });

TEST(PlaceTile, a_covered_cell_leaves_every_players_corner_set) {
  Board b;
  b.place_tile(0, 0);  // player 0's corners: {21}
  b.place_tile(21, 1);
  EXPECT_EQ(corner_list(b, 0), std::vector<unsigned>{});
  // 0 is covered; 2, 40 and 42 are free; 19 stays as player 1's start.
  EXPECT_EQ(corner_list(b, 1), (std::vector<unsigned>{2, 19, 40, 42}));
}

TEST(PlaceTile, another_players_edge_contact_does_not_stop_a_corner_cell) {
  Board b;
  b.place_tile(22, 1);
  b.place_tile(0, 0);
  EXPECT_EQ(b.cells[21], side_contact_flag(1));
  EXPECT_TRUE(b.corners[0].contains(21));
  EXPECT_FALSE(b.corners[1].contains(21));
}

class DiagonalAndEdge : public ::testing::TestWithParam<bool> {};

TEST_P(DiagonalAndEdge, a_cell_beside_an_own_tile_is_never_a_corner_whichever_came_first) {
  // 21 is diagonal to 0 and shares an edge with 22.
  Board b;
  if (GetParam()) {
    b.place_tile(0, 0);
    b.place_tile(22, 0);
  } else {
    b.place_tile(22, 0);
    b.place_tile(0, 0);
  }
  EXPECT_FALSE(b.corners[0].contains(21));
  EXPECT_EQ(corner_list(b, 0), (std::vector<unsigned>{3, 41, 43}));  // 1 borders 0
  EXPECT_EQ(b.cells[21], side_contact_flag(0));
}

INSTANTIATE_TEST_SUITE_P(BothOrders, DiagonalAndEdge, ::testing::Bool());

// Laying one piece's cells in any order leaves the same board.
TEST(PlaceTile, cell_order_within_a_piece_does_not_matter) {
  std::vector<unsigned> cells = {41, 42, 61, 62, 82};  // kind 12 turned, away from the edges
  Board first;
  first.place_tile(0, 0);
  for (unsigned c : cells) first.place_tile(c, 0);
  std::sort(cells.begin(), cells.end());
  do {
    Board b;
    b.place_tile(0, 0);
    for (unsigned c : cells) b.place_tile(c, 0);
    ASSERT_EQ(b.cells, first.cells);
    ASSERT_EQ(b.corners, first.corners);
  } while (std::next_permutation(cells.begin(), cells.end()));
}

// The cell codes and corner sets after arbitrary tiles of all four players
// agree with a recomputation from the owners alone.
TEST(PlaceTile, matches_a_recomputation_from_the_owners) {
  const std::vector<std::pair<unsigned, unsigned>> tiles = {
      {0, 0}, {19, 1}, {399, 2}, {380, 3}, {21, 0}, {38, 1}, {42, 0}, {63, 1},
      {44, 2}, {20, 3}, {250, 0}, {251, 1}, {231, 2}, {270, 3}, {229, 2}, {199, 0}};
  Board b;
  reference::Owners owners = reference::empty_owners();
  for (auto [cell, player] : tiles) {
    b.place_tile(cell, player);
    owners[cell] = static_cast<int>(player);
    const auto codes = reference::cell_codes(owners);
    for (unsigned c = 0; c < kBoardCells; ++c) ASSERT_EQ(b.cells[c], codes[c]) << "cell " << c << " after " << cell;
    for (unsigned p = 0; p < kPlayers; ++p) {
      const auto expected = reference::corner_cells(owners, p);
      ASSERT_EQ(corner_list(b, p), std::vector<unsigned>(expected.begin(), expected.end()))
          << "player " << p << " after " << cell;
    }
  }
}

TEST(PieceList, remove_moves_the_later_pieces_down) {
  PieceList list;
  list.remove(0);
  list.remove(4);  // kind 5
  list.remove(18);  // kind 20, the last
  EXPECT_EQ(list.size(), 18u);
  EXPECT_EQ(kinds_of(list),
            (std::vector<unsigned>{1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
  EXPECT_EQ(list[4].kind, 6u);
  EXPECT_EQ(list[4].size, 4u);
}

// Player 0 covers `count` cells and, when `all_pieces_laid`, has no pieces
// left; the other players cover nothing and keep theirs.
struct ScoreCase {
  unsigned count;
  bool all_pieces_laid;
  unsigned last_size;
  std::int32_t score;
};

class Player0Score : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(Player0Score, counts_cells_and_adds_the_bonus_only_with_an_empty_list) {
  const ScoreCase& c = GetParam();
  Board b;
  for (unsigned cell = 0; cell < c.count; ++cell) b.place_tile(cell, 0);
  if (c.all_pieces_laid)
    while (!b.pieces[0].empty()) b.pieces[0].remove(0);
  EXPECT_EQ(b.get_scores({c.last_size, 1, 5, 0}), (Scores{c.score, -89, -89, -89}));
}

INSTANTIATE_TEST_SUITE_P(
    BonusRules, Player0Score,
    ::testing::Values(ScoreCase{0, false, 0, -89}, ScoreCase{7, false, 1, -82},
                      ScoreCase{89, false, 1, 0}, ScoreCase{89, true, 5, 15},
                      ScoreCase{89, true, 1, 20}, ScoreCase{60, true, 4, -14},
                      ScoreCase{60, true, 1, -9}),
    [](const auto& info) {
      const ScoreCase& c = info.param;
      return std::to_string(c.count) + "_cells_" + (c.all_pieces_laid ? "all_laid" : "pieces_left") +
             "_last_size_" + std::to_string(c.last_size);
    });

TEST(Scores, count_each_owner_separately) {
  Board b;
  for (unsigned c = 0; c < 10; ++c) b.place_tile(c, 1);
  for (unsigned c = 100; c < 103; ++c) b.place_tile(c, 3);
  b.place_tile(399, 2);
  EXPECT_EQ(b.get_scores({0, 0, 0, 0}), (Scores{-89, -79, -88, -86}));
}

}  // namespace
}  // namespace tilora::board
