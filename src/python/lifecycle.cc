// Creation and destruction of TamixPython objects.
#include <memory>
#include <string>
#include <utility>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/exit.h"
#include "python/methods.h"
#include "python/object.h"
#include "python/vectors.h"

namespace tamix::python {
namespace {

constexpr const char* kNewParams[] = {"path", "dimension", "mode"};
constexpr Signature kNewSig{"TamixPython.__new__", kNewParams, 1};
constexpr const char* kHnswParams[] = {"path", "dimension", "m", "ef_construction", "ef_search"};
constexpr Signature kHnswSig{"TamixPython.new_hnsw", kHnswParams, 1};
constexpr const char* kQuantizedParams[] = {"path", "dimension", "training_vectors"};
constexpr Signature kScalarSig{"TamixPython.new_scalar_quantized", kQuantizedParams, 3};
constexpr Signature kProductSig{"TamixPython.new_product_quantized", kQuantizedParams, 3};

// Allocates an object of `type` (a subclass allocates its own way) around the engine.
PyObject* Wrap(PyTypeObject* type, std::unique_ptr<Tamix> engine) {
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the engine drops on the way out
  auto* obj = reinterpret_cast<TamixObject*>(self);
  obj->borrow = 0;
  obj->exit_flush_pending = false;
  obj->engine = engine.release();
  try {
    TrackOpen(obj);
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  return self;
}

// What a static constructor returns: the object around its engine, or its error unprefixed.
PyObject* WrapStatic(Result<std::unique_ptr<Tamix>> opened) {
  if (!opened.ok()) return Raise(opened.error(), "");
  PyTypeObject* type = TamixType();
  return type != nullptr ? Wrap(type, std::move(opened).value()) : nullptr;
}

using QuantizedConstructor = Result<std::unique_ptr<Tamix>> (*)(std::string, uint64_t,
                                                                std::span<const VectorView>);

// The two quantized constructors: path, dimension and training vectors, errors unprefixed.
PyObject* NewQuantized(const Signature& sig, QuantizedConstructor construct, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* argv[3];
    if (!MatchFastcall(sig, args, nargs, kwnames, argv)) return nullptr;
    std::string path;
    uint64_t dimension = 0;
    FloatRows training;
    if (!ToText(argv[0], "path", &path) || !ToUnsigned(argv[1], "dimension", &dimension) ||
        !ToVectors(argv[2], "training_vectors", &training)) {
      return nullptr;
    }
    return WrapStatic(construct(std::move(path), dimension, training.views()));
  });
}

}  // namespace

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guarded([&]() -> PyObject* {
    PyObject* argv[3];
    if (!MatchTupleDict(kNewSig, args, kwargs, argv)) return nullptr;
    std::string path;
    uint64_t dimension = 1536;
    std::string mode = "flat";
    if (!ToText(argv[0], "path", &path)) return nullptr;
    if (argv[1] != nullptr && !ToUnsigned(argv[1], "dimension", &dimension)) return nullptr;
    if (argv[2] != nullptr && !ToText(argv[2], "mode", &mode)) return nullptr;
    Result<std::unique_ptr<Tamix>> opened = Tamix::open(std::move(path), dimension, mode);
    if (!opened.ok()) return Raise(opened.error(), "Database init failed: ");
    return Wrap(type, std::move(opened).value());
  });
}

PyObject* NewHnsw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    PyObject* argv[5];
    if (!MatchFastcall(kHnswSig, args, nargs, kwnames, argv)) return nullptr;
    std::string path;
    uint64_t numbers[4] = {1536, 16, 200, 50};  // dimension, m, ef_construction, ef_search
    if (!ToText(argv[0], "path", &path)) return nullptr;
    for (size_t i = 0; i < 4; ++i) {
      if (argv[i + 1] != nullptr && !ToUnsigned(argv[i + 1], kHnswParams[i + 1], &numbers[i])) {
        return nullptr;
      }
    }
    return WrapStatic(
        Tamix::new_hnsw(std::move(path), numbers[0], numbers[1], numbers[2], numbers[3]));
  });
}

PyObject* NewScalarQuantized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return NewQuantized(kScalarSig, &Tamix::new_scalar_quantized, args, nargs, kwnames);
}

PyObject* NewProductQuantized(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return NewQuantized(kProductSig, &Tamix::new_product_quantized, args, nargs, kwnames);
}

void Dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<TamixObject*>(self);
  Untrack(obj);
  // The destructor flushes, errors ignored; in a forked child it leaves everything to the parent.
  delete std::exchange(obj->engine, nullptr);
  Py_TYPE(self)->tp_free(self);
}

}  // namespace tamix::python
