// Argument binding for the scalar functions, and the batch driver over NumPy arrays.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "utils_py.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "array_rows.hpp"

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

namespace {

[[noreturn]] void numpy_unavailable(const char* why) {
  std::string message = std::string("Failed to access NumPy array API capsule: ") + why;
  if (PyErr_Occurred()) {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(raised.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    if (utf8 != nullptr) message = message + " (" + utf8 + ")";
  }
  throw InternalFailure(message);
}

// NumPy's table is read from numpy.core.multiarray on the first batch call, never at import.
// Failing is an internal failure (it throws); the table stays null so the next call tries again.
void load_numpy() {
  if (PyArray_API != nullptr) return;
  Ref module = Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
  if (!module) numpy_unavailable("cannot import numpy.core.multiarray");
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) numpy_unavailable("no _ARRAY_API");
  if (!PyCapsule_CheckExact(capsule.get())) numpy_unavailable("_ARRAY_API is not a capsule");
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) numpy_unavailable("_ARRAY_API holds a null pointer");
  // The checks NumPy's own import_array makes: ABI, feature level and byte order.
  auto abi_version = reinterpret_cast<unsigned int (*)()>(table[0]);
  auto feature_version = reinterpret_cast<unsigned int (*)()>(table[211]);
  auto endianness = reinterpret_cast<int (*)()>(table[210]);
  if (NPY_VERSION < abi_version()) numpy_unavailable("NumPy's ABI is newer than this build");
  if (NPY_FEATURE_VERSION > feature_version()) numpy_unavailable("NumPy is older than this build");
  if (endianness() != NPY_CPU_LITTLE) numpy_unavailable("unexpected byte order");
  PyArray_RUNTIME_VERSION = static_cast<int>(feature_version());
  PyArray_API = table;  // the capsule's owner, NumPy's module, is never unloaded
}

// Owns a result buffer; installed as the result array's base so the buffer dies with it.
struct ResultHolder {
  PyObject_HEAD double* buffer;
};

void holder_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::free(reinterpret_cast<ResultHolder*>(self)->buffer);
  type->tp_free(self);
  Py_DECREF(type);  // heap type instances own a reference to their type
}

PyType_Slot kHolderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&holder_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of a corvane result array.")},
    {0, nullptr},
};
PyType_Spec kHolderSpec = {
    .name = "_corvane.ResultHolder",
    .basicsize = sizeof(ResultHolder),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kHolderSlots,
};

struct FreeDeleter {
  void operator()(double* p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<double, FreeDeleter>;

// Takes the buffer into a new holder, or leaves it with the caller on failure.
Ref make_holder(Buffer& buffer) noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyType_FromSpec(&kHolderSpec);
    if (type == nullptr) return Ref();
  }
  auto* holder = PyObject_New(ResultHolder, reinterpret_cast<PyTypeObject*>(type));
  if (holder == nullptr) return Ref();
  holder->buffer = buffer.release();
  return Ref::steal(reinterpret_cast<PyObject*>(holder));
}

Pending data_error(Pending error) noexcept {
  return argument_extraction_error("data", std::move(error));
}

Pending dtype_mismatch(PyArray_Descr* descr) noexcept {
  Ref text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
  if (!text) return Pending::fetch();
  return data_error(Pending::with_message(
      PyExc_TypeError,
      Ref::steal(PyUnicode_FromFormat("type mismatch:\n from=%U, to=float64", text.get()))));
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The arrays are allocated before any work, so a batch too large for memory (a broadcast view
// costs NumPy nothing) ends in MemoryError with everything released, not in a dead process.
//
// A large one is fresh memory written once, front to back: on 4 KiB pages its page faults cost
// about as much as evaluating the rows, so it asks for 2 MiB pages. The advice may be ignored;
// the memory is the same either way, and free() releases it.
template <class T>
T* allocate_array(std::size_t n) {
  if (n > PY_SSIZE_T_MAX / sizeof(T)) throw std::bad_alloc();
  const std::size_t bytes = n * sizeof(T);
  void* p = nullptr;
  if (bytes >= 2 * kHugePage) {
    const std::size_t whole_pages = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, whole_pages);
    if (p != nullptr) ::madvise(p, whole_pages, MADV_HUGEPAGE);
  } else {
    p = std::malloc(n == 0 ? 1 : bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<T*>(p);
}

Result<Ref> evaluate_array(PyArrayObject* array, RowsFunction fn) {
  if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 11) {
    return Pending::value_error("Array shape must be (n, 11)");
  }
  const npy_intp n = PyArray_DIM(array, 0);
  const auto rows = static_cast<std::size_t>(n);
  Buffer result(allocate_array<double>(rows));
  // The caller holds the interpreter lock and its reference to the array until this returns,
  // so the workers read memory that nothing can change or free.
  evaluate_array_rows({.data = static_cast<const char*>(PyArray_DATA(array)),
                       .rows = rows,
                       .row_stride = PyArray_STRIDE(array, 0),
                       .column_stride = PyArray_STRIDE(array, 1)},
                      fn, result.get());

  Ref holder = make_holder(result);
  if (!holder) {
    PyErr_Clear();
    throw InternalFailure("Failed to create slice container");
  }
  npy_intp dims[1] = {n};
  npy_intp strides[1] = {sizeof(double)};
  double* data = reinterpret_cast<ResultHolder*>(holder.get())->buffer;
  // steals the descriptor, success or not
  Ref out = checked_new(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1,
                                             dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  // steals holder, success or not
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(out.get()), holder.release()) < 0) {
    return Pending::fetch();
  }
  return out;
}

}  // namespace

PyObject* calculate_risk_rust_parallel_np(const FunctionDescription& desc, RowsFunction fn,
                                          PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
  return call_frame([&]() -> Result<Ref> {
    PyObject* data = nullptr;
    if (auto error = extract_arguments_fastcall(desc, args, nargs, kwnames, &data)) {
      return std::move(*error);
    }
    load_numpy();
    if (!PyArray_Check(data)) return data_error(conversion_error(data, "PyArray<T, D>"));
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (float64 == nullptr) return Pending::fetch();
    PyArray_Descr* descr = PyArray_DESCR(array);
    const bool equivalent = descr == float64 || PyArray_EquivTypes(descr, float64);
    Py_DECREF(float64);
    if (!equivalent) return dtype_mismatch(descr);
    return evaluate_array(array, fn);
  });
}

}  // namespace corvane
