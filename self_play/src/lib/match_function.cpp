// play_match(id, seats, seed=None, *, opening=None, turns=None): one game, or
// part of one, every seat played by its own player.
#include "lib/match_function.h"

#include <array>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "lib/call_guard.h"
#include "lib/config_reader.h"
#include "lib/conversion.h"
#include "lib/errors.h"
#include "lib/py_network.h"
#include "lib/py_ref.h"
#include "play/baseline_networks.h"
#include "play/play_match.h"
#include "simulation/random.h"

namespace tilora::self_play::py {
namespace {

// One seat of play_match, read from its (config, inference_queue, pipe).
struct SeatObjects {
  py_ref seat;  // the tuple, held for the call: it owns the three below
  PyObject* config = nullptr;
  PyObject* inference_queue = nullptr;
  PyObject* pipe = nullptr;
};

enum class SeatKind { kNetwork, kRollout, kUniform, kHeuristic, kGreedy };

// The seat's player kind from its config's optional attribute "player".
SeatKind seat_kind(PyObject* config, unsigned seat) {
  py_ref value = optional_attribute(config, "player");
  if (!value) return SeatKind::kNetwork;
  if (PyUnicode_Check(value.get())) {
    if (PyUnicode_CompareWithASCIIString(value.get(), "network") == 0) return SeatKind::kNetwork;
    if (PyUnicode_CompareWithASCIIString(value.get(), "rollout") == 0) return SeatKind::kRollout;
    if (PyUnicode_CompareWithASCIIString(value.get(), "uniform") == 0) return SeatKind::kUniform;
    if (PyUnicode_CompareWithASCIIString(value.get(), "heuristic") == 0) return SeatKind::kHeuristic;
    if (PyUnicode_CompareWithASCIIString(value.get(), "greedy") == 0) return SeatKind::kGreedy;
  }
  throw_error(PyExc_ValueError,
              "seat %u: config.player must be 'network', 'rollout', 'uniform', 'heuristic' or 'greedy', got %R",
              seat, value.get());
}

// A seat's optional attribute `name`, missing or None for `fallback`: an int
// of at least `least`; raises a ValueError or TypeError that names it.
unsigned seat_count(PyObject* config, const char* name, unsigned least, unsigned fallback) {
  py_ref value = optional_attribute(config, name);
  if (!value) return fallback;
  if (!PyLong_Check(value.get()) || PyBool_Check(value.get()))
    throw_error(PyExc_TypeError, "%s must be an int, got '%.200s'", name, Py_TYPE(value.get())->tp_name);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  // The top is far beyond any useful count, and keeps a sum of playouts exact in its loop counter.
  constexpr long long kMost = 1 << 20;
  if (overflow != 0 || v < least || v > kMost)
    throw_error(PyExc_ValueError, "%s must be from %u to %lld, got %R", name, least, kMost, value.get());
  return static_cast<unsigned>(v);
}

// A seat's optional flag `name` (missing or None: false).
bool seat_flag(PyObject* config, const char* name) {
  py_ref value = optional_attribute(config, name);
  if (!value) return false;
  if (!PyBool_Check(value.get()))
    throw_error(PyExc_TypeError, "%s must be True or False, got %R", name, value.get());
  return value.get() == Py_True;
}

// The four seats of `seats` (a list or tuple) as (config, inference_queue,
// pipe) triples.
std::array<SeatObjects, kPlayers> seat_objects(PyObject* seats) {
  py_ref fast = check(PySequence_Fast(seats, "play_match() seats must be a sequence"));
  if (PySequence_Fast_GET_SIZE(fast.get()) != kPlayers)
    throw_error(PyExc_ValueError, "play_match() needs 4 seats, got %zd", PySequence_Fast_GET_SIZE(fast.get()));
  std::array<SeatObjects, kPlayers> objects;
  for (unsigned p = 0; p < kPlayers; ++p) {
    PyObject* seat = PySequence_Fast_GET_ITEM(fast.get(), p);
    if (!PyTuple_Check(seat) || PyTuple_GET_SIZE(seat) != 3)
      throw_error(PyExc_TypeError, "seat %u must be a tuple (config, inference_queue, pipe), got '%.200s'", p,
                  Py_TYPE(seat)->tp_name);
    objects[p] = {py_ref::ref(seat), PyTuple_GET_ITEM(seat, 0), PyTuple_GET_ITEM(seat, 1),
                  PyTuple_GET_ITEM(seat, 2)};
  }
  return objects;
}

// The part of the game to play: play_match's opening and turns.
MatchSpan match_span(PyObject* opening, PyObject* turns) {
  MatchSpan span;
  if (opening != Py_None) {
    py_ref cells = check(PySequence_Fast(opening, "play_match() opening must be a sequence of cells"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(cells.get()); ++i) {
      const long cell = PyLong_AsLong(PySequence_Fast_GET_ITEM(cells.get(), i));
      if (cell == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
      if (cell < 0 || cell >= static_cast<long>(kBoardCells))
        throw_error(PyExc_ValueError, "play_match() opening: cell %ld is off the board", cell);
      span.opening.push_back(static_cast<unsigned>(cell));
    }
  }
  if (turns != Py_None) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(turns, &overflow);
    if (count == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (overflow < 0 || (overflow == 0 && count < 0)) throw_error(PyExc_ValueError, "play_match() turns must be at least 0, got %R", turns);
    // A count beyond any game's length is taken whole: the match plays to its end.
    constexpr auto kMost = std::numeric_limits<unsigned>::max();
    span.turns = overflow > 0 || count > static_cast<long long>(kMost) ? kMost : static_cast<unsigned>(count);
  }
  return span;
}

// Ends the match on a pending signal (Ctrl-C) before each move, and lets
// other threads run while a seat played in C++ thinks. A network seat keeps
// the interpreter lock: its search calls Python at every evaluation.
class LockFreeingRunner final : public MoveRunner {
 public:
  explicit LockFreeingRunner(const std::array<bool, kPlayers>& in_cpp) : in_cpp_(in_cpp) {}

  unsigned run(unsigned seat, const std::function<unsigned()>& choose) override {
    if (PyErr_CheckSignals() != 0) throw ErrorAlreadySet{};
    if (!in_cpp_[seat]) return choose();
    GilRelease release;
    return choose();
  }

 private:
  std::array<bool, kPlayers> in_cpp_;  // per seat: it never calls Python
};

}  // namespace

PyObject* play_match(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", "seats", "seed", "opening", "turns", nullptr};
  int id = 0;
  PyObject* seats_object = nullptr;
  PyObject* seed_object = Py_None;
  PyObject* opening_object = Py_None;
  PyObject* turns_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|O$OO:play_match", const_cast<char**>(keywords), &id,
                                   &seats_object, &seed_object, &opening_object, &turns_object))
    return nullptr;
  GilHold gil;
  std::array<std::optional<PyNetwork>, kPlayers> networks;
  try {
    std::optional<std::uint64_t> seed;
    if (seed_object != Py_None) seed = to_seed(seed_object);
    const MatchSpan span = match_span(opening_object, turns_object);
    const std::array<SeatObjects, kPlayers> objects = seat_objects(seats_object);

    std::optional<Rng> seeded;
    if (seed) seeded.emplace(seeded_rng(*seed));
    Rng& rng = seeded ? *seeded : thread_rng();
    std::array<std::optional<RolloutNetwork>, kPlayers> rollouts;
    UniformNetwork uniform;
    HeuristicNetwork heuristic;
    std::array<std::optional<EqualPriorsNetwork>, kPlayers> equal;
    std::array<std::optional<PlayoutMixNetwork>, kPlayers> mixes;
    std::array<SeatPlayer, kPlayers> seats;
    std::array<bool, kPlayers> in_cpp{};
    for (unsigned p = 0; p < kPlayers; ++p) {
      const SeatObjects& seat = objects[p];
      const std::string where = " of seat " + std::to_string(p);
      const SeatKind kind = refusing_unreadable(where, [&] { return seat_kind(seat.config, p); });
      in_cpp[p] = kind != SeatKind::kNetwork;
      if (kind == SeatKind::kGreedy) {
        seats[p] = GreedyPlayer{};
        continue;
      }
      const Config config = refusing_unreadable(where, [&] { return read_config(seat.config); });
      Network* network = nullptr;
      if (kind == SeatKind::kRollout) {
        refusing_unreadable(where, [&] {
          const unsigned playouts = seat_count(seat.config, "playouts", 1, 1);
          const unsigned turns = seat_count(seat.config, "playout_turns", 0, 0);
          network = &rollouts[p].emplace(rng, playouts, turns);
        });
      } else if (kind == SeatKind::kUniform) {
        network = &uniform;
      } else if (kind == SeatKind::kHeuristic) {
        network = &heuristic;
      } else {
        const bool equal_priors = refusing_unreadable(where, [&] { return seat_flag(seat.config, "equal_priors"); });
        if (seat.inference_queue == Py_None || seat.pipe == Py_None)
          throw_error(PyExc_ValueError, "seat %u plays with a network but has no inference_queue or pipe", p);
        network = &networks[p].emplace(seat.inference_queue, seat.pipe, id, config.packed_planes);
        if (equal_priors) network = &equal[p].emplace(*network);
        network = &with_playouts(*network, mixes[p], rng, config.rollout_weight);
      }
      seats[p] = SearchSeat{config, network};
    }
    // Once every seat is read, before the first move.
    for (const SeatPlayer& seat : seats)
      if (const auto* search = std::get_if<SearchSeat>(&seat)) check_config(search->config);
    LockFreeingRunner runner(in_cpp);
    return to_python(play_match(seats, rng, runner, span)).release();
  } catch (...) {
    raise_current_exception([&](const EvaluationFailed& failure) {
      const auto seat = static_cast<unsigned>(failure.seat);
      raise_internal_stop("seat " + std::to_string(seat) + ": " + failure.what(),
                          seat < kPlayers && networks[seat] ? networks[seat]->take_error() : py_ref{});
    });
  }
  return nullptr;
}

const char kPlayMatchDoc[] =
    "play_match(id, seats, seed=None, *, opening=None, turns=None)\n"
    "--\n"
    "\n"
    "Plays one game in which each seat's moves are chosen by its own player.\n"
    "\n"
    "seats holds four (config, inference_queue, pipe) tuples, seat p playing\n"
    "player p. config.player (optional) names the player: 'network' (the\n"
    "default) searches with config's settings and sends every position of\n"
    "its own searches to its own inference_queue and pipe, exactly as\n"
    "generate_game_data does (config.equal_priors=True: its values with\n"
    "equal priors); 'rollout' searches the same way but values each\n"
    "position by random playouts, with equal priors (queue and pipe may be\n"
    "None): the mean of config.playouts of them (default 1), each to the end\n"
    "or, with config.playout_turns T > 0, cut after T turns and valued by the\n"
    "heuristic; 'heuristic' values each position by a softmax over the players\n"
    "of score plus open corner cells, over equal priors; 'uniform' values\n"
    "every position at par (0.25 each);\n"
    "'greedy' lays, each turn, a placement with the most cells (ties at\n"
    "random) and needs no other setting. seed (an int) fixes every random draw.\n"
    "opening (cells, whole turns) is laid first, with empty policy entries;\n"
    "turns (an int) stops the match once that many more turns are finished,\n"
    "paid by the scores reached.\n"
    "\n"
    "Returns (history, policies, payoff) as generate_game_data does; a greedy\n"
    "move's policy entry is its cell with share 1.0. Draws no progress bar and\n"
    "prints no summary. A failed evaluation raises the internal-stop exception\n"
    "naming the seat, with the network's exception as its cause; one of the\n"
    "network's exceptions that is not an Exception (such as KeyboardInterrupt)\n"
    "leaves the call as it is. Other threads run while a seat played in C++\n"
    "thinks, and a signal (Ctrl-C) ends the match before the next\n"
    "move.";


}  // namespace tilora::self_play::py
