// What the crash driver writes and the crash test checks: ids with a prefix and a number,
// each with a vector derived from the id alone.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tamix::crash {

inline constexpr uint64_t kDim = 128;

inline std::vector<float> vector_for(const std::string& id) {
  std::mt19937 rng(static_cast<uint32_t>(std::hash<std::string>{}(id)));
  std::normal_distribution<float> dist;
  std::vector<float> v(kDim);
  for (float& x : v) x = dist(rng);
  return v;
}

// The vector an update gives the id.
inline std::vector<float> updated_vector_for(const std::string& id) {
  return vector_for(id + " updated");
}

inline std::vector<std::string> ids(const std::string& prefix, size_t n) {
  std::vector<std::string> out;
  for (size_t i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

}  // namespace tamix::crash
