// The toolkit's extension module tilora_zero._match and its one function,
// play_match (match_function.cpp). Built from the same search and boundary
// as tilora_self_play, with its own internal-stop class. The module keeps no
// state between calls.
#include <Python.h>

#include "lib/errors.h"
#include "lib/match_function.h"
#include "lib/module_init.h"

namespace tilora::self_play::py {
namespace {

PyMethodDef kMethods[] = {
    {"play_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_match)),
     METH_VARARGS | METH_KEYWORDS, kPlayMatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0: a repeated import calls init again, which returns the first module.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tilora_zero._match", "", 0, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

ProcessModule g_module;

}  // namespace

PyObject* internal_stop_type() {
  // Lives as long as the process: the module supports one interpreter only.
  static PyObject* type = nullptr;
  if (!type) type = new_internal_stop_type("tilora_zero._match.InternalStop");
  return type;
}

}  // namespace tilora::self_play::py

PyMODINIT_FUNC PyInit__match() {
  namespace py = tilora::self_play::py;
  return py::module_once(py::g_module, py::kModule, "play_match");
}
