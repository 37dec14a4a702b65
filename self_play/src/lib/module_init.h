#pragma once
// Making an extension module once per process. A module's state (interned
// names, its internal-stop class) lives as long as the process, so each
// module serves the one interpreter that imported it first.
#include <Python.h>

#include <cstdint>

namespace tilora::self_play::py {

// The module an init function made, and the interpreter it belongs to.
struct ProcessModule {
  PyObject* module = nullptr;
  std::int64_t interpreter = -1;
};

// The module `definition` describes, with __all__ == [exported]: made on the
// first call and kept in `made`, returned again on a repeated import (the
// definition's m_size is 0, so the interpreter calls init again instead of
// copying a stale module dict). ImportError in any interpreter other than
// the first one. The body of a module's init function: null with an
// exception set on failure (ImportError("<module>: initialisation failed")
// for a C++ failure), nothing thrown.
PyObject* module_once(ProcessModule& made, PyModuleDef& definition, const char* exported);

}  // namespace tilora::self_play::py
