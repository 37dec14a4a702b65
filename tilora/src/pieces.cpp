#include "pieces.h"

#include <algorithm>
#include <cassert>
#include <string_view>

namespace tilora::pieces {
namespace {

// The catalogue grids in kind order; rows top to bottom separated by '/',
// 'X' a cell, '.' empty.
constexpr std::array<std::string_view, kPieceKinds> kCatalogueRows = {
    "X",          "XX",          "XX/.X",       "XXX",         "XXXX",
    "XX/X./X.",   "XXX/.X.",     "XX/XX",       "XX./.XX",     "XXXXX",
    "XXXX/X...",  "XXX./..XX",   "XXX/XX.",     "XXX/X../X..", "XX./.XX/..X",
    "XX./.X./.XX", "XXX/X.X",    "XXXX/.X..",   ".X./XXX/.X.", ".X./XXX/X..",
    "XXX/.X./.X.",
};

ShapeGrid parse_rows(std::string_view rows) {
  ShapeGrid grid(1);
  for (char ch : rows) {
    if (ch == '/')
      grid.emplace_back();
    else
      grid.back().push_back(ch == 'X');
  }
  return grid;
}

// Appends the candidate unless an orientation with the same footprint exists.
void keep_if_new(std::vector<PieceVariant>& variants, const ShapeGrid& grid) {
  PieceVariant candidate(grid);
  const bool seen = std::any_of(variants.begin(), variants.end(), [&](const PieceVariant& v) {
    return v.mask == candidate.mask;
  });
  if (!seen) variants.push_back(std::move(candidate));
}

}  // namespace

ShapeGrid catalogue_shape(PieceKind kind) {
  const auto index = static_cast<unsigned>(kind);
  assert(index < kPieceKinds);
  return parse_rows(kCatalogueRows[index]);
}

PieceVariant::PieceVariant(ShapeGrid grid) : shape(std::move(grid)) {
  assert(!shape.empty() && shape[0].size() <= kBoardSide);
  width = static_cast<unsigned>(shape[0].size());
  for (std::size_t i = 0; i < shape.size(); ++i) {
    mask.insert(mask.end(), shape[i].begin(), shape[i].end());
    if (i + 1 < shape.size()) mask.insert(mask.end(), kBoardSide - shape[i].size(), false);
  }
  for (unsigned k = 0; k < mask.size(); ++k)
    if (mask[k]) offsets.push_back(k);
}

ShapeGrid Piece::rotate(ShapeGrid shape) {
  const std::size_t rows = shape.size();
  const std::size_t cols = shape[0].size();
  ShapeGrid turned(cols, std::vector<bool>(rows));
  for (std::size_t j = 0; j < cols; ++j)
    for (std::size_t k = 0; k < rows; ++k) turned[j][k] = shape[rows - 1 - k][j];
  return turned;
}

ShapeGrid Piece::flip(ShapeGrid shape) {
  for (auto& row : shape) std::reverse(row.begin(), row.end());
  return shape;
}

Piece::Piece(PieceKind piece_kind)
    : shape(catalogue_shape(piece_kind)), kind(static_cast<unsigned>(piece_kind)) {
  for (const auto& row : shape) size += static_cast<unsigned>(std::count(row.begin(), row.end(), true));
  ShapeGrid current = shape;
  for (int step = 0; step < 4; ++step) {
    keep_if_new(variants, current);
    current = rotate(std::move(current));
  }
  current = flip(shape);
  for (int step = 0; step < 4; ++step) {
    keep_if_new(variants, current);
    current = rotate(std::move(current));
  }
}

const std::array<Piece, kPieceKinds>& catalogue() {
  static const std::array<Piece, kPieceKinds> pieces = [] {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<Piece, kPieceKinds>{Piece(static_cast<PieceKind>(I))...};
    }(std::make_index_sequence<kPieceKinds>{});
  }();
  return pieces;
}

}  // namespace tilora::pieces
