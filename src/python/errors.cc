#include "python/errors.h"

#include <cstring>
#include <string>

#include "python/ref.h"

namespace tamix::python {
namespace {

// The text of the pending exception when it is exactly a TypeError, which is then cleared;
// otherwise an empty Ref, with the exception left pending.
Ref TakeTypeErrorText() {
#if PY_VERSION_HEX >= 0x030C0000
  Ref error(PyErr_GetRaisedException());
  if (!error) return Ref();
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return Ref();
  }
  return Ref(PyObject_Str(error.get()));
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return Ref();
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  return Ref(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
#endif
}

}  // namespace

void SetError(PyObject* type, const std::string& message) {
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

PyObject* Raise(const Error& error, const char* prefix) {
  if (error.kind() == Error::Kind::kInvalidInput) {
    SetError(PyExc_ValueError, error.message());
  } else {
    SetError(PyExc_RuntimeError, prefix + error.message());
  }
  return nullptr;
}

std::string TypeName(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030B0000
  Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* text = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
  if (text != nullptr) return std::string(text, size);
  PyErr_Clear();
#endif
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

bool ArgumentError(const char* name) {
  // Only the exact TypeError is renamed: OverflowError and friends are the host's own word.
  Ref reason = TakeTypeErrorText();
  if (reason) PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason.get());
  return false;
}

}  // namespace tamix::python
