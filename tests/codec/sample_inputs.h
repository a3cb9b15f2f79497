#pragma once

// Reproducible inputs for the codec's tests.

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace telo::testing {

inline std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned variant) {
  std::mt19937 rng(variant);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// Words drawn from `vocabulary`: text-like, with matches at every distance.
inline std::vector<std::uint8_t> words_from(std::span<const char* const> vocabulary, std::size_t n,
                                            unsigned variant) {
  std::mt19937 rng(variant);
  std::string s;
  while (s.size() < n) s += vocabulary[rng() % vocabulary.size()];
  s.resize(n);
  return {s.begin(), s.end()};
}

}  // namespace telo::testing
