#include "link/frame_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qdqm {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

struct DirectionName {
  TraceDirection dir;
  const char* name;
};
constexpr DirectionName kDirectionNames[] = {
    {TraceDirection::Tx, "TX"},
    {TraceDirection::Rx, "RX"},
    {TraceDirection::Event, "--"},
};

struct ParityLetter {
  Parity parity;
  char letter;
};
constexpr ParityLetter kParityLetters[] = {
    {Parity::None, 'N'},
    {Parity::Odd, 'O'},
    {Parity::Even, 'E'},
};

const char* directionName(TraceDirection dir) {
  for (const DirectionName& d : kDirectionNames)
    if (d.dir == dir) return d.name;
  return "??";
}

char parityLetter(Parity p) {
  for (const ParityLetter& l : kParityLetters)
    if (l.parity == p) return l.letter;
  return '?';
}

// Writes the lines it gets with one write call, straight to the file (no buffer to lose).
class TraceFile final : public TraceSink {
 public:
  TraceFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TraceFile() override { ::close(fd_); }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  bool write(std::string_view lines) override {
    if (error_ != 0) return false;
    while (!lines.empty()) {
      const ssize_t w = ::write(fd_, lines.data(), lines.size());
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error_ = w < 0 ? errno : EIO;
        return false;
      }
      lines.remove_prefix(static_cast<size_t>(w));
    }
    return true;
  }
  int error() const override { return error_; }
  std::string where() const override { return path_; }

 private:
  int fd_;
  std::string path_;
  int error_ = 0;
};

}  // namespace

#ifdef _WIN32
// The same bytes as on Linux: no LF turned into CR LF.
constexpr int kTraceOpenFlags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY;
#else
constexpr int kTraceOpenFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY;
#endif

std::unique_ptr<TraceSink> openTraceFile(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), kTraceOpenFlags, 0644);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  error = 0;
  return std::make_unique<TraceFile>(fd, path);
}

void appendTraceLine(std::string& out, uint64_t sinceStartUs, TraceDirection dir,
                     const LineSettings& line, std::span<const uint8_t> bytes,
                     std::string_view text) {
  char head[64];
  const int n = std::snprintf(head, sizeof head, "%10llu.%03u  %s  %6u 8%c1  ",
                              static_cast<unsigned long long>(sinceStartUs / 1000),
                              static_cast<unsigned>(sinceStartUs % 1000), directionName(dir),
                              static_cast<unsigned>(line.baud), parityLetter(line.parity));
  out.append(head, n > 0 ? static_cast<size_t>(n) : 0);
  if (dir == TraceDirection::Event) {
    out.append(text);
    out.push_back('\n');
    return;
  }
  out.reserve(out.size() + bytes.size() * 4 + 4);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.push_back(kHexDigits[bytes[i] >> 4]);
    out.push_back(kHexDigits[bytes[i] & 0x0f]);
  }
  out.append("  |");
  for (const uint8_t b : bytes) out.push_back(b >= 0x20 && b <= 0x7e ? static_cast<char>(b) : '.');
  out.append("|\n");
}

std::string formatTraceLine(uint64_t sinceStartUs, TraceDirection dir, const LineSettings& line,
                            std::span<const uint8_t> bytes, std::string_view text) {
  std::string out;
  appendTraceLine(out, sinceStartUs, dir, line, bytes, text);
  return out;
}

FrameTrace::FrameTrace(Clock& clock, std::unique_ptr<TraceSink> sink, std::string_view title)
    : clock_(clock), sink_(std::move(sink)), startUs_(clock.nowUs()) {
  out_ = "# ";
  out_.append(title);
  out_.push_back('\n');
  write();
}

FrameTrace::~FrameTrace() {
  flush();
}

void FrameTrace::sent(const LineSettings& line, std::span<const uint8_t> bytes) {
  closeReceived();
  appendTraceLine(out_, sinceStart(), TraceDirection::Tx, line, bytes);
  write();
}

void FrameTrace::received(const LineSettings& line, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  const uint64_t now = sinceStart();
  if (!pending_.empty() && (line != pendingLine_ || (!inGroup_ && now - lastReadUs_ >= kQuietUs)))
    closeReceived();
  if (pending_.empty()) {
    pendingAtUs_ = now;
    pendingLine_ = line;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  lastReadUs_ = now;
}

void FrameTrace::endGroup() {
  inGroup_ = false;
  closeReceived();
}

void FrameTrace::event(const LineSettings& line, std::string_view text) {
  closeReceived();
  appendTraceLine(out_, sinceStart(), TraceDirection::Event, line, {}, text);
  write();
}

void FrameTrace::flush() {
  closeReceived();
  write();
}

void FrameTrace::closeReceived() {
  if (pending_.empty()) return;
  appendTraceLine(out_, pendingAtUs_, TraceDirection::Rx, pendingLine_, pending_);
  pending_.clear();
}

void FrameTrace::write() {
  // A trace that cannot be written ends; the procedure it watches goes on untouched.
  if (!out_.empty() && sink_->error() == 0) sink_->write(out_);
  out_.clear();
}

}  // namespace qdqm
