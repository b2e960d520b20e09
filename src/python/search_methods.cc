// search and search_batch: the arguments in, the hits out; the engine's search runs its
// long steps without the interpreter lock.
#include <vector>

#include "python/args.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/methods.h"
#include "python/ref.h"
#include "python/vectors.h"

namespace tamix::python {
namespace {

constexpr const char* kSearchParams[] = {"query", "k"};
constexpr Signature kSearchSig{"TamixPython.search", kSearchParams, 2};
constexpr const char* kBatchParams[] = {"queries", "k"};
constexpr Signature kBatchSig{"TamixPython.search_batch", kBatchParams, 2};

// The implicit persist names itself; the other steps fail as the search.
const char* Prefix(SearchStep failed, const char* search_prefix) {
  return failed == SearchStep::kPersist ? "Auto-persist failed: " : search_prefix;
}

// [(id, score), ...]
PyObject* HitList(const std::vector<Hit>& hits) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    Ref id(PyUnicode_FromStringAndSize(hits[i].id.data(), hits[i].id.size()));
    Ref score(id ? PyFloat_FromDouble(hits[i].score) : nullptr);
    PyObject* pair = score ? PyTuple_New(2) : nullptr;
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, id.release());
    PyTuple_SET_ITEM(pair, 1, score.release());
    // A str and a float can never close a cycle: the collector need not walk 100,000 of these
    // (as it otherwise would, many times over, while a large batch is built).
    PyObject_GC_UnTrack(pair);
    PyList_SET_ITEM(list.get(), i, pair);
  }
  return list.release();
}

}  // namespace

PyObject* Search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    PyObject* argv[2];
    if (!MatchFastcall(kSearchSig, args, nargs, kwnames, argv)) return nullptr;
    FloatRows query;
    uint64_t k = 0;
    if (!ToVector(argv[0], "query", &query) || !ToUnsigned(argv[1], "k", &k)) return nullptr;
    SearchStep failed = SearchStep::kSearch;
    auto hits = borrow.engine().search(query.views().front(), k, RunWithoutGil, &failed);
    if (!hits.ok()) return Raise(hits.error(), Prefix(failed, "Search failed: "));
    return HitList(hits.value());
  });
}

PyObject* SearchBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    PyObject* argv[2];
    if (!MatchFastcall(kBatchSig, args, nargs, kwnames, argv)) return nullptr;
    FloatRows queries;
    uint64_t k = 0;
    if (!ToVectors(argv[0], "queries", &queries) || !ToUnsigned(argv[1], "k", &k)) {
      return nullptr;
    }
    SearchStep failed = SearchStep::kSearch;
    auto lists = borrow.engine().search_batch(queries.views(), k, RunWithoutGil, &failed);
    if (!lists.ok()) return Raise(lists.error(), Prefix(failed, "Batch search failed: "));
    Ref result(PyList_New(static_cast<Py_ssize_t>(lists.value().size())));
    if (!result) return nullptr;
    for (size_t i = 0; i < lists.value().size(); ++i) {
      PyObject* hits = HitList(lists.value()[i]);
      if (hits == nullptr) return nullptr;
      PyList_SET_ITEM(result.get(), i, hits);
    }
    return result.release();
  });
}

}  // namespace tamix::python
