// The six scalar functions' shared entry: bind the eleven arguments, evaluate once, raise the
// risk message or return a float.
#pragma once

#include <Python.h>

#include <array>
#include <string_view>

#include "binding/binding.hpp"
#include "risk/risk.hpp"

namespace corvane {

// Parameter names of the scalar functions; three differ for heart failure.
inline constexpr std::array<std::string_view, 11> kStandardParams = {
    "sex",         "age",          "total_cholesterol",   "hdl_cholesterol",
    "systolic_bp", "has_diabetes", "current_smoker",      "bmi",
    "egfr",        "on_htn_meds",  "on_cholesterol_meds",
};
inline constexpr std::array<std::string_view, 11> kHeartFailureParams = {
    "sex",
    "age",
    "total_cholesterol",
    "hdl_cholesterol",
    "systolic_bp",
    "has_diabetes",
    "is_smoker",
    "bmi",
    "egfr",
    "on_meds",
    "_cholesterol_treated",
};

// Binds and converts the eleven arguments in parameter order; the first failure wins.
Result<RiskInputs> bind_inputs(const FunctionDescription& desc, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) noexcept;

// One scalar call: bind, evaluate once, return a float or raise the risk message.
inline PyObject* scalar_call(const FunctionDescription& desc, RiskFunction fn,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_frame([&]() -> Result<Ref> {
    Result<RiskInputs> in = bind_inputs(desc, args, nargs, kwnames);
    if (!in) return std::move(in.error());
    RiskOutcome r = evaluate(fn, *in);
    if (!r.ok()) return Pending::value_error(r.message);
    return checked_new(PyFloat_FromDouble(r.percent));
  });
}

}  // namespace corvane
