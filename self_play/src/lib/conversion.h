#pragma once
// The training record as Python objects: (history, policies, payoff) with
// history a list of (player, cell) tuples, policies a list of lists of
// (cell, share) tuples, payoff a list of four floats.
#include <Python.h>

#include "lib/py_ref.h"
#include "simulation/training_record.h"

namespace tilora::self_play::py {

// Throws ErrorAlreadySet when an object cannot be made.
py_ref to_python(const TrainingRecord& record);

}  // namespace tilora::self_play::py
