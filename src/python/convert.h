// Conversion of Python arguments to engine values. Each returns false with a Python error
// set; a TypeError names the argument ("argument 'k': ..."), other errors are the host's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tamix::python {

bool ToText(PyObject* obj, const char* name, std::string* out);
bool ToUnsigned(PyObject* obj, const char* name, uint64_t* out);
bool ToTexts(PyObject* obj, const char* name, std::vector<std::string>* out);

// The bare reasons, shared with the vector conversions.
bool CantExtractStr();
bool NotSequence(PyObject* obj);

}  // namespace tamix::python
