// The private entry behind corvane.score, _score_columns, and the _status_messages and
// _status_messages_mmol tuples (indexed by RowStatus) it is read with. Not in __all__.
#pragma once

#include <Python.h>

#include "binding/binding.hpp"

namespace corvane {

PyObject* score_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Adds the two tuples to the module; called once by module init.
Result<bool> add_status_messages(PyObject* module) noexcept;

}  // namespace corvane
