// The MPEG decoder's own text commands, once the controller has routed the line to it: plain
// ASCII, nothing added (no line end unless listed), most of them written without waiting for a
// reply; the decoder's answers are found with waitForText.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "link/serial_port.h"

namespace qdqm {

// File names are copied into buffers of 256 characters: at most 255 of them count.
constexpr size_t kMaxNameCopy = 255;

// The swid decoder's version reply: 19 bytes, read by textVersionTest.
constexpr size_t kSwidVersionLength = 19;
using SwidVersion = std::array<uint8_t, kSwidVersionLength + 4>;

// "name\r"; the 4 reply bytes are not looked at.
int queryDecoderName(SerialPort& port);
// "swid\r" and its 19-byte reply; 1 when all 19 arrived.
int querySwidVersion(SerialPort& port, SwidVersion& reply);
// "boot\r", then ten "U" bytes 50 ms apart: the swid decoder's update mode. Always 1.
int sendDecoderBoot(SerialPort& port);
// "REST", any answer, four "D" bytes, then "Waiting" from the decoder's loader; 1 when it came.
int enterDecoderLoader(SerialPort& port);
// "VERS" and the version written in the file name among the bytes that answer it; 1 when it came
// (the decoder is up to date). A file name without version, or a forced ("U") one, asks nothing.
int queryDecoderVersion(SerialPort& port, std::string_view fileName);
// The version text queryDecoderVersion looks for: the name proper up to its first "." after the
// first character, "_" read as "." ("V2_13.bin" -> "V2.13"); empty for none.
std::string decoderVersionText(std::string_view fileName);
// What both version questions of the decoder's application share: `query` written without
// waiting for a reply, then 1 when `version` came among the bytes that answer it; the input is
// discarded after. A forced ("U") or empty name proper, or an empty version, asks nothing (0).
int decoderReportsVersion(SerialPort& port, std::string_view fileName, std::string_view version,
                          std::span<const uint8_t> query);
// "###00@@"; 1 when the loader answered "ACK ".
int sendDecoderStartCode(SerialPort& port);

// What the VERS loader reports after the transfer, in order, and how many cycles each may take.
enum class DecoderProgress { DataOk, Programming, Programmed, Running, Module };
int waitForDecoderProgress(SerialPort& port, DecoderProgress text);

// Writes without waiting for a reply (the exchange returns at once).
int writeWithoutReply(SerialPort& port, const uint8_t* bytes, size_t n);

}  // namespace qdqm
