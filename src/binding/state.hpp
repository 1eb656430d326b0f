// The module's process-wide state: every object it creates once and keeps, in one struct.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "binding/binding.hpp"

namespace corvane {

// Attribute names the module looks up, interned once.
enum class Name : int { kAll, kName, kQualname };
inline constexpr std::size_t kNameCount = 3;

// The interned names of one parameter list: a keyword written in a caller's source is the same
// interned object, so most lookups end at a pointer comparison.
struct InternedParams {
  const std::string_view* params = nullptr;  // the list's identity
  PyObject* names[kMaxParams] = {};
};
// Distinct parameter lists among the registered functions.
inline constexpr std::size_t kMaxParamLists = 8;

struct ProcessState {
  // The interpreter that imported the module first; the one value changed atomically.
  std::atomic<std::int64_t> owning_interpreter{-1};
  // Everything else is filled under the interpreter lock and kept for the process.
  PyObject* module = nullptr;
  PyObject* names[kNameCount] = {};
  InternedParams params[kMaxParamLists] = {};
  PyObject* panic_type = nullptr;   // pyo3_runtime.PanicException
  PyObject* holder_type = nullptr;  // owner of a result array's buffer
  PyObject* column_type = nullptr;  // _corvane.ArrowColumn
  void** numpy_table = nullptr;     // NumPy's interface, from the first batch call
};

namespace detail {
extern constinit ProcessState process_state;  // constant-initialized: no guard on each use
}  // namespace detail

inline ProcessState& process_state() noexcept { return detail::process_state; }

// Fills what import creates: the interned names, the parameter names of `functions`, the panic
// type and the holder type. Slots already filled are kept, so a second call changes nothing.
Result<bool> fill_process_state(std::span<const FunctionDescription> functions) noexcept;

// Null only before fill_process_state has succeeded.
inline PyObject* interned(Name name) noexcept {
  return process_state().names[static_cast<int>(name)];
}

// The interned names of desc's parameter list, or null when it was not registered.
inline PyObject* const* interned_params(const FunctionDescription& desc) noexcept {
  for (InternedParams& entry : process_state().params) {
    if (entry.params == desc.params) return entry.names;
  }
  return nullptr;
}

// The panic type, created here if import could not create it. Null with an error pending when
// even that fails.
PyObject* panic_exception_type() noexcept;

}  // namespace corvane
