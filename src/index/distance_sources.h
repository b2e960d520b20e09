// The distance sources a graph search asks for "how far is slot s from the query" (smaller
// is nearer), and the insertion families that make a source for a stored vector. A source
// is a small value with `float operator()(Slot) const`, `void prefetch(Slot) const` and
// `void batch(const Slot*, uint32_t count, float* out) const` (the same distances for a
// list of slots); searches are templates over it, so no distance goes through a virtual call.
// Sources only read the stores, which must not change while one is in use.
//
// Cosine distances come from one dot product and the stores' cached norms: the same
// formula as SimSIMD's cosine kernel, summed in the dot kernel's order, so values agree
// with a direct cosine up to rounding.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/distance.h"
#include "core/types.h"
#include "storage/flat_storage.h"

namespace tamix {

// Raw stored vectors as the graph reads them: records `dimension` floats apart from base,
// the first `readable` of them readable.
struct FlatVectors {
  const float* base = nullptr;
  uint64_t dimension = 0;
  uint64_t readable = 0;
  const float* norms = nullptr;  // slot-indexed, from the store

  static FlatVectors of(const FlatStorage& store);

  bool has(Slot s) const { return s < readable; }
  const float* at(Slot s) const { return base + s * dimension; }
  float norm(Slot s) const { return norms[s]; }
  // The first lines only: the hardware streams the rest once the kernel reads them. The
  // norm lies elsewhere and would miss the cache too.
  void prefetch(Slot s) const {
    if (!has(s)) return;
    const char* p = reinterpret_cast<const char*>(at(s));
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
    __builtin_prefetch(norms + s);
  }
};

// Product-quantized codes: `m` code bytes per slot from base, the first `readable` readable.
struct PqCodes {
  const uint8_t* base = nullptr;
  uint64_t m = 0;
  uint64_t readable = 0;
};

namespace hnsw {

// SimSIMD's cosine distance from a dot product and two norms: 0 for two zero vectors, 1
// when the dot product is 0, else 1 - dot / (na nb) clipped at 0. A vector that cannot be
// normalised (NaN norm) counts as orthogonal to everything.
inline float cosine_distance(double dot, float na, float nb) {
  if (na == 0 && nb == 0) return 0.0f;
  if (dot == 0 || std::isnan(na) || std::isnan(nb)) return 1.0f;
  const double t = 1.0 - dot / (static_cast<double>(na) * static_cast<double>(nb));
  return static_cast<float>(t > 0 ? t : 0.0);
}

// t/2 through the single-precision grid near 1, step by step.
inline float halve(float t) { return (t * 0.5f - 1.0f) + 1.0f; }

}  // namespace hnsw

namespace hnsw {

// What the cosine sources share: the store, the query's floats and its norm.
class CosineQuery {
 public:
  void prefetch(Slot s) const { v_.prefetch(s); }

 protected:
  CosineQuery(const FlatVectors& v, const float* q, float q_norm) : v_(v), q_(q), q_norm_(q_norm) {}
  // A stored vector as the query; q_ is null when it is not readable.
  CosineQuery(const FlatVectors& v, Slot q)
      : CosineQuery(v, v.has(q) ? v.at(q) : nullptr, v.has(q) ? v.norm(q) : 0.0f) {}

  double dot(Slot s) const { return dot_product(q_, v_.at(s), v_.dimension); }
  // out[i] for slots[i]: finish(dot, slot) from dot products computed a few at a time when
  // every slot is readable (the values equal one call each); else one(slot) throughout.
  template <class One, class Finish>
  void in_groups(const Slot* slots, uint32_t count, float* out, One one, Finish finish) const {
    const bool readable =
        q_ != nullptr && std::all_of(slots, slots + count, [&](Slot s) { return v_.has(s); });
    if (!readable) {
      for (uint32_t i = 0; i < count; ++i) out[i] = one(slots[i]);
      return;
    }
    for_each_dot(
        q_, count, v_.dimension, [&](size_t i) { return v_.at(slots[i]); },
        [&](size_t i, double dot) { out[i] = finish(dot, slots[i]); });
  }
  float halved(double dot, Slot s) const {
    return halve(cosine_distance(dot, q_norm_, v_.norm(s)));
  }
  float halved(Slot s) const { return halved(dot(s), s); }

  FlatVectors v_;
  const float* q_;
  float q_norm_;
};

}  // namespace hnsw

// Exact cosine from a stored vector q: 1 - dot / (norm q × norm s) in single precision,
// range 0 to 2; 1.0 when either vector is missing or the norm product is 0.
class ExactCosineOfStored : public hnsw::CosineQuery {
 public:
  ExactCosineOfStored(const FlatVectors& vectors, Slot q) : CosineQuery(vectors, q) {}

  float operator()(Slot s) const {
    if (q_ == nullptr || !v_.has(s)) return 1.0f;
    return product_ok(s) ? of(dot(s), s) : 1.0f;
  }
  void batch(const Slot* slots, uint32_t count, float* out) const {
    in_groups(slots, count, out, *this,
              [&](double d, Slot s) { return product_ok(s) ? of(d, s) : 1.0f; });
  }

 private:
  bool product_ok(Slot s) const {
    const float product = q_norm_ * v_.norm(s);
    return product != 0 && !std::isnan(product);
  }
  float of(double dot, Slot s) const {
    return 1.0f - static_cast<float>(dot) / (q_norm_ * v_.norm(s));
  }
};

// Halved cosine of a query vector, range 0 to 1: FLT_MAX for a missing stored vector, 1.0
// for every stored vector when the query's length is not the store's dimension.
class HalvedCosineOfQuery : public hnsw::CosineQuery {
 public:
  HalvedCosineOfQuery(const FlatVectors& vectors, VectorView query);

  float operator()(Slot s) const {
    if (!v_.has(s)) return FLT_MAX;
    return fits_ ? halved(s) : 1.0f;
  }
  void batch(const Slot* slots, uint32_t count, float* out) const {
    if (!fits_) {
      for (uint32_t i = 0; i < count; ++i) out[i] = (*this)(slots[i]);
      return;
    }
    in_groups(slots, count, out, *this, [&](double d, Slot s) { return halved(d, s); });
  }

 private:
  bool fits_;
};

// Halved cosine of a stored vector q: FLT_MAX when either vector is missing.
class HalvedCosineOfStored : public hnsw::CosineQuery {
 public:
  HalvedCosineOfStored(const FlatVectors& vectors, Slot q) : CosineQuery(vectors, q) {}

  float operator()(Slot s) const { return q_ == nullptr || !v_.has(s) ? FLT_MAX : halved(s); }
  void batch(const Slot* slots, uint32_t count, float* out) const {
    in_groups(slots, count, out, *this, [&](double d, Slot s) { return halved(d, s); });
  }
};

// Product-quantized: sum over j of table[j][code_j] in order, then sum / m + 1.0; FLT_MAX
// for a slot without a code. `table` holds m rows of 256 floats; a shorter table leaves
// every slot without a code rather than read past it.
class ProductQuantizedSource {
 public:
  ProductQuantizedSource(const PqCodes& codes, std::span<const float> table)
      : codes_(codes), table_(table.data()) {
    if (table.size() / 256 < codes.m) codes_.readable = 0;
  }

  float operator()(Slot s) const {
    if (s >= codes_.readable) return FLT_MAX;
    const uint8_t* code = codes_.base + s * codes_.m;
    float sum = 0.0f;
    for (uint64_t j = 0; j < codes_.m; ++j) sum += table_[j * 256 + code[j]];
    return sum / static_cast<float>(codes_.m) + 1.0f;
  }
  void prefetch(Slot s) const {
    if (s < codes_.readable) __builtin_prefetch(codes_.base + s * codes_.m);
  }
  void batch(const Slot* slots, uint32_t count, float* out) const {
    for (uint32_t i = 0; i < count; ++i) out[i] = (*this)(slots[i]);
  }

 private:
  PqCodes codes_;
  const float* table_;
};

// Insertion families: the source for a stored vector, used to search for a new node's
// neighbours, to compare candidate neighbours with each other, and to order a neighbour's
// list when it is pruned.
struct ExactCosineFamily {  // the adaptive migration's main graph
  FlatVectors vectors;
  ExactCosineOfStored source(Slot q) const { return {vectors, q}; }
};

struct HalvedCosineFamily {  // IVF partitions
  FlatVectors vectors;
  HalvedCosineOfStored source(Slot q) const { return {vectors, q}; }
};

}  // namespace tamix
