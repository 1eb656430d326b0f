// The twelve entry routines the module registers, one per Python function.
#pragma once

#include <Python.h>

namespace corvane {

#define CORVANE_ENTRY(name) \
  PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

CORVANE_ENTRY(calculate_10_yr_cvd_rust)
CORVANE_ENTRY(calculate_30_yr_cvd_rust)
CORVANE_ENTRY(calculate_10_yr_cvd_rust_parallel_np)
CORVANE_ENTRY(calculate_30_yr_cvd_rust_parallel_np)
CORVANE_ENTRY(calculate_10_yr_ascvd_rust)
CORVANE_ENTRY(calculate_30_yr_ascvd_rust)
CORVANE_ENTRY(calculate_10_yr_ascvd_rust_parallel_np)
CORVANE_ENTRY(calculate_30_yr_ascvd_rust_parallel_np)
CORVANE_ENTRY(calculate_10_yr_heart_failure_rust)
CORVANE_ENTRY(calculate_30_yr_heart_failure_rust)
CORVANE_ENTRY(calculate_10_yr_hf_rust_parallel_np)
CORVANE_ENTRY(calculate_30_yr_hf_rust_parallel_np)

#undef CORVANE_ENTRY

}  // namespace corvane
