#include "tile_moves.h"

#include "corner_patterns.h"

namespace tilora::game {
namespace {

// Board rows as bit masks (bit c + 4 for column c), with four blocked columns
// of margin on each side, so a window row is one shift.
class RowMasks {
 public:
  static constexpr std::uint32_t kMargin = 0xFu;
  static constexpr std::uint32_t kOffBoard = kMargin | (kMargin << (kBoardSide + kWindowReach));

  void set(unsigned cell) {
    rows_[cell / kBoardSide] |= std::uint32_t{1} << (cell % kBoardSide + kWindowReach);
  }
  // Row r's bits for columns col - 4 .. col + 4 (bit 0 = col - 4); rows off
  // the board read as fully set.
  std::uint16_t window_row(int r, unsigned col) const {
    if (r < 0 || r >= static_cast<int>(kBoardSide)) return kFullRow;
    return static_cast<std::uint16_t>(((rows_[r] | kOffBoard) >> col) & kFullRow);
  }

  static constexpr std::uint16_t kFullRow = (1u << kWindowSide) - 1;

 private:
  std::array<std::uint32_t, kBoardSide> rows_{};
};

// The window cells around one corner that no placement through that corner
// may use: off the board, not open to the player, or a corner cell met
// earlier in the ascending walk (a placement through it was recorded then).
struct BlockedWindow {
  std::array<std::uint16_t, kWindowSide> rows;

  BlockedWindow(const RowMasks& closed, const RowMasks& earlier_corners, unsigned corner) {
    const int row = static_cast<int>(corner / kBoardSide);
    const unsigned col = corner % kBoardSide;
    for (int i = 0; i < kWindowSide; ++i) {
      const int r = row + i - kWindowReach;
      rows[i] = closed.window_row(r, col) | earlier_corners.window_row(r, col);
    }
  }
  bool blocks(const PatternNode& node) const { return rows[node.row] & node.column_bit; }
};

struct Generator {
  const CornerPatterns& patterns;
  std::uint32_t remaining_kinds = 0;
  std::array<std::uint8_t, kPieceKinds> index_of_kind{};

  // Walks the pattern tree below `node`, recording every orientation whose
  // cells are all unblocked.
  template <class Record>
  void walk(const PatternNode& node, const BlockedWindow& window, unsigned corner,
            Record& record) const {
    for (unsigned e = node.ends_begin; e < node.ends_end; ++e) {
      const AnchoredVariant& end = patterns.ends[e];
      if (remaining_kinds >> end.kind & 1u) record(end, corner);
    }
    const PatternNode* child = &patterns.nodes[node.first_child];
    for (unsigned n = 0; n < node.child_count; ++n, ++child)
      if ((child->kinds & remaining_kinds) && !window.blocks(*child))
        walk(*child, window, corner, record);
  }
};

}  // namespace

TileMoves get_tile_moves(const board::Board& board, unsigned player) {
  assert(player < kPlayers);
  TileMoves moves;
  const auto& remaining = board.pieces[player];
  const CellSet& corners = board.corners[player];
  const board::CellCode flag = board::side_contact_flag(player);

  Generator gen{corner_patterns(), 0, {}};
  for (unsigned i = 0; i < remaining.size(); ++i) {
    gen.remaining_kinds |= 1u << remaining.kind_at(i);
    gen.index_of_kind[remaining.kind_at(i)] = static_cast<std::uint8_t>(i);
  }
  if (gen.remaining_kinds == 0 || corners.empty()) return moves;

  constexpr std::size_t kTypicalPlacements = 512;
  moves.placements_.reserve(kTypicalPlacements);
  moves.covered_.reserve(kTypicalPlacements);
  auto record = [&](const AnchoredVariant& end, unsigned corner) {
    TileMoves::Cells covered;
    covered.count = end.size;
    for (unsigned j = 0; j < end.size; ++j) {
      const auto cell = static_cast<std::uint16_t>(static_cast<int>(corner) + end.cells[j]);
      covered.cells[j] = cell;
      ++moves.bucket_size_[cell];
    }
    moves.placements_.push_back({gen.index_of_kind[end.kind], end.variant, corner - end.offset});
    moves.covered_.push_back(covered);
  };

  RowMasks closed;
  for (unsigned cell = 0; cell < kBoardCells; ++cell)
    if (board.cells[cell] & flag) closed.set(cell);
  RowMasks earlier_corners;
  corners.for_each([&](unsigned corner) {
    const BlockedWindow window(closed, earlier_corners, corner);
    gen.walk(gen.patterns.nodes[0], window, corner, record);
    earlier_corners.set(corner);
  });

  // Index the placements by cell, ids ascending within each cell.
  std::uint32_t begin = 0;
  for (unsigned c = 0; c < kBoardCells; ++c) {
    moves.bucket_begin_[c] = begin;
    begin += moves.bucket_size_[c];
    if (moves.bucket_size_[c] != 0) moves.cells_.insert(c);
  }
  moves.bucket_ids_.resize(begin);
  std::array<std::uint32_t, kBoardCells> next = moves.bucket_begin_;
  for (std::uint32_t id = 0; id < moves.covered_.size(); ++id)
    for (std::uint16_t cell : moves.covered_cells(id)) moves.bucket_ids_[next[cell]++] = id;
  return moves;
}

}  // namespace tilora::game
