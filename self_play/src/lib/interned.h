#pragma once
// Attribute and method names as interned str objects.
#include <Python.h>

namespace tilora::self_play::py {

// The interned str for `name`, made on first use in `slot` and kept for the
// life of the process. Null with an exception set when it cannot be made.
inline PyObject* interned(const char* name, PyObject*& slot) {
  if (!slot) slot = PyUnicode_InternFromString(name);
  return slot;
}

}  // namespace tilora::self_play::py
