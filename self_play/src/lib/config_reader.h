#pragma once
// Reading the search settings from the caller's config object.
#include <Python.h>

#include <optional>

#include "simulation/config.h"

namespace tilora::self_play::py {

// Reads the six attributes in field order, then the optional ones (search:
// 'classic' or 'puct'; first_play_value; seed: an int from 0 to 2**64 - 1;
// packed_planes: true or false; rollout_weight), each of which may be
// missing or None. Stops at the first failure:
// the lookup's own exception for a missing attribute, or
// TypeError("failed to extract field Config.<name>") with the conversion
// error as its cause. Returns none with that exception set.
std::optional<Config> read_config(PyObject* config);

}  // namespace tilora::self_play::py
