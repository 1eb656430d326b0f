// Entry routines of the atherosclerotic cardiovascular disease functions.
#define PY_SSIZE_T_CLEAN
#include "risk/ascvd.hpp"

#include <Python.h>

#include "module.hpp"
#include "utils_py.hpp"

namespace corvane {
namespace {

constexpr FunctionDescription k10Scalar = {"calculate_10_yr_ascvd_rust", kStandardParams.data(),
                                           kStandardParams.size()};
constexpr FunctionDescription k10Batch = {"calculate_10_yr_ascvd_rust_parallel_np",
                                          kBatchParams.data(), kBatchParams.size()};
constexpr FunctionDescription k30Scalar = {"calculate_30_yr_ascvd_rust", kStandardParams.data(),
                                           kStandardParams.size()};
constexpr FunctionDescription k30Batch = {"calculate_30_yr_ascvd_rust_parallel_np",
                                          kBatchParams.data(), kBatchParams.size()};

}  // namespace

PyObject* calculate_10_yr_ascvd_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return scalar_call(k10Scalar, calculate_10_yr_ascvd_risk, args, nargs, kwnames);
}

PyObject* calculate_10_yr_ascvd_rust_parallel_np(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
  return calculate_risk_rust_parallel_np(k10Batch, calculate_10_yr_ascvd_risk_rows, args, nargs,
                                         kwnames);
}

PyObject* calculate_30_yr_ascvd_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return scalar_call(k30Scalar, calculate_30_yr_ascvd_risk, args, nargs, kwnames);
}

PyObject* calculate_30_yr_ascvd_rust_parallel_np(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
  return calculate_risk_rust_parallel_np(k30Batch, calculate_30_yr_ascvd_risk_rows, args, nargs,
                                         kwnames);
}

}  // namespace corvane
