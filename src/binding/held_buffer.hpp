// HeldBuffer: a buffer view held for a whole call and released with it.
#pragma once

#include <Python.h>

namespace corvane {

// Released on the calling thread, which holds the interpreter lock, once whatever read the
// memory (workers, or a count run with the lock released) is done with it. While the view is
// held, the exporter keeps the memory in place (a bytearray refuses to resize).
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with the interpreter's error pending when obj exports no such buffer.
  bool acquire(PyObject* obj, int flags) noexcept {
    held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace corvane
