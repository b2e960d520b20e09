// The methods that change a database outside search: add, persist, delete.
#include <string>
#include <vector>

#include "python/args.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/methods.h"
#include "python/vectors.h"

namespace tamix::python {
namespace {

constexpr const char* kAddParams[] = {"ids", "embeddings", "metadatas"};
constexpr Signature kAddSig{"TamixPython.add", kAddParams, 3};
constexpr const char* kDeleteParams[] = {"ids"};
constexpr Signature kDeleteSig{"TamixPython.delete", kDeleteParams, 1};

}  // namespace

PyObject* Add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    PyObject* argv[3];
    if (!MatchFastcall(kAddSig, args, nargs, kwnames, argv)) return nullptr;
    std::vector<std::string> ids;
    FloatRows embeddings;
    std::vector<std::string> metadatas;
    if (!ToTexts(argv[0], "ids", &ids) || !ToVectors(argv[1], "embeddings", &embeddings) ||
        !ToTexts(argv[2], "metadatas", &metadatas)) {
      return nullptr;
    }
    Result<size_t> added = borrow.engine().add(ids, embeddings.views(), metadatas);
    if (!added.ok()) return Raise(added.error(), "Add failed: ");
    return PyLong_FromSize_t(added.value());
  });
}

PyObject* Persist(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    if (Status persisted = borrow.engine().persist(RunWithoutGil); !persisted.ok()) {
      return Raise(persisted.error(), "Persist failed: ");
    }
    Py_RETURN_NONE;
  });
}

PyObject* Delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    PyObject* argv[1];
    if (!MatchFastcall(kDeleteSig, args, nargs, kwnames, argv)) return nullptr;
    std::vector<std::string> ids;
    if (!ToTexts(argv[0], "ids", &ids)) return nullptr;
    return PyLong_FromSize_t(borrow.engine().delete_ids(ids));
  });
}

}  // namespace tamix::python
