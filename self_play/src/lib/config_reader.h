#pragma once
// Reading the search settings from the caller's config object.
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "lib/errors.h"
#include "lib/py_ref.h"
#include "simulation/config.h"

namespace tilora::self_play::py {

// Reads the six attributes in field order, then the optional ones (search:
// 'classic' or 'puct'; first_play_value; seed: an int from 0 to 2**64 - 1;
// packed_planes: true or false; rollout_weight; tree: 'cells' or
// 'placements'), each of which may be missing or None. Stops at the first
// failure and raises (errors.h) the lookup's own exception for a missing
// attribute, or TypeError("failed to extract field Config.<name>") with the
// conversion error as its cause (an interruption, see errors.h, stays as it
// is). Reads only: whether the search can run with the settings is
// check_config's to say, once per call.
Config read_config(PyObject* config);

// An optional attribute's value: null when the object lacks it or holds
// None; any other failure of the lookup raises its exception.
py_ref optional_attribute(PyObject* object, const char* name);

// A seed: any integer index from 0 to 2**64 - 1. Raises the conversion's
// exception (TypeError, OverflowError) for any other value.
std::uint64_t to_seed(PyObject* value);

// read(), with a failure to read a setting raised as the internal stop
// "invalid configuration" + where (raise_invalid_configuration).
template <class Read>
auto refusing_unreadable(std::string_view where, Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const ErrorAlreadySet&) {
    raise_invalid_configuration(where);
    throw;
  }
}

}  // namespace tilora::self_play::py
