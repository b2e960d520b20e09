// The methods that only look: get, count, get_all_ids, info and __repr__.
#include <optional>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/methods.h"
#include "python/ref.h"

namespace tamix::python {
namespace {

constexpr const char* kGetParams[] = {"id"};
constexpr Signature kGetSig{"TamixPython.get", kGetParams, 1};

PyObject* Text(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyObject* Get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kShared);
    if (!borrow) return nullptr;
    PyObject* argv[1];
    if (!MatchFastcall(kGetSig, args, nargs, kwnames, argv)) return nullptr;
    std::string id;
    if (!ToText(argv[0], "id", &id)) return nullptr;
    Result<std::optional<std::string>> text = borrow.engine().get(id);
    if (!text.ok()) return Raise(text.error(), "");
    if (!text.value().has_value()) Py_RETURN_NONE;
    return Text(*text.value());
  });
}

PyObject* Count(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kShared);
    if (!borrow) return nullptr;
    return PyLong_FromUnsignedLongLong(borrow.engine().count());
  });
}

PyObject* GetAllIds(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kShared);
    if (!borrow) return nullptr;
    const std::vector<std::string> ids = borrow.engine().get_all_ids();
    Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
      PyObject* id = Text(ids[i]);
      if (id == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i, id);
    }
    return list.release();
  });
}

PyObject* Info(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kShared);
    if (!borrow) return nullptr;
    return Text(borrow.engine().info());
  });
}

PyObject* Repr(PyObject* self) { return Info(self, nullptr); }

}  // namespace tamix::python
