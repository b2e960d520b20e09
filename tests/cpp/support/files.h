// Whole-file reads and writes for tests, and the count field of a vector file's header.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tamix::testing {

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline uint64_t HeaderCount(const std::vector<uint8_t>& file) {
  uint64_t count = 0;
  for (int i = 0; i < 8; ++i) count |= uint64_t{file.at(8 + i)} << (8 * i);
  return count;
}

inline void SetHeaderCount(std::vector<uint8_t>& file, uint64_t count) {
  for (int i = 0; i < 8; ++i) file.at(8 + i) = static_cast<uint8_t>(count >> (8 * i));
}

}  // namespace tamix::testing
