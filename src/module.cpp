// The module definition, PyInit__corvane and the registration of the twelve functions.
#define PY_SSIZE_T_CLEAN
#include "module.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/binding.hpp"
#include "score_columns.hpp"

namespace corvane {
namespace {

#define CORVANE_METHOD(name, params)                                              \
  PyMethodDef {                                                                   \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(&name)), \
        METH_FASTCALL | METH_KEYWORDS, #name "(" params ")\n--\n\n"               \
  }

#define CORVANE_STANDARD                                                                      \
  "sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, current_smoker, " \
  "bmi, egfr, on_htn_meds, on_cholesterol_meds"
#define CORVANE_HEART_FAILURE                                                                 \
  "sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, is_smoker, bmi, " \
  "egfr, on_meds, _cholesterol_treated"

// Registration order is what __all__ shows; the function objects point here for life.
PyMethodDef kMethods[] = {
    CORVANE_METHOD(calculate_10_yr_heart_failure_rust, CORVANE_HEART_FAILURE),
    CORVANE_METHOD(calculate_30_yr_heart_failure_rust, CORVANE_HEART_FAILURE),
    CORVANE_METHOD(calculate_10_yr_ascvd_rust, CORVANE_STANDARD),
    CORVANE_METHOD(calculate_30_yr_ascvd_rust, CORVANE_STANDARD),
    CORVANE_METHOD(calculate_10_yr_cvd_rust, CORVANE_STANDARD),
    CORVANE_METHOD(calculate_30_yr_cvd_rust, CORVANE_STANDARD),
    CORVANE_METHOD(calculate_10_yr_ascvd_rust_parallel_np, "data"),
    CORVANE_METHOD(calculate_30_yr_ascvd_rust_parallel_np, "data"),
    CORVANE_METHOD(calculate_10_yr_cvd_rust_parallel_np, "data"),
    CORVANE_METHOD(calculate_30_yr_cvd_rust_parallel_np, "data"),
    CORVANE_METHOD(calculate_10_yr_hf_rust_parallel_np, "data"),
    CORVANE_METHOD(calculate_30_yr_hf_rust_parallel_np, "data"),
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_corvane",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_cache = nullptr;  // one strong reference, filled under the interpreter lock

Result<Ref> get_all_list(PyObject* module) noexcept {
  PyObject* key = interned("__all__");
  if (key == nullptr) return Pending::fetch();
  Ref all = Ref::steal(PyObject_GetAttr(module, key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Pending::fetch();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return Pending::fetch();
    if (PyObject_SetAttr(module, key, all.get()) < 0) return Pending::fetch();
    return all;
  }
  if (!PyList_Check(all.get())) return conversion_error(all.get(), "PyList");
  return all;
}

Result<bool> register_function(PyObject* module, PyMethodDef* def) {
  const char* module_name = PyModule_GetName(module);
  if (module_name == nullptr) return Pending::fetch();
  Ref name_str = Ref::steal(PyUnicode_FromString(module_name));
  if (!name_str) return Pending::fetch();
  Ref function = Ref::steal(PyCMethod_New(def, module, name_str.get(), nullptr));
  if (!function) return Pending::fetch();
  PyObject* name_key = interned("__name__");
  if (name_key == nullptr) return Pending::fetch();
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_key));
  if (!name) return Pending::fetch();
  if (!PyUnicode_Check(name.get())) return conversion_error(name.get(), "PyString");
  Result<Ref> all = get_all_list(module);
  if (!all) return std::move(all.error());
  if (PyList_Append(all->get(), name.get()) < 0) {
    PyErr_Print();
    throw InternalFailure("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return Pending::fetch();
  return true;
}

Result<Ref> init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return Pending::fetch();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    return Pending::with_message(PyExc_ImportError,
                                 "PyO3 modules do not yet support subinterpreters");
  }
  if (module_cache != nullptr) return Ref::borrow(module_cache);
  Ref module = Ref::steal(PyModule_Create2(&kModuleDef, 1013));
  if (!module) return Pending::fetch();
  for (PyMethodDef& def : kMethods) {
    Result<bool> ok = register_function(module.get(), &def);
    if (!ok) return std::move(ok.error());
  }
  if (Result<bool> ok = add_private_entries(module.get()); !ok) return std::move(ok.error());
  if (module_cache == nullptr) module_cache = Ref::borrow(module.get()).release();
  return Ref::borrow(module_cache);
}

}  // namespace
}  // namespace corvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__corvane() {
  return corvane::call_frame([]() { return corvane::init_module(); });
}
