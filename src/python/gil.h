// GilRelease: lets other Python threads run while engine work proceeds; the lock is taken
// back when the object goes, also when an exception unwinds through it. A thread that
// comes back after interpreter exit began never returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <functional>
#include <thread>

namespace tamix::python {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() {
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {
      // Once the interpreter is finalizing, it ends a daemon thread that asks for the lock
      // with pthread_exit, whose unwinding would hit noexcept frames (abort) and run our
      // destructors without the lock. Park the thread instead, as newer interpreters do:
      // the process exit ends it. Leaving this handler would abort, so it never does.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
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

// The engine's hook for long work inside an operation that otherwise keeps the lock.
inline void RunWithoutGil(const std::function<void()>& work) { WithoutGil(work); }

}  // namespace tamix::python
