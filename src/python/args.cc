#include "python/args.h"

#include <string>

namespace tamix::python {
namespace {

bool TooManyPositional(const Signature& sig, Py_ssize_t given) {
  const size_t n = sig.params.size();
  std::string takes;
  if (sig.required == n) {
    takes = std::to_string(n) + (n == 1 ? " positional argument" : " positional arguments");
  } else {
    takes = "from " + std::to_string(sig.required) + " to " + std::to_string(n) +
            " positional arguments";
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", sig.function, takes.c_str(),
               given, given == 1 ? "was" : "were");
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the host's own list style.
bool Missing(const Signature& sig, PyObject* const* out) {
  std::string names;
  size_t count = 0;
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) ++count;
  }
  size_t listed = 0;
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) names += count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
    names += std::string("'") + sig.params[i] + "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function,
               count, count == 1 ? "" : "s", names.c_str());
  return false;
}

bool MatchKeyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs,
                  PyObject** out) {
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) continue;
    if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.params[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, name);
  return false;
}

bool MatchPositional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  for (size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
  if (nargs > static_cast<Py_ssize_t>(sig.params.size())) return TooManyPositional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

bool CheckRequired(const Signature& sig, PyObject* const* out) {
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) return Missing(sig, out);
  }
  return true;
}

}  // namespace

bool MatchFastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  if (!MatchPositional(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!MatchKeyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, out)) {
      return false;
    }
  }
  return CheckRequired(sig, out);
}

bool MatchTupleDict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!MatchPositional(sig, PySequence_Fast_ITEMS(args), nargs, out)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!MatchKeyword(sig, name, value, nargs, out)) return false;
    }
  }
  return CheckRequired(sig, out);
}

}  // namespace tamix::python
