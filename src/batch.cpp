// The batch driver: the calling thread checks the array and owns every Python object; the
// workers read only its memory and write only the result buffer.
#define PY_SSIZE_T_CLEAN
#include "batch.hpp"

#include <Python.h>

#include <utility>

#include "array_rows.hpp"
#include "binding/buffer.hpp"
#include "numpy_api.hpp"

namespace corvane {
namespace {

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

Result<Ref> evaluate_array(const NumpyApi& numpy, PyArrayObject* array, LaneRowsFunction fn) {
  if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 11) {
    return Pending::value_error("Array shape must be (n, 11)");
  }
  const npy_intp n = PyArray_DIM(array, 0);
  // Allocated before any work, so a batch too large for memory (a broadcast view costs NumPy
  // nothing) ends in MemoryError with everything released.
  Buffer result = allocate_buffer(static_cast<std::size_t>(n));
  // The caller holds the interpreter lock and its reference to the array until this returns,
  // so the workers read memory that nothing can change or free.
  evaluate_array_rows({.data = static_cast<const char*>(PyArray_DATA(array)),
                       .rows = static_cast<std::size_t>(n),
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
  // steals the descriptor, success or not
  Ref out = checked_new(numpy.new_from_descr(numpy.array_type(), numpy.descr_from_type(NPY_DOUBLE),
                                             1, dims, strides, holder_data(holder.get()),
                                             NPY_ARRAY_WRITEABLE, nullptr));
  // steals holder, success or not
  if (numpy.set_base_object(reinterpret_cast<PyArrayObject*>(out.get()), holder.release()) < 0) {
    return Pending::fetch();
  }
  return out;
}

}  // namespace

PyObject* calculate_risk_rust_parallel_np(const FunctionDescription& desc, LaneRowsFunction fn,
                                          PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
  return call_frame([&]() -> Result<Ref> {
    PyObject* data = nullptr;
    if (auto error = extract_arguments_fastcall(desc, args, nargs, kwnames, &data)) {
      return std::move(*error);
    }
    const NumpyApi numpy = numpy_api();
    if (!PyObject_TypeCheck(data, numpy.array_type())) {
      return data_error(conversion_error(data, "PyArray<T, D>"));
    }
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    PyArray_Descr* float64 = numpy.descr_from_type(NPY_DOUBLE);
    if (float64 == nullptr) return Pending::fetch();
    PyArray_Descr* descr = PyArray_DESCR(array);
    const bool equivalent = descr == float64 || numpy.equiv_types(descr, float64);
    Py_DECREF(float64);
    if (!equivalent) return dtype_mismatch(descr);
    return evaluate_array(numpy, array, fn);
  });
}

}  // namespace corvane
