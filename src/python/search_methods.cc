// search and search_batch: the arguments in, the hits out; the engine's search runs its
// long steps without the interpreter lock.
#include <algorithm>
#include <cstdlib>
#include <memory>
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

// (id, score), untracked: a str and a float can never close a cycle, so the collector need
// not walk 100,000 of these (as it otherwise would, many times over, while a batch is built).
PyObject* HitTuple(PyObject* id, double score) {
  Ref value(PyFloat_FromDouble(score));
  PyObject* pair = value ? PyTuple_New(2) : nullptr;
  if (pair == nullptr) return nullptr;
  Py_INCREF(id);
  PyTuple_SET_ITEM(pair, 0, id);
  PyTuple_SET_ITEM(pair, 1, value.release());
  PyObject_GC_UnTrack(pair);
  return pair;
}

// [(id, score), ...]
PyObject* HitList(const std::vector<Hit>& hits) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    Ref id(PyUnicode_FromStringAndSize(hits[i].id.data(), hits[i].id.size()));
    PyObject* pair = id ? HitTuple(id.get(), hits[i].score) : nullptr;
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, pair);
  }
  return list.release();
}

// One str per slot for a whole batch, whose queries share most of their hits. The table
// spans every slot hit but is allocated zeroed, so only the pages of slots hit are touched.
class IdStrings {
 public:
  explicit IdStrings(const std::vector<std::vector<BatchHit>>& lists) {
    Slot end = 0;
    for (const auto& hits : lists) {
      for (const BatchHit& h : hits) end = std::max(end, h.slot + 1);
    }
    by_slot_.reset(static_cast<PyObject**>(std::calloc(static_cast<size_t>(end) + 1,
                                                       sizeof(PyObject*))));
  }
  ~IdStrings() {
    for (PyObject* s : made_) Py_DECREF(s);
  }
  explicit operator bool() const { return by_slot_ != nullptr; }

  // Borrowed; null with the error set.
  PyObject* of(const BatchHit& hit) {
    PyObject*& s = by_slot_[hit.slot];
    if (s == nullptr) {
      s = PyUnicode_FromStringAndSize(hit.id->data(), static_cast<Py_ssize_t>(hit.id->size()));
      if (s != nullptr) made_.push_back(s);
    }
    return s;
  }

 private:
  struct Free {
    void operator()(PyObject** p) const { std::free(p); }
  };
  std::unique_ptr<PyObject*[], Free> by_slot_;
  std::vector<PyObject*> made_;
};

// [[(id, score), ...], ...]. The lists stay untracked while they fill, so the collections
// the tuple allocations set off find nothing of ours to walk; tracked again once whole.
PyObject* BatchLists(const std::vector<std::vector<BatchHit>>& lists) {
  IdStrings ids(lists);
  if (!ids) return PyErr_NoMemory();
  Ref result(PyList_New(static_cast<Py_ssize_t>(lists.size())));
  if (!result) return nullptr;
  PyObject_GC_UnTrack(result.get());
  for (size_t q = 0; q < lists.size(); ++q) {
    const std::vector<BatchHit>& hits = lists[q];
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits.size()));
    if (list == nullptr) return nullptr;
    PyObject_GC_UnTrack(list);
    PyList_SET_ITEM(result.get(), q, list);
    for (size_t i = 0; i < hits.size(); ++i) {
      PyObject* id = ids.of(hits[i]);
      PyObject* pair = id ? HitTuple(id, hits[i].score) : nullptr;
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list, i, pair);
    }
  }
  for (size_t q = 0; q < lists.size(); ++q) PyObject_GC_Track(PyList_GET_ITEM(result.get(), q));
  PyObject_GC_Track(result.get());
  return result.release();
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
    return BatchLists(lists.value());
  });
}

}  // namespace tamix::python
