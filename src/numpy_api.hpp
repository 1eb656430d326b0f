// NumPy's C interface: its table of functions, loaded on the first batch call and kept for the
// process, and the few entries the batch path calls, reached by name.
#pragma once

#include <Python.h>

// NumPy's headers for its types and field accessors only; its functions come from the table
// below, so no translation unit defines NumPy's own table pointer.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL corvane_numpy_table_unused
#include <numpy/ndarraytypes.h>

namespace corvane {

// Positions in NumPy's table. NumPy's ABI: never renumbered.
enum NumpySlot : int {
  kGetNDArrayCVersion = 0,
  kArrayType = 2,
  kDescrFromType = 45,
  kNewFromDescr = 94,
  kEquivTypes = 182,
  kGetEndianness = 210,
  kGetNDArrayCFeatureVersion = 211,
  kSetBaseObject = 282,
};

// The entries the batch path uses, typed, over the table the first batch call loaded.
class NumpyApi {
 public:
  explicit NumpyApi(void** table) noexcept : table_(table) {}
  PyTypeObject* array_type() const noexcept { return entry<PyTypeObject*>(kArrayType); }
  PyArray_Descr* descr_from_type(int type) const noexcept {
    return entry<PyArray_Descr* (*)(int)>(kDescrFromType)(type);
  }
  // Steals the descriptor, success or not.
  PyObject* new_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd,
                           const npy_intp* dims, const npy_intp* strides, void* data, int flags,
                           PyObject* obj) const noexcept {
    using Fn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*,
                             void*, int, PyObject*);
    return entry<Fn>(kNewFromDescr)(subtype, descr, nd, dims, strides, data, flags, obj);
  }
  bool equiv_types(PyArray_Descr* a, PyArray_Descr* b) const noexcept {
    return entry<npy_bool (*)(PyArray_Descr*, PyArray_Descr*)>(kEquivTypes)(a, b) != 0;
  }
  // Steals the base, success or not.
  int set_base_object(PyArrayObject* array, PyObject* base) const noexcept {
    return entry<int (*)(PyArrayObject*, PyObject*)>(kSetBaseObject)(array, base);
  }

 private:
  template <class T>
  T entry(NumpySlot slot) const noexcept {
    return reinterpret_cast<T>(table_[slot]);
  }
  void** table_;
};

// NumPy's interface, imported from numpy.core.multiarray on the first call. A failure is an
// internal failure (it throws, "Failed to access NumPy array API capsule: ..."); nothing is kept,
// so the next call tries again.
NumpyApi numpy_api();

}  // namespace corvane
