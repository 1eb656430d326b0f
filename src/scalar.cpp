// Binding the eleven arguments of a scalar call, converted strictly in parameter order.
#define PY_SSIZE_T_CLEAN
#include "scalar.hpp"

#include <Python.h>

#include <utility>

namespace corvane {

Result<RiskInputs> bind_inputs(const FunctionDescription& desc, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* slots[kMaxParams] = {};
  if (auto error = extract_arguments_fastcall(desc, args, nargs, kwnames, slots)) {
    return std::move(*error);
  }
  const std::string_view* names = desc.params;
  RiskInputs in;
  // Converted strictly in parameter order, so the first bad argument is the one reported.
  auto sex = extract_text(slots[0], names[0]);
  if (!sex) return std::move(sex.error());
  in.sex = *sex;
  double* reals[] = {&in.age, &in.total_cholesterol, &in.hdl_cholesterol, &in.systolic_bp};
  for (int i = 0; i < 4; ++i) {
    auto v = extract_real_inline(slots[1 + i], names[1 + i]);
    if (!v) return std::move(v.error());
    *reals[i] = *v;
  }
  auto diabetes = extract_bool(slots[5], names[5]);
  if (!diabetes) return std::move(diabetes.error());
  in.has_diabetes = *diabetes;
  auto smoker = extract_bool(slots[6], names[6]);
  if (!smoker) return std::move(smoker.error());
  in.current_smoker = *smoker;
  auto bmi = extract_real_inline(slots[7], names[7]);
  if (!bmi) return std::move(bmi.error());
  in.bmi = *bmi;
  auto egfr = extract_real_inline(slots[8], names[8]);
  if (!egfr) return std::move(egfr.error());
  in.egfr = *egfr;
  auto htn = extract_bool(slots[9], names[9]);
  if (!htn) return std::move(htn.error());
  in.on_htn_meds = *htn;
  auto chol = extract_bool(slots[10], names[10]);
  if (!chol) return std::move(chol.error());
  in.on_cholesterol_meds = *chol;
  return in;
}

}  // namespace corvane
