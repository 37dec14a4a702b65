#include "lib/conversion.h"

namespace tilora::self_play::py {
namespace {

py_ref pair(py_ref first, py_ref second) {
  PyObject* tuple = PyTuple_New(2);
  if (!tuple) throw ErrorAlreadySet{};
  PyTuple_SET_ITEM(tuple, 0, first.release());
  PyTuple_SET_ITEM(tuple, 1, second.release());
  return py_ref::steal(tuple);
}

py_ref int_object(long value) { return check(PyLong_FromLong(value)); }
py_ref float_object(float value) { return check(PyFloat_FromDouble(value)); }

py_ref new_list(std::size_t size) { return check(PyList_New(static_cast<Py_ssize_t>(size))); }

}  // namespace

py_ref to_python(const TrainingRecord& record) {
  py_ref history = new_list(record.history.size());
  for (unsigned i = 0; i < record.history.size(); ++i) {
    const game::Move& move = record.history[i];
    PyList_SET_ITEM(history.get(), i, pair(int_object(move.player), int_object(move.cell)).release());
  }

  py_ref policies = new_list(record.policies.size());
  for (std::size_t i = 0; i < record.policies.size(); ++i) {
    const auto& entry = record.policies[i];
    py_ref shares = new_list(entry.size());
    for (std::size_t j = 0; j < entry.size(); ++j)
      PyList_SET_ITEM(shares.get(), static_cast<Py_ssize_t>(j),
                      pair(int_object(entry[j].cell), float_object(entry[j].share)).release());
    PyList_SET_ITEM(policies.get(), static_cast<Py_ssize_t>(i), shares.release());
  }

  py_ref payoff = new_list(record.payoff.size());
  for (std::size_t p = 0; p < record.payoff.size(); ++p)
    PyList_SET_ITEM(payoff.get(), static_cast<Py_ssize_t>(p), float_object(record.payoff[p]).release());

  PyObject* result = PyTuple_New(3);
  if (!result) throw ErrorAlreadySet{};
  PyTuple_SET_ITEM(result, 0, history.release());
  PyTuple_SET_ITEM(result, 1, policies.release());
  PyTuple_SET_ITEM(result, 2, payoff.release());
  return py_ref::steal(result);
}

}  // namespace tilora::self_play::py
