// FloatRows: vector arguments as engine views. Lists of numbers are copied; float32 and
// float64 buffers (numpy arrays) are read directly, and dense float32 rows are not copied
// at all: the views then point into the caller's buffer, which is held until the FloatRows
// goes. Create and destroy with the interpreter lock held; the views may be read without.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "core/types.h"

namespace tamix::python {

// A caller's buffer of native float32 or float64 items, any strides.
class FloatBuffer {
 public:
  FloatBuffer() = default;
  ~FloatBuffer() { Release(); }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  // True when obj exports native floats; otherwise false with no error set.
  bool Get(PyObject* obj);
  void Release();

  int ndim() const { return view_.ndim; }
  Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
  // Views straight into the buffer are possible for rows of adjacent, aligned float32.
  bool RowsAreDenseF32() const;
  const float* Row(Py_ssize_t i) const;
  // Appends row i (the whole buffer when 1-D), narrowing float64.
  void AppendRow(Py_ssize_t i, std::vector<float>* out) const;

 private:
  Py_buffer view_{};
  bool held_ = false;
  size_t width_ = 0;  // bytes per item: 4 or 8
};

class FloatRows {
 public:
  FloatRows() = default;
  FloatRows(const FloatRows&) = delete;
  FloatRows& operator=(const FloatRows&) = delete;

  std::span<const VectorView> views() const { return views_; }

 private:
  friend bool ToVector(PyObject* obj, const char* name, FloatRows* out);
  friend bool ToVectors(PyObject* obj, const char* name, FloatRows* out);

  bool ReadVector(PyObject* obj);
  bool ReadVectors(PyObject* obj);
  bool ReadMatrix();
  bool AppendVector(PyObject* obj);
  void EndRow() { ends_.push_back(floats_.size()); }
  void Finish();

  FloatBuffer buffer_;
  std::vector<float> floats_;  // copied rows, back to back
  std::vector<size_t> ends_;   // end offset in floats_ of each copied row
  std::vector<VectorView> views_;
};

// One vector (query): exactly one view.
bool ToVector(PyObject* obj, const char* name, FloatRows* out);
// A list of vectors (embeddings, queries).
bool ToVectors(PyObject* obj, const char* name, FloatRows* out);

}  // namespace tamix::python
