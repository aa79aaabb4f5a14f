// The host's end of a simulated line for the device-model tests: frames go out at the given
// settings and come back as a host listening there receives them. The device is a module's
// controller or a base unit.
#pragma once
#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "sim/controller.h"

namespace qdqm::sim::testing {

class Wire {
 public:
  explicit Wire(Device& c) : c(c) {}
  std::string ask(std::string_view frame, Line at = {}) {
    std::string got;
    for (const Emission& e : exchange(frame, at)) {
      got.push_back(static_cast<char>(e.line == at ? e.byte : garble(e.byte)));
    }
    return got;
  }
  // The reply bytes as they leave the module, with their times; `now` moves past the last one.
  std::vector<Emission> exchange(std::string_view frame, Line at = {}) {
    for (char ch : frame) {
      now += byteTimeUs(at);
      c.receive(static_cast<uint8_t>(ch), at, now);
    }
    std::vector<Emission> got(c.output().begin(), c.output().end());
    for (const Emission& e : got) now = std::max(now, e.doneUs);
    c.output().clear();
    return got;
  }
  void wait(uint64_t us) { now += us; }
  Device& c;
  uint64_t now = 0;
};

inline std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

inline std::string bytes(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

// A data record with its checksum, hex digits upper case.
inline std::string dataRecord(uint16_t address, std::initializer_list<int> data, int type = 0) {
  std::string r = ":";
  auto put = [&](unsigned b) {
    const char* d = "0123456789ABCDEF";
    r += d[(b >> 4) & 15];
    r += d[b & 15];
  };
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  put(static_cast<unsigned>(data.size()));
  put(address >> 8);
  put(address & 0xFF);
  put(type);
  for (int b : data) {
    put(b);
    sum += b;
  }
  put((0x100 - (sum & 0xFF)) & 0xFF);
  return r;
}

}  // namespace qdqm::sim::testing
