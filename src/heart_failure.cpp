// Entry routines of the heart failure functions.
#define PY_SSIZE_T_CLEAN
#include "risk/heart_failure.hpp"

#include <Python.h>

#include "module.hpp"
#include "utils_py.hpp"

namespace corvane {
namespace {

constexpr FunctionDescription k10Scalar = {"calculate_10_yr_heart_failure_rust",
                                           kHeartFailureParams.data(), kHeartFailureParams.size()};
constexpr FunctionDescription k10Batch = {"calculate_10_yr_hf_rust_parallel_np",
                                          kBatchParams.data(), kBatchParams.size()};
constexpr FunctionDescription k30Scalar = {"calculate_30_yr_heart_failure_rust",
                                           kHeartFailureParams.data(), kHeartFailureParams.size()};
constexpr FunctionDescription k30Batch = {"calculate_30_yr_hf_rust_parallel_np",
                                          kBatchParams.data(), kBatchParams.size()};

}  // namespace

PyObject* calculate_10_yr_heart_failure_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) noexcept {
  return scalar_call(k10Scalar, calculate_10_yr_heart_failure_risk, args, nargs, kwnames);
}

PyObject* calculate_10_yr_hf_rust_parallel_np(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
  return calculate_risk_rust_parallel_np(k10Batch, calculate_10_yr_heart_failure_risk_rows, args,
                                         nargs, kwnames);
}

PyObject* calculate_30_yr_heart_failure_rust(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) noexcept {
  return scalar_call(k30Scalar, calculate_30_yr_heart_failure_risk, args, nargs, kwnames);
}

PyObject* calculate_30_yr_hf_rust_parallel_np(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
  return calculate_risk_rust_parallel_np(k30Batch, calculate_30_yr_heart_failure_risk_rows, args,
                                         nargs, kwnames);
}

}  // namespace corvane
