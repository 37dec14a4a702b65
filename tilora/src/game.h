#pragma once
// One four-player game, played one cell per move.
//
// A player lays a piece cell by cell over consecutive moves. The placements
// generated when the turn began are narrowed with every laid cell to those
// containing all cells laid this turn; the legal moves are their remaining
// cells. The piece is finished, and the turn passes, when no open placement
// has a cell left to lay. The turn goes to the next player in cyclic order who
// has a legal placement; every player passed over is out for good.
//
// Copying a Game is cheap: the placements through the turn's first cell are
// shared, immutable, and the rest of the state is fixed-size.
#include <array>
#include <cassert>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "board.h"
#include "cell_set.h"
#include "history.h"
#include "tile_moves.h"

namespace tilora::game {

inline constexpr std::string_view kNoCurrentPlayer = "No current player";
inline constexpr std::string_view kInvalidMove = "Invalid move";

using Payoff = std::array<float, kPlayers>;

// The holders of the best score share 1.0 equally (as 32-bit division); the
// others get 0.0.
Payoff payoff_of(const board::Scores& scores);

class Game {
 public:
  // A new game in the starting state, player 0 to move. Another first player
  // gives the same game with the seats renamed by a rotation of the board
  // (used to check board symmetries); the turn still goes round in order.
  static Game reset(unsigned first_player = 0);

  // Lays `cell` for the player to move. With a piece index, the piece at that
  // index of the player's remaining pieces ends at once. Returns an error
  // message ("No current player" or "Invalid move") and changes nothing when
  // the move cannot be made.
  [[nodiscard]] std::optional<std::string_view> apply(
      unsigned cell, std::optional<unsigned> piece_index = std::nullopt);

  // Passes the turn on (used by apply). Returns the new player to move, or
  // none when no player is left.
  std::optional<unsigned> advance_player();

  // The player to move, or none when the game is over.
  std::optional<unsigned> current_player() const {
    if (current_index_ >= player_count_) return std::nullopt;
    return players_[current_index_];
  }
  bool is_over() const { return player_count_ == 0; }

  // The cells the player to move may lay next, ascending.
  std::vector<unsigned> legal_tiles() const { return legal_.to_vector(); }
  const CellSet& legal_cells() const { return legal_; }

  board::Scores get_score() const;
  // The best score's holders share 1.0 equally.
  Payoff get_payoff() const;

  // The open placements of this turn: those containing every cell laid this
  // turn and at least one cell still to lay, in generation order.
  std::vector<Placement> open_placements() const;
  // The same with the cells each covers; none before the turn's first cell
  // (then every legal placement is open: get_tile_moves lists them).
  PlacementList open_placement_list() const;
  bool turn_started() const { return anchor_ != kNoAnchor; }
  // The open placements covering a cell not yet laid (the map's entry).
  std::vector<Placement> placements_covering(unsigned cell) const;

  const board::Board& board() const { return board_; }
  const History& history() const { return history_; }
  History take_history() { return std::move(history_); }
  const board::PieceSizes& last_piece_sizes() const { return last_piece_sizes_; }
  std::span<const std::uint8_t> players() const {
    return {players_.data(), player_count_};
  }
  unsigned current_index() const { return current_index_; }

 private:
  Game() = default;
  void begin_turn(unsigned player);
  void finish_piece(unsigned player, unsigned piece_index);
  template <class F>
  void for_each_open(F&& f) const;

  board::Board board_;
  // First cell laid this turn, or kNoAnchor before the first.
  static constexpr std::uint16_t kNoAnchor = 0xFFFF;
  std::uint16_t anchor_ = kNoAnchor;
  // The placements through the anchor as the turn began, shared between
  // copies; bit i of open_ is set while placement i contains every cell laid
  // this turn.
  std::shared_ptr<const PlacementList> through_anchor_;
  std::array<std::uint64_t, (kMaxPlacementsPerCell + 63) / 64> open_{};
  CellSet legal_;  // the keys of the narrowed map
  board::PieceSizes last_piece_sizes_{};
  History history_;
  std::array<std::uint8_t, kPlayers> players_{};
  std::uint8_t player_count_ = 0;
  std::uint8_t current_index_ = 0;
};

}  // namespace tilora::game
