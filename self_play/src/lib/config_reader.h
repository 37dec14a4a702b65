#pragma once
// Reading the search settings from the caller's config object.
#include <Python.h>

#include <optional>

#include "simulation/config.h"

namespace tilora::self_play::py {

// Reads the six attributes in field order, stopping at the first failure:
// the lookup's own exception for a missing attribute, or
// TypeError("failed to extract field Config.<name>") with the conversion
// error as its cause. Returns none with that exception set.
std::optional<Config> read_config(PyObject* config);

}  // namespace tilora::self_play::py
