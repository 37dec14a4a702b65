#pragma once
// Python exceptions at the module's boundary: taking the one in flight, its
// one-line text form, the modules' internal-stop exceptions, and the driver's
// error.
//
// One rule for failures inside the boundary: a function that fails sets the
// Python exception and throws ErrorAlreadySet (py_ref.h); check() and
// throw_error() do both. No function reports a failure by returning null,
// false or none: an empty result means only "absent" (optional_attribute).
// Only the functions the interpreter calls return null, from a catch around
// their body that sets the Python exception for whatever was thrown
// (raise_current_exception in call_guard.h): this, the search's InternalStop,
// a standard exception. The raise_* functions below are what that catch
// calls, so they set an exception and never throw. The one failure kept
// rather than thrown is a network's: the search asks Network::infer for true
// or false, so PyNetwork holds its exception until the entry point takes it
// (take_error).
#include <Python.h>

#include <string>
#include <string_view>

#include "lib/py_ref.h"

namespace tilora::self_play::py {

// Sets `type` with PyErr_Format(type, format, ...) and throws ErrorAlreadySet.
[[noreturn]] void throw_error(PyObject* type, const char* format, ...);

// Takes the exception in flight (normalised, its traceback attached) and
// clears it. Null when none is set.
py_ref fetch_exception();

// A one-line text form of an exception: its class, the object and its
// traceback, each as its repr ("no traceback" when it has none; a placeholder
// for a repr that fails). An interruption raised by a __repr__ or __str__ is
// not swallowed: it is set and ErrorAlreadySet thrown, as for to_utf8.
std::string text_form(PyObject* exception);

// text_form(exception), and when it has a __cause__, ", caused by " and the
// cause's text form: the conversion error behind a "failed to extract field".
std::string text_form_with_cause(PyObject* exception);

// UTF-8 text of a str, with undecodable characters escaped.
std::string to_utf8(PyObject* str);

// Sets `exception`, one that fetch_exception took, in flight again.
void restore_exception(py_ref exception);

// Whether an exception must leave the module as it is, never wrapped in
// another: any BaseException that is not an Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit, an internal stop), since handlers for Exception
// must not catch a Ctrl-C that arrived in a network's recv().
bool is_interruption(PyObject* exception);

// The calling module's internal-stop exception class, derived directly from
// BaseException; created on first use. Each extension module defines it,
// naming it after itself (new_internal_stop_type). Null with an exception set
// when creating it fails.
PyObject* internal_stop_type();

// A new internal-stop class called `qualified_name` ("module.InternalStop").
PyObject* new_internal_stop_type(const char* qualified_name);

// Sets the internal-stop exception with `message` as its one argument and
// `cause` (when not null) as its __cause__. A cause that is an interruption
// is set as itself instead.
void raise_internal_stop(std::string_view message, py_ref cause = {});

// Replaces the exception in flight, which stopped the reading of a config, by
// the internal-stop exception "invalid configuration" + `where` + ": " and its
// text form with its cause, the reading's exception as its __cause__.
void raise_invalid_configuration(std::string_view where);

// The debug rendering of a string: enclosed in double quotes, with a
// backslash before any double quote or backslash and control characters
// written as escapes.
std::string debug_quote(std::string_view text);

// Sets Exception(debug_quote(message)) with `cause` (when not null) as its
// __cause__. A cause that is an interruption is set as itself instead.
void raise_driver_error(std::string_view message, py_ref cause = {});

}  // namespace tilora::self_play::py
