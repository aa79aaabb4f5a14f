// Takes the fuzzer's bytes apart into the values a target needs; once they run out every value
// reads as 0 and every text as empty, so any input drives a whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qdqm::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  size_t remaining() const { return size_ - at_; }

  uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  bool flag() { return (byte() & 1) != 0; }
  // A value in [0, n); 0 when n is 0.
  uint32_t below(uint32_t n) {
    if (n == 0) return 0;
    const uint32_t v = n <= 256 ? byte() : uint32_t{byte()} << 8 | byte();
    return v % n;
  }
  uint16_t word() { return static_cast<uint16_t>(byte() << 8 | byte()); }
  // A text of at most `limit` bytes, its length taken from one byte.
  std::string text(size_t limit) {
    const size_t n = std::min<size_t>(byte() % (limit + 1), remaining());
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  // Everything not yet taken.
  std::string rest() {
    std::string s(reinterpret_cast<const char*>(data_ + at_), remaining());
    at_ = size_;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A broken expectation: the fuzzer reports it as a crash, the corpus replay as a failed test.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: expectation failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace qdqm::fuzz

#define FUZZ_EXPECT(...) \
  ((__VA_ARGS__) ? static_cast<void>(0) : ::qdqm::fuzz::fail(#__VA_ARGS__, __FILE__, __LINE__))
