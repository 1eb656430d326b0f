// Counting one byte value in a buffer span, for the command's line numbers.
#define PY_SSIZE_T_CLEAN
#include "count_byte.hpp"

#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "binding/binding.hpp"
#include "binding/held_buffer.hpp"

namespace corvane {
namespace {

// Spans past this are counted without the interpreter lock; below it the switch costs more
// than the count.
constexpr Py_ssize_t kUnlockedSpan = Py_ssize_t{64} << 10;

// A slice bound: None is `none_value`; an index past either end is clamped as slicing does.
Result<Py_ssize_t> bound(PyObject* obj, Py_ssize_t none_value, Py_ssize_t length) noexcept {
  if (obj == Py_None) return none_value;
  if (!PyIndex_Check(obj)) {
    return Pending::type_error("_count_byte: start and end must be integers or None");
  }
  Py_ssize_t at = PyNumber_AsSsize_t(obj, nullptr);  // saturates instead of overflowing
  if (at == -1 && PyErr_Occurred()) return Pending::fetch();
  if (at < 0) at = std::max<Py_ssize_t>(at + length, 0);
  return std::min(at, length);
}

Result<Ref> count_in_buffer(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    return Pending::type_error("_count_byte(buffer, byte, start, end) takes exactly 4 arguments");
  }
  if (!PyLong_Check(args[1])) return Pending::type_error("_count_byte: byte must be an int");
  const long byte = PyLong_AsLong(args[1]);
  if (byte == -1 && PyErr_Occurred()) PyErr_Clear();  // out of range: refused below
  if (byte < 0 || byte > 255) return Pending::value_error("byte must be in range(0, 256)");
  HeldBuffer held;
  if (!held.acquire(args[0], PyBUF_SIMPLE)) return Pending::fetch();
  const Py_ssize_t length = held.view().len;
  Result<Py_ssize_t> start = bound(args[2], 0, length);
  if (!start) return std::move(start.error());
  Result<Py_ssize_t> end = bound(args[3], length, length);
  if (!end) return std::move(end.error());
  const auto* p = static_cast<const unsigned char*>(held.view().buf) + *start;
  const auto n = static_cast<std::size_t>(std::max<Py_ssize_t>(*end - *start, 0));
  const auto value = static_cast<unsigned char>(byte);
  std::size_t count = 0;
  if (static_cast<Py_ssize_t>(n) > kUnlockedSpan) {
    Py_BEGIN_ALLOW_THREADS count = count_byte(p, n, value);
    Py_END_ALLOW_THREADS
  } else {
    count = count_byte(p, n, value);
  }
  Ref result = Ref::steal(PyLong_FromSize_t(count));
  if (!result) return Pending::fetch();
  return result;
}

}  // namespace

// Sixteen 8-bit tallies over rows of 16 bytes, at most 255 rows before they are summed: the
// compiler turns the inner loop into one vector compare and subtract per row, which
// std::count's 64-bit total does not get (it runs about ten times slower).
std::size_t count_byte(const unsigned char* p, std::size_t n, unsigned char byte) noexcept {
  constexpr std::size_t kLanes = 16;
  constexpr std::size_t kMaxRows = 255;
  std::size_t total = 0;
  while (n >= kLanes) {
    const std::size_t rows = std::min(n / kLanes, kMaxRows);
    std::uint8_t tally[kLanes] = {};
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t k = 0; k < kLanes; ++k) tally[k] += p[r * kLanes + k] == byte;
    }
    for (std::size_t k = 0; k < kLanes; ++k) total += tally[k];
    p += rows * kLanes;
    n -= rows * kLanes;
  }
  for (std::size_t i = 0; i < n; ++i) total += p[i] == byte;
  return total;
}

PyObject* count_byte_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return call_frame([&]() -> Result<Ref> { return count_in_buffer(args, nargs); });
}

}  // namespace corvane
