// _count_byte: how often one byte occurs in a span of a buffer, as bytes.count would say, fast
// enough to count the lines of a large block of text.
#pragma once

#include <Python.h>

#include <cstddef>

namespace corvane {

// Occurrences of `byte` among p[0, n). Pure: it runs without the interpreter lock.
std::size_t count_byte(const unsigned char* p, std::size_t n, unsigned char byte) noexcept;

// _count_byte(buffer, byte, start, end): start and end clamped as in slicing, either may be None.
PyObject* count_byte_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace corvane
