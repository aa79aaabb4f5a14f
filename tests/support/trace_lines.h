// Reads a frame trace back for the tests: each line's time, direction, line settings and bytes
// (frames) or text (events), and a sink that keeps the lines in memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "link/frame_trace.h"

namespace qdqm::testing {

struct TraceLine {
  uint64_t us = 0;  // time since the start, from "ms.uuu"
  std::string dir;  // "TX", "RX" or "--"
  uint32_t baud = 0;
  std::string frame;           // "8N1", "8O1", "8E1"
  std::vector<uint8_t> bytes;  // frames: the hex bytes
  std::string ascii;           // frames: what stands between the '|'
  std::string text;            // events: the text
};

// The lines after the title line; a line that does not follow the format fails the test.
inline std::vector<TraceLine> readTrace(const std::string& trace) {
  std::vector<TraceLine> lines;
  std::istringstream in(trace);
  std::string raw;
  while (std::getline(in, raw)) {
    if (!raw.empty() && raw[0] == '#') continue;
    TraceLine t;
    std::istringstream f(raw);
    std::string time;
    f >> time >> t.dir >> t.baud >> t.frame;
    const size_t dot = time.find('.');
    EXPECT_TRUE(dot != std::string::npos && time.size() - dot == 4) << raw;
    if (dot == std::string::npos) continue;
    t.us = std::stoull(time.substr(0, dot)) * 1000 + std::stoull(time.substr(dot + 1));
    // The payload starts two blanks after the frame settings.
    const size_t at = raw.find(t.frame + "  ");
    EXPECT_NE(at, std::string::npos) << raw;
    const std::string payload = raw.substr(at + t.frame.size() + 2);
    if (t.dir == "--") {
      t.text = payload;
    } else {
      const size_t bar = payload.find("  |");
      EXPECT_TRUE(bar != std::string::npos && payload.back() == '|') << raw;
      std::istringstream hex(payload.substr(0, bar));
      std::string b;
      while (hex >> b) {
        EXPECT_EQ(b.size(), 2u) << raw;
        t.bytes.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
      }
      t.ascii = payload.substr(bar + 3, payload.size() - bar - 4);
    }
    lines.push_back(t);
  }
  return lines;
}

// Keeps every line; fails from write call `failFrom` (1-based) on, as a full disk would.
class MemorySink final : public TraceSink {
 public:
  explicit MemorySink(std::string& text, size_t failFrom = 0) : text_(text), failFrom_(failFrom) {}
  bool write(std::string_view lines) override {
    ++calls;
    if (failFrom_ != 0 && calls >= failFrom_) {
      error_ = 28;  // ENOSPC
      return false;
    }
    text_.append(lines);
    return true;
  }
  int error() const override { return error_; }
  size_t calls = 0;

 private:
  std::string& text_;
  size_t failFrom_;
  int error_ = 0;
};

}  // namespace qdqm::testing
