// The type object of TamixPython: slots, method table and documentation texts.
#include <cstddef>

#include "python/methods.h"
#include "python/object.h"

namespace tamix::python {
namespace {

template <class F>
PyCFunction AsCFunction(F* function) {
  // The method flags tell the interpreter the real signature.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kWithArgs = METH_FASTCALL | METH_KEYWORDS;

constexpr const char kAddDoc[] =
    "add($self, ids, embeddings, metadatas)\n--\n\nAdd vectors to database\n\nArgs:\n"
    "    ids: List of string IDs\n"
    "    embeddings: List of vectors (each must match database dimension)\n"
    "    metadatas: List of JSON metadata strings\n\nReturns:\n    Number of vectors added";
constexpr const char kSearchDoc[] =
    "search($self, query, k)\n--\n\nSearch for k nearest neighbors\n\nArgs:\n"
    "    query: Query vector (must match database dimension)\n    k: Number of results\n\n"
    "Returns:\n    List of (id, score) tuples sorted by score descending";

constexpr const char kNewHnswDoc[] =
    "new_hnsw(path, dimension=1536, m=16, ef_construction=200, ef_search=50)\n--\n\n"
    "Create database with HNSW indexing\n\nArgs:\n    path: Database directory\n"
    "    dimension: Vector dimension\n    m: Graph connectivity (default: 16)\n"
    "    ef_construction: Build quality (default: 200)\n"
    "    ef_search: Search quality (default: 50)";
constexpr const char kNewScalarDoc[] =
    "new_scalar_quantized(path, dimension, training_vectors)\n--\n\n"
    "Create database with Scalar Quantization (4x compression)\n\nArgs:\n"
    "    path: Database directory\n    dimension: Vector dimension\n"
    "    training_vectors: Sample vectors for training (1000+ recommended)\n\nNotes:\n"
    "    - 4x compression (float32 -> uint8)\n    - 95%+ recall typical\n"
    "    - Much faster than PQ";
constexpr const char kNewProductDoc[] =
    "new_product_quantized(path, dimension, training_vectors)\n--\n\n"
    "Create database with Product Quantization (32x compression)\n\nArgs:\n"
    "    path: Database directory\n    dimension: Vector dimension\n"
    "    training_vectors: Sample vectors for training (1000+ recommended)\n\nNotes:\n"
    "    - 32x compression (6KB -> 192 bytes)\n    - Good recall with re-ranking\n"
    "    - Supports any dimension divisible by M";

constexpr int kStaticWithArgs = METH_STATIC | kWithArgs;

PyMethodDef kMethods[] = {
    {"new_hnsw", AsCFunction(NewHnsw), kStaticWithArgs, kNewHnswDoc},
    {"new_scalar_quantized", AsCFunction(NewScalarQuantized), kStaticWithArgs, kNewScalarDoc},
    {"new_product_quantized", AsCFunction(NewProductQuantized), kStaticWithArgs, kNewProductDoc},
    {"add", AsCFunction(Add), kWithArgs, kAddDoc},
    {"search", AsCFunction(Search), kWithArgs, kSearchDoc},
    {"search_batch", AsCFunction(SearchBatch), kWithArgs,
     "search_batch($self, queries, k)\n--\n\nBatch search"},
    {"get", AsCFunction(Get), kWithArgs, "get($self, id)\n--\n\n"},
    {"count", Count, METH_NOARGS, "count($self)\n--\n\n"},
    {"persist", Persist, METH_NOARGS, "persist($self)\n--\n\n"},
    {"delete", AsCFunction(Delete), kWithArgs, "delete($self, ids)\n--\n\n"},
    {"get_all_ids", GetAllIds, METH_NOARGS,
     "get_all_ids($self)\n--\n\nGet all IDs in the database"},
    {"set_mode", AsCFunction(SetMode), kWithArgs, "set_mode($self, mode)\n--\n\nSet index mode"},
    {"configure_ivf", AsCFunction(ConfigureIvf), kWithArgs,
     "configure_ivf($self, nlist=100, nprobe=10)\n--\n\nConfigure IVF parameters\n\nArgs:\n"
     "    nlist: Number of partitions (centroids)\n"
     "    nprobe: Number of partitions to search (search quality vs speed)"},
    {"train_ivf", TrainIvf, METH_NOARGS, "train_ivf($self)\n--\n\nTrain IVF index"},
    {"info", Info, METH_NOARGS, "info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject MakeType() {
  PyTypeObject type{};
  PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
  type.ob_base = head;
  type.tp_name = "TamixPython";
  type.tp_basicsize = sizeof(TamixObject);
  type.tp_dealloc = Dealloc;
  type.tp_repr = Repr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  type.tp_doc = "TamixPython(path, dimension=1536, mode=\"flat\")\n--\n\n";
  type.tp_methods = kMethods;
  type.tp_new = New;
  return type;
}

PyTypeObject kType = MakeType();

}  // namespace

PyTypeObject* TamixType() {
  if (PyType_Ready(&kType) < 0) return nullptr;  // a no-op once ready
  return &kType;
}

}  // namespace tamix::python
