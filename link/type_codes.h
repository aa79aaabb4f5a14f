// The one-byte type codes by which a base unit reports its slot modules, grouped by the command
// variants those modules understand (the version query, the update-mode frame, ...).
#pragma once

#include <cstdint>
#include <string>

namespace qdqm {

enum class TypeGroup { Self, QM292, QM21, QM21M, QM23, QM20, QM4x, QM61, Plain, Unknown };

// Code 0x00 is a module found by asking it directly (Self); codes in no group are Unknown.
TypeGroup typeGroupOf(uint8_t typeCode);

// What the slot search makes of a type code: the module's name ("empty" for codes it does not
// know, 0x00 included), whether it can be updated, its type directory and its protocol.
struct TypeCodeName {
  std::string name;
  bool updatable = false;
  std::string dirSpec;
  uint8_t recordProtocol = 0;
};
TypeCodeName typeCodeName(uint8_t typeCode);

// The codes the stand-alone coprocessor stages address their module's coprocessor with.
constexpr uint8_t kQM292Code = 0x53;
constexpr uint8_t kQM23Code = 0x5E;
constexpr uint8_t kQM4xCode = 0x67;

}  // namespace qdqm
