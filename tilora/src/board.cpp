#include "board.h"

namespace tilora::board {

PieceList::PieceList() : size_(kPieceKinds) {
  for (unsigned k = 0; k < kPieceKinds; ++k) kinds_[k] = static_cast<std::uint8_t>(k);
}

const pieces::Piece& PieceList::operator[](unsigned index) const {
  assert(index < size_);
  return pieces::catalogue()[kinds_[index]];
}

void PieceList::remove(unsigned index) {
  assert(index < size_);
  for (unsigned k = index + 1; k < size_; ++k) kinds_[k - 1] = kinds_[k];
  kinds_[--size_] = 0;
}

Board::Board() {
  for (unsigned p = 0; p < kPlayers; ++p) corners[p].insert(kStartCorners[p]);
}

void Board::place_tile(unsigned cell, unsigned player) {
  assert(cell < kBoardCells && player < kPlayers);
  const CellCode flag = side_contact_flag(player);
  const unsigned column = column_of(cell);
  cells[cell] = static_cast<CellCode>(kAllSideFlags + player + 1);
  for (auto& set : corners) set.erase(cell);

  auto touch_edge = [&](unsigned n) {
    cells[n] |= flag;
    corners[player].erase(n);
  };
  if (column != 0) touch_edge(cell - 1);
  if (column != kBoardSide - 1) touch_edge(cell + 1);
  if (cell >= kBoardSide) touch_edge(cell - kBoardSide);
  if (cell < kBoardCells - kBoardSide) touch_edge(cell + kBoardSide);

  // Diagonal neighbours in the order +21, -21, -19, +19; none may wrap from
  // one side of the board to the other.
  const int diagonals[] = {21, -21, -19, 19};
  for (int delta : diagonals) {
    const int n = static_cast<int>(cell) + delta;
    if (n < 0 || n >= static_cast<int>(kBoardCells)) continue;
    const auto neighbour = static_cast<unsigned>(n);
    if (cells[neighbour] & flag) continue;
    if (column == 0 && column_of(neighbour) == kBoardSide - 1) continue;
    if (column == kBoardSide - 1 && column_of(neighbour) == 0) continue;
    corners[player].insert(neighbour);
  }
}

Scores Board::get_scores(const PieceSizes& last_piece_sizes) const {
  std::array<std::int32_t, kPlayers> counts{};
  for (CellCode code : cells) {
    const unsigned v = code & kOwnerMask;
    if (v != 0) ++counts[v - 1];
  }
  Scores scores{};
  for (unsigned p = 0; p < kPlayers; ++p) {
    scores[p] = counts[p] - static_cast<std::int32_t>(kCellsPerPlayer);
    if (pieces[p].empty()) scores[p] += last_piece_sizes[p] == 1 ? 20 : 15;
  }
  return scores;
}

}  // namespace tilora::board
