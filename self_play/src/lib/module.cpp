// The extension module tilora_self_play and its one function,
// generate_game_data: self-play. The module keeps no state between calls.
#include <Python.h>

#include <optional>
#include <utility>

#include "lib/arguments.h"
#include "lib/call_guard.h"
#include "lib/config_reader.h"
#include "lib/console_reporter.h"
#include "lib/conversion.h"
#include "lib/errors.h"
#include "lib/module_init.h"
#include "lib/py_network.h"
#include "lib/py_ref.h"
#include "play/baseline_networks.h"
#include "simulation/config.h"
#include "simulation/mcts.h"
#include "simulation/play_game.h"
#include "simulation/random.h"

namespace tilora::self_play::py {
namespace {

PyObject* generate_game_data(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  GilHold gil;
  std::optional<PyNetwork> network;
  try {
    const auto [id_object, config_object, inference_queue, pipe] =
        match_arguments(args, nargs, kwnames);
    const std::int32_t id = convert_id(id_object);
    const py_ref config_ref = py_ref::ref(config_object);
    const Config config = refusing_unreadable("", [&] { return read_config(config_object); });
    network.emplace(inference_queue, pipe, id, config.packed_planes);
    std::optional<Rng> seeded;
    if (config.seed) seeded.emplace(seeded_rng(*config.seed));
    check_config(config);  // before the progress bar is drawn
    ConsoleReporter reporter;
    Rng& rng = seeded ? *seeded : thread_rng();
    std::optional<PlayoutMixNetwork> mixed;
    Network& searched = with_playouts(*network, mixed, rng, config.rollout_weight);
    try {
      return to_python(play_game(config, searched, rng, reporter)).release();
    } catch (const EvaluationFailed& failure) {
      if (failure.where != EvaluationFailed::Where::kRoot) throw;
      py_ref cause = network->take_error();
      // An interruption is no failure of the game: it leaves without the report.
      if (!cause || !is_interruption(cause.get()))
        ConsoleReporter::root_evaluation_failed(failure.error_text);
      raise_driver_error(kErrorRunningMcts, std::move(cause));
      throw ErrorAlreadySet{};
    }
  } catch (...) {
    raise_current_exception([&](const EvaluationFailed& failure) {
      raise_internal_stop(failure.what(), network ? network->take_error() : py_ref{});
    });
  }
  return nullptr;
}

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
    "scale), tree ('cells', the default: an edge is one cell; or\n"
    "'placements': an edge is a placement that can end the turn, searched\n"
    "at a turn's first move), first_play_value (PUCT: the Q of an unvisited child), seed\n"
    "(an int that fixes every random draw of the game), packed_planes\n"
    "(true: planes travel as 250 bytes, eight entries to a byte in flat\n"
    "order, the first in the most significant bit) and rollout_weight (w in\n"
    "[0, 1]: every value the network gives becomes (1 - w) * value + w *\n"
    "the payoff of one random playout from the position).\n"
    "\n"
    "Raises Exception('\"Error running MCTS\"') when a search root cannot be\n"
    "evaluated, and the module's internal-stop exception (derived from\n"
    "BaseException) for an invalid configuration or any other failure\n"
    "inside the game; either has the network's exception as its __cause__.\n"
    "An exception of the network's that is not an Exception (such as\n"
    "KeyboardInterrupt) leaves the call as it is.";

PyMethodDef kMethods[] = {
    {"generate_game_data", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_game_data)),
     METH_FASTCALL | METH_KEYWORDS, kGenerateGameDataDoc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1) makes the interpreter call the init function again on a
// repeated import instead of copying a stale module dict; init then returns
// the module it made the first time.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tilora_self_play", "", 0, kMethods, nullptr, nullptr, nullptr, nullptr,
};

ProcessModule g_module;

}  // namespace

PyObject* internal_stop_type() {
  // Lives as long as the process: the module supports one interpreter only.
  static PyObject* type = nullptr;
  if (!type) type = new_internal_stop_type("tilora_self_play.InternalStop");
  return type;
}

}  // namespace tilora::self_play::py

PyMODINIT_FUNC PyInit_tilora_self_play() {
  namespace py = tilora::self_play::py;
  return py::module_once(py::g_module, py::kModule, "generate_game_data");
}
