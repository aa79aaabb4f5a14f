// The frame trace for service: one text line per frame on the serial line (time since the trace
// started, direction, line settings, the bytes in hex and as ASCII), for diagnosing a failed
// update. The serial port feeds it when one is attached; without one nothing is traced and nothing
// costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/serial_device.h"

namespace qdqm {

// Where the trace's lines go. A sink that fails once gets no further lines.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // Whole lines, each ending in "\n"; false when they could not be written.
  virtual bool write(std::string_view lines) = 0;
  // errno-style code of the failure that stopped the trace, 0 while none.
  virtual int error() const = 0;
  // Where the lines go (a file's path), for telling the user.
  virtual std::string where() const { return {}; }
};

// A trace file, created or truncated. Lines go straight to the file (no buffer of its own), so a
// trace survives a crash or a killed program. Null (with `error`) when it cannot be opened.
std::unique_ptr<TraceSink> openTraceFile(const std::string& path, int& error);

// Directions of a trace line: bytes to the module, bytes from it, an event of the port.
enum class TraceDirection { Tx, Rx, Event };

// One trace line: "<ms since start>  <TX|RX|-->  <rate> 8<N|O|E>1  <payload>\n". Frames carry
// their bytes in upper-case hex and between '|' as ASCII ('.' for bytes outside 0x20-0x7e);
// events carry their text.
std::string formatTraceLine(uint64_t sinceStartUs, TraceDirection dir, const LineSettings& line,
                            std::span<const uint8_t> bytes, std::string_view text = {});
void appendTraceLine(std::string& out, uint64_t sinceStartUs, TraceDirection dir,
                     const LineSettings& line, std::span<const uint8_t> bytes,
                     std::string_view text = {});

// Lines reach the sink with the frame sent or the event that follows them: a reply's line is
// written once the next command's bytes are on their way, so that tracing adds no time between a
// reply and the next command. flush() (and the end of the trace) writes what is left.

class FrameTrace {
 public:
  // Starts the trace now (time 0) with a first line "# <title>".
  FrameTrace(Clock& clock, std::unique_ptr<TraceSink> sink, std::string_view title);
  ~FrameTrace();
  FrameTrace(const FrameTrace&) = delete;
  FrameTrace& operator=(const FrameTrace&) = delete;

  // Bytes written by one call (an exchange's command, however many write calls it took).
  void sent(const LineSettings& line, std::span<const uint8_t> bytes);
  // Bytes read. The reads of one group go on one line; outside a group, reads follow each other on
  // one line until a write, an event, a change of line settings or a pause of kQuietUs.
  void received(const LineSettings& line, std::span<const uint8_t> bytes);
  // Brackets the reads of one reply (an exchange's, a length-prefixed text, bytes read away).
  void beginGroup() { inGroup_ = true; }
  void endGroup();
  // A port event of its own line: open, settings, close, a failure.
  void event(const LineSettings& line, std::string_view text);

  // Writes every line so far, the reply still being collected included.
  void flush();
  // The sink's error once a line could not be written; the trace then stops, the run goes on.
  int error() const { return sink_->error(); }
  std::string where() const { return sink_->where(); }

  // A pause after which further reads outside a group start a new line.
  static constexpr uint64_t kQuietUs = 20'000;

 private:
  // Puts the bytes read so far on their line, to be written with the next one.
  void closeReceived();
  void write();
  uint64_t sinceStart() { return clock_.nowUs() - startUs_; }

  Clock& clock_;
  std::unique_ptr<TraceSink> sink_;
  uint64_t startUs_;
  bool inGroup_ = false;
  // Bytes read but not yet on a line: when the first came, the last, and their settings.
  std::vector<uint8_t> pending_;
  uint64_t pendingAtUs_ = 0;
  uint64_t lastReadUs_ = 0;
  LineSettings pendingLine_;
  std::string out_;  // lines not yet written
};

}  // namespace qdqm
