// The private entries behind corvane.score, kept out of __all__: _score_columns, _worker_count,
// and the _status_messages and _status_messages_mmol tuples (indexed by RowStatus).
#pragma once

#include <Python.h>

#include "binding/binding.hpp"

namespace corvane {

// Adds them to the module; called once by module init.
Result<bool> add_private_entries(PyObject* module) noexcept;

}  // namespace corvane
