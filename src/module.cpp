// The module: PyInit__corvane, registration, __all__, and the one table of the twelve functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "arrow_column.hpp"
#include "batch.hpp"
#include "binding/binding.hpp"
#include "binding/state.hpp"
#include "count_byte.hpp"
#include "pool/pool.hpp"
#include "risk/ascvd.hpp"
#include "risk/cvd.hpp"
#include "risk/heart_failure.hpp"
#include "scalar.hpp"
#include "score_columns.hpp"

namespace corvane {
namespace {

// One Python function: its name and parameters, and the model it evaluates, as a risk function
// (scalar) or its lane form (batch).
struct Function {
  FunctionDescription desc;
  bool batch = false;
  RiskFunction risk = nullptr;
  LaneRowsFunction rows = nullptr;
};

constexpr Function scalar(std::string_view name, const std::array<std::string_view, 11>& params,
                          RiskFunction risk) {
  return {.desc = {name, params.data(), params.size()}, .risk = risk};
}

constexpr Function batch(std::string_view name, LaneRowsFunction rows) {
  return {.desc = {name, kBatchParams.data(), kBatchParams.size()}, .batch = true, .rows = rows};
}

// Registration order is what __all__ shows.
constexpr Function kFunctions[] = {
    scalar("calculate_10_yr_heart_failure_rust", kHeartFailureParams,
           calculate_10_yr_heart_failure_risk),
    scalar("calculate_30_yr_heart_failure_rust", kHeartFailureParams,
           calculate_30_yr_heart_failure_risk),
    scalar("calculate_10_yr_ascvd_rust", kStandardParams, calculate_10_yr_ascvd_risk),
    scalar("calculate_30_yr_ascvd_rust", kStandardParams, calculate_30_yr_ascvd_risk),
    scalar("calculate_10_yr_cvd_rust", kStandardParams, calculate_10_yr_cvd_risk),
    scalar("calculate_30_yr_cvd_rust", kStandardParams, calculate_30_yr_cvd_risk),
    batch("calculate_10_yr_ascvd_rust_parallel_np", calculate_10_yr_ascvd_risk_lanes),
    batch("calculate_30_yr_ascvd_rust_parallel_np", calculate_30_yr_ascvd_risk_lanes),
    batch("calculate_10_yr_cvd_rust_parallel_np", calculate_10_yr_cvd_risk_lanes),
    batch("calculate_30_yr_cvd_rust_parallel_np", calculate_30_yr_cvd_risk_lanes),
    batch("calculate_10_yr_hf_rust_parallel_np", calculate_10_yr_heart_failure_risk_lanes),
    batch("calculate_30_yr_hf_rust_parallel_np", calculate_30_yr_heart_failure_risk_lanes),
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);

// The two templates every row expands into: the entry routine the interpreter calls.
template <std::size_t I>
PyObject* scalar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return scalar_call(kFunctions[I].desc, kFunctions[I].risk, args, nargs, kwnames);
}

template <std::size_t I>
PyObject* batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return calculate_risk_rust_parallel_np(kFunctions[I].desc, kFunctions[I].rows, args, nargs,
                                         kwnames);
}

// The documentation text: only the signature, "name(p1, p2)\n--\n\n", so the interpreter shows
// the parameters and no docstring. Built at compile time from the row.
template <std::size_t I>
constexpr std::size_t doc_size() {
  const FunctionDescription& d = kFunctions[I].desc;
  std::size_t size = d.name.size() + std::string_view("()\n--\n\n").size() + 1;
  for (std::size_t p = 0; p < d.count; ++p) size += d.params[p].size() + (p > 0 ? 2 : 0);
  return size;
}

template <std::size_t I>
constexpr std::array<char, doc_size<I>()> make_doc() {
  const FunctionDescription& d = kFunctions[I].desc;
  std::array<char, doc_size<I>()> doc{};
  std::size_t at = 0;
  const auto put = [&](std::string_view text) {
    for (char c : text) doc[at++] = c;
  };
  put(d.name);
  put("(");
  for (std::size_t p = 0; p < d.count; ++p) {
    if (p > 0) put(", ");
    put(d.params[p]);
  }
  put(")\n--\n\n");
  return doc;  // the last char stays '\0'
}

template <std::size_t I>
constexpr auto kDoc = make_doc<I>();

// The table's names are literals, so their views end in '\0'.
template <class Entry>
PyMethodDef method(std::string_view name, Entry entry, const char* doc) {
  return {name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// Each row instantiates only the template its kind needs.
template <std::size_t I>
PyMethodDef method_of() {
  if constexpr (kFunctions[I].batch) {
    return method(kFunctions[I].desc.name, &batch_entry<I>, kDoc<I>.data());
  } else {
    return method(kFunctions[I].desc.name, &scalar_entry<I>, kDoc<I>.data());
  }
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> make_methods(std::index_sequence<I...>) {
  return {method_of<I>()...};
}

// The function objects point here for life.
std::array<PyMethodDef, kFunctionCount> kMethods =
    make_methods(std::make_index_sequence<kFunctionCount>());

// Private entry points: registered on the module but not listed in __all__. One that binds
// keywords through extract_arguments_fastcall gets its description added in descriptions(), so
// its parameter names are interned at import.
PyObject* worker_count_entry(PyObject*, PyObject*) noexcept {
  return call_frame([]() -> Result<Ref> {
    Ref count = Ref::steal(PyLong_FromSize_t(worker_count()));
    if (!count) return Pending::fetch();
    return count;
  });
}

PyMethodDef kPrivateMethods[] = {
    {"_worker_count", &worker_count_entry, METH_NOARGS,
     "_worker_count()\n--\n\nThe worker pool's number of threads, creating the pool."},
    {"_score_columns",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&score_columns_entry)),
     METH_FASTCALL,
     "_score_columns(columns, masks, options, models, risks, statuses, errors)\n--\n\n"
     "Reads eleven columns (Arrow arrays or streams, 1-D NumPy arrays, object arrays; a mask\n"
     "marks missing cells of a NumPy one) by the cell rule and scores the named models in one\n"
     "pass. options: (labels, expected, codes, decimal, cholesterol_mmol). Fills risks, a (1, n)\n"
     "or (n,) float64 array per model, statuses (models, n) uint8 unless None, and errors (1, n)\n"
     "or (n,) uint16: per row the first refusing model's status in each horizon, first + 10 *\n"
     "second, or for an unreadable row 100 + a bit per bad column. Returns (rows, missing_bits,\n"
     "reasons, comma_numbers) of the unreadable rows."},
    {"_texts_of_codes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&texts_of_codes_entry)),
     METH_FASTCALL,
     "_texts_of_codes(codes, texts)\n--\n\n"
     "A new object array holding texts[code] for each code of a 1-D uint8 or uint16 array;\n"
     "texts is a tuple of str or None."},
    {"_new_column", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&new_column_entry)),
     METH_FASTCALL,
     "_new_column(n, format)\n--\n\n"
     "A writable ArrowColumn of n uninitialised values, format 'd' (float64) or 'H' (uint16):\n"
     "a buffer to fill, then handed to polars by pl.Series(column) without a copy."},
    {"_count_byte", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&count_byte_entry)),
     METH_FASTCALL,
     "_count_byte(buffer, byte, start, end)\n--\n\n"
     "How many times byte occurs in buffer[start:end]; start or end may be None."},
};

std::array<FunctionDescription, kFunctionCount> descriptions() {
  std::array<FunctionDescription, kFunctionCount> all;
  for (std::size_t i = 0; i < kFunctionCount; ++i) all[i] = kFunctions[i].desc;
  return all;
}

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

Result<Ref> get_all_list(PyObject* module) noexcept {
  PyObject* key = interned(Name::kAll);
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

// Sets the function as a module attribute under its __name__, and lists public ones in __all__.
Result<bool> register_function(PyObject* module, PyMethodDef* def, bool in_all) {
  const char* module_name = PyModule_GetName(module);
  if (module_name == nullptr) return Pending::fetch();
  Ref name_str = Ref::steal(PyUnicode_FromString(module_name));
  if (!name_str) return Pending::fetch();
  Ref function = Ref::steal(PyCMethod_New(def, module, name_str.get(), nullptr));
  if (!function) return Pending::fetch();
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned(Name::kName)));
  if (!name) return Pending::fetch();
  if (!PyUnicode_Check(name.get())) return conversion_error(name.get(), "PyString");
  if (in_all) {
    Result<Ref> all = get_all_list(module);
    if (!all) return std::move(all.error());
    if (PyList_Append(all->get(), name.get()) < 0) {
      PyErr_Print();
      throw InternalFailure("could not append __name__ to __all__");
    }
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return Pending::fetch();
  return true;
}

Result<Ref> init_module() {
  ProcessState& state = process_state();
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return Pending::fetch();
  std::int64_t expected = -1;
  if (!state.owning_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    return Pending::with_message(PyExc_ImportError,
                                 "PyO3 modules do not yet support subinterpreters");
  }
  if (state.module != nullptr) return Ref::borrow(state.module);
  const auto all = descriptions();
  if (Result<bool> filled = fill_process_state(all); !filled) return std::move(filled.error());
  if (Result<bool> made = create_column_type(); !made) return std::move(made.error());
  Ref module = Ref::steal(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
  if (!module) return Pending::fetch();
  for (PyMethodDef& def : kMethods) {
    Result<bool> ok = register_function(module.get(), &def, true);
    if (!ok) return std::move(ok.error());
  }
  for (PyMethodDef& def : kPrivateMethods) {
    Result<bool> ok = register_function(module.get(), &def, false);
    if (!ok) return std::move(ok.error());
  }
  if (Result<bool> ok = add_status_messages(module.get()); !ok) return std::move(ok.error());
  state.module = Ref::borrow(module.get()).release();  // kept for the process
  return module;
}

}  // namespace
}  // namespace corvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__corvane() {
  return corvane::call_frame([]() { return corvane::init_module(); });
}
