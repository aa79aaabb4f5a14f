// SHA-256 of data files, for the service record: which firmware went into a module, provably.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qdqm {

class Sha256 {
 public:
  Sha256();
  void add(const uint8_t* bytes, size_t n);
  void add(std::string_view text) {
    add(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string hex();

 private:
  void block(const uint8_t* p);
  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

// The digest of a whole file; empty when it cannot be read.
std::string sha256OfFile(const std::string& path);

}  // namespace qdqm
