#include "config_reader.h"

#include <cstdint>
#include <limits>
#include <string>

#include "errors.h"
#include "py_ref.h"

namespace tilora::self_play::py {
namespace {

// An attribute name as an interned str, made on first use and kept for the
// life of the process.
PyObject* interned(const char* name, PyObject*& slot) {
  if (!slot) slot = PyUnicode_InternFromString(name);
  return slot;
}

// Replaces the conversion error in flight by the "failed to extract field"
// TypeError, with the conversion error as its cause.
void raise_extract_error(const char* name) {
  py_ref cause = fetch_exception();
  const std::string message = std::string("failed to extract field Config.") + name;
  py_ref text = py_ref::steal(PyUnicode_FromString(message.c_str()));
  if (!text) return;
  py_ref error = py_ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!error) return;
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, error.get());
}

// The attribute's value, or null with the lookup's exception set.
py_ref lookup(PyObject* config, const char* name, PyObject*& slot) {
  PyObject* key = interned(name, slot);
  if (!key) return {};
  return py_ref::steal(PyObject_GetAttr(config, key));
}

bool read_unsigned(PyObject* config, const char* name, PyObject*& slot, std::uint32_t& out) {
  py_ref value = lookup(config, name, slot);
  if (!value) return false;
  py_ref index = py_ref::steal(PyNumber_Index(value.get()));
  if (index) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (!(v == -1 && PyErr_Occurred())) {
      if (overflow == 0 && v >= 0 && v <= std::numeric_limits<std::uint32_t>::max()) {
        out = static_cast<std::uint32_t>(v);
        return true;
      }
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
  }
  raise_extract_error(name);
  return false;
}

bool read_float(PyObject* config, const char* name, PyObject*& slot, float& out) {
  py_ref value = lookup(config, name, slot);
  if (!value) return false;
  const double v = PyFloat_AsDouble(value.get());
  if (v == -1.0 && PyErr_Occurred()) {
    raise_extract_error(name);
    return false;
  }
  out = static_cast<float>(v);
  return true;
}

}  // namespace

std::optional<Config> read_config(PyObject* config) {
  static PyObject* names[6] = {};
  Config c;
  if (read_unsigned(config, "sims_per_move", names[0], c.sims_per_move) &&
      read_unsigned(config, "sample_moves", names[1], c.sample_moves) &&
      read_float(config, "c_base", names[2], c.c_base) &&
      read_float(config, "c_init", names[3], c.c_init) &&
      read_float(config, "dirichlet_alpha", names[4], c.dirichlet_alpha) &&
      read_float(config, "exploration_fraction", names[5], c.exploration_fraction))
    return c;
  return std::nullopt;
}

}  // namespace tilora::self_play::py
