#pragma once
// Matching the arguments of generate_game_data(id, config, inference_queue,
// pipe) in the fast calling convention, with the interpreter's own wording
// for every mismatch.
#include <Python.h>

#include <array>
#include <cstdint>

namespace tilora::self_play::py {

inline constexpr std::size_t kParameterCount = 4;
inline constexpr std::array<const char*, kParameterCount> kParameterNames = {
    "id", "config", "inference_queue", "pipe"};

// Borrowed references, in parameter order.
using Arguments = std::array<PyObject*, kParameterCount>;

// Positional arguments first, then keywords by name. A mismatch raises
// TypeError (errors.h).
Arguments match_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The game id as a 32-bit signed integer. A value that is not an integer
// raises TypeError("argument 'id': ..."); one out of range, the interpreter's
// OverflowError.
std::int32_t convert_id(PyObject* id);

}  // namespace tilora::self_play::py
