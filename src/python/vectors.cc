#include "python/vectors.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "python/convert.h"
#include "python/errors.h"
#include "python/ref.h"

namespace tamix::python {
namespace {

// Bytes per item of a native float32 or float64 format text, else 0.
size_t FloatWidth(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) return 0;  // unsigned bytes
  char order = *format;
  if (order == '@' || order == '=' ||
      (order == '<' && std::endian::native == std::endian::little) ||
      (order == '>' && std::endian::native == std::endian::big)) {
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return 0;
  if (format[0] == 'f' && itemsize == 4) return 4;
  if (format[0] == 'd' && itemsize == 8) return 8;
  return 0;
}

bool AppendNumber(PyObject* item, std::vector<float>* out) {
  if (PyFloat_CheckExact(item)) {
    out->push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
    return true;
  }
  // numpy's complex scalars turn into floats by dropping the imaginary part with only a
  // warning; refuse them as float() refuses Python's complex.
  if (PyComplex_Check(item) ||
      (!PyFloat_Check(item) && !PyLong_Check(item) &&
       PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__complex__"))) {
    SetError(PyExc_TypeError, "must be real number, not " + TypeName(item));
    return false;
  }
  Py_INCREF(item);  // __float__ may drop the container's reference
  const double value = PyFloat_AsDouble(item);
  Py_DECREF(item);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out->push_back(static_cast<float>(value));
  return true;
}

bool AppendNumbers(PyObject* obj, std::vector<float>* out) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      if (!AppendNumber(PySequence_Fast_GET_ITEM(obj, i), out)) return false;
    }
    return true;
  }
  Ref iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item{PyIter_Next(iter.get())}) {
    if (!AppendNumber(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

// The floats in a list of rows, counting the rows whose length shows without converting
// them: lists and tuples, float buffers. It sizes the copy once; a guess from the first row
// could be far too big (one long row, then millions of empty ones).
size_t CountFloats(PyObject* rows) {
  size_t total = 0;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows); ++i) {
    PyObject* row = PySequence_Fast_GET_ITEM(rows, i);
    if (PyList_Check(row) || PyTuple_Check(row)) {
      total += PySequence_Fast_GET_SIZE(row);
    } else if (!PyUnicode_Check(row)) {
      Py_INCREF(row);  // exporting a buffer may run code that shrinks the list
      Ref held(row);
      FloatBuffer buffer;
      if (buffer.Get(row) && buffer.ndim() == 1) total += buffer.shape(0);
    }
  }
  return total;
}

}  // namespace

bool FloatBuffer::Get(PyObject* obj) {
  Release();
  if (!PyObject_CheckBuffer(obj)) return false;
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // the sequence path still gets its chance
    return false;
  }
  held_ = true;
  width_ = FloatWidth(view_.format, view_.itemsize);
  if (width_ == 0 || view_.ndim < 1) {
    Release();
    return false;
  }
  return true;
}

void FloatBuffer::Release() {
  if (!held_) return;
  PyBuffer_Release(&view_);
  held_ = false;
}

bool FloatBuffer::RowsAreDenseF32() const {
  if (width_ != 4 || reinterpret_cast<uintptr_t>(view_.buf) % alignof(float) != 0) return false;
  if (view_.ndim == 1) return view_.strides[0] == 4;
  return view_.ndim == 2 && view_.strides[1] == 4 && view_.strides[0] % 4 == 0;
}

const float* FloatBuffer::Row(Py_ssize_t i) const {
  const char* base = static_cast<const char*>(view_.buf);
  return reinterpret_cast<const float*>(view_.ndim == 1 ? base : base + i * view_.strides[0]);
}

void FloatBuffer::AppendRow(Py_ssize_t i, std::vector<float>* out) const {
  const char* p = static_cast<const char*>(view_.buf);
  if (view_.ndim == 2) p += i * view_.strides[0];
  const Py_ssize_t n = view_.shape[view_.ndim - 1];
  const Py_ssize_t step = view_.strides[view_.ndim - 1];
  const size_t base = out->size();
  out->resize(base + n);
  float* dst = out->data() + base;
  const bool aligned = reinterpret_cast<uintptr_t>(p) % width_ == 0 && step % width_ == 0;
  if (aligned && step == static_cast<Py_ssize_t>(width_)) {
    if (width_ == 4) {
      std::memcpy(dst, p, n * sizeof(float));
    } else {
      const double* src = reinterpret_cast<const double*>(p);
      for (Py_ssize_t j = 0; j < n; ++j) dst[j] = static_cast<float>(src[j]);
    }
    return;
  }
  // memcpy keeps unaligned and byte-strided items well defined.
  for (Py_ssize_t j = 0; j < n; ++j, p += step) {
    if (width_ == 4) {
      std::memcpy(&dst[j], p, 4);
    } else {
      double value;
      std::memcpy(&value, p, 8);
      dst[j] = static_cast<float>(value);
    }
  }
}

bool FloatRows::AppendVector(PyObject* obj) {
  if (PyUnicode_Check(obj)) return CantExtractStr();
  FloatBuffer buffer;
  if (buffer.Get(obj) && buffer.ndim() == 1) {
    buffer.AppendRow(0, &floats_);
  } else if (PySequence_Check(obj)) {
    if (!AppendNumbers(obj, &floats_)) return false;
  } else {
    return NotSequence(obj);
  }
  EndRow();
  return true;
}

bool FloatRows::ReadVector(PyObject* obj) {
  if (!PyUnicode_Check(obj) && buffer_.Get(obj)) {
    if (buffer_.ndim() == 1 && buffer_.RowsAreDenseF32()) {
      views_.emplace_back(buffer_.Row(0), buffer_.shape(0));
      return true;
    }
    buffer_.Release();
  }
  if (!AppendVector(obj)) return false;
  Finish();
  return true;
}

bool FloatRows::ReadMatrix() {
  const Py_ssize_t rows = buffer_.shape(0);
  if (buffer_.RowsAreDenseF32()) {
    views_.reserve(rows);
    for (Py_ssize_t i = 0; i < rows; ++i) views_.emplace_back(buffer_.Row(i), buffer_.shape(1));
    return true;
  }
  floats_.reserve(static_cast<size_t>(rows) * buffer_.shape(1));
  for (Py_ssize_t i = 0; i < rows; ++i) {
    buffer_.AppendRow(i, &floats_);
    EndRow();
  }
  buffer_.Release();
  Finish();
  return true;
}

bool FloatRows::ReadVectors(PyObject* obj) {
  if (PyUnicode_Check(obj)) return CantExtractStr();
  // Other shapes go through the sequence path and fail or succeed as a list would.
  if (buffer_.Get(obj)) {
    if (buffer_.ndim() == 2) return ReadMatrix();
    buffer_.Release();
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    floats_.reserve(CountFloats(obj));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      PyObject* borrowed = PySequence_Fast_GET_ITEM(obj, i);
      Py_INCREF(borrowed);  // converting it may run code that shrinks the list
      Ref item(borrowed);
      if (!AppendVector(item.get())) return false;
    }
  } else if (PySequence_Check(obj)) {
    Ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (Ref item{PyIter_Next(iter.get())}) {
      if (!AppendVector(item.get())) return false;
    }
    if (PyErr_Occurred()) return false;
  } else {
    return NotSequence(obj);
  }
  Finish();
  return true;
}

void FloatRows::Finish() {
  views_.reserve(ends_.size());
  size_t begin = 0;
  for (size_t end : ends_) {
    views_.emplace_back(floats_.data() + begin, end - begin);
    begin = end;
  }
}

bool ToVector(PyObject* obj, const char* name, FloatRows* out) {
  return out->ReadVector(obj) || ArgumentError(name);
}

bool ToVectors(PyObject* obj, const char* name, FloatRows* out) {
  return out->ReadVectors(obj) || ArgumentError(name);
}

}  // namespace tamix::python
