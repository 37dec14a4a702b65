#pragma once
// The piece catalogue: 21 polyominoes (89 cells) that every player owns, and
// each piece's distinct orientations in their fixed generation order.
//
// An orientation's footprint is kept in board coordinates: laid with the
// top-left corner of its bounding box on board cell o, it covers o + k for
// every k in `offsets`. `mask` is the same footprint with the board's row
// stride (rows joined, padded with 20 - width false entries between rows).
#include <array>
#include <cstdint>
#include <vector>

#include "geometry.h"

namespace tilora::pieces {

// Rows top to bottom; each row left to right; true marks a cell.
using ShapeGrid = std::vector<std::vector<bool>>;

enum class PieceKind : std::uint8_t {
  k0, k1, k2, k3, k4, k5, k6, k7, k8, k9, k10,
  k11, k12, k13, k14, k15, k16, k17, k18, k19, k20,
};

// One orientation of a piece.
struct PieceVariant {
  std::vector<unsigned> offsets;  // r * 20 + c of each filled cell, ascending
  std::vector<bool> mask;         // (rows - 1) * 20 + width entries
  ShapeGrid shape;                // the orientation's own grid
  unsigned width = 0;             // columns of `shape`

  // Derives the footprint of a grid (taken over by the variant).
  explicit PieceVariant(ShapeGrid grid);
};

struct Piece {
  ShapeGrid shape;                     // the catalogue grid
  std::vector<PieceVariant> variants;  // distinct orientations, generation order
  unsigned kind = 0;                   // PieceKind as a number 0..20
  unsigned size = 0;                   // cells of the piece, 1..5

  // Builds the piece of a kind with all its orientations: the stored shape
  // turned clockwise 0..3 times, then its mirror turned 0..3 times, keeping
  // the first occurrence of each distinct footprint.
  explicit Piece(PieceKind kind);

  // A quarter turn clockwise: result[j][k] = shape[R - 1 - k][j].
  static ShapeGrid rotate(ShapeGrid shape);
  // The left-right mirror image: each row reversed.
  static ShapeGrid flip(ShapeGrid shape);
};

// The immutable catalogue, built on first use; index = kind.
const std::array<Piece, kPieceKinds>& catalogue();

// The catalogue grid of a kind, as listed in the rules.
ShapeGrid catalogue_shape(PieceKind kind);

}  // namespace tilora::pieces
