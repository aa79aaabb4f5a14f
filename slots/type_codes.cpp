#include "slots/type_codes.h"

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

}  // namespace

TypeGroup typeGroupOf(uint8_t typeCode) {
  const auto it = std::find_if(std::begin(kGroups), std::end(kGroups),
                               [typeCode](const GroupCode& g) { return g.code == typeCode; });
  return it == std::end(kGroups) ? TypeGroup::Unknown : it->group;
}

}  // namespace qdqm
