// Result buffers and the heap type whose instances own them.
#define PY_SSIZE_T_CLEAN
#include "binding/buffer.hpp"

#include <Python.h>
#include <sys/mman.h>

#include <new>

#include "binding/state.hpp"

namespace corvane {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

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

}  // namespace

// A large buffer is fresh memory written once, front to back: on 4 KiB pages its page faults
// cost about as much as evaluating the rows, so it asks for 2 MiB pages. The advice may be
// ignored; the memory is the same either way, and free() releases it.
Buffer allocate_buffer(std::size_t n) {
  if (n > PY_SSIZE_T_MAX / sizeof(double)) throw std::bad_alloc();
  const std::size_t bytes = n * sizeof(double);
  void* p = nullptr;
  if (bytes >= 2 * kHugePage) {
    const std::size_t whole_pages = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, whole_pages);
    if (p != nullptr) ::madvise(p, whole_pages, MADV_HUGEPAGE);
  } else {
    p = std::malloc(n == 0 ? 1 : bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(static_cast<double*>(p));
}

PyType_Spec& holder_spec() noexcept { return kHolderSpec; }

Ref make_holder(Buffer& buffer) noexcept {
  PyObject* type = process_state().holder_type;
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "the holder type was not created at import");
    return Ref();
  }
  auto* holder = PyObject_New(ResultHolder, reinterpret_cast<PyTypeObject*>(type));
  if (holder == nullptr) return Ref();
  holder->buffer = buffer.release();
  return Ref::steal(reinterpret_cast<PyObject*>(holder));
}

double* holder_data(PyObject* holder) noexcept {
  return reinterpret_cast<ResultHolder*>(holder)->buffer;
}

}  // namespace corvane
