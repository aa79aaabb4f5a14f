// The MPEG decoder's boot loader: binary frames carrying short texts (type, command letter, 0,
// payload length, payload), answered by length-prefixed texts that start with fixed prefixes.
// Addresses and lengths in the texts are lower-case hex without leading zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "link/serial_port.h"

namespace qdqm {

// Where the image goes in the decoder's flash: the erase starts here, and the first block.
constexpr uint32_t kDecoderFlashBase = 0x2C020000;

// "B": into the boot loader (answered by "BTL:: BootLoader Version: ..."). writeBytes' result.
int requestBootMode(SerialPort& port);
// Erases the decoder flash from the base over `length` bytes; 1 when the frame went out whole and
// "FLM:: Erase Flash from:" came within T cycles.
int eraseDecoderFlash(SerialPort& port, uint32_t length, uint32_t T);
// The header of a RAM load of `length` bytes (the bytes follow one by one). writeBytes' result.
int loadBlockToRam(SerialPort& port, uint16_t length);
// Writes the block loaded into RAM to the flash at `address`; 1 when the frame went out whole and
// "FLM:: Write Flash from" came within T cycles.
int writeDecoderFlash(SerialPort& port, uint32_t address, uint16_t length, uint32_t T);
// 1 when the decoder's application reports the version after the first "." of the file's name
// proper; a forced ("U") or version-less name asks nothing.
int decoderVersionTest(SerialPort& port, std::string_view fileName);

// The boot loader's answers to the boot request and to a RAM load start with these.
constexpr std::string_view kBootAnswer = "BTL:: BootLoader Version:";
constexpr std::string_view kRamLoadAnswer = "Prog loaded in RAM Start:";

}  // namespace qdqm
