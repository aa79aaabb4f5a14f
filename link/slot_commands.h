// Commands carried through a base unit to the module in one slot: a slot frame names the slot,
// the mode letter, how many reply bytes the base unit is to collect and for how long, and carries
// the module's command. The base unit answers the module's reply followed by the slot number.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace qdqm {

enum class SlotLetter : uint8_t { P = 'P', Q = 'Q', S = 'S', T = 'T' };

// What the slot commands know of the module in a slot: its type code (0 for one found by asking
// it), its protocol, whether a module answered, and the type directory it names.
struct SlotModule {
  uint8_t typeCode = 0;
  uint8_t recordProtocol = 0;  // slotRecordProtocol
  bool present = false;
  std::string dirSpec;
};

// Sends `payload` to slot n and collects the module's m reply bytes within timeoutMs (the base
// unit's time-out; the PC waits timeoutMs + 1001 cycles). 1 when they came and the byte behind
// them is the slot number; `reply`, when given, receives the m bytes.
int slotExchange(SerialPort& port, SlotLetter letter, uint8_t slot,
                 std::span<const uint8_t> payload, size_t m, uint32_t timeoutMs,
                 std::vector<uint8_t>* reply = nullptr);
int slotExchange(SerialPort& port, SlotLetter letter, uint8_t slot, std::string_view payload,
                 size_t m, uint32_t timeoutMs, std::vector<uint8_t>* reply = nullptr);

// "UU" to the module; its answer is not looked at.
void slotSyncBytes(SerialPort& port, uint8_t slot, uint32_t timeoutMs);
// Asks the module in the slot for its type, raw then in the record protocol; the type, or "empty".
// A module found sets the entry's present flag, directory spec and protocol, and its type code
// to 0 (every later command then chooses by the protocol).
std::string slotIdentify(SerialPort& port, uint8_t slot, SlotModule& entry);
// Puts the module's controller into its boot loader; 1/0.
int slotWakeBootLoader(SerialPort& port, uint8_t slot, uint8_t typeCode);
// 1 on ".", 0 when nothing came, else the module's erase result code.
int slotEraseFlash(SerialPort& port, uint8_t slot, uint8_t typeCode, uint8_t recordProtocol);
int slotSelectController(SerialPort& port, uint8_t slot, uint8_t typeCode, uint8_t recordProtocol);
// The coprocessor's update mode, data blocks and length, as the direct update-mode frames but
// through the slot. QM292 modules from version 1.00 to 1.05 take letter Q.
int slotEnterUpdateMode(SerialPort& port, uint8_t slot, uint8_t typeCode,
                        unsigned moduleVersionNumber);
int slotSendDataBlock(SerialPort& port, uint8_t slot, const uint8_t* data, size_t length,
                      uint32_t timeoutMs, uint8_t typeCode, unsigned moduleVersionNumber);
int slotSendDataLength(SerialPort& port, uint8_t slot, uint32_t value, uint8_t typeCode,
                       unsigned moduleVersionNumber);
// The checksum check. Base units up to version 2.21 cannot wait longer than 25.5 s for it: they
// get letter P and, when the module's answer then is not "O", the user is told to check the
// module's version with the handset, and the step counts as done.
int slotCheckCrc(SerialPort& port, uint8_t slot, uint32_t crc, uint32_t timeoutMs,
                 const std::array<uint8_t, 3>& baseUnitVersion);
int slotEraseFpga(SerialPort& port, uint8_t slot, uint8_t typeCode);

}  // namespace qdqm
