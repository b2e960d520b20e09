#include "python/exit.h"

#include <unordered_set>

#include "python/ref.h"

namespace tamix::python {
namespace {

// Never destroyed: deallocations during finalization may come after static destructors.
std::unordered_set<TamixObject*>& Registry() {
  static auto* open = new std::unordered_set<TamixObject*>();
  return *open;
}

// Runs from the `atexit` module: early in finalization, with the GIL and objects intact.
PyObject* FlushOpenDatabases(PyObject*, PyObject*) {
  for (TamixObject* obj : Registry()) {
    // A borrowed engine belongs to a daemon thread still searching without the GIL; that
    // search persisted before it started, so there is nothing to add.
    if (obj->borrow != 0 || obj->engine == nullptr) continue;
    try {
      obj->engine->flush_on_exit();
    } catch (...) {
      // A drop ignores its flush failures; so does the exit.
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef kFlushDef = {"_flush_open_databases", FlushOpenDatabases, METH_NOARGS, nullptr};

}  // namespace

void TrackOpen(TamixObject* obj) { Registry().insert(obj); }

void Untrack(TamixObject* obj) { Registry().erase(obj); }

bool RegisterExitFlush() {
  Ref atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref flush(PyCFunction_New(&kFlushDef, nullptr));
  if (!flush) return false;
  Ref done(PyObject_CallMethod(atexit.get(), "register", "O", flush.get()));
  return static_cast<bool>(done);
}

}  // namespace tamix::python
