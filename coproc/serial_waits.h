// Waits on the serial line for what a coprocessor sends of its own accord: a given text at the end
// of whatever else arrives, or any input at all. Cycles of 1 ms; neither pumps window events nor
// looks at the Esc key.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/serial_port.h"

namespace qdqm {

// 1 as soon as the newest received bytes equal `text` (1 to 255 characters), reading one byte a
// cycle; 0 after C cycles or when the port's state cannot be read. Nothing is discarded.
int waitForText(SerialPort& port, std::string_view text, uint32_t C);
// 1 as soon as a byte waits in the input queue (nothing is read); 0 after C cycles.
int waitForAnyInput(SerialPort& port, uint32_t C);

}  // namespace qdqm
