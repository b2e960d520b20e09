// The exact search over scalar-quantized codes. The decode is folded into the dot product:
// with weights[j] = query[j] × range[j] / 255 and the query's dot with the decoded code 0
// as offset, dot(query, decode(codes)) = offset + Σ weights[j] × codes[j], so a record
// costs one pass over its bytes, four records at a time; its norm was computed once when it
// was stored.
#include <cmath>

#include "quant/kernels.h"
#include "storage/chunk_scan.h"
#include "storage/sq8_storage.h"

namespace tamix {
namespace {

constexpr float kMinNorm = 1e-10f;

}  // namespace

Result<std::vector<ScoredIndex>> Sq8Storage::search(VectorView query, uint64_t k,
                                                    const LiveSlots* live) const {
  if (count() == 0) return std::vector<ScoredIndex>{};
  const uint8_t* base = records();
  if (base == nullptr) return Error::Message("No mmap available");
  // Slots outside the mapping are skipped one by one, never their whole chunk.
  const uint64_t n = readable_count();
  const uint64_t chunks = searchable_chunks(n, n);

  float squared = 0;
  for (float x : query) squared += x * x;
  const float query_norm = std::sqrt(squared);
  if (query_norm < kMinNorm) return scan_top_k(n, chunks, k, live, [](Slot) { return 0.0f; });

  const Sq8Query prepared = quantizer_.prepare(query);
  const auto sums = quant::kernels().weighted_code_sums;
  const size_t d = static_cast<size_t>(dimension_);
  return scan_top_k_by_chunk(n, chunks, k, live, [&](Slot begin, Slot end, float* scores) {
    sums(prepared.weights.data(), base + begin * d, d, d, end - begin, scores);
    for (Slot s = begin; s < end; ++s) {
      const float record_norm = norms_[s];
      float& score = scores[s - begin];
      // NaN: a record that cannot be normalised.
      score =
          record_norm >= kMinNorm ? (prepared.offset + score) / (query_norm * record_norm) : 0.0f;
    }
  });
}

}  // namespace tamix
