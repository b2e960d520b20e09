#include "core/mmap.h"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace tamix {

Result<MemoryMap> MemoryMap::map(int fd, size_t length, Access access) {
  if (length == 0) return Error::System(EINVAL);
  int prot = access == Access::kReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
  void* p = ::mmap(nullptr, length, prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Error::System(errno);
  return MemoryMap(static_cast<uint8_t*>(p), length);
}

MemoryMap::MemoryMap(MemoryMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}

MemoryMap& MemoryMap::operator=(MemoryMap&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

void MemoryMap::reset() {
  if (data_ != nullptr) ::munmap(data_, length_);
  data_ = nullptr;
  length_ = 0;
}

}  // namespace tamix
