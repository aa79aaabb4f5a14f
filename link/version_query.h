// Version queries of coprocessors (MPEG decoders, FPGAs) reached through a module's controller:
// short binary payloads whose raw reply, the version block, carries the version as text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/serial_port.h"

namespace qdqm {

// The raw reply of a version query: 16 bytes and a terminating 0, or 32 bytes and a 0 for the
// modules that report their version in two blocks.
struct VersionBlock {
  std::array<char, 33> bytes{};
  // The block read as text, up to its first 0.
  std::string_view text() const;
};

// What callers compare with to recognise a query that went unanswered.
constexpr std::string_view kUnknownVersionText = "Ver.: ?.??";
constexpr size_t kUnknownVersionCompare = 10;
bool isNoVersion(std::string_view versionText);

// Asks the connected module directly (no slot frame) for its coprocessor's version; the text for
// the window ("Ver.: 1.23"), "Ver.: ?.??" when the module does not answer or the type code has no
// query. The block, when given, receives the raw reply.
std::string readCoprocessorVersion(SerialPort& port, uint8_t typeCode, VersionBlock* block);
// The version of the module in a slot, for the slot panel ("Ver.: 1.23"); "Ver.: ?.??" when it
// does not answer, "Ver.: n.a." when its type code has no version query. A module found by
// asking it directly (type code 0) reports its controller's version.
std::string slotReadVersion(SerialPort& port, uint8_t slot, uint8_t typeCode, VersionBlock* block,
                            uint8_t recordProtocol);

}  // namespace qdqm
