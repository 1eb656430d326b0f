// The process-wide state and the one function that fills it at import.
#define PY_SSIZE_T_CLEAN
#include "binding/state.hpp"

#include <Python.h>

#include <algorithm>

#include "binding/buffer.hpp"

namespace corvane {
namespace {

constexpr const char* kNameTexts[kNameCount] = {"__all__", "__name__", "__qualname__"};

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails with an internal error.\n\n"
    "Like SystemExit, this exception derives from BaseException, so it is not caught by\n"
    "'except Exception:' and will typically propagate all the way up and end the interpreter.";

// Interns a list's names into `entry`, or leaves it untouched and an error pending.
bool intern_list(const FunctionDescription& desc, InternedParams& entry) noexcept {
  PyObject* names[kMaxParams] = {};
  for (std::size_t i = 0; i < desc.count; ++i) {
    names[i] = PyUnicode_FromStringAndSize(desc.params[i].data(),
                                           static_cast<Py_ssize_t>(desc.params[i].size()));
    if (names[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(names[j]);
      return false;
    }
    PyUnicode_InternInPlace(&names[i]);
  }
  entry.params = desc.params;
  std::copy(names, names + desc.count, entry.names);
  return true;
}

}  // namespace

// Its destructor is trivial, so nothing happens to it at exit while workers may still run.
constinit ProcessState detail::process_state;

PyObject* panic_exception_type() noexcept {
  ProcessState& s = process_state();
  if (s.panic_type == nullptr) {
    s.panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return s.panic_type;
}

Result<bool> fill_process_state(std::span<const FunctionDescription> functions) noexcept {
  ProcessState& s = process_state();
  for (std::size_t i = 0; i < kNameCount; ++i) {
    if (s.names[i] != nullptr) continue;
    PyObject* name = PyUnicode_FromString(kNameTexts[i]);
    if (name == nullptr) return Pending::fetch();
    PyUnicode_InternInPlace(&name);
    s.names[i] = name;
  }
  for (const FunctionDescription& desc : functions) {
    if (interned_params(desc) != nullptr) continue;
    InternedParams* free_entry = nullptr;
    for (InternedParams& entry : s.params) {
      if (entry.params == nullptr) {
        free_entry = &entry;
        break;
      }
    }
    if (free_entry == nullptr) {
      return Pending::with_message(PyExc_SystemError, "too many distinct parameter lists");
    }
    if (!intern_list(desc, *free_entry)) return Pending::fetch();
  }
  if (panic_exception_type() == nullptr) return Pending::fetch();
  if (s.holder_type == nullptr) {
    s.holder_type = PyType_FromSpec(&holder_spec());
    if (s.holder_type == nullptr) return Pending::fetch();
  }
  return true;
}

}  // namespace corvane
