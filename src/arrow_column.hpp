// _corvane.ArrowColumn: float64, uint16 or int64 values in memory shared with Arrow consumers
// (polars) without a copy, and the private entry that makes one.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/binding.hpp"

namespace corvane {

// Creates the ArrowColumn type into the process state; called once by module init. A second
// call keeps the type already made.
Result<bool> create_column_type() noexcept;

// A writable column of n uninitialised values, format 'd' (float64), 'H' (uint16) or 'q'
// (int64); its values at *data.
Result<Ref> new_column_of(std::size_t n, char format, void** data);

// _new_column(n, format): a writable column of n uninitialised values, format "d" or "H".
PyObject* new_column_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane
