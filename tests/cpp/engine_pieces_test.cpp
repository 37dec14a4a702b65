// The piece catalogue: footprints, orientation order and the grid turns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pieces.h"
#include "reference_rules.h"

namespace tilora::pieces {
namespace {

ShapeGrid grid_of(const reference::Picture& picture) {
  ShapeGrid grid;
  for (const auto& row : picture) {
    grid.emplace_back();
    for (char ch : row) grid.back().push_back(ch == 'X');
  }
  return grid;
}

ShapeGrid grid_of(std::string_view rows) {
  reference::Picture picture(1);
  for (char ch : rows) {
    if (ch == '/')
      picture.emplace_back();
    else
      picture.back().push_back(ch);
  }
  return grid_of(picture);
}

struct VariantCase {
  unsigned kind;
  unsigned variant;
  const char* rows;
  std::vector<unsigned> offsets;
  unsigned width;
};

class WorkedOrientation : public ::testing::TestWithParam<VariantCase> {};

TEST_P(WorkedOrientation, has_the_listed_grid_offsets_and_width) {
  const VariantCase& c = GetParam();
  const Piece piece(static_cast<PieceKind>(c.kind));
  ASSERT_LT(c.variant, piece.variants.size());
  const PieceVariant& v = piece.variants[c.variant];
  EXPECT_EQ(v.shape, grid_of(c.rows));
  EXPECT_EQ(v.offsets, c.offsets);
  EXPECT_EQ(v.width, c.width);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds0_1_2_8_9, WorkedOrientation,
    ::testing::Values(VariantCase{0, 0, "X", {0}, 1},
                      VariantCase{1, 0, "XX", {0, 1}, 2},
                      VariantCase{1, 1, "X/X", {0, 20}, 1},
                      VariantCase{2, 0, "XX/.X", {0, 1, 21}, 2},
                      VariantCase{2, 1, ".X/XX", {1, 20, 21}, 2},
                      VariantCase{2, 2, "X./XX", {0, 20, 21}, 2},
                      VariantCase{2, 3, "XX/X.", {0, 1, 20}, 2},
                      VariantCase{8, 0, "XX./.XX", {0, 1, 21, 22}, 3},
                      VariantCase{8, 1, ".X/XX/X.", {1, 20, 21, 40}, 2},
                      VariantCase{8, 2, ".XX/XX.", {1, 2, 20, 21}, 3},
                      VariantCase{8, 3, "X./XX/.X", {0, 20, 21, 41}, 2},
                      VariantCase{9, 0, "XXXXX", {0, 1, 2, 3, 4}, 5},
                      VariantCase{9, 1, "X/X/X/X/X", {0, 20, 40, 60, 80}, 1}),
    [](const auto& info) {
      return "kind_" + std::to_string(info.param.kind) + "_orientation_" + std::to_string(info.param.variant);
    });

TEST(PieceVariant, kind_2_mask_pads_the_first_row_to_the_board_stride) {
  const Piece piece(PieceKind::k2);
  std::vector<bool> expected(22, false);
  expected[0] = expected[1] = expected[21] = true;
  EXPECT_EQ(piece.variants[0].mask, expected);
}

TEST(PieceVariant, single_cell_grid) {
  const PieceVariant v(ShapeGrid{{true}});
  EXPECT_EQ(v.offsets, std::vector<unsigned>{0});
  EXPECT_EQ(v.mask, std::vector<bool>{true});
  EXPECT_EQ(v.width, 1u);
}

// The orientations of every kind are the candidates of exactly the listed
// generation steps, in step order.
struct KindCase {
  unsigned kind;
  unsigned size;
  std::vector<unsigned> kept_steps;
};

class CatalogueKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(CatalogueKind, keeps_the_listed_generation_steps_in_order) {
  const KindCase& c = GetParam();
  const Piece piece(static_cast<PieceKind>(c.kind));
  EXPECT_EQ(piece.kind, c.kind);
  EXPECT_EQ(piece.size, c.size);
  EXPECT_EQ(piece.shape, grid_of(reference::picture_of(c.kind)));
  ASSERT_EQ(piece.variants.size(), c.kept_steps.size());
  for (unsigned v = 0; v < piece.variants.size(); ++v) {
    const reference::Picture expected = reference::candidate(c.kind, c.kept_steps[v]);
    EXPECT_EQ(piece.variants[v].shape, grid_of(expected)) << "orientation " << v;
  }
}

TEST_P(CatalogueKind, every_orientation_footprint_matches_its_grid) {
  const Piece piece(static_cast<PieceKind>(GetParam().kind));
  for (unsigned v = 0; v < piece.variants.size(); ++v) {
    const PieceVariant& var = piece.variants[v];
    const std::size_t rows = var.shape.size();
    ASSERT_EQ(var.width, var.shape[0].size());
    ASSERT_EQ(var.mask.size(), (rows - 1) * 20 + var.width) << "orientation " << v;
    ASSERT_EQ(var.mask.back(), bool(var.shape.back().back())) << "the last row is not padded";
    std::vector<unsigned> expected;
    for (unsigned r = 0; r < rows; ++r)
      for (unsigned col = 0; col < var.width; ++col)
        if (var.shape[r][col]) expected.push_back(r * 20 + col);
    EXPECT_EQ(var.offsets, expected) << "orientation " << v;
    EXPECT_EQ(var.offsets.size(), piece.size);
    for (unsigned k = 0; k < var.mask.size(); ++k)
      EXPECT_EQ(var.mask[k], std::count(expected.begin(), expected.end(), k) == 1)
          << "orientation " << v << " mask entry " << k;
  }
}

const std::vector<unsigned> kSteps1To4 = {1, 2, 3, 4};
const std::vector<unsigned> kSteps1To8 = {1, 2, 3, 4, 5, 6, 7, 8};
const std::vector<unsigned> kSteps1256 = {1, 2, 5, 6};
const std::vector<unsigned> kSteps12 = {1, 2};

INSTANTIATE_TEST_SUITE_P(
    All21, CatalogueKind,
    ::testing::Values(KindCase{0, 1, {1}}, KindCase{1, 2, kSteps12}, KindCase{2, 3, kSteps1To4},
                      KindCase{3, 3, kSteps12}, KindCase{4, 4, kSteps12}, KindCase{5, 4, kSteps1To8},
                      KindCase{6, 4, kSteps1To4}, KindCase{7, 4, {1}}, KindCase{8, 4, kSteps1256},
                      KindCase{9, 5, kSteps12}, KindCase{10, 5, kSteps1To8},
                      KindCase{11, 5, kSteps1To8}, KindCase{12, 5, kSteps1To8},
                      KindCase{13, 5, kSteps1To4}, KindCase{14, 5, kSteps1To4},
                      KindCase{15, 5, kSteps1256}, KindCase{16, 5, kSteps1To4},
                      KindCase{17, 5, kSteps1To8}, KindCase{18, 5, {1}},
                      KindCase{19, 5, kSteps1To8}, KindCase{20, 5, kSteps1To4}),
    [](const auto& info) { return "kind_" + std::to_string(info.param.kind); });

TEST(Catalogue, holds_91_orientations_and_89_cells_in_kind_order) {
  const auto& all = catalogue();
  unsigned orientations = 0, cells = 0;
  for (unsigned k = 0; k < all.size(); ++k) {
    EXPECT_EQ(all[k].kind, k);
    EXPECT_EQ(all[k].variants.size(), reference::orientations(k).size()) << "kind " << k;
    orientations += static_cast<unsigned>(all[k].variants.size());
    cells += all[k].size;
  }
  EXPECT_EQ(orientations, 91u);
  EXPECT_EQ(cells, 89u);
}

TEST(PieceRotate, turns_a_grid_a_quarter_clockwise) {
  EXPECT_EQ(Piece::rotate(grid_of("XX/.X")), grid_of(".X/XX"));
  EXPECT_EQ(Piece::rotate(grid_of("XXXX/X...")), grid_of("XX/.X/.X/.X"));
  EXPECT_EQ(Piece::rotate(grid_of("XXX")), grid_of("X/X/X"));
}

TEST(PieceFlip, mirrors_each_row) {
  EXPECT_EQ(Piece::flip(grid_of("XXXX/X...")), grid_of("XXXX/...X"));
  EXPECT_EQ(Piece::flip(grid_of(".X./XXX/X..")), grid_of(".X./XXX/..X"));
}

class GridTurns : public ::testing::TestWithParam<unsigned> {};

TEST_P(GridTurns, four_turns_and_two_flips_give_the_grid_back) {
  const ShapeGrid start = catalogue_shape(static_cast<PieceKind>(GetParam()));
  ShapeGrid g = Piece::rotate(start);
  EXPECT_EQ(g.size(), start[0].size());
  EXPECT_EQ(g[0].size(), start.size());
  for (int i = 0; i < 3; ++i) g = Piece::rotate(std::move(g));
  EXPECT_EQ(g, start);
  EXPECT_EQ(Piece::flip(Piece::flip(start)), start);
}

INSTANTIATE_TEST_SUITE_P(All21, GridTurns, ::testing::Range(0u, 21u));

}  // namespace
}  // namespace tilora::pieces
