#include "lib/module_init.h"

#include "lib/errors.h"
#include "lib/py_ref.h"

namespace tilora::self_play::py {
namespace {

PyObject* make_module_once(ProcessModule& made, PyModuleDef& definition, const char* exported) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) throw ErrorAlreadySet{};
  if (made.module) {
    if (interpreter != made.interpreter)
      throw_error(PyExc_ImportError,
                  "%s supports one interpreter per process only and cannot be imported in a "
                  "sub-interpreter",
                  definition.m_name);
    return py_ref::ref(made.module).release();
  }
  py_ref module = check(PyModule_Create(&definition));
  py_ref all = check(Py_BuildValue("[s]", exported));
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) throw ErrorAlreadySet{};
  made = {py_ref::ref(module.get()).release(), interpreter};
  return module.release();
}

}  // namespace

PyObject* module_once(ProcessModule& made, PyModuleDef& definition, const char* exported) {
  try {
    return make_module_once(made, definition, exported);
  } catch (const ErrorAlreadySet&) {
  } catch (...) {
    PyErr_Format(PyExc_ImportError, "%s: initialisation failed", definition.m_name);
  }
  return nullptr;
}

}  // namespace tilora::self_play::py
