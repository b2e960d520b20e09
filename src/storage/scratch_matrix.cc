#include "storage/scratch_matrix.h"

#include <cstdlib>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tamix {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kCacheLine = 64;

}  // namespace

ScratchMatrix::ScratchMatrix(size_t floats) {
  const size_t bytes = floats * sizeof(float);
  const size_t align = bytes >= kHugePage ? kHugePage : kCacheLine;
  const size_t rounded = (bytes + align - 1) / align * align;
  data_ = static_cast<float*>(std::aligned_alloc(align, rounded == 0 ? align : rounded));
  if (data_ == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only advice: without huge pages the buffer works the same.
  if (align == kHugePage) madvise(data_, rounded, MADV_HUGEPAGE);
#endif
}

ScratchMatrix::~ScratchMatrix() { std::free(data_); }

ScratchMatrix::ScratchMatrix(ScratchMatrix&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)) {}

}  // namespace tamix
