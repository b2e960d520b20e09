// Borrow: the per-object guard of the engine. Never waits: a conflicting call fails at
// once, since the holder may be another thread that released the interpreter lock. In a
// process other than the opener's (a fork's child) every call is refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>

#include "python/errors.h"
#include "python/gil.h"
#include "python/object.h"

namespace tamix::python {

enum class Access { kShared, kExclusive };

class Borrow {
 public:
  // Checks the receiver, then takes the borrow; on refusal sets a Python error and
  // converts to false.
  Borrow(PyObject* self, Access access) : access_(access) {
    PyTypeObject* type = TamixType();
    if (type == nullptr) return;
    if (!PyObject_TypeCheck(self, type)) {
      SetError(PyExc_TypeError,
               "'" + TypeName(self) + "' object cannot be converted to 'TamixPython'");
      return;
    }
    auto* obj = reinterpret_cast<TamixObject*>(self);
    if (!obj->engine->opened_in_this_process()) {
      PyErr_SetString(PyExc_RuntimeError, "Database was opened in another process");
      return;
    }
    // Only once the interpreter exits: a call waits here instead of failing, so that the
    // exit flush, not a thread calling in a loop, gets the engine next.
    while (obj->exit_flush_pending) {
      WithoutGil([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    }
    if (access == Access::kExclusive) {
      if (obj->borrow != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      obj->borrow = -1;
    } else {
      if (obj->borrow == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++obj->borrow;
    }
    obj_ = obj;
  }

  ~Borrow() {
    if (obj_ == nullptr) return;
    if (access_ == Access::kExclusive) {
      obj_->borrow = 0;
    } else {
      --obj_->borrow;
    }
  }

  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  explicit operator bool() const { return obj_ != nullptr; }

  Tamix& engine() const {
    assert(obj_ != nullptr && obj_->engine != nullptr);
    return *obj_->engine;
  }

 private:
  TamixObject* obj_ = nullptr;
  Access access_;
};

}  // namespace tamix::python
