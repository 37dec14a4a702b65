// Rules-engine speed: prints figures, asserts nothing.
//
//   engine_bench [scale [copy|tile_moves|playout]]
//
// Each figure is the median of several runs, timed in this thread's CPU time
// (so that other work on a shared machine inflates it less): nanoseconds per Game copy
// (mid-game positions) and the heap allocations it makes, microseconds per
// get_tile_moves (start position, and the mean over the turn starts met in
// random playouts, and the decisions of the same turns: get_tile_moves plus
// the containment test), and microseconds per complete random playout (reset to
// end, one uniformly random legal tile per move, legal tiles read every
// move). `scale` (default 1) multiplies the amount of work, e.g. 0.05 for a
// quick run under a profiler; a section name runs that section alone.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "decisions.h"
#include "game.h"
#include "tile_moves.h"

namespace {

// Heap allocations counted by the global operator new below.
std::uint64_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using tilora::game::Game;

constexpr unsigned kRuns = 7;

// Keeps the compiler from dropping a computation whose result is unused.
template <class T>
void keep(T const& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

// CPU seconds used by this thread so far.
double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double seconds_since(double start) { return cpu_now() - start; }

double median(std::vector<double> xs) {
  std::sort(xs.begin(), xs.end());
  return xs[xs.size() / 2];
}

// Plays one uniformly random game; calls visit(game) before every move.
template <class Visit>
void random_playout(std::mt19937_64& rng, Visit&& visit) {
  Game g = Game::reset();
  while (!g.is_over()) {
    visit(g);
    const auto tiles = g.legal_tiles();
    if (g.apply(tiles[rng() % tiles.size()])) std::abort();
  }
}

void bench_copy(double scale) {
  // Positions from the middle of random games, every stage of a turn.
  std::mt19937_64 rng(1);
  std::vector<Game> positions;
  while (positions.size() < 64)
    random_playout(rng, [&](const Game& g) {
      const unsigned moves = g.history().size();
      if (moves >= 60 && moves < 220 && moves % 40 == positions.size() % 40 && positions.size() < 64)
        positions.push_back(g);
    });

  const auto rounds = static_cast<unsigned>(std::max(1.0, 20000 * scale));
  alignas(Game) unsigned char storage[sizeof(Game)];
  std::vector<double> ns;
  std::uint64_t allocs = 0;
  for (unsigned run = 0; run < kRuns; ++run) {
    const std::uint64_t allocs_before = allocations;
    const auto start = cpu_now();
    for (unsigned r = 0; r < rounds; ++r)
      for (const Game& p : positions) {
        Game* copy = new (storage) Game(p);
        keep(*copy);
        copy->~Game();
      }
    ns.push_back(seconds_since(start) * 1e9 / (double(rounds) * positions.size()));
    allocs = allocations - allocs_before;
  }
  std::printf("Game copy (mid-game, copy + destroy):  %8.1f ns   heap allocations per copy: %.3f   sizeof(Game): %zu bytes\n",
              median(ns), double(allocs) / (double(rounds) * positions.size()), sizeof(Game));
}

void bench_tile_moves(double scale) {
  const tilora::board::Board start_board;
  const auto calls = static_cast<unsigned>(std::max(1.0, 20000 * scale));
  std::vector<double> us;
  for (unsigned run = 0; run < kRuns; ++run) {
    const auto start = cpu_now();
    for (unsigned i = 0; i < calls; ++i) keep(tilora::game::get_tile_moves(start_board, 0));
    us.push_back(seconds_since(start) * 1e6 / calls);
  }
  std::printf("get_tile_moves, start position:        %8.2f us\n", median(us));

  // Every turn start of some random games: the board and the player to move
  // before the first cell of a piece.
  struct TurnStart {
    tilora::board::Board board;
    unsigned player;
    Game game;
  };
  std::vector<TurnStart> turns;
  std::mt19937_64 rng(2);
  const auto games = static_cast<unsigned>(std::max(1.0, 50 * scale));
  for (unsigned i = 0; i < games; ++i) {
    std::optional<unsigned> last_player;
    unsigned last_pieces = 0;
    random_playout(rng, [&](const Game& g) {
      const unsigned p = *g.current_player();
      const unsigned pieces = g.board().pieces[p].size();
      if (p != last_player || pieces != last_pieces) turns.push_back({g.board(), p, g});
      last_player = p;
      last_pieces = pieces;
    });
  }
  std::vector<double> mean_us, first_us, decisions_us;
  std::size_t placements = 0, decisions = 0;
  std::vector<tilora::game::Decision> scratch;
  for (unsigned run = 0; run < kRuns; ++run) {
    placements = 0;
    auto start = cpu_now();
    for (const auto& t : turns) {
      const auto moves = tilora::game::get_tile_moves(t.board, t.player);
      placements += moves.placements().size();
      keep(moves);
    }
    mean_us.push_back(seconds_since(start) * 1e6 / double(turns.size()));
    start = cpu_now();
    for (const auto& t : turns) keep(tilora::game::first_cells(t.board, t.player));
    first_us.push_back(seconds_since(start) * 1e6 / double(turns.size()));
    decisions = 0;
    start = cpu_now();
    for (const auto& t : turns) {
      tilora::game::turn_decisions(t.game, scratch);
      decisions += scratch.size();
      keep(scratch);
    }
    decisions_us.push_back(seconds_since(start) * 1e6 / double(turns.size()));
  }
  std::printf("get_tile_moves, playout turn starts:   %8.2f us   (mean over %zu positions, %.0f placements each)\n",
              median(mean_us), turns.size(), double(placements) / double(turns.size()));
  std::printf("first_cells, playout turn starts:      %8.2f us\n", median(first_us));
  std::printf("turn_decisions, playout turn starts:   %8.2f us   (%.0f decisions each)\n", median(decisions_us),
              double(decisions) / double(turns.size()));
}

void bench_playout(double scale) {
  const auto games = static_cast<unsigned>(std::max(1.0, 300 * scale));
  std::mt19937_64 rng(3);
  std::vector<double> us;
  std::uint64_t moves = 0, allocs = 0;
  for (unsigned run = 0; run < kRuns; ++run) {
    moves = 0;
    const std::uint64_t allocs_before = allocations;
    const auto start = cpu_now();
    for (unsigned i = 0; i < games; ++i) {
      Game g = Game::reset();
      while (!g.is_over()) {
        const auto tiles = g.legal_tiles();
        if (g.apply(tiles[rng() % tiles.size()])) std::abort();
        ++moves;
      }
      keep(g);
    }
    us.push_back(seconds_since(start) * 1e6 / games);
    allocs = allocations - allocs_before;
  }
  std::printf("random playout, reset to end:          %8.1f us   (%.1f moves, %.0f heap allocations each)\n",
              median(us), double(moves) / games, double(allocs) / games);
}

}  // namespace

int main(int argc, char** argv) {
  double scale = 1.0;
  const std::string only = argc > 2 ? argv[2] : "";
  if (argc > 3 || (!only.empty() && only != "copy" && only != "tile_moves" && only != "playout")) {
    std::fprintf(stderr, "usage: engine_bench [scale [copy|tile_moves|playout]]\n");
    return 2;
  }
  if (argc > 1) {
    char* end = nullptr;
    scale = std::strtod(argv[1], &end);
    if (end == argv[1] || *end != '\0' || !(scale > 0)) {
      std::fprintf(stderr, "engine_bench: the scale must be a positive number, got \"%s\"\n", argv[1]);
      return 2;
    }
  }
  std::printf("median of %u runs\n", kRuns);
  if (only.empty() || only == "copy") bench_copy(scale);
  if (only.empty() || only == "tile_moves") bench_tile_moves(scale);
  if (only.empty() || only == "playout") bench_playout(scale);
  return 0;
}
