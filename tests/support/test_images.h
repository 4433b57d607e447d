#pragma once
// Deterministic image bytes for tests: every byte differs from its neighbours in a pattern, and
// there is no '#' at all, so the escaped read-back carries any block of it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torv2::testing {

inline std::vector<std::uint8_t> TestImage(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto b = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    v[i] = b == '#' ? 0x22 : b;
  }
  return v;
}

}  // namespace torv2::testing
