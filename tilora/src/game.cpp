#include "game.h"

#include <algorithm>
#include <bit>

namespace tilora::game {
Game Game::reset(unsigned first_player) {
  assert(first_player < kPlayers);
  Game game;
  for (unsigned p = 0; p < kPlayers; ++p) game.players_[p] = static_cast<std::uint8_t>(p);
  game.player_count_ = kPlayers;
  game.current_index_ = static_cast<std::uint8_t>(first_player);
  game.begin_turn(first_player);
  return game;
}

void Game::begin_turn(unsigned player) {
  legal_ = first_cells(board_, player);
  anchor_ = kNoAnchor;
  through_anchor_.reset();
  open_ = {};
}

template <class F>
void Game::for_each_open(F&& f) const {
  if (!through_anchor_) return;
  for (unsigned w = 0; w < open_.size(); ++w)
    for (std::uint64_t bits = open_[w]; bits; bits &= bits - 1)
      f(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
}

std::optional<std::string_view> Game::apply(unsigned cell, std::optional<unsigned> piece_index) {
  if (current_index_ >= player_count_) return kNoCurrentPlayer;
  const unsigned player = players_[current_index_];
  if (cell >= kBoardCells || !legal_.contains(cell)) return kInvalidMove;

  // Narrow the open placements to those that contain every cell laid this
  // turn. The first cell's placements are the candidates for the whole turn.
  if (anchor_ == kNoAnchor) {
    through_anchor_ = std::make_shared<const PlacementList>(placements_through(board_, player, cell));
    anchor_ = static_cast<std::uint16_t>(cell);
    const unsigned count = through_anchor_->size();
    assert(count <= kMaxPlacementsPerCell);
    for (unsigned i = 0; i < count; ++i) open_[i / 64] |= std::uint64_t{1} << (i % 64);
  } else {
    for_each_open([&](unsigned i) {
      if (!through_anchor_->covers(i, cell)) open_[i / 64] &= ~(std::uint64_t{1} << (i % 64));
    });
  }
  board_.place_tile(cell, player);
  history_.push_back({static_cast<std::uint16_t>(player), static_cast<std::uint16_t>(cell)});

  // The legal moves are the cells of the open placements not laid yet. The
  // placements were free when the turn began, so any covered cell among them
  // was laid this turn.
  legal_.clear();
  unsigned any_open = 0;
  for_each_open([&](unsigned i) {
    any_open = i;
    for (std::uint16_t x : through_anchor_->covered_cells(i))
      if ((board_.cells[x] & board::kOwnerMask) == 0) legal_.insert(x);
  });

  if (piece_index || legal_.empty()) {
    // Without an explicit index every open placement covers exactly the cells
    // laid this turn, so they all name the same piece.
    const unsigned b = piece_index ? *piece_index : through_anchor_->placements()[any_open].piece_index;
    finish_piece(player, b);
  }
  return std::nullopt;
}

void Game::finish_piece(unsigned player, unsigned piece_index) {
  auto& remaining = board_.pieces[player];
  assert(piece_index < remaining.size());
  last_piece_sizes_[player] = remaining[piece_index].size;
  remaining.remove(piece_index);
  advance_player();
}

std::optional<unsigned> Game::advance_player() {
  assert(player_count_ > 0);
  current_index_ = static_cast<std::uint8_t>((current_index_ + 1) % player_count_);
  for (;;) {
    const unsigned p = players_[current_index_];
    begin_turn(p);
    if (!legal_.empty()) return p;
    // The player has no placement: out for good. The next player moves into
    // the freed place.
    std::copy(players_.begin() + current_index_ + 1, players_.begin() + player_count_,
              players_.begin() + current_index_);
    --player_count_;
    if (player_count_ == 0) return std::nullopt;
    current_index_ = static_cast<std::uint8_t>(current_index_ % player_count_);
  }
}

board::Scores Game::get_score() const { return board_.get_scores(last_piece_sizes_); }

Payoff payoff_of(const board::Scores& scores) {
  std::int32_t best = scores[0];
  std::array<bool, kPlayers> leaders{};
  unsigned leader_count = 0;
  for (unsigned j = 0; j < kPlayers; ++j) {
    if (scores[j] == best) {
      leaders[j] = true;
      ++leader_count;
    } else if (scores[j] > best) {
      leaders = {};
      leaders[j] = true;
      leader_count = 1;
      best = scores[j];
    }
  }
  Payoff payoff{};
  for (unsigned j = 0; j < kPlayers; ++j)
    if (leaders[j]) payoff[j] = 1.0f / static_cast<float>(leader_count);
  return payoff;
}

Payoff Game::get_payoff() const { return payoff_of(get_score()); }

std::vector<Placement> Game::open_placements() const {
  if (through_anchor_) return open_placement_list().placements();
  // Before the first cell of a turn every legal placement is open.
  if (const auto player = current_player()) return get_tile_moves(board_, *player).placements();
  return {};
}

PlacementList Game::open_placement_list() const {
  PlacementList out;
  for_each_open([&](unsigned i) {
    // A placement whose cells are all laid is complete, not open.
    const auto cells = through_anchor_->covered_cells(i);
    for (std::uint16_t x : cells)
      if (legal_.contains(x)) {
        out.push_back(through_anchor_->placements()[i], cells);
        return;
      }
  });
  return out;
}

std::vector<Placement> Game::placements_covering(unsigned cell) const {
  std::vector<Placement> out;
  if (cell >= kBoardCells || !legal_.contains(cell)) return out;
  if (!through_anchor_) return placements_through(board_, players_[current_index_], cell).placements();
  for_each_open([&](unsigned i) {
    if (through_anchor_->covers(i, cell)) out.push_back(through_anchor_->placements()[i]);
  });
  return out;
}

}  // namespace tilora::game
