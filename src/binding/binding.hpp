// The boundary with the interpreter: pending errors, the call frame, the argument binder and
// the three converters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binding/ref.hpp"

namespace corvane {

// A broken invariant inside the module, never a bad input. The call frame turns it into
// pyo3_runtime.PanicException.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An error on its way to the call frame: an exception type with its message (a str), or an
// exception object fetched from the interpreter or built by a remapping.
class Pending {
 public:
  // Builds the message str now; if even that fails, the interpreter's MemoryError is pending.
  static Pending with_message(PyObject* type, std::string_view message) noexcept;
  static Pending with_message(PyObject* type, Ref message) noexcept;
  static Pending type_error(std::string_view message) noexcept {
    return with_message(PyExc_TypeError, message);
  }
  static Pending value_error(std::string_view message) noexcept {
    return with_message(PyExc_ValueError, message);
  }
  // Takes the interpreter's raised exception; SystemError if, against the contract, none is set.
  static Pending fetch() noexcept;
  static Pending object(Ref exception) noexcept { return Pending(nullptr, std::move(exception)); }

  PyObject* type() const noexcept { return type_; }          // null for an exception object
  PyObject* value() const noexcept { return value_.get(); }  // the message str or the object
  // Raises in the interpreter; consumes the error.
  void raise() && noexcept;

 private:
  Pending(PyObject* type, Ref value) noexcept : type_(type), value_(std::move(value)) {}
  PyObject* type_;  // borrowed: a builtin exception type
  Ref value_;
};

template <class T>
class Result {
 public:
  Result(T value) noexcept : v_(std::in_place_index<0>, std::move(value)) {}        // NOLINT
  Result(Pending error) noexcept : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& operator*() noexcept { return std::get<0>(v_); }
  T* operator->() noexcept { return &std::get<0>(v_); }
  Pending& error() noexcept { return std::get<1>(v_); }

 private:
  std::variant<T, Pending> v_;
};

// For a C-API call that returns a new reference: null means the interpreter's error is pending.
// A failed result object is an internal failure: the error is printed, then reported as such.
Ref checked_new(PyObject* p);

[[noreturn]] void abort_at_boundary() noexcept;
void raise_internal_failure(const char* message) noexcept;

// The one place that raises. Every function the interpreter calls runs its body inside this.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
  try {
    Result<Ref> result = body();
    if (result) return result->release();
    std::move(result.error()).raise();
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_failure(e.what());
  } catch (...) {
    raise_internal_failure("internal failure without a message");
  }
  return nullptr;
}

// The parameters of one Python function: all positional-or-keyword, all required.
struct FunctionDescription {
  std::string_view name;
  const std::string_view* params;
  std::size_t count;
};

inline constexpr std::size_t kMaxParams = 11;

// Fills slots[0..desc.count) with borrowed references, or returns the binding TypeError.
std::optional<Pending> extract_arguments_fastcall(const FunctionDescription& desc,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, PyObject** slots) noexcept;

// Prefixes an exact TypeError with the parameter name; other exceptions pass unchanged.
Pending argument_extraction_error(std::string_view parameter, Pending error) noexcept;

// The three converters. The text view borrows from the argument, which outlives the call.
Result<std::string_view> extract_text(PyObject* obj, std::string_view parameter) noexcept;
Result<double> extract_real(PyObject* obj, std::string_view parameter) noexcept;
Result<bool> extract_bool(PyObject* obj, std::string_view parameter) noexcept;

// "'{type}' object cannot be converted to '{target}'", the type named by its __qualname__.
Pending conversion_error(PyObject* obj, std::string_view target) noexcept;
// str of __qualname__ of obj's type, or "<failed to extract type name>".
Ref type_name(PyObject* obj) noexcept;

// The real converter's hot path: an exact float is read without calling the interpreter.
inline Result<double> extract_real_inline(PyObject* obj, std::string_view parameter) noexcept {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  return extract_real(obj, parameter);
}

}  // namespace corvane
