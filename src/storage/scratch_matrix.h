// Scratch floats for the batch search's large matrices (unit queries, blocks of dot
// products), uninitialised. Blocks of 2 MiB or more ask for transparent huge pages where the
// system has them: the matrix products and scans sweep megabytes of them, and 4 KiB pages
// cost a batch about 5% in TLB misses. Owned by one thread at a time.
#pragma once

#include <cstddef>

namespace tamix {

class ScratchMatrix {
 public:
  explicit ScratchMatrix(size_t floats);
  ~ScratchMatrix();
  ScratchMatrix(ScratchMatrix&& other) noexcept;
  ScratchMatrix(const ScratchMatrix&) = delete;
  ScratchMatrix& operator=(const ScratchMatrix&) = delete;
  ScratchMatrix& operator=(ScratchMatrix&&) = delete;

  float* data() { return data_; }
  const float* data() const { return data_; }

 private:
  float* data_;
};

}  // namespace tamix
