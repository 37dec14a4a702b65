#include "lib/module_init.h"

#include "lib/py_ref.h"

namespace tilora::self_play::py {

PyObject* module_once(ProcessModule& made, PyModuleDef& definition, const char* exported) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (made.module) {
    if (interpreter != made.interpreter) {
      PyErr_Format(PyExc_ImportError,
                   "%s supports one interpreter per process only and cannot be imported in a "
                   "sub-interpreter",
                   definition.m_name);
      return nullptr;
    }
    return py_ref::ref(made.module).release();
  }
  py_ref module = py_ref::steal(PyModule_Create(&definition));
  if (!module) return nullptr;
  py_ref all = py_ref::steal(Py_BuildValue("[s]", exported));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;
  made = {py_ref::ref(module.get()).release(), interpreter};
  return module.release();
}

}  // namespace tilora::self_play::py
