// Loading NumPy's table of functions from its capsule, with the checks NumPy's own loader makes.
#define PY_SSIZE_T_CLEAN
#include "numpy_api.hpp"

#include <Python.h>

#include <string>

#include "binding/binding.hpp"
#include "binding/state.hpp"

namespace corvane {
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

template <class T>
T entry(void** table, NumpySlot slot) noexcept {
  return reinterpret_cast<T>(table[slot]);
}

void** load() {
  Ref module = Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
  if (!module) numpy_unavailable("cannot import numpy.core.multiarray");
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) numpy_unavailable("no _ARRAY_API");
  if (!PyCapsule_CheckExact(capsule.get())) numpy_unavailable("_ARRAY_API is not a capsule");
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) numpy_unavailable("_ARRAY_API holds a null pointer");
  // The checks NumPy's own import_array makes: ABI, feature level and byte order.
  const auto abi_version = entry<unsigned int (*)()>(table, kGetNDArrayCVersion);
  const auto feature_version = entry<unsigned int (*)()>(table, kGetNDArrayCFeatureVersion);
  const auto endianness = entry<int (*)()>(table, kGetEndianness);
  if (NPY_VERSION < abi_version()) numpy_unavailable("NumPy's ABI is newer than this build");
  if (NPY_FEATURE_VERSION > feature_version()) numpy_unavailable("NumPy is older than this build");
  if (endianness() != NPY_CPU_LITTLE) numpy_unavailable("unexpected byte order");
  return table;  // the capsule's owner, NumPy's module, is never unloaded
}

}  // namespace

NumpyApi numpy_api() {
  ProcessState& state = process_state();
  if (state.numpy_table == nullptr) state.numpy_table = load();
  return NumpyApi(state.numpy_table);
}

}  // namespace corvane
