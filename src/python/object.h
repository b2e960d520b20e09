// The Python object of class TamixPython and its type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/tamix.h"

namespace tamix::python {

struct TamixObject {
  PyObject_HEAD Tamix* engine;  // owned; deleted in tp_dealloc
  Py_ssize_t borrow;  // 0 free, n > 0 shared by n calls, -1 exclusive; touched with the GIL
  bool exit_flush_pending;  // the exit flush waits for the borrow; new calls wait for it
};

// The class object, made ready on first use; nullptr with a Python error on failure.
PyTypeObject* TamixType();

}  // namespace tamix::python
