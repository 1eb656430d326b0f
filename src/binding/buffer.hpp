// Result buffers: allocated before any work, then handed to a holder object that frees them
// with the array they back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "binding/ref.hpp"

namespace corvane {

struct FreeDeleter {
  void operator()(double* p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<double, FreeDeleter>;

// n doubles, uninitialised. Throws std::bad_alloc (MemoryError at the boundary) when they do not
// fit, so a batch too large for memory releases everything instead of ending the process.
Buffer allocate_buffer(std::size_t n);

// The holder type's PyType_Spec, from which the type is created once into the process state.
PyType_Spec& holder_spec() noexcept;

// Takes the buffer into a new holder, or leaves it with the caller on failure (null Ref, error
// pending).
Ref make_holder(Buffer& buffer) noexcept;

// The buffer a holder made by make_holder owns.
double* holder_data(PyObject* holder) noexcept;

}  // namespace corvane
