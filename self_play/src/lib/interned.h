#pragma once
// Attribute and method names as interned str objects.
#include <Python.h>

#include "lib/py_ref.h"

namespace tilora::self_play::py {

// The interned str for `name`, made on first use in `slot` and kept for the
// life of the process. Raises (errors.h) when it cannot be made.
inline PyObject* interned(const char* name, PyObject*& slot) {
  if (!slot) slot = check(PyUnicode_InternFromString(name)).release();
  return slot;
}

}  // namespace tilora::self_play::py
