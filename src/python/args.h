// Matching of call arguments to parameters, with the host's usual TypeError texts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

namespace tamix::python {

struct Signature {
  const char* function;  // as error texts name it, e.g. "TamixPython.search"
  std::span<const char* const> params;
  size_t required;  // the leading params without a default
};

// Fills out[i] with a borrowed reference to the argument of params[i], or nullptr when
// an optional one is absent. Returns false with a TypeError set.
bool MatchFastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
bool MatchTupleDict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace tamix::python
