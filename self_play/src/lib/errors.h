#pragma once
// Python exceptions at the module's boundary: taking the one in flight, its
// one-line text form, the module's internal-stop exception, and the driver's
// error.
#include <Python.h>

#include <string>
#include <string_view>

#include "py_ref.h"

namespace tilora::self_play::py {

// Takes the exception in flight (normalised, its traceback attached) and
// clears it. Null when none is set.
py_ref fetch_exception();

// A one-line text form of an exception: its class, the object and its
// traceback, each as its repr ("no traceback" when it has none).
std::string text_form(PyObject* exception);

// UTF-8 text of a str, with undecodable characters escaped.
std::string to_utf8(PyObject* str);

// The module's internal-stop exception class, derived directly from
// BaseException; created on first use. Null with an exception set when
// creating it fails.
PyObject* internal_stop_type();

// Sets the internal-stop exception with `message` as its one argument and
// `cause` (when not null) as its __cause__.
void raise_internal_stop(std::string_view message, py_ref cause = {});

// The debug rendering of a string: enclosed in double quotes, with a
// backslash before any double quote or backslash and control characters
// written as escapes.
std::string debug_quote(std::string_view text);

// Sets Exception(debug_quote(message)).
void raise_driver_error(std::string_view message);

}  // namespace tilora::self_play::py
