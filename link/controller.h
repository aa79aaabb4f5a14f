// The module controller's command set: fixed frames in HEX-record syntax (or short binary frames),
// each one exchange with a fixed reply length and time-out. Controllers answer either raw (the data
// itself) or in the record protocol (the command echoed first); identifyModule detects which and
// keeps it in port.state.recordProtocol. Every command returns 0 when the port is closed.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/serial_port.h"

namespace qdqm {

constexpr uint8_t kAckChar = '.';
// The rate every controller listens at after power-on, a reset or a failed speed switch.
constexpr uint32_t kNormalRate = 19200;

// Room identifyModule needs in the caller's type buffer: 5 type characters plus 4 surplus bytes.
constexpr size_t kModuleTypeBuffer = 9;

int syncBytes(SerialPort& port, uint8_t* reply);
int queryType(SerialPort& port, uint8_t* type);
int queryTypeRecord(SerialPort& port, uint8_t* type);
// major, minor in version[0], version[1].
int readSoftwareVersion(SerialPort& port, uint8_t* version);
// In the record protocol the two characters are passed on undecoded.
int readBootLoaderVersion(SerialPort& port, uint8_t* version);
int readHardwareInfo(SerialPort& port, uint8_t* info);
int selectController(SerialPort& port);
int enterFpgaUpdateMode(SerialPort& port);
int enterMpegUpdateMode(SerialPort& port);

// 1 on ".", else the module's result code (0 when the exchange failed).
int eraseFlash(SerialPort& port);
int eraseFlashQM4x(SerialPort& port);
int eraseFlashQD09(SerialPort& port);

// The result of an erase from the boot loader's answer byte: 1 for ".", else the byte as its result
// code. The bytes 0x00 and 0x01 are no code it defines and would read as "no answer" or as success:
// they are passed on above the byte range, so they show as an unknown code.
constexpr int eraseResultCode(uint8_t answer) {
  return answer == kAckChar ? 1 : answer <= 1 ? 0x100 | answer : answer;
}

// Switches the controller into its boot loader at 2400 baud; leaves the line at 19200.
int wakeBootLoader(SerialPort& port);
// type receives 5 characters (the buffer holds kModuleTypeBuffer bytes, unterminated).
int identifyModule(SerialPort& port, uint8_t* type);
int selectControllerRetry(SerialPort& port);
int switchToHighSpeed(SerialPort& port, const uint8_t* expectedType);
// Sends the controller's own 19200 command (in the protocol of the last identification) at the
// line's current rate, then follows with the line; 1 unless the port is closed.
int returnToNormalRate(SerialPort& port);
// For a controller that a run ended before its restart left at a raised rate: asks for the type at
// 38400, 57600 and 115200 (without the 2400-baud wake-up) and brings the first that answers back
// to 19200. 1 when one answered; the line is at 19200 afterwards either way.
int findModuleAtRaisedRate(SerialPort& port);
inline bool isRecordProtocol(const SerialPort& port) {
  return port.state.recordProtocol;
}

// One command to a controller and its reply. Whatever waits on the line before it is sent cannot
// be its reply (bytes behind an earlier reply, noise): it is read away first. A record protocol
// controller begins its reply to a record (":..." frame) with the record echoed, without its line
// end: bytes ahead of the echo (strays still on their way) are dropped and the reply read on, so
// that the answer stands where the echo puts it; a reply without a recognisable echo is left as
// read.
int exchangeCommand(SerialPort& port, std::string_view command, std::span<uint8_t> reply, size_t m,
                    uint32_t T);

// Value of one hex digit of a record-protocol reply (either case).
uint8_t hexDigitValue(uint8_t c);

}  // namespace qdqm
