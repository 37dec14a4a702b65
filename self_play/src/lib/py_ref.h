#pragma once
// The one owning reference to a Python object. Every reference the module
// owns lives in a py_ref, so every path out of a function, errors included,
// releases what it holds.
#include <Python.h>

#include <utility>

namespace tilora::self_play::py {

class py_ref {
 public:
  py_ref() = default;
  ~py_ref() { Py_XDECREF(obj_); }
  py_ref(py_ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  py_ref& operator=(py_ref&& other) noexcept {
    py_ref(std::move(other)).swap(*this);
    return *this;
  }
  py_ref(const py_ref&) = delete;
  py_ref& operator=(const py_ref&) = delete;

  // Takes over a new reference (may be null, after a failed call).
  static py_ref steal(PyObject* obj) { return py_ref(obj); }
  // Takes a new reference to a borrowed object.
  static py_ref ref(PyObject* obj) {
    Py_XINCREF(obj);
    return py_ref(obj);
  }

  PyObject* get() const { return obj_; }
  // Hands the reference to the caller (to return it to Python, or to a
  // function that steals it).
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }
  void swap(py_ref& other) noexcept { std::swap(obj_, other.obj_); }

 private:
  explicit py_ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A Python call failed and left its exception set: unwinds to the module
// boundary, which returns null to the interpreter.
struct ErrorAlreadySet {};

// Throws ErrorAlreadySet when a call that returns a new reference failed.
inline py_ref check(PyObject* new_ref) {
  if (!new_ref) throw ErrorAlreadySet{};
  return py_ref::steal(new_ref);
}

}  // namespace tilora::self_play::py
