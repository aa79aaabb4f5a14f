#include "tests/support/sim_line.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>

namespace qdqm::testing {

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
// Read time-outs of the line: 1 ms between bytes, 1 ms + 1 ms per requested byte in total.
constexpr uint64_t kInterByteUs = 1000;
constexpr uint64_t kTotalBaseUs = 1000;
constexpr uint64_t kTotalPerByteUs = 1000;

sim::Parity simParity(qdqm::Parity p) {
  switch (p) {
    case qdqm::Parity::Odd:
      return sim::Parity::Odd;
    case qdqm::Parity::Even:
      return sim::Parity::Even;
    case qdqm::Parity::None:
      break;
  }
  return sim::Parity::None;
}

// The handle the tool holds; the line itself stays with the opener so tests can inspect it.
class Handle final : public qdqm::SerialDevice {
 public:
  explicit Handle(SimLine& line) : l(line) {}
  bool hasModemLines() const override { return l.hasModemLines(); }
  std::string name() const override { return l.name(); }
  bool setQueueSizes(size_t i, size_t o) override { return l.setQueueSizes(i, o); }
  bool readSettings(qdqm::LineSettings& out) override { return l.readSettings(out); }
  bool writeSettings(const qdqm::LineSettings& s) override { return l.writeSettings(s); }
  bool setReadTimeouts() override { return l.setReadTimeouts(); }
  bool readEventMask() override { return l.readEventMask(); }
  bool addReceiveEvent() override { return l.addReceiveEvent(); }
  long write(const uint8_t* data, size_t n) override { return l.write(data, n); }
  void waitForInput(uint32_t us) override { l.waitForInput(us); }
  long read(uint8_t* buffer, size_t n) override { return l.read(buffer, n); }
  long clearErrorAndCountWaiting() override { return l.clearErrorAndCountWaiting(); }
  bool lost() const override { return l.lost(); }

 private:
  SimLine& l;
};

}  // namespace

sim::Line SimLine::line() const {
  return sim::Line{settings_.baud, simParity(settings_.parity)};
}

void SimLine::trouble(Trouble kind, size_t afterBytes, uint32_t value) {
  trouble_ = kind;
  troubleAfter_ = afterBytes;
  troubleValue_ = value;
  triggered_ = false;
  troubledBytes_ = 0;
  if (kind == Trouble::Noise) {
    static constexpr uint8_t kNoise[] = {0x2E, 0x55, 0xFF, 0x00, 0x7E, 0x43, 0x2E, 0xE0};
    for (uint32_t i = 0; i < value; ++i) input_.push_back(kNoise[i % std::size(kNoise)]);
    trouble_ = Trouble::None;
    return;
  }
  if (afterBytes > 0) return;
  if (kind == Trouble::Lost) lost_ = true;
  triggered_ = true;
  triggerUs_ = clock_.nowUs();
}

bool SimLine::readSettings(qdqm::LineSettings& out) {
  if (lost_) return false;
  out = settings_;
  return true;
}

bool SimLine::writeSettings(const qdqm::LineSettings& settings) {
  requested_ = settings;
  if (lost_ || (noParity_ && settings.parity != qdqm::Parity::None)) return false;
  const uint32_t baud = missingRates_.contains(settings.baud) ? settings_.baud : settings.baud;
  settings_ = settings;
  settings_.baud = baud;
  return true;
}

void SimLine::flipBits(Way w, double rate, uint64_t seed) {
  WayState& state = way(w);
  state.rate = rate;
  state.random.seed(seed);
  if (rate > 0) state.nextFlip = state.done.bytes * 8 + nextFlipGap(state);
}

const SimLine::WireFault* SimLine::wireFault(Way w, Damage damage) const {
  const uint64_t next = (w == Way::ToDevice ? toDevice_ : toTool_).done.bytes;
  for (const WireFault& f : wireFaults_) {
    if (f.way == w && f.damage == damage && f.at == next) return &f;
  }
  return nullptr;
}

uint64_t SimLine::nextFlipGap(WayState& w) {
  // The bits between two flips: a geometric draw at the rate.
  return std::geometric_distribution<uint64_t>(std::min(w.rate, 1.0))(w.random);
}

uint8_t SimLine::flip(WayState& w, uint8_t byte) {
  if (w.rate <= 0) return byte;
  const uint8_t sent = byte;
  const uint64_t end = (w.done.bytes + 1) * 8;
  while (w.nextFlip < end) {
    byte ^= static_cast<uint8_t>(1u << (w.nextFlip % 8));
    ++w.done.flippedBits;
    w.nextFlip += 1 + nextFlipGap(w);
  }
  if (byte != sent) ++w.done.flippedBytes;
  return byte;
}

long SimLine::write(const uint8_t* data, size_t n) {
  if (lost_) return -EIO;
  if (trouble_ == Trouble::Lost && !triggered_ && n > troubleAfter_) {
    lost_ = triggered_ = true;
    triggerUs_ = clock_.nowUs();
    return -EIO;
  }
  // The line goes away under the write that would carry the byte it was set to go at.
  for (const WireFault& f : wireFaults_) {
    const uint64_t first = toDevice_.done.bytes;
    if (f.damage == Damage::Gone && f.way == Way::ToDevice && f.at >= first && f.at < first + n) {
      lost_ = toDevice_.done.gone = true;
      return -EIO;
    }
  }
  const sim::Line at = line();
  const uint64_t byteUs = sim::byteTimeUs(at);
  // A full output queue holds the writer until the bytes fit.
  if (outputQueue_ > 0 && sendingUntilUs_ + n * byteUs > clock_.nowUs() + outputQueue_ * byteUs)
    clock_.sleepUntilUs(sendingUntilUs_ + n * byteUs - outputQueue_ * byteUs);
  const uint64_t now = clock_.nowUs();
  writes.push_back(Written{now, std::vector<uint8_t>(data, data + n), settings_});
  uint64_t t = std::max(now, sendingUntilUs_);
  for (size_t i = 0; i < n; ++i) {
    WayState& w = toDevice_;
    if (const WireFault* gap = wireFault(Way::ToDevice, Damage::Gap)) {
      t += uint64_t{gap->ms} * 1000;
      ++w.done.delayed;
      w.done.longestGapMs = std::max(w.done.longestGapMs, gap->ms);
    }
    t += byteUs;
    const bool dropped = wireFault(Way::ToDevice, Damage::Drop) != nullptr;
    const bool twice = wireFault(Way::ToDevice, Damage::Duplicate) != nullptr;
    const uint8_t byte = flip(w, data[i]);
    ++w.done.bytes;
    if (dropped) {
      ++w.done.dropped;
    } else {
      device_.receive(byte, at, t);
      if (twice) {
        t += byteUs;
        device_.receive(byte, at, t);
        ++w.done.duplicated;
      }
    }
    if (trouble_ == Trouble::None || triggered_) continue;
    if (trouble_ != Trouble::Lost && troubleAfter_ == 1) {
      triggered_ = true;
      triggerUs_ = t;
    }
    --troubleAfter_;
  }
  sendingUntilUs_ = t;
  return static_cast<long>(n);
}

uint64_t SimLine::arrival(uint64_t doneUs) const {
  uint64_t at = doneUs;
  if (trouble_ == Trouble::Late && troubled(doneUs)) at += troubleValue_ * 1000ull;
  if (const WireFault* gap = wireFault(Way::ToTool, Damage::Gap)) at += uint64_t{gap->ms} * 1000;
  return std::max(at, toTool_.stalledUntilUs);
}

void SimLine::collect() {
  auto& out = device_.output();
  const sim::Line at = line();
  while (!out.empty() && arrival(out.front().doneUs) <= clock_.nowUs()) {
    const sim::Emission& e = out.front();
    uint8_t byte = e.line == at ? e.byte : sim::garble(e.byte);
    const bool troubled = this->troubled(e.doneUs);
    if (troubled && trouble_ == Trouble::Garble && troubledBytes_ == troubleValue_)
      byte = sim::garble(byte);
    if (troubled) ++troubledBytes_;
    WayState& w = toTool_;
    if (wireFault(Way::ToTool, Damage::Gone)) lost_ = w.done.gone = true;
    if (const WireFault* gap = wireFault(Way::ToTool, Damage::Gap)) {
      // The bytes that were behind it on the wire come right after it.
      w.stalledUntilUs = arrival(e.doneUs);
      ++w.done.delayed;
      w.done.longestGapMs = std::max(w.done.longestGapMs, gap->ms);
    }
    const bool dropped = wireFault(Way::ToTool, Damage::Drop) != nullptr;
    const bool twice = wireFault(Way::ToTool, Damage::Duplicate) != nullptr;
    byte = flip(w, byte);
    ++w.done.bytes;
    out.pop_front();
    if (dropped) ++w.done.dropped;
    if ((troubled && trouble_ == Trouble::Silent) || lost_ || dropped) continue;
    input_.push_back(byte);
    if (twice) {
      input_.push_back(byte);
      ++w.done.duplicated;
    }
  }
}

uint64_t SimLine::nextArrival() const {
  const auto& out = device_.output();
  return out.empty() ? kNever : arrival(out.front().doneUs);
}

void SimLine::waitForInput(uint32_t us) {
  if (lost_) return;
  collect();
  if (!input_.empty()) return;
  const uint64_t deadline = clock_.nowUs() + us;
  clock_.sleepUntilUs(std::min(deadline, nextArrival()));
  collect();
}

long SimLine::read(uint8_t* buffer, size_t n) {
  const long got = readInput(buffer, n);
  if (got > 0)
    reads.push_back(Written{clock_.nowUs(), std::vector<uint8_t>(buffer, buffer + got), settings_});
  return got;
}

long SimLine::readInput(uint8_t* buffer, size_t n) {
  if (lost_) return -EIO;
  const uint64_t total = clock_.nowUs() + kTotalBaseUs + kTotalPerByteUs * n;
  size_t got = 0;
  for (;;) {
    collect();
    // The line went away while the bytes came in.
    if (lost_) return -EIO;
    while (got < n && !input_.empty()) {
      buffer[got++] = input_.front();
      input_.pop_front();
    }
    if (got == n) return static_cast<long>(got);
    // Quiet for the inter-byte time-out once bytes came, or the total time-out: the read ends.
    const uint64_t limit = got ? std::min(total, clock_.nowUs() + kInterByteUs) : total;
    const uint64_t next = nextArrival();
    if (next > limit) {
      clock_.sleepUntilUs(limit);
      return static_cast<long>(got);
    }
    clock_.sleepUntilUs(next);
  }
}

long SimLine::clearErrorAndCountWaiting() {
  if (lost_) return -1;
  collect();
  return static_cast<long>(input_.size());
}

void SimPortOpener::attach(unsigned n, sim::Device& device) {
  // The first line of port n is "simN", later ones "simN.2", "simN.3" ... as a new pty would be.
  std::string name = "sim" + std::to_string(n);
  if (const unsigned generation = ++attached_[n]; generation > 1)
    name += "." + std::to_string(generation);
  if (auto it = lines_.find(n); it != lines_.end()) retired_.push_back(std::move(it->second));
  lines_[n] = std::make_unique<SimLine>(clock_, device, std::move(name));
}

void SimPortOpener::unplug(unsigned n) {
  const auto it = lines_.find(n);
  if (it == lines_.end()) return;
  it->second->unplug();
  retired_.push_back(std::move(it->second));
  lines_.erase(it);
}

std::string SimPortOpener::deviceBehind(unsigned n) const {
  const auto it = lines_.find(n);
  return it == lines_.end() ? std::string() : it->second->name();
}

void SimPortOpener::refuse(unsigned n, int error) {
  refused_[n] = error;
}

std::unique_ptr<qdqm::SerialDevice> SimPortOpener::open(unsigned n, int& error) {
  if (const auto it = refused_.find(n); it != refused_.end()) {
    error = it->second;
    return nullptr;
  }
  const auto it = lines_.find(n);
  if (it == lines_.end()) {
    error = ENOENT;
    return nullptr;
  }
  error = 0;
  return std::make_unique<Handle>(*it->second);
}

SimLine* SimPortOpener::line(unsigned n) {
  const auto it = lines_.find(n);
  return it == lines_.end() ? nullptr : it->second.get();
}

}  // namespace qdqm::testing
