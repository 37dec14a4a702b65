#include "lib/config_reader.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "lib/errors.h"
#include "lib/interned.h"
#include "lib/py_ref.h"

namespace tilora::self_play::py {
namespace {

// Replaces the conversion error in flight by the "failed to extract field"
// TypeError, with the conversion error as its cause, and throws. An
// interruption stays as it is.
[[noreturn]] void throw_extract_error(const char* name) {
  py_ref cause = fetch_exception();
  if (cause && is_interruption(cause.get())) {
    restore_exception(std::move(cause));
    throw ErrorAlreadySet{};
  }
  const std::string message = std::string("failed to extract field Config.") + name;
  py_ref text = check(PyUnicode_FromString(message.c_str()));
  py_ref error = check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw ErrorAlreadySet{};
}

// The attribute's value; a failed lookup raises its own exception.
py_ref lookup(PyObject* config, const char* name, PyObject*& slot) {
  return check(PyObject_GetAttr(config, interned(name, slot)));
}

// A lookup's result (a new reference, or null with its exception set) as
// optional_attribute gives it.
py_ref present_or_null(PyObject* looked_up) {
  if (!looked_up) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    return {};
  }
  py_ref value = py_ref::steal(looked_up);
  if (value.get() == Py_None) return {};
  return value;
}

// optional_attribute, by the interned name.
py_ref lookup_optional(PyObject* config, const char* name, PyObject*& slot) {
  return present_or_null(PyObject_GetAttr(config, interned(name, slot)));
}

void read_unsigned(PyObject* config, const char* name, PyObject*& slot, std::uint32_t& out) {
  py_ref value = lookup(config, name, slot);
  py_ref index = py_ref::steal(PyNumber_Index(value.get()));
  if (index) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (!(v == -1 && PyErr_Occurred())) {
      if (overflow == 0 && v >= 0 && v <= std::numeric_limits<std::uint32_t>::max()) {
        out = static_cast<std::uint32_t>(v);
        return;
      }
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
  }
  throw_extract_error(name);
}

void read_float(PyObject* config, const char* name, PyObject*& slot, float& out) {
  py_ref value = lookup(config, name, slot);
  const double v = PyFloat_AsDouble(value.get());
  if (v == -1.0 && PyErr_Occurred()) throw_extract_error(name);
  out = static_cast<float>(v);
}

// An optional attribute naming one of `choices` (a str).
template <class Choice, std::size_t N>
void read_choice(PyObject* config, const char* name, PyObject*& slot,
                 const std::array<std::pair<const char*, Choice>, N>& choices, Choice& out) {
  py_ref value = lookup_optional(config, name, slot);
  if (!value) return;
  if (PyUnicode_Check(value.get())) {
    for (const auto& [text, choice] : choices)
      if (PyUnicode_CompareWithASCIIString(value.get(), text) == 0) {
        out = choice;
        return;
      }
    std::string expected;
    for (std::size_t i = 0; i < N; ++i)
      expected += (i == 0 ? "'" : i + 1 == N ? " or '" : ", '") + std::string(choices[i].first) + "'";
    PyErr_Format(PyExc_ValueError, "expected %s, got %R", expected.c_str(), value.get());
  } else {
    PyErr_Format(PyExc_TypeError, "expected a str, got '%.200s'", Py_TYPE(value.get())->tp_name);
  }
  throw_extract_error(name);
}

constexpr std::array<std::pair<const char*, SearchRule>, 2> kRules = {
    {{"classic", SearchRule::kClassic}, {"puct", SearchRule::kPuct}}};
constexpr std::array<std::pair<const char*, SearchTree>, 2> kTrees = {
    {{"cells", SearchTree::kCells}, {"placements", SearchTree::kPlacements}}};

void read_optional_float(PyObject* config, const char* name, PyObject*& slot, float& out) {
  if (lookup_optional(config, name, slot)) read_float(config, name, slot, out);
}

void read_optional_unsigned(PyObject* config, const char* name, PyObject*& slot, std::uint32_t& out) {
  if (lookup_optional(config, name, slot)) read_unsigned(config, name, slot, out);
}

void read_seed(PyObject* config, const char* name, PyObject*& slot,
               std::optional<std::uint64_t>& out) {
  py_ref value = lookup_optional(config, name, slot);
  if (!value) return;
  try {
    out = to_seed(value.get());
  } catch (const ErrorAlreadySet&) {
    throw_extract_error(name);
  }
}

void read_flag(PyObject* config, const char* name, PyObject*& slot, bool& out) {
  py_ref value = lookup_optional(config, name, slot);
  if (!value) return;
  const int truth = PyObject_IsTrue(value.get());
  if (truth < 0) throw_extract_error(name);
  out = truth == 1;
}

}  // namespace

std::uint64_t to_seed(PyObject* value) {
  py_ref index = check(PyNumber_Index(value));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
  return v;
}

py_ref optional_attribute(PyObject* object, const char* name) {
  return present_or_null(PyObject_GetAttrString(object, name));
}

Config read_config(PyObject* config) {
  static PyObject* names[14] = {};
  Config c;
  read_unsigned(config, "sims_per_move", names[0], c.sims_per_move);
  read_unsigned(config, "sample_moves", names[1], c.sample_moves);
  read_float(config, "c_base", names[2], c.c_base);
  read_float(config, "c_init", names[3], c.c_init);
  read_float(config, "dirichlet_alpha", names[4], c.dirichlet_alpha);
  read_float(config, "exploration_fraction", names[5], c.exploration_fraction);
  read_choice(config, "search", names[6], kRules, c.rule);
  read_optional_float(config, "first_play_value", names[7], c.first_play_value);
  read_seed(config, "seed", names[8], c.seed);
  read_flag(config, "packed_planes", names[9], c.packed_planes);
  read_optional_float(config, "rollout_weight", names[10], c.rollout_weight);
  read_choice(config, "tree", names[11], kTrees, c.tree);
  read_optional_unsigned(config, "gumbel_actions", names[12], c.gumbel_actions);
  read_optional_float(config, "gumbel_scale", names[13], c.gumbel_scale);
  return c;
}

}  // namespace tilora::self_play::py
