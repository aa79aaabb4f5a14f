// Small helpers the tests share for the bytes they send and compare.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qdqm::testing {

// Bytes given by value (frames with 00 and bytes above 0x7F).
inline std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

// An image with every byte value in it (frame bytes, "U", CR and 00 included).
inline std::string imageBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 151 + seed * 7 + (i >> 3));
  return s;
}

inline std::string text(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

// How often `needle` occurs in `haystack`, overlaps included.
inline size_t count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++n;
  return n;
}

}  // namespace qdqm::testing
