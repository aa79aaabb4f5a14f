#include "coproc/serial_waits.h"

#include <string>

namespace qdqm {
namespace {

constexpr uint32_t kCycleMs = 1;
// The received bytes kept for the comparison; older ones are dropped.
constexpr size_t kWindow = 1023;
constexpr size_t kLongestText = 255;

}  // namespace

int waitForText(SerialPort& port, std::string_view text, uint32_t C) {
  if (!port.isOpen() || text.empty() || text.size() > kLongestText) return 0;
  SerialDevice& device = *port.device;
  long waiting = device.clearErrorAndCountWaiting();
  if (waiting < 0) return 0;
  std::string window;
  while (C > 0) {
    --C;
    port.clock.sleepMs(kCycleMs);
    // A line that has gone away sends nothing more; its remaining cycles are not waited out.
    if (device.lost()) return 0;
    waiting = device.clearErrorAndCountWaiting();
    if (waiting <= 0) continue;
    uint8_t byte = 0;
    size_t got = 0;
    if (readBytes(port, &byte, 1, got) != 1 || got != 1) continue;
    window.push_back(static_cast<char>(byte));
    if (window.size() > kWindow) window.erase(0, window.size() - kWindow);
    if (window.ends_with(text)) return 1;
  }
  return 0;
}

int waitForAnyInput(SerialPort& port, uint32_t C) {
  if (!port.isOpen()) return 0;
  SerialDevice& device = *port.device;
  if (device.clearErrorAndCountWaiting() < 0) return 0;
  while (C > 0) {
    --C;
    port.clock.sleepMs(kCycleMs);
    if (device.lost()) return 0;
    if (device.clearErrorAndCountWaiting() > 0) return 1;
  }
  return 0;
}

}  // namespace qdqm
