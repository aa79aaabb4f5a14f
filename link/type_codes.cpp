#include "link/type_codes.h"

#include <algorithm>
#include <iterator>

namespace qdqm {
namespace {

struct GroupCode {
  uint8_t code;
  TypeGroup group;
};
constexpr GroupCode kGroups[] = {
    {0x00, TypeGroup::Self},  {0x53, TypeGroup::QM292}, {0x57, TypeGroup::QM292},
    {0x58, TypeGroup::QM292}, {0x59, TypeGroup::QM292}, {0x56, TypeGroup::QM21},
    {0x5A, TypeGroup::QM21},  {0x6B, TypeGroup::QM21},  {0x6D, TypeGroup::QM21M},
    {0x5E, TypeGroup::QM23},  {0x63, TypeGroup::QM20},  {0x64, TypeGroup::QM20},
    {0x67, TypeGroup::QM4x},  {0x68, TypeGroup::QM4x},  {0x69, TypeGroup::QM4x},
    {0x6A, TypeGroup::QM4x},  {0x6C, TypeGroup::QM4x},  {0x52, TypeGroup::QM61},
    {0x5C, TypeGroup::Plain}, {0x5D, TypeGroup::Plain}, {0x5F, TypeGroup::Plain},
    {0x62, TypeGroup::Plain}, {0x65, TypeGroup::Plain}, {0x66, TypeGroup::Plain},
};

struct NamedCode {
  uint8_t code;
  const char* name;
  bool updatable;
  uint8_t recordProtocol;
};
constexpr NamedCode kNames[] = {
    {0x42, "QM37_", false, 0}, {0x43, "QM39_", false, 0}, {0x44, "QM38_", false, 0},
    {0x45, "QM31_", false, 0}, {0x4A, "QM32_", false, 0}, {0x50, "QM66_", false, 0},
    {0x51, "QM66S", false, 0}, {0x52, "QM61_", false, 0}, {0x53, "QM292", true, 0},
    {0x54, "QM76_", false, 0}, {0x55, "QM76S", false, 0}, {0x56, "QM21_", true, 0},
    {0x57, "QM292", true, 0},  {0x58, "QM292", true, 0},  {0x59, "QM292", true, 0},
    {0x5A, "QM21_", true, 0},  {0x5C, "QM33_", false, 0}, {0x5D, "QM33_", false, 0},
    {0x5E, "QM23_", true, 0},  {0x5F, "QM61A", false, 0}, {0x60, "QM34_", false, 0},
    {0x61, "QM30_", false, 0}, {0x62, "QM63_", false, 0}, {0x63, "QM20C", true, 0},
    {0x64, "QM20T", true, 0},  {0x65, "QM76A", false, 0}, {0x66, "QM66A", false, 0},
    {0x67, "QM492", true, 1},  {0x68, "QM492", true, 1},  {0x69, "QM492", true, 1},
    {0x6A, "QM492", true, 1},  {0x6B, "QM21H", true, 0},  {0x6C, "QM40_", true, 1},
    {0x6D, "QM21M", true, 0},
};
// The QM21M's files are for its hardware revision 2; no other module's directory has a suffix.
constexpr uint8_t kRevision2Code = 0x6D;

}  // namespace

TypeCodeName typeCodeName(uint8_t typeCode) {
  TypeCodeName result;
  const auto it = std::find_if(std::begin(kNames), std::end(kNames),
                               [typeCode](const NamedCode& n) { return n.code == typeCode; });
  result.name = it == std::end(kNames) ? "empty" : it->name;
  if (it != std::end(kNames)) {
    result.updatable = it->updatable;
    result.recordProtocol = it->recordProtocol;
  }
  result.dirSpec = ".\\" + result.name + "_" + (typeCode == kRevision2Code ? "2" : "");
  return result;
}

TypeGroup typeGroupOf(uint8_t typeCode) {
  const auto it = std::find_if(std::begin(kGroups), std::end(kGroups),
                               [typeCode](const GroupCode& g) { return g.code == typeCode; });
  return it == std::end(kGroups) ? TypeGroup::Unknown : it->group;
}

}  // namespace qdqm
