// GilRelease: lets other Python threads run while engine work proceeds; the lock is taken
// back when the object goes, also when an exception unwinds through it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tamix::python {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace tamix::python

namespace tamix::python {

// Runs work that touches no Python object with the interpreter lock released.
template <class F>
auto WithoutGil(F&& work) {
  GilRelease unlocked;
  return work();
}

}  // namespace tamix::python
