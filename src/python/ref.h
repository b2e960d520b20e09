// Ref: one owned reference to a Python object, released when the Ref goes.
// Create and destroy only with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamix::python {

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : obj_(owned) {}
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XDECREF(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace tamix::python
