#pragma once
// What every function the modules offer does around its body: hold the
// interpreter lock for the call (letting it go only where no Python object is
// touched), and let no C++ exception unwind into the interpreter.
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include "lib/errors.h"
#include "lib/py_ref.h"
#include "simulation/internal_stop.h"
#include "simulation/mcts.h"

namespace tilora::self_play::py {

// Holds the interpreter lock, nested in the caller's hold, for one call.
class GilHold {
 public:
  GilHold() : state_(PyGILState_Ensure()) {}
  ~GilHold() { PyGILState_Release(state_); }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  PyGILState_STATE state_;
};

// Lets other threads take the interpreter lock for one scope, in which no
// Python object may be touched.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Sets the Python exception for the C++ exception being handled; call it in a
// catch (...) block. An evaluation failure is handed to `on_evaluation_failed`,
// which knows the network that holds its cause.
template <class OnEvaluationFailed>
void raise_current_exception(OnEvaluationFailed&& on_evaluation_failed) {
  try {
    throw;
  } catch (const EvaluationFailed& failure) {
    on_evaluation_failed(failure);
  } catch (const InternalStop& stop) {
    raise_internal_stop(stop.what());
  } catch (const ErrorAlreadySet&) {
    // the Python exception is already set
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_stop(std::string("internal error: ") + error.what());
  } catch (...) {
    raise_internal_stop("internal error: an unknown C++ exception");
  }
}

}  // namespace tilora::self_play::py
