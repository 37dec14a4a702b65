// tilora_zero._engine: the rules engine for the toolkit.
//
// `Game` wraps the engine's game state; `planes()` is the very encoding the
// self-play module sends with its inference requests. `pack_planes` and
// `replay_planes` are the two hot helpers of the toolkit: the first turns one
// request's planes (a list of 5 lists of 400 floats) into 250 bytes, the second
// replays a recorded game into the planes before each of its moves.
// `playout_means` labels a recorded game's positions with what the rollout
// player's leaf value measures, the payoff of uniformly random playouts.
//
// Packed planes: the 2,000 entries in plane-major order (plane p, cell k at
// p * 400 + k), eight to a byte, first entry in the most significant bit, which
// is numpy.packbits' order.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "game.h"
#include "play/baseline_networks.h"
#include "simulation/random.h"
#include "simulation/state_repr.h"

namespace nb = nanobind;

void bind_int8_network(nb::module_& m);  // int8_binding.cpp

namespace {

using tilora::game::Game;

constexpr unsigned kPlaneCount = tilora::self_play::kPlanes;
constexpr unsigned kPlaneEntries = kPlaneCount * tilora::kBoardCells;
constexpr unsigned kPackedBytes = tilora::self_play::kPackedPlaneBytes;

// A move the rules refuse ("Invalid move", "No current player"); raised in
// Python as tilora_zero.RuleError, a ValueError.
class RuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class T, ssize_t... Shape>
using NumpyArray = nb::ndarray<nb::numpy, T, nb::shape<Shape...>>;

// Hands a heap buffer to NumPy; the capsule frees it with the array.
template <class T>
nb::capsule owner_of(T* data) {
  return nb::capsule(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
}

NumpyArray<float, 5, 20, 20> planes_of(const Game& game) {
  if (!game.current_player()) throw RuleError(std::string(tilora::game::kNoCurrentPlayer));
  const auto repr = tilora::self_play::get_representation(game);
  auto* data = new float[kPlaneEntries];
  std::copy(repr.begin(), repr.end(), data);
  return NumpyArray<float, 5, 20, 20>(data, {kPlaneCount, tilora::kBoardSide, tilora::kBoardSide},
                                      owner_of(data));
}

void apply_cell(Game& game, std::int64_t cell) {
  if (game.is_over()) throw RuleError(std::string(tilora::game::kNoCurrentPlayer));
  if (cell < 0 || cell >= static_cast<std::int64_t>(tilora::kBoardCells))
    throw RuleError(std::string(tilora::game::kInvalidMove));
  if (auto error = game.apply(static_cast<unsigned>(cell))) throw RuleError(std::string(*error));
}

unsigned checked_player(int player) {
  if (player < 0 || player >= static_cast<int>(tilora::kPlayers))
    throw nb::index_error(("player must be 0 to 3, got " + std::to_string(player)).c_str());
  return static_cast<unsigned>(player);
}

// Reads one plane entry; any non-zero number counts as set.
bool entry_is_set(PyObject* item) {
  if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item) != 0.0;
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return value != 0.0;
}

// Borrowed fast sequence view; raises TypeError naming what was expected.
nb::object fast_sequence(nb::handle seq, Py_ssize_t expected, const char* what) {
  PyObject* fast = PySequence_Fast(seq.ptr(), what);
  if (!fast) throw nb::python_error();
  nb::object owned = nb::steal(fast);
  if (PySequence_Fast_GET_SIZE(fast) != expected)
    throw nb::type_error((std::string(what) + ", got " +
                          std::to_string(PySequence_Fast_GET_SIZE(fast)) + " entries")
                             .c_str());
  return owned;
}

nb::bytes pack_planes(nb::handle planes) {
  tilora::self_play::PackedPlanes packed{};
  nb::object outer = fast_sequence(planes, kPlaneCount, "planes must be a sequence of 5 planes");
  for (unsigned p = 0; p < kPlaneCount; ++p) {
    nb::object plane = fast_sequence(PySequence_Fast_GET_ITEM(outer.ptr(), p), tilora::kBoardCells,
                                     "a plane must be a sequence of 400 numbers");
    PyObject** items = PySequence_Fast_ITEMS(plane.ptr());
    for (unsigned k = 0; k < tilora::kBoardCells; ++k) {
      if (entry_is_set(items[k]))
        tilora::self_play::set_packed_entry(packed, p * tilora::kBoardCells + k);
    }
  }
  return nb::bytes(reinterpret_cast<const char*>(packed.data()), packed.size());
}

NumpyArray<std::uint8_t, -1, 5, 20, 20> replay_planes(
    nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> cells) {
  const std::size_t moves = cells.shape(0);
  auto* data = new std::uint8_t[std::max<std::size_t>(moves, 1) * kPlaneEntries];
  NumpyArray<std::uint8_t, -1, 5, 20, 20> result(
      data, {moves, kPlaneCount, tilora::kBoardSide, tilora::kBoardSide}, owner_of(data));
  Game game = Game::reset();
  for (std::size_t i = 0; i < moves; ++i) {
    const std::int64_t cell = cells(i);
    if (game.is_over())
      throw RuleError("move " + std::to_string(i) + " (cell " + std::to_string(cell) +
                      "): " + std::string(tilora::game::kNoCurrentPlayer));
    const auto repr = tilora::self_play::get_representation(game);
    std::uint8_t* out = data + i * kPlaneEntries;
    for (unsigned j = 0; j < kPlaneEntries; ++j) out[j] = repr[j] != 0.0f;
    try {
      apply_cell(game, cell);
    } catch (const RuleError& error) {
      throw RuleError("move " + std::to_string(i) + " (cell " + std::to_string(cell) + "): " +
                      error.what());
    }
  }
  return result;
}

using CellArray = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Each position draws from its own generator, fixed by the seed and the
// position's move index, so a subset of positions gets the very figures the
// whole game's call gives them.
tilora::self_play::Rng position_rng(std::uint64_t seed, std::size_t move) {
  std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                      static_cast<std::uint32_t>(move), static_cast<std::uint32_t>(move >> 32)};
  return tilora::self_play::Rng(words);
}

NumpyArray<float, -1, 4> playout_means(CellArray cells, int playouts, std::uint64_t seed,
                                       std::optional<CellArray> moves) {
  if (playouts < 1)
    throw nb::value_error(("playouts must be at least 1, got " + std::to_string(playouts)).c_str());
  const std::size_t length = cells.shape(0);
  const std::vector<std::int64_t> game_cells(cells.data(), cells.data() + length);
  std::vector<std::size_t> wanted;
  if (moves) {
    for (std::size_t i = 0; i < moves->shape(0); ++i) {
      const std::int64_t move = (*moves)(i);
      if (move < 0 || static_cast<std::size_t>(move) > length)
        throw nb::index_error(("move index " + std::to_string(move) + " outside 0 to " +
                               std::to_string(length))
                                  .c_str());
      if (!wanted.empty() && static_cast<std::size_t>(move) <= wanted.back())
        throw nb::value_error("move indices must be strictly ascending");
      wanted.push_back(static_cast<std::size_t>(move));
    }
  } else {
    for (std::size_t i = 0; i < length; ++i) wanted.push_back(i);
  }
  auto* data = new float[std::max<std::size_t>(wanted.size(), 1) * tilora::kPlayers];
  NumpyArray<float, -1, 4> result(data, {wanted.size(), tilora::kPlayers}, owner_of(data));
  {
    nb::gil_scoped_release unlocked;
    Game game = Game::reset();
    std::size_t played = 0;
    for (std::size_t row = 0; row < wanted.size(); ++row) {
      for (; played < wanted[row]; ++played) {
        try {
          apply_cell(game, game_cells[played]);
        } catch (const RuleError& error) {
          throw RuleError("move " + std::to_string(played) + " (cell " +
                          std::to_string(game_cells[played]) + "): " + error.what());
        }
      }
      auto rng = position_rng(seed, wanted[row]);
      std::array<double, tilora::kPlayers> sum{};
      for (int n = 0; n < playouts; ++n) {
        const auto payoff = tilora::self_play::random_playout(game, rng);
        for (unsigned p = 0; p < tilora::kPlayers; ++p) sum[p] += payoff[p];
      }
      for (unsigned p = 0; p < tilora::kPlayers; ++p)
        data[row * tilora::kPlayers + p] = static_cast<float>(sum[p] / playouts);
    }
  }
  return result;
}

NumpyArray<std::int16_t, -1> legal_tiles_of(const Game& game) {
  const auto& legal = game.legal_cells();
  const std::size_t count = legal.size();
  auto* data = new std::int16_t[std::max<std::size_t>(count, 1)];
  std::size_t i = 0;
  legal.for_each([&](unsigned cell) { data[i++] = static_cast<std::int16_t>(cell); });
  return NumpyArray<std::int16_t, -1>(data, {count}, owner_of(data));
}

NumpyArray<std::uint8_t, 400> cells_of(const Game& game) {
  const auto& cells = game.board().cells;
  auto* data = new std::uint8_t[tilora::kBoardCells];
  std::copy(cells.begin(), cells.end(), data);
  return NumpyArray<std::uint8_t, 400>(data, {tilora::kBoardCells}, owner_of(data));
}

std::vector<std::pair<int, int>> history_of(const Game& game) {
  std::vector<std::pair<int, int>> moves;
  moves.reserve(game.history().size());
  for (const auto& move : game.history()) moves.emplace_back(move.player, move.cell);
  return moves;
}

std::vector<int> remaining_pieces(const Game& game, int player) {
  const auto& pieces = game.board().pieces[checked_player(player)];
  std::vector<int> kinds;
  for (unsigned i = 0; i < pieces.size(); ++i) kinds.push_back(static_cast<int>(pieces.kind_at(i)));
  return kinds;
}

}  // namespace

NB_MODULE(_engine, m) {
  m.doc() = "The rules engine and the network input encoding, for the tilora_zero toolkit.";
  nb::exception<RuleError>(m, "RuleError", PyExc_ValueError);

  m.attr("BOARD_SIDE") = tilora::kBoardSide;
  m.attr("BOARD_CELLS") = tilora::kBoardCells;
  m.attr("PLAYERS") = tilora::kPlayers;
  m.attr("PIECE_KINDS") = tilora::kPieceKinds;
  m.attr("PLANES") = kPlaneCount;
  m.attr("PACKED_PLANE_BYTES") = kPackedBytes;
  m.attr("START_CORNERS") = nb::make_tuple(tilora::kStartCorners[0], tilora::kStartCorners[1],
                                           tilora::kStartCorners[2], tilora::kStartCorners[3]);

  nb::class_<Game>(m, "Game", "A four-player game in progress, played one cell per move.")
      .def("__init__",
           [](Game* game, int first_player) {
             new (game) Game(Game::reset(checked_player(first_player)));
           },
           nb::arg("first_player") = 0,
           "A new game in the starting position, player 0 to move (or `first_player`: the "
           "same game with the seats renamed, as after a rotation of the board).")
      .def("reset", [](Game& game) { game = Game::reset(); },
           "Returns the game to the starting position.")
      .def("apply", &apply_cell, nb::arg("cell"),
           "Lays `cell` for the player to move. Raises RuleError (\"Invalid move\" or "
           "\"No current player\") and leaves the game unchanged when the rules refuse it.")
      .def("legal_tiles", &legal_tiles_of,
           "The cells the player to move may lay next, ascending (int16).")
      .def_prop_ro("current_player",
                   [](const Game& game) -> std::optional<int> {
                     if (auto player = game.current_player()) return static_cast<int>(*player);
                     return std::nullopt;
                   },
                   "The player to move, or None when the game is over.")
      .def_prop_ro("is_over", &Game::is_over, "Whether every player is out.")
      .def_prop_ro("turn_started", &Game::turn_started,
                   "Whether the player to move has laid a cell of its piece this turn.")
      .def("score",
           [](const Game& game) {
             const auto scores = game.get_score();
             return std::vector<int>(scores.begin(), scores.end());
           },
           "The four players' scores.")
      .def("payoff",
           [](const Game& game) {
             const auto payoff = game.get_payoff();
             return std::vector<float>(payoff.begin(), payoff.end());
           },
           "The four players' payoff: the best score's holders share 1.0 equally.")
      .def_prop_ro("history", &history_of, "The moves played, as (player, cell) pairs.")
      .def_prop_ro("cells", &cells_of, nb::rv_policy::move,
                   "A copy of the board's 400 cell codes (low four bits: 0 empty, 1 + owner).")
      .def("planes", &planes_of,
           "The five 20 x 20 input planes of the position, exactly as the self-play module "
           "sends them (float32). Raises RuleError when the game is over.")
      .def("remaining_pieces", &remaining_pieces, nb::arg("player"),
           "The piece kinds (0 to 20) that `player` has not laid yet, in catalogue order.")
      .def("copy", [](const Game& game) { return Game(game); }, "An independent copy.")
      .def("__copy__", [](const Game& game) { return Game(game); })
      .def("__deepcopy__", [](const Game& game, nb::handle) { return Game(game); }, nb::arg("memo"))
      .def("__repr__", [](const Game& game) {
        const auto player = game.current_player();
        return "<Game moves=" + std::to_string(game.history().size()) +
               (player ? " to_move=" + std::to_string(*player) : std::string(" over")) + ">";
      });

  bind_int8_network(m);

  m.def("pack_planes", &pack_planes, nb::arg("planes"),
        "Packs one request's planes (5 sequences of 400 numbers, 0 or 1) into 250 bytes, "
        "numpy.packbits order over the flat plane-major entries.");
  m.def("replay_planes", &replay_planes, nb::arg("cells"),
        "The planes (uint8, [M, 5, 20, 20]) before each move of the game whose moves are "
        "`cells`. Raises RuleError naming the first move the rules refuse.");
  m.def("replay_planes",
        [](const std::vector<std::int64_t>& cells) {
          return replay_planes(
              nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>(
                  cells.data(), {cells.size()}, nb::handle()));
        },
        nb::arg("cells"));
  m.def("playout_means", &playout_means, nb::arg("cells"), nb::arg("playouts"), nb::arg("seed"),
        nb::arg("moves") = nb::none(),
        "The mean payoff (float32 [M, 4], absolute player order) of `playouts` uniformly random "
        "playouts to the end of the game from the position before each move of the game whose "
        "moves are `cells` (int64), or before each move index in `moves` (ascending; "
        "len(cells) is the position after the last move). The same seed gives the same "
        "figures to the same position in any call. Runs without the GIL.");
}
