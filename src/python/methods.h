// The entry points of class TamixPython. Each takes the borrow its operation needs, converts
// its arguments, calls the engine and maps failures to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tamix::python {

// Slots.
PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void Dealloc(PyObject* self);
PyObject* Repr(PyObject* self);

// Static constructors (fastcall with keywords).
PyObject* NewHnsw(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* NewScalarQuantized(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* NewProductQuantized(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// Methods with parameters (fastcall with keywords).
PyObject* Add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* SearchBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* Delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* SetMode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ConfigureIvf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Methods without parameters.
PyObject* Count(PyObject* self, PyObject* unused);
PyObject* Persist(PyObject* self, PyObject* unused);
PyObject* GetAllIds(PyObject* self, PyObject* unused);
PyObject* Info(PyObject* self, PyObject* unused);
PyObject* TrainIvf(PyObject* self, PyObject* unused);

}  // namespace tamix::python
