#include "python/exit.h"

#include <chrono>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/console.h"
#include "python/gil.h"
#include "python/ref.h"

namespace tamix::python {
namespace {

// Never destroyed: deallocations during finalization may come after static destructors.
std::unordered_set<TamixObject*>& Registry() {
  static auto* open = new std::unordered_set<TamixObject*>();
  return *open;
}

// A thread inside a call (training, a search catching its graph up) holds the borrow with
// the GIL released; what was added before the exit is flushed once that call ends.
constexpr auto kExitWait = std::chrono::seconds(10);

void FlushAtExit(TamixObject& obj, std::chrono::steady_clock::time_point deadline) {
  if (obj.engine == nullptr || !obj.engine->opened_in_this_process()) return;
  obj.exit_flush_pending = true;
  while (obj.borrow != 0 && std::chrono::steady_clock::now() < deadline) {
    WithoutGil([] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
  }
  if (obj.borrow != 0) {
    console::err_line("tamix: " + obj.engine->path() + " was not flushed at exit");
  } else {
    try {
      obj.engine->flush_on_exit();
    } catch (...) {
      // The destructor ignores its flush failures; so does the exit.
    }
  }
  obj.exit_flush_pending = false;
}

// Runs from the `atexit` module: early in finalization, with the GIL and objects intact.
PyObject* FlushOpenDatabases(PyObject*, PyObject*) {
  // Held, since a thread may release an object while the waits let it run.
  std::vector<Ref> open;
  for (TamixObject* obj : Registry()) {
    Py_INCREF(reinterpret_cast<PyObject*>(obj));
    open.emplace_back(reinterpret_cast<PyObject*>(obj));
  }
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  for (const Ref& obj : open) FlushAtExit(*reinterpret_cast<TamixObject*>(obj.get()), deadline);
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
