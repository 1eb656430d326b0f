// The six batch functions' shared entry: bind `data`, check its dtype and shape, allocate the
// result, evaluate the rows on the pool and hand the buffer to a new float64 array.
#pragma once

#include <Python.h>

#include <array>
#include <string_view>

#include "binding/binding.hpp"
#include "risk/lanes.hpp"

namespace corvane {

inline constexpr std::array<std::string_view, 1> kBatchParams = {"data"};

// One batch call with the model's lane form.
PyObject* calculate_risk_rust_parallel_np(const FunctionDescription& desc, LaneRowsFunction fn,
                                          PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept;

}  // namespace corvane
