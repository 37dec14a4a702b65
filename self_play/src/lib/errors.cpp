#include "lib/errors.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace tilora::self_play::py {
namespace {

// Clears the exception in flight that stopped a text from being made; an
// interruption (a Ctrl-C while a __repr__ ran) is set again and thrown.
void drop_failure_of_text() {
  py_ref failure = fetch_exception();
  if (failure && is_interruption(failure.get())) {
    restore_exception(std::move(failure));
    throw ErrorAlreadySet{};
  }
}

// repr(obj) as UTF-8, or a placeholder when repr itself fails.
std::string repr_text(PyObject* obj) {
  py_ref text = py_ref::steal(PyObject_Repr(obj));
  if (!text) {
    drop_failure_of_text();
    return "<repr failed>";
  }
  return to_utf8(text.get());
}

// Keeps a text on one line.
std::string one_line(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    if (ch == '\n')
      out += "\\n";
    else if (ch == '\r')
      out += "\\r";
    else
      out += ch;
  }
  return out;
}

}  // namespace

void throw_error(PyObject* type, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(type, format, arguments);
  va_end(arguments);
  throw ErrorAlreadySet{};
}

py_ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return py_ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  py_ref owned_type = py_ref::steal(type);
  py_ref owned_value = py_ref::steal(value);
  py_ref owned_traceback = py_ref::steal(traceback);
  if (owned_traceback && owned_value) PyException_SetTraceback(owned_value.get(), owned_traceback.get());
  return owned_value;
#endif
}

std::string to_utf8(PyObject* str) {
  py_ref bytes = py_ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  if (!bytes) {
    drop_failure_of_text();
    return "<undecodable text>";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string text_form(PyObject* exception) {
  if (!exception) return "no Python exception";
  py_ref traceback = py_ref::steal(PyException_GetTraceback(exception));
  return one_line(repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception))) + ": " +
                  repr_text(exception) + " (traceback: " +
                  (traceback ? repr_text(traceback.get()) : std::string("no traceback")) + ")");
}

std::string text_form_with_cause(PyObject* exception) {
  std::string text = text_form(exception);
  if (!exception) return text;
  py_ref cause = py_ref::steal(PyException_GetCause(exception));
  return cause ? text + ", caused by " + text_form(cause.get()) : text;
}

void restore_exception(py_ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

bool is_interruption(PyObject* exception) {
  return !PyErr_GivenExceptionMatches(exception, PyExc_Exception);
}

PyObject* new_internal_stop_type(const char* qualified_name) {
  return PyErr_NewExceptionWithDoc(
      qualified_name,
      "A game stopped on a broken invariant, an invalid configuration or a failed evaluation "
      "inside the search. Derived from BaseException, so that handlers for Exception do not "
      "catch it.",
      PyExc_BaseException, nullptr);
}

void raise_internal_stop(std::string_view message, py_ref cause) {
  if (cause && is_interruption(cause.get())) return restore_exception(std::move(cause));
  PyObject* type = internal_stop_type();
  if (!type) return;
  py_ref text = py_ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  py_ref exception = py_ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) return;
  if (cause) PyException_SetCause(exception.get(), cause.release());
  PyErr_SetObject(type, exception.get());
}

void raise_invalid_configuration(std::string_view where) {
  // The text first: the cause is moved into the exception.
  py_ref error = fetch_exception();
  std::string message;
  try {
    message = "invalid configuration" + std::string(where) + ": " + text_form_with_cause(error.get());
  } catch (const ErrorAlreadySet&) {
    return;  // an interruption while the text was made is what leaves
  }
  raise_internal_stop(message, std::move(error));
}

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(ch));
          out += escape;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

void raise_driver_error(std::string_view message, py_ref cause) {
  if (cause && is_interruption(cause.get())) return restore_exception(std::move(cause));
  const std::string quoted = debug_quote(message);
  py_ref text = py_ref::steal(
      PyUnicode_DecodeUTF8(quoted.data(), static_cast<Py_ssize_t>(quoted.size()), "replace"));
  if (!text) return;
  py_ref exception = py_ref::steal(PyObject_CallOneArg(PyExc_Exception, text.get()));
  if (!exception) return;
  if (cause) PyException_SetCause(exception.get(), cause.release());
  PyErr_SetObject(PyExc_Exception, exception.get());
}

}  // namespace tilora::self_play::py
