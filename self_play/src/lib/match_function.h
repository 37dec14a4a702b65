#pragma once
// play_match, the function of tilora_zero._match: one game in which each
// seat searches with its own player (its own network through its own queue
// and pipe, or a baseline played in C++).
#include <Python.h>

namespace tilora::self_play::py {

// METH_VARARGS | METH_KEYWORDS; null with an exception set on failure.
PyObject* play_match(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char kPlayMatchDoc[];

}  // namespace tilora::self_play::py
