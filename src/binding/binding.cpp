// Pending errors, the call frame's cold paths, the argument binder and the converters.
#define PY_SSIZE_T_CLEAN
#include "binding/binding.hpp"

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binding/state.hpp"

namespace corvane {
namespace {

Ref utf8(std::string_view text) noexcept {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

Pending Pending::with_message(PyObject* type, std::string_view message) noexcept {
  return with_message(type, utf8(message));
}

Pending Pending::with_message(PyObject* type, Ref message) noexcept {
  if (!message) return fetch();
  return Pending(type, std::move(message));
}

Pending Pending::fetch() noexcept {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  if (!raised) {
    return Pending(PyExc_SystemError, utf8("attempted to fetch exception but none was set"));
  }
  return Pending(nullptr, std::move(raised));
}

void Pending::raise() && noexcept {
  if (type_ == nullptr) {
    PyErr_SetRaisedException(value_.release());  // steals
  } else if (value_) {
    PyErr_SetObject(type_, value_.get());
  } else {
    abort_at_boundary();  // a message that could not even be built: nothing sane to raise
  }
}

Ref checked_new(PyObject* p) {
  if (p != nullptr) return Ref::steal(p);
  PyErr_Print();
  throw InternalFailure("Python API call failed");
}

void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

void raise_internal_failure(const char* message) noexcept {
  std::fprintf(stderr, "corvane: internal failure: %s\n", message);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation left MemoryError or similar pending
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

Ref type_name(PyObject* obj) noexcept {
  PyObject* key = interned(Name::kQualname);
  Ref name;
  if (key != nullptr)
    name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), key));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return utf8("<failed to extract type name>");
}

Pending conversion_error(PyObject* obj, std::string_view target) noexcept {
  Ref name = type_name(obj);
  if (!name) return Pending::fetch();
  Ref to = utf8(target);
  if (!to) return Pending::fetch();
  return Pending::with_message(
      PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%U'",
                                                       name.get(), to.get())));
}

Pending argument_extraction_error(std::string_view parameter, Pending error) noexcept {
  // Only an exact TypeError is renamed; a subclass or any other type passes through.
  PyObject* type =
      error.type() != nullptr ? error.type() : reinterpret_cast<PyObject*>(Py_TYPE(error.value()));
  if (type != PyExc_TypeError) return error;
  Ref message = error.type() != nullptr ? Ref::borrow(error.value())
                                        : Ref::steal(PyObject_Str(error.value()));
  if (!message) return Pending::fetch();
  Ref cause = error.type() != nullptr ? Ref() : Ref::steal(PyException_GetCause(error.value()));
  Ref name = utf8(parameter);
  if (!name) return Pending::fetch();
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%U': %U", name.get(), message.get()));
  if (!text) return Pending::fetch();
  Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!renamed) return Pending::fetch();
  // Also marks the context as suppressed, so the replaced error never shows.
  PyException_SetCause(renamed.get(), cause.release());  // steals the cause
  return Pending::object(std::move(renamed));
}

namespace {

// The comma-and-"and" list of quoted names.
std::string quoted_list(const FunctionDescription& desc, PyObject* const* slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < desc.count; ++i) missing += slots[i] == nullptr;
  std::string list;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < desc.count; ++i) {
    if (slots[i] != nullptr) continue;
    ++seen;
    if (seen > 1) {
      if (missing > 2) list += ",";
      if (seen == missing) list += " and";
      list += " ";
    }
    list += "'";
    list += desc.params[i];
    list += "'";
  }
  return std::to_string(missing) + " required positional " +
         (missing == 1 ? "argument" : "arguments") + ": " + list;
}

std::optional<Pending> missing_arguments(const FunctionDescription& desc, PyObject* const* slots) {
  return Pending::type_error(std::string(desc.name) + "() missing " + quoted_list(desc, slots));
}

std::optional<Pending> too_many_positional(const FunctionDescription& desc, Py_ssize_t nargs) {
  return Pending::type_error(std::string(desc.name) + "() takes " + std::to_string(desc.count) +
                             " positional arguments but " + std::to_string(nargs) +
                             (nargs == 1 ? " was" : " were") + " given");
}

std::optional<Pending> keyword_error(const FunctionDescription& desc, const char* what,
                                     PyObject* key) {
  std::string name(desc.name);
  return Pending::with_message(
      PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("%s() %s '%S'", name.c_str(), what, key)));
}

// Index of the parameter a keyword names, or count when none does.
std::size_t find_parameter(const FunctionDescription& desc, PyObject* key) noexcept {
  if (PyObject* const* names = interned_params(desc)) {
    for (std::size_t i = 0; i < desc.count; ++i) {
      if (names[i] == key) return i;
    }
  }
  // Names built at run time (through **kwargs, say) are not interned: compare the text.
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();  // unpaired surrogates: such a name matches no parameter
    return desc.count;
  }
  std::string_view name(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < desc.count; ++i) {
    if (desc.params[i] == name) return i;
  }
  return desc.count;
}

}  // namespace

std::optional<Pending> extract_arguments_fastcall(const FunctionDescription& desc,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, PyObject** slots) noexcept {
  try {
    const auto count = static_cast<Py_ssize_t>(desc.count);
    if (args != nullptr) {
      for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[i] = args[i];
    }
    if (nargs > count) return too_many_positional(desc, nargs);
    if (kwnames != nullptr) {
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return conversion_error(key, "PyString");
        std::size_t i = find_parameter(desc, key);
        if (i == desc.count) return keyword_error(desc, "got an unexpected keyword argument", key);
        if (slots[i] != nullptr)
          return keyword_error(desc, "got multiple values for argument", key);
        slots[i] = args[nargs + k];
      }
    }
    if (nargs < count) {
      for (std::size_t i = static_cast<std::size_t>(nargs); i < desc.count; ++i) {
        if (slots[i] == nullptr) return missing_arguments(desc, slots);
      }
    }
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return Pending::fetch();
  }
}

Result<std::string_view> extract_text(PyObject* obj, std::string_view parameter) noexcept {
  if (!PyUnicode_Check(obj)) {
    return argument_extraction_error(parameter, conversion_error(obj, "PyString"));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return argument_extraction_error(parameter, Pending::fetch());
  return std::string_view(text, static_cast<std::size_t>(size));
}

Result<double> extract_real(PyObject* obj, std::string_view parameter) noexcept {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double value = PyFloat_AsDouble(obj);
  // -1.0 is also a legitimate value: only a pending error makes it a failure.
  if (value == -1.0 && PyErr_Occurred()) {
    return argument_extraction_error(parameter, Pending::fetch());
  }
  return value;
}

Result<bool> extract_bool(PyObject* obj, std::string_view parameter) noexcept {
  if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == Py_True;
  return argument_extraction_error(parameter, conversion_error(obj, "PyBool"));
}

}  // namespace corvane
