// The controller's coprocessor update mode: short binary frames through which the controller
// passes an image on to its FPGA or MPEG decoder in blocks and lets it check a final checksum.
// Each frame is one exchange; the controller confirms with a fixed reply byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

namespace qdqm {

// "15 01 01", then the mode frame for the type code's group; 1 when the controller answers 0xE0.
// Type code 0: 1 without sending; a code without a mode frame: 0 without sending.
int enterCoprocessorUpdateMode(SerialPort& port, uint8_t typeCode);
// One block of n (0 to 255) bytes; t is the module's time-out in ms. n = 0 sends nothing.
int sendDataBlock(SerialPort& port, const uint8_t* bytes, size_t n, uint32_t t);
// The image's payload length.
int sendDataLength(SerialPort& port, uint32_t value);
// The checksum over the image (a CRC-16 as 0x0000hhll); 1 when the coprocessor answers "O".
int checkCrc(SerialPort& port, uint32_t crc, uint32_t t);
// Erases the FPGA flash of a module with an FPGA behind its controller (type code 0x5E); code 0:
// 1 without sending; any other code: 0 without sending.
int eraseFpga(SerialPort& port, uint8_t typeCode);

}  // namespace qdqm
