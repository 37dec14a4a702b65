// The extension module tilora_self_play and its functions generate_game_data
// (self-play, here) and play_match (match_function.cpp). The module keeps no
// state between calls.
#include <Python.h>

#include <new>
#include <optional>
#include <string>

#include "arguments.h"
#include "call_guard.h"
#include "config_reader.h"
#include "conversion.h"
#include "errors.h"
#include "match_function.h"
#include "py_network.h"
#include "py_ref.h"
#include "simulation/mcts.h"
#include "simulation/console_reporter.h"
#include "simulation/play_game.h"
#include "simulation/baseline_networks.h"
#include "simulation/random.h"

namespace tilora::self_play::py {
namespace {


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
    Network& searched = with_playouts(*network, mixed, rng, config->rollout_weight);
    try {
      return to_python(play_game(*config, searched, rng, reporter)).release();
    } catch (const EvaluationFailed& failure) {
      if (failure.where != EvaluationFailed::Where::kRoot) throw;
      ConsoleReporter::root_evaluation_failed(failure.error_text);
      raise_driver_error(kErrorRunningMcts);
      return nullptr;
    }
  } catch (...) {
    raise_current_exception([&](const EvaluationFailed& failure) {
      raise_internal_stop(failure.what(), network ? network->take_error() : py_ref{});
    });
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
