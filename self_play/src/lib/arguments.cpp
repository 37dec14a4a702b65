#include "lib/arguments.h"

#include <limits>
#include <string>

#include "lib/errors.h"
#include "lib/py_ref.h"

namespace tilora::self_play::py {
namespace {

constexpr const char* kFunction = "generate_game_data()";

// The parameter named by a keyword, or kParameterCount for none.
std::size_t parameter_index(PyObject* keyword) {
  for (std::size_t i = 0; i < kParameterCount; ++i)
    if (PyUnicode_CompareWithASCIIString(keyword, kParameterNames[i]) == 0) return i;
  return kParameterCount;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string join_names(const std::array<const char*, kParameterCount>& names, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    text += std::string("'") + names[i] + "'";
  }
  return text;
}

}  // namespace

Arguments match_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > static_cast<Py_ssize_t>(kParameterCount))
    throw_error(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", kFunction,
                static_cast<int>(kParameterCount), nargs, nargs == 1 ? "was" : "were");
  Arguments out{};
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = parameter_index(name);
    if (index == kParameterCount)
      throw_error(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", kFunction, name);
    if (out[index])
      throw_error(PyExc_TypeError, "%s got multiple values for argument '%s'", kFunction,
                  kParameterNames[index]);
    out[index] = args[nargs + k];
  }

  std::array<const char*, kParameterCount> missing{};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < kParameterCount; ++i)
    if (!out[i]) missing[missing_count++] = kParameterNames[i];
  if (missing_count > 0) {
    const std::string names = join_names(missing, missing_count);
    throw_error(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", kFunction,
                missing_count, missing_count == 1 ? "" : "s", names.c_str());
  }
  return out;
}

std::int32_t convert_id(PyObject* id) {
  const long value = PyLong_AsLong(id);
  if (value == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      py_ref error = fetch_exception();
      py_ref message = check(PyObject_Str(error.get()));
      throw_error(PyExc_TypeError, "argument 'id': %U", message.get());
    }
    throw ErrorAlreadySet{};
  }
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    throw_error(PyExc_OverflowError, "Python int too large to convert to C int");
  return static_cast<std::int32_t>(value);
}

}  // namespace tilora::self_play::py
