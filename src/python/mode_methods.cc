// The methods that change how the database indexes its vectors: set_mode, configure_ivf and
// train_ivf (the training runs without the interpreter lock).
#include <string>

#include "python/args.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/methods.h"

namespace tamix::python {
namespace {

constexpr const char* kSetModeParams[] = {"mode"};
constexpr Signature kSetModeSig{"TamixPython.set_mode", kSetModeParams, 1};
constexpr const char* kConfigureParams[] = {"nlist", "nprobe"};
constexpr Signature kConfigureSig{"TamixPython.configure_ivf", kConfigureParams, 0};

}  // namespace

PyObject* SetMode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    PyObject* argv[1];
    if (!MatchFastcall(kSetModeSig, args, nargs, kwnames, argv)) return nullptr;
    std::string mode;
    if (!ToText(argv[0], "mode", &mode)) return nullptr;
    if (Status set = borrow.engine().set_mode_word(std::move(mode)); !set.ok()) {
      return Raise(set.error(), "");
    }
    Py_RETURN_NONE;
  });
}

PyObject* ConfigureIvf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    PyObject* argv[2];
    if (!MatchFastcall(kConfigureSig, args, nargs, kwnames, argv)) return nullptr;
    uint64_t nlist = 100, nprobe = 10;
    if ((argv[0] != nullptr && !ToUnsigned(argv[0], "nlist", &nlist)) ||
        (argv[1] != nullptr && !ToUnsigned(argv[1], "nprobe", &nprobe))) {
      return nullptr;
    }
    if (Status set = borrow.engine().configure_ivf(nlist, nprobe); !set.ok()) {
      return Raise(set.error(), "");
    }
    Py_RETURN_NONE;
  });
}

PyObject* TrainIvf(PyObject* self, PyObject*) {
  return Guarded([&]() -> PyObject* {
    Borrow borrow(self, Access::kExclusive);
    if (!borrow) return nullptr;
    Tamix& db = borrow.engine();
    const Status trained = WithoutGil([&] { return db.train_ivf(); });
    if (!trained.ok()) return Raise(trained.error(), "IVF Training failed: ");
    Py_RETURN_NONE;
  });
}

}  // namespace tamix::python
