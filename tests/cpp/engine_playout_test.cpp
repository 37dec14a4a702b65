// Random playouts, checked after every move against the reference rules:
// cell codes, corner sets, pieces, legal tiles and open placements, turn
// order, history, scores and payoff. Game copies are checked to be
// independent values.
//
// The number of games per shard is TILORA_PLAYOUT_GAMES (a compile
// definition, smaller under the sanitizers); the environment variable of the
// same name overrides it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine_checks.h"
#include "game.h"

#ifndef TILORA_PLAYOUT_GAMES
#define TILORA_PLAYOUT_GAMES 140
#endif

namespace tilora::game {
namespace {

using reference::Footprint;

unsigned games_per_shard() {
  if (const char* env = std::getenv("TILORA_PLAYOUT_GAMES")) {
    const long n = std::strtol(env, nullptr, 10);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return TILORA_PLAYOUT_GAMES;
}

// What the turn changes of the games did, for checking that every rule of
// turn passing was exercised.
struct Events {
  unsigned one_passed_over = 0;   // the next player was out, a later one moves
  unsigned two_passed_over = 0;   // two or more in a row were out
  unsigned first_passed_over = 0;  // the last in the list moved, the first was out
  unsigned moves_again = 0;       // every other player out: the mover moves again
  unsigned games_over = 0;
  unsigned single_cell_pieces = 0;  // a cell only the one-cell piece covers
  unsigned smaller_pieces = 0;      // a piece under five cells ended by itself
};

// The game as the rules describe it, from the owners of the cells and the
// players' remaining kinds.
class ReferenceGame {
 public:
  ReferenceGame() {
    owners_ = reference::empty_owners();
    for (auto& kinds : remaining_)
      for (unsigned k = 0; k < kPieceKinds; ++k) kinds.push_back(k);
    players_ = {0, 1, 2, 3};
    turn_placements_ = placements_for(0);
    open_ = turn_placements_;
  }

  std::optional<unsigned> current() const {
    if (players_.empty()) return std::nullopt;
    return players_[current_index_];
  }
  unsigned current_index() const { return current_index_; }
  const std::vector<unsigned>& players() const { return players_; }
  const reference::Owners& owners() const { return owners_; }
  const std::vector<unsigned>& remaining(unsigned p) const { return remaining_[p]; }
  const board::PieceSizes& last_piece_sizes() const { return last_piece_sizes_; }
  const std::vector<Move>& history() const { return history_; }

  // The placements of this turn that contain every cell laid this turn and
  // still have a cell to lay.
  const std::vector<Footprint>& open() const { return open_; }

  std::vector<unsigned> legal() const {
    std::array<bool, kBoardCells> legal{};
    for (const auto& f : open_)
      for (unsigned c : f.cells) legal[c] = owners_[c] == reference::kNoOwner;
    std::vector<unsigned> out;
    for (unsigned c = 0; c < kBoardCells; ++c)
      if (legal[c]) out.push_back(c);
    return out;
  }

  void apply(unsigned cell, std::optional<unsigned> piece_index, Events& events) {
    const unsigned p = *current();
    owners_[cell] = static_cast<int>(p);
    laid_.push_back(cell);
    history_.push_back({static_cast<std::uint16_t>(p), static_cast<std::uint16_t>(cell)});
    std::erase_if(open_, [&](const Footprint& f) { return !contains_laid(f) || f.cells.size() == laid_.size(); });
    if (!piece_index && !open_.empty()) return;

    unsigned kind;
    if (piece_index) {
      kind = remaining_[p].at(*piece_index);
    } else {
      // The one placement whose cells are exactly those laid.
      std::vector<Footprint> done;
      for (const auto& f : turn_placements_)
        if (contains_laid(f)) done.push_back(f);
      EXPECT_EQ(done.size(), 1u);
      kind = done.at(0).kind;
      if (kind == 0) ++events.single_cell_pieces;
      if (laid_.size() < 5) ++events.smaller_pieces;
    }
    last_piece_sizes_[p] = reference::cells_of(reference::picture_of(kind));
    remaining_[p].erase(std::find(remaining_[p].begin(), remaining_[p].end(), kind));
    pass_turn(events);
  }

  board::Scores scores() const {
    board::Scores s{};
    for (unsigned p = 0; p < kPlayers; ++p) {
      const auto laid = static_cast<std::int32_t>(std::count(owners_.begin(), owners_.end(), static_cast<int>(p)));
      s[p] = laid - 89;
      if (remaining_[p].empty()) s[p] = laid - 89 + (last_piece_sizes_[p] == 1 ? 20 : 15);
    }
    return s;
  }

 private:
  std::vector<Footprint> placements_for(unsigned p) const {
    return reference::legal_placements(owners_, p, remaining_[p]);
  }
  bool contains_laid(const Footprint& f) const {
    return std::all_of(laid_.begin(), laid_.end(),
                       [&](unsigned c) { return f.cells.contains(c); });
  }

  // The turn goes to the next player in cyclic order who has a placement;
  // the players passed over on the way are out.
  void pass_turn(Events& events) {
    laid_.clear();
    const auto n = static_cast<unsigned>(players_.size());
    std::optional<unsigned> step;
    for (unsigned s = 1; s <= n && !step; ++s) {
      auto placements = placements_for(players_[(current_index_ + s) % n]);
      if (!placements.empty()) {
        step = s;
        turn_placements_ = std::move(placements);
      }
    }
    const unsigned passed = step ? *step - 1 : n;
    const unsigned next = step ? players_[(current_index_ + *step) % n] : 0;
    if (passed == 1 && step != n) ++events.one_passed_over;
    if (passed >= 2 && step && step != n) ++events.two_passed_over;
    if (passed >= 1 && step && step != n && current_index_ == n - 1) ++events.first_passed_over;
    if (step == n) ++events.moves_again;
    std::vector<unsigned> kept;
    for (unsigned s = passed + 1; s <= n; ++s) kept.push_back(players_[(current_index_ + s) % n]);
    std::sort(kept.begin(), kept.end());
    players_ = kept;
    open_ = turn_placements_;
    if (!step) {
      ++events.games_over;
      turn_placements_.clear();
      open_.clear();
      current_index_ = 0;
      return;
    }
    current_index_ = static_cast<unsigned>(std::find(players_.begin(), players_.end(), next) - players_.begin());
  }

  reference::Owners owners_;
  std::array<std::vector<unsigned>, kPlayers> remaining_;
  std::vector<unsigned> players_;
  unsigned current_index_ = 0;
  board::PieceSizes last_piece_sizes_{};
  std::vector<Move> history_;
  std::vector<Footprint> turn_placements_;  // generated when the turn began
  std::vector<Footprint> open_;             // narrowed by the cells laid since
  std::vector<unsigned> laid_;             // cells laid this turn
};

::testing::AssertionResult matches(const Game& g, const ReferenceGame& ref) {
  auto fail = [] { return ::testing::AssertionFailure(); };
  const board::Board& b = g.board();
  const auto codes = reference::cell_codes(ref.owners());
  for (unsigned c = 0; c < kBoardCells; ++c)
    if (b.cells[c] != codes[c])
      return fail() << "cell code of " << c << " is " << int(b.cells[c]) << ", expected " << int(codes[c]);
  for (unsigned p = 0; p < kPlayers; ++p) {
    if (b.corners[p].to_vector() != reference::corner_cells(ref.owners(), p))
      return fail() << "corner cells of player " << p;
    if (checks::kinds_of(b.pieces[p]) != ref.remaining(p)) return fail() << "pieces of player " << p;
  }
  if (std::vector<unsigned>(g.players().begin(), g.players().end()) != ref.players())
    return fail() << "players still in the game";
  if (g.current_player() != ref.current()) return fail() << "player to move";
  if (ref.current() && g.current_index() != ref.current_index()) return fail() << "current index";
  if (g.is_over() != !ref.current().has_value()) return fail() << "game over";
  if (g.last_piece_sizes() != ref.last_piece_sizes()) return fail() << "last piece sizes";
  if (!std::equal(g.history().begin(), g.history().end(), ref.history().begin(), ref.history().end()))
    return fail() << "history";
  if (g.legal_tiles() != ref.legal()) return fail() << "legal tiles";
  if (ref.current()) {
    const unsigned p = *ref.current();
    const std::vector<Placement> open = g.open_placements();
    if (checks::footprints_of(b, p, open) != ref.open()) return fail() << "open placements";
    // The set under each legal cell: the open placements covering it.
    std::vector<std::vector<Placement>> covering(kBoardCells);
    for (const auto& placement : open)
      for (unsigned c : checks::footprint_of(b, p, placement).cells)
        if (b.owner(c) < 0) covering[c].push_back(placement);
    for (unsigned cell : g.legal_tiles())
      if (g.placements_covering(cell) != covering[cell]) return fail() << "placements covering " << cell;
  }
  const auto scores = ref.scores();
  if (g.get_score() != scores) return fail() << "scores";
  const std::int32_t best = *std::max_element(scores.begin(), scores.end());
  const auto leaders = static_cast<float>(std::count(scores.begin(), scores.end(), best));
  Payoff payoff{};
  for (unsigned p = 0; p < kPlayers; ++p) payoff[p] = scores[p] == best ? 1.0f / leaders : 0.0f;
  if (g.get_payoff() != payoff) return fail() << "payoff";
  return ::testing::AssertionSuccess();
}

// Plays one game with uniformly random legal tiles, checking every move.
// With `explicit_index_percent`, that share of moves also names a random
// remaining piece, which then ends at once.
void play_checked(std::uint64_t seed, unsigned explicit_index_percent, Events& events) {
  std::mt19937_64 rng(seed);
  Game g = Game::reset();
  ReferenceGame ref;
  ASSERT_TRUE(matches(g, ref)) << "seed " << seed << " at the start";
  unsigned moves = 0;
  while (!g.is_over()) {
    ASSERT_LT(moves, kMaxMoves) << "seed " << seed << ": the game runs past " << kMaxMoves << " moves";
    const auto tiles = g.legal_tiles();
    ASSERT_FALSE(tiles.empty());
    const unsigned cell = tiles[rng() % tiles.size()];
    std::optional<unsigned> piece_index;
    if (rng() % 100 < explicit_index_percent)
      piece_index = static_cast<unsigned>(rng() % g.board().pieces[*g.current_player()].size());
    ASSERT_EQ(g.apply(cell, piece_index), std::nullopt) << "seed " << seed << " move " << moves;
    ref.apply(cell, piece_index, events);
    ++moves;
    ASSERT_TRUE(matches(g, ref)) << "seed " << seed << " after move " << moves << " (cell " << cell << ")";
  }
  EXPECT_EQ(g.history().size(), moves);
}

class RandomPlayouts : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomPlayouts, agree_with_the_reference_after_every_move) {
  const unsigned shard = GetParam();
  const unsigned games = games_per_shard();
  Events events;
  for (unsigned i = 0; i < games; ++i) {
    play_checked(std::uint64_t{shard} * 1'000'003 + i, 0, events);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(events.games_over, games);
}

INSTANTIATE_TEST_SUITE_P(Shards, RandomPlayouts, ::testing::Range(0u, 8u));

TEST(RandomPlayoutsWithPieceIndex, agree_with_the_reference_after_every_move) {
  Events events;
  const unsigned games = std::max(1u, games_per_shard() / 2);
  for (unsigned i = 0; i < games; ++i) {
    play_checked(0xE0000000u + i, 10, events);
    if (HasFatalFailure()) return;
  }
}

// Every rule of turn passing occurs in these games, and each occurrence was
// checked against the reference.
TEST(RandomPlayouts, exercise_every_turn_passing_rule) {
  constexpr unsigned kGames = 12;
  Events events;
  for (unsigned i = 0; i < kGames; ++i) {
    play_checked(0xA0000000u + i, 0, events);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(events.one_passed_over, 0u);
  EXPECT_GT(events.two_passed_over, 0u);
  EXPECT_GT(events.first_passed_over, 0u);
  EXPECT_GT(events.moves_again, 0u);
  EXPECT_EQ(events.games_over, kGames);
  EXPECT_GT(events.single_cell_pieces, 0u);
  EXPECT_GT(events.smaller_pieces, 0u);
}

// A copy is a value: playing on in it leaves the original as it was, and the
// original's moves leave the copy as it was.
TEST(GameCopy, is_independent_of_the_original) {
  std::mt19937_64 rng(11);
  for (unsigned game = 0; game < 20; ++game) {
    Game g = Game::reset();
    std::vector<std::pair<checks::Snapshot, Game>> kept;
    while (!g.is_over()) {
      if (rng() % 16 == 0) {
        const auto before = checks::snapshot(g);
        Game copy = g;
        ASSERT_TRUE(checks::snapshot(copy) == before);
        // Play the copy to its end along other moves.
        while (!copy.is_over()) {
          const auto tiles = copy.legal_tiles();
          ASSERT_EQ(copy.apply(tiles[rng() % tiles.size()]), std::nullopt);
        }
        ASSERT_TRUE(checks::snapshot(g) == before);
        Game assigned = copy;
        assigned = g;
        ASSERT_TRUE(checks::snapshot(assigned) == before);
        kept.emplace_back(before, assigned);
      }
      const auto tiles = g.legal_tiles();
      ASSERT_EQ(g.apply(tiles[rng() % tiles.size()]), std::nullopt);
    }
    for (const auto& [before, copy] : kept) ASSERT_TRUE(checks::snapshot(copy) == before);
  }
}

TEST(GameCopy, plays_on_exactly_like_the_original) {
  std::mt19937_64 rng(12);
  Game g = Game::reset();
  for (unsigned i = 0; i < 150 && !g.is_over(); ++i) {
    const auto tiles = g.legal_tiles();
    ASSERT_EQ(g.apply(tiles[rng() % tiles.size()]), std::nullopt);
  }
  Game copy = g;
  while (!g.is_over()) {
    const auto tiles = g.legal_tiles();
    const unsigned cell = tiles[rng() % tiles.size()];
    ASSERT_EQ(g.apply(cell), std::nullopt);
    ASSERT_EQ(copy.apply(cell), std::nullopt);
    ASSERT_TRUE(checks::snapshot(copy) == checks::snapshot(g));
  }
}

}  // namespace
}  // namespace tilora::game
