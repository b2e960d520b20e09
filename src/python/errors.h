// The mapping of engine errors and C++ exceptions to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "core/error.h"

namespace tamix::python {

// Sets an exception of `type` with the whole message, NULs included: messages quote the
// caller's text. Bytes that are not UTF-8 show as U+FFFD, so it always prints.
void SetError(PyObject* type, const std::string& message);

// Refused input becomes ValueError with the message as is; any other failure becomes
// RuntimeError with the operation's prefix. Returns nullptr for `return Raise(...)`.
PyObject* Raise(const Error& error, const char* prefix);

// The short name of an object's type, as error texts show it ("int", "ndarray").
std::string TypeName(PyObject* obj);

// Rewrites a pending TypeError to name the argument; other errors pass unchanged.
// Returns false so conversions can `return ArgumentError(name);`.
bool ArgumentError(const char* name);

// Runs an entry point so that no C++ exception reaches the interpreter.
template <class F>
PyObject* Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tamix::python
