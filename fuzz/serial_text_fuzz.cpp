// What a coprocessor sends of its own accord, read over a scripted line on the virtual clock: the
// length-prefixed text of the decoder's boot loader, and waitForText's search for a text at the
// end of whatever arrives. Bytes arrive all at once or in timed chunks; the line may go away.
#include <cstdint>
#include <string>

#include "coproc/serial_waits.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/script_line.h"
#include "fuzz/support/scripted_port.h"
#include "link/serial_port.h"

namespace qdqm::fuzz {
namespace {

// The bytes the line will deliver, in order; true when they all wait from the start.
bool scheduleStream(FuzzInput& in, ScriptLine& line, std::string& stream) {
  if (in.flag()) {
    stream = in.rest();
    line.arrive(stream, 0, 0);
    return true;
  }
  while (!in.empty()) {
    const uint64_t afterUs = uint64_t{in.byte()} * 1000;
    const uint64_t gapUs = uint64_t{in.byte()} * 10;
    const std::string chunk = in.text(64);
    stream += chunk;
    line.arrive(chunk, afterUs, gapUs);
  }
  return false;
}

void lengthPrefixed(FuzzInput& in, SerialPort& port, ScriptLine& line, VirtualClock& clock) {
  const uint32_t R = in.below(400);
  const bool loses = in.below(8) == 0;
  if (loses) line.loseAtUs = clock.nowUs() + uint64_t{in.byte()} * 1000;
  std::string stream;
  const bool instant = scheduleStream(in, line, stream);
  const uint64_t start = clock.nowUs();
  std::string text = "unchanged";
  const int r = readLengthPrefixedText(port, text, R);
  FUZZ_EXPECT(r == 0 || r == 1);
  // A cycle waits at most 1 ms for input, then reads up to 10 bytes within 1 ms + 1 ms a byte.
  FUZZ_EXPECT(clock.nowUs() - start <= 1000 + uint64_t{R} * 12000);
  const std::string& got = line.consumed;
  const size_t length =
      stream.size() >= 4 ? (size_t{uint8_t(stream[2])} << 8 | uint8_t(stream[3])) : 0;
  if (r == 1) {
    // Exactly the announced bytes were taken, and the text is what follows the header.
    FUZZ_EXPECT(got.size() >= 4 && got.size() == length + 4 && got.size() <= 100);
    FUZZ_EXPECT(text == got.substr(4, got.find('\0', 4) == std::string::npos
                                          ? std::string::npos
                                          : got.find('\0', 4) - 4));
  } else {
    FUZZ_EXPECT(text == "unchanged");
    if (stream.size() < 4 || stream.size() < length + 4) return;
    // A whole reply that waits from the start and fits the buffer is never missed.
    if (instant && !loses && stream.size() == length + 4 && length + 4 <= 100 &&
        R >= (length + 4) / 10 + 3)
      FUZZ_EXPECT(false);
  }
}

void textWait(FuzzInput& in, SerialPort& port, ScriptLine& line, VirtualClock& clock) {
  const std::string text = in.text(255);
  const uint32_t C = in.below(3000);
  const bool loses = in.below(8) == 0;
  if (loses) line.loseAtUs = clock.nowUs() + uint64_t{in.byte()} * 1000;
  std::string stream;
  const bool instant = scheduleStream(in, line, stream);
  const uint64_t start = clock.nowUs();
  const int r = waitForText(port, text, C);
  FUZZ_EXPECT(r == 0 || r == 1);
  const std::string& got = line.consumed;
  // One byte a cycle of 1 ms, never more cycles than given.
  FUZZ_EXPECT(got.size() <= C);
  FUZZ_EXPECT(clock.nowUs() - start <= uint64_t{C} * 1000 + 1000);
  if (r == 1) {
    // It stops at the first place the text is complete.
    FUZZ_EXPECT(!text.empty() && got.ends_with(text));
    FUZZ_EXPECT(got.find(text) == got.size() - text.size());
    return;
  }
  if (text.empty() || loses || !instant) return;
  // All bytes waiting from the start: found exactly when the text ends within C bytes.
  const size_t at = stream.find(text);
  FUZZ_EXPECT(at == std::string::npos || at + text.size() > C);
}

}  // namespace
}  // namespace qdqm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdqm;
  using namespace qdqm::fuzz;
  FuzzInput in(data, size);
  ScriptedPort s;
  if (in.flag()) {
    lengthPrefixed(in, s.port, s.line(), s.clock);
  } else {
    textWait(in, s.port, s.line(), s.clock);
  }
  return 0;
}
