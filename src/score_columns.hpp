// The private entry behind every scoring path, _score_columns, and the _status_messages and
// _status_messages_mmol tuples (indexed by RowStatus) it is read with. Not in __all__.
#pragma once

#include <Python.h>

#include "binding/binding.hpp"

namespace corvane {

// _score_columns(columns, masks, options, models, risks, statuses, errors): reads the eleven
// columns by the cell rule and scores them; returns (rows, missing_bits, reasons,
// comma_numbers) of the rows it could not read.
PyObject* score_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// _texts_of_codes(codes, texts): texts[code] for each of a 1-D uint8 array's codes, as a new
// object array; how the error column is built from the engine's codes.
PyObject* texts_of_codes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Adds the two tuples to the module; called once by module init.
Result<bool> add_status_messages(PyObject* module) noexcept;

}  // namespace corvane
