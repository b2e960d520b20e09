#include "python/convert.h"

#include "python/errors.h"
#include "python/ref.h"

namespace tamix::python {
namespace {

bool ReadText(PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    SetError(PyExc_TypeError, "'" + TypeName(obj) + "' object cannot be converted to 'PyString'");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  out->assign(text, size);
  return true;
}

bool ReadTexts(PyObject* obj, std::vector<std::string>* out) {
  if (PyUnicode_Check(obj)) return CantExtractStr();
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    out->reserve(PySequence_Fast_GET_SIZE(obj));
    // Nothing below runs Python code, so the list cannot change under the loop.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      if (!ReadText(PySequence_Fast_GET_ITEM(obj, i), &out->emplace_back())) return false;
    }
    return true;
  }
  if (!PySequence_Check(obj)) return NotSequence(obj);
  Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    if (!ReadText(item.get(), &out->emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool CantExtractStr() {
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return false;
}

bool NotSequence(PyObject* obj) {
  SetError(PyExc_TypeError, "'" + TypeName(obj) + "' object cannot be converted to 'Sequence'");
  return false;
}

bool ToText(PyObject* obj, const char* name, std::string* out) {
  return ReadText(obj, out) || ArgumentError(name);
}

bool ToUnsigned(PyObject* obj, const char* name, uint64_t* out) {
  Ref index(PyNumber_Index(obj));
  if (!index) return ArgumentError(name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return ArgumentError(name);
  }
  *out = value;
  return true;
}

bool ToTexts(PyObject* obj, const char* name, std::vector<std::string>* out) {
  return ReadTexts(obj, out) || ArgumentError(name);
}

}  // namespace tamix::python
