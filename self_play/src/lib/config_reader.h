#pragma once
// Reading the search settings from the caller's config object.
#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/py_ref.h"
#include "simulation/config.h"

namespace tilora::self_play::py {

// Reads the six attributes in field order, then the optional ones (search:
// 'classic' or 'puct'; first_play_value; seed: an int from 0 to 2**64 - 1;
// packed_planes: true or false; rollout_weight; tree: 'cells' or
// 'placements'), each of which may be missing or None. Stops at the first failure:
// the lookup's own exception for a missing attribute, or
// TypeError("failed to extract field Config.<name>") with the conversion
// error as its cause (an interruption, see errors.h, stays as it is).
// Returns none with that exception set.
std::optional<Config> read_config(PyObject* config);

// An optional attribute's value: null without an exception when the object
// lacks it or holds None; null with the lookup's exception for any other
// failure (check PyErr_Occurred).
py_ref optional_attribute(PyObject* object, const char* name);

// A seed: any integer index from 0 to 2**64 - 1. Returns none with the
// conversion's exception (TypeError, OverflowError) set.
std::optional<std::uint64_t> to_seed(PyObject* value);

}  // namespace tilora::self_play::py
