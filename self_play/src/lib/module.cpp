// The extension module tilora_self_play and its one function,
// generate_game_data. The module keeps no state between calls.
#include <Python.h>

#include <new>
#include <optional>
#include <string>

#include "arguments.h"
#include "config_reader.h"
#include "conversion.h"
#include "errors.h"
#include "py_network.h"
#include "py_ref.h"
#include "simulation/internal_stop.h"
#include "simulation/mcts.h"
#include "simulation/console_reporter.h"
#include "simulation/play_game.h"
#include "simulation/play_match.h"
#include "simulation/baseline_networks.h"
#include "simulation/random.h"

namespace tilora::self_play::py {
namespace {

// Holds the interpreter lock, nested in the caller's hold, for one call.
class GilHold {
 public:
  GilHold() : state_(PyGILState_Ensure()) {}
  ~GilHold() { PyGILState_Release(state_); }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  PyGILState_STATE state_;
};

// Plays the game once the arguments are matched; null with an exception set
// on failure. Nothing unwinds out of it.
PyObject* play(PyObject* config_object, PyObject* inference_queue, PyObject* pipe,
               std::int32_t id) {
  const py_ref config_ref = py_ref::ref(config_object);
  GilHold gil;
  std::optional<PyNetwork> network;
  try {
    const std::optional<Config> config = read_config(config_object);
    if (!config) {
      py_ref error = fetch_exception();
      const std::string message = "invalid configuration: " + text_form(error.get());
      raise_internal_stop(message, std::move(error));
      return nullptr;
    }
    network.emplace(inference_queue, pipe, id, config->packed_planes);
    std::optional<Rng> seeded;
    if (config->seed) seeded.emplace(seeded_rng(*config->seed));
    check_config(*config);  // before the progress bar is drawn
    ConsoleReporter reporter;
    Rng& rng = seeded ? *seeded : thread_rng();
    std::optional<PlayoutMixNetwork> mixed;
    if (config->rollout_weight > 0.0f) mixed.emplace(*network, rng, config->rollout_weight);
    try {
      return to_python(play_game(*config, mixed ? static_cast<Network&>(*mixed) : *network, rng, reporter))
          .release();
    } catch (const EvaluationFailed& failure) {
      if (failure.where != EvaluationFailed::Where::kRoot) throw;
      ConsoleReporter::root_evaluation_failed(failure.error_text);
      raise_driver_error(kErrorRunningMcts);
      return nullptr;
    }
  } catch (const EvaluationFailed& failure) {
    raise_internal_stop(failure.what(), network ? network->take_error() : py_ref{});
  } catch (const InternalStop& stop) {
    raise_internal_stop(stop.what());
  } catch (const ErrorAlreadySet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_stop(std::string("internal error: ") + error.what());
  } catch (...) {
    raise_internal_stop("internal error: an unknown C++ exception");
  }
  return nullptr;
}

PyObject* generate_game_data(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  try {
    const std::optional<Arguments> arguments = match_arguments(args, nargs, kwnames);
    if (!arguments) return nullptr;
    const auto [id_object, config, inference_queue, pipe] = *arguments;
    const std::optional<std::int32_t> id = convert_id(id_object);
    if (!id) return nullptr;
    return play(config, inference_queue, pipe, *id);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_internal_stop("internal error while matching the arguments");
  }
  return nullptr;
}

// One seat of play_match, read from its (config, inference_queue, pipe).
struct SeatObjects {
  py_ref seat;  // the tuple, held for the call: it owns the three below
  PyObject* config = nullptr;
  PyObject* inference_queue = nullptr;
  PyObject* pipe = nullptr;
};

enum class SeatKind { kNetwork, kRollout, kUniform, kGreedy };

// The seat's player kind from its config's optional attribute "player".
// Returns none with an exception set.
std::optional<SeatKind> seat_kind(PyObject* config, unsigned seat) {
  py_ref value = py_ref::steal(PyObject_GetAttrString(config, "player"));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    return SeatKind::kNetwork;
  }
  if (value.get() == Py_None) return SeatKind::kNetwork;
  if (PyUnicode_Check(value.get())) {
    if (PyUnicode_CompareWithASCIIString(value.get(), "network") == 0) return SeatKind::kNetwork;
    if (PyUnicode_CompareWithASCIIString(value.get(), "rollout") == 0) return SeatKind::kRollout;
    if (PyUnicode_CompareWithASCIIString(value.get(), "uniform") == 0) return SeatKind::kUniform;
    if (PyUnicode_CompareWithASCIIString(value.get(), "greedy") == 0) return SeatKind::kGreedy;
  }
  PyErr_Format(PyExc_ValueError,
               "seat %u: config.player must be 'network', 'rollout', 'uniform' or 'greedy', got %R", seat,
               value.get());
  return std::nullopt;
}

// The four seats of `fast` (a list or tuple) as (config, inference_queue,
// pipe) triples. Returns none with an exception set.
std::optional<std::array<SeatObjects, kPlayers>> seat_objects(PyObject* fast) {
  if (PySequence_Fast_GET_SIZE(fast) != kPlayers) {
    PyErr_Format(PyExc_ValueError, "play_match() needs 4 seats, got %zd",
                 PySequence_Fast_GET_SIZE(fast));
    return std::nullopt;
  }
  std::array<SeatObjects, kPlayers> seats;
  for (unsigned p = 0; p < kPlayers; ++p) {
    PyObject* seat = PySequence_Fast_GET_ITEM(fast, p);
    if (!PyTuple_Check(seat) || PyTuple_GET_SIZE(seat) != 3) {
      PyErr_Format(PyExc_TypeError,
                   "seat %u must be a tuple (config, inference_queue, pipe), got '%.200s'", p,
                   Py_TYPE(seat)->tp_name);
      return std::nullopt;
    }
    seats[p] = {py_ref::ref(seat), PyTuple_GET_ITEM(seat, 0), PyTuple_GET_ITEM(seat, 1),
                PyTuple_GET_ITEM(seat, 2)};
  }
  return seats;
}

PyObject* play_match(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", "seats", "seed", nullptr};
  int id = 0;
  PyObject* seats_object = nullptr;
  PyObject* seed_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|O:play_match", const_cast<char**>(keywords),
                                   &id, &seats_object, &seed_object))
    return nullptr;
  GilHold gil;
  std::array<std::optional<PyNetwork>, kPlayers> networks;
  try {
    std::optional<std::uint64_t> seed;
    if (seed_object != Py_None) {
      py_ref index = py_ref::steal(PyNumber_Index(seed_object));
      if (!index) return nullptr;
      const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
      seed = v;
    }
    py_ref fast = py_ref::steal(PySequence_Fast(seats_object, "play_match() seats must be a sequence"));
    if (!fast) return nullptr;
    const auto objects = seat_objects(fast.get());
    if (!objects) return nullptr;

    std::optional<Rng> seeded;
    if (seed) seeded.emplace(seeded_rng(*seed));
    Rng& rng = seeded ? *seeded : thread_rng();
    std::array<std::optional<RolloutNetwork>, kPlayers> rollouts;
    UniformNetwork uniform;
    std::array<std::optional<PlayoutMixNetwork>, kPlayers> mixes;
    std::array<SeatPlayer, kPlayers> seats;
    for (unsigned p = 0; p < kPlayers; ++p) {
      const SeatObjects& seat = (*objects)[p];
      const std::optional<SeatKind> kind = seat_kind(seat.config, p);
      if (!kind) return nullptr;
      if (*kind == SeatKind::kGreedy) {
        seats[p] = GreedyPlayer{};
        continue;
      }
      const std::optional<Config> config = read_config(seat.config);
      if (!config) {
        py_ref error = fetch_exception();
        raise_internal_stop("invalid configuration of seat " + std::to_string(p) + ": " +
                                text_form(error.get()),
                            std::move(error));
        return nullptr;
      }
      Network* network = nullptr;
      if (*kind == SeatKind::kRollout) {
        network = &rollouts[p].emplace(rng);
      } else if (*kind == SeatKind::kUniform) {
        network = &uniform;
      } else {
        if (seat.inference_queue == Py_None || seat.pipe == Py_None) {
          PyErr_Format(PyExc_ValueError, "seat %u plays with a network but has no inference_queue or pipe", p);
          return nullptr;
        }
        network = &networks[p].emplace(seat.inference_queue, seat.pipe, id, config->packed_planes);
        if (config->rollout_weight > 0.0f)
          network = &mixes[p].emplace(*network, rng, config->rollout_weight);
      }
      seats[p] = SearchSeat{*config, network};
    }
    return to_python(play_match(seats, rng)).release();
  } catch (const EvaluationFailed& failure) {
    const auto seat = static_cast<unsigned>(failure.seat);
    raise_internal_stop("seat " + std::to_string(seat) + ": " + failure.what(),
                        seat < kPlayers && networks[seat] ? networks[seat]->take_error() : py_ref{});
  } catch (const InternalStop& stop) {
    raise_internal_stop(stop.what());
  } catch (const ErrorAlreadySet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_stop(std::string("internal error: ") + error.what());
  } catch (...) {
    raise_internal_stop("internal error: an unknown C++ exception");
  }
  return nullptr;
}

constexpr const char kPlayMatchDoc[] =
    "play_match(id, seats, seed=None)\n"
    "--\n"
    "\n"
    "Plays one game in which each seat's moves are chosen by its own player.\n"
    "\n"
    "seats holds four (config, inference_queue, pipe) tuples, seat p playing\n"
    "player p. config.player (optional) names the player: 'network' (the\n"
    "default) searches with config's settings and sends every position of\n"
    "its own searches to its own inference_queue and pipe, exactly as\n"
    "generate_game_data does; 'rollout' searches the same way but values each\n"
    "position by one random playout, with equal priors (queue and pipe may be\n"
    "None); 'uniform' likewise, valuing every position at par (0.25 each);\n"
    "'greedy' lays, each turn, a placement with the most cells (ties at\n"
    "random) and needs no other setting. seed (an int) fixes every random draw.\n"
    "\n"
    "Returns (history, policies, payoff) as generate_game_data does; a greedy\n"
    "move's policy entry is its cell with share 1.0. Draws no progress bar and\n"
    "prints no summary. A failed evaluation raises the internal-stop exception\n"
    "naming the seat, with the network's exception as its cause.";

constexpr const char kGenerateGameDataDoc[] =
    "generate_game_data(id, config, inference_queue, pipe)\n"
    "--\n"
    "\n"
    "Plays one self-play game and returns its training record.\n"
    "\n"
    "Every move is chosen by a tree search of config.sims_per_move\n"
    "simulations. Each position the search needs judged is sent as\n"
    "inference_queue.put((id, planes)), planes being five lists of 400 floats,\n"
    "and answered by pipe.recv(): reply[0] the policy, up to 400 logits\n"
    "indexed by cell, and reply[1] the values, of which the first four are\n"
    "taken in absolute player order: values[p] is the value for player p.\n"
    "\n"
    "Returns (history, policies, payoff): the (player, cell) moves played;\n"
    "for each move, the (cell, share) visit shares of the search root; and\n"
    "the final payoff of the four players.\n"
    "\n"
    "Optional config attributes: search ('classic', the default, or 'puct':\n"
    "Q + C(N) * prior * sqrt(N) / (1 + n) over values on the payoff-share\n"
    "scale), first_play_value (PUCT: the Q of an unvisited child), seed\n"
    "(an int that fixes every random draw of the game), packed_planes\n"
    "(true: planes travel as 250 bytes, eight entries to a byte in flat\n"
    "order, the first in the most significant bit) and rollout_weight (w in\n"
    "[0, 1]: every value the network gives becomes (1 - w) * value + w *\n"
    "the payoff of one random playout from the position).\n"
    "\n"
    "Raises Exception('\"Error running MCTS\"') when a search root cannot be\n"
    "evaluated, and the module's internal-stop exception (derived from\n"
    "BaseException) for an invalid configuration or any other failure\n"
    "inside the game.";

PyMethodDef kMethods[] = {
    {"generate_game_data", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_game_data)),
     METH_FASTCALL | METH_KEYWORDS, kGenerateGameDataDoc},
    {"play_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_match)),
     METH_VARARGS | METH_KEYWORDS, kPlayMatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1) makes the interpreter call the init function again on a
// repeated import instead of copying a stale module dict; init then returns
// the module it made the first time.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tilora_self_play", "", 0, kMethods, nullptr, nullptr, nullptr, nullptr,
};

// The module and the interpreter that made it, kept for the process.
PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;

bool add_to_all(PyObject* module, const char* name) {
  py_ref all = py_ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = py_ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  py_ref text = py_ref::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0;
}

PyObject* init_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (g_module) {
    if (interpreter != g_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "tilora_self_play supports one interpreter per process only and cannot be "
                      "imported in a sub-interpreter");
      return nullptr;
    }
    return py_ref::ref(g_module).release();
  }
  py_ref module = py_ref::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!add_to_all(module.get(), "generate_game_data") || !add_to_all(module.get(), "play_match"))
    return nullptr;
  g_module = py_ref::ref(module.get()).release();
  g_interpreter = interpreter;
  return module.release();
}

}  // namespace
}  // namespace tilora::self_play::py

PyMODINIT_FUNC PyInit_tilora_self_play() {
  try {
    return tilora::self_play::py::init_module();
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "tilora_self_play: initialisation failed");
    return nullptr;
  }
}
