// PyInit_tamix: the module belongs to the first interpreter that imports it and is created
// once per process. Single-phase init with no per-module state, so a re-import from
// another interpreter calls PyInit again and is refused here.
#include <atomic>
#include <cstdint>

#include "python/exit.h"
#include "python/object.h"
#include "python/ref.h"

namespace tamix::python {
namespace {

constexpr char kModuleDoc[] =
    "Tamix v0.2.0 - Production Vector Database\n\nFeatures:\n"
    "- Dynamic dimensions (128-4096)\n- Multiple index types (Flat, HNSW, SQ8, PQ)\n"
    "- 4-32x compression with SQ8/PQ\n- Sub-5ms latency\n- <100MB memory for 10k vectors";

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "tamix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> g_owner{-1};  // id of the interpreter that imported first
PyObject* g_module = nullptr;      // the one module object, kept for later imports

bool InOwnerInterpreter() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return false;
  int64_t owner = -1;
  if (g_owner.compare_exchange_strong(owner, id) || owner == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "native modules of this kind do not yet support sub-interpreters");
  return false;
}

// Lists the name in __all__ (made on first use), then sets the attribute.
bool Export(PyObject* module, const char* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
    return false;
  }
  Ref name_text(PyUnicode_FromString(name));
  if (!name_text || PyList_Append(all.get(), name_text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

bool RunBody(PyObject* module) {
  PyTypeObject* type = TamixType();
  if (type == nullptr) return false;
  Ref version(PyUnicode_FromString("0.2.0"));
  Ref doc(PyUnicode_FromString(kModuleDoc));
  return version && doc && Export(module, "TamixPython", reinterpret_cast<PyObject*>(type)) &&
         Export(module, "__version__", version.get()) && Export(module, "__doc__", doc.get()) &&
         RegisterExitFlush();
}

PyObject* Init() {
  if (!InOwnerInterpreter()) return nullptr;
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module(PyModule_Create(&kModuleDef));
  if (!module || !RunBody(module.get())) return nullptr;
  g_module = module.get();
  Py_INCREF(g_module);
  return module.release();
}

}  // namespace
}  // namespace tamix::python

PyMODINIT_FUNC PyInit_tamix() { return tamix::python::Init(); }
