#include "slots/version_query.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "slots/type_codes.h"

namespace qdqm {
namespace {

constexpr std::string_view kVersionPrefix = "Ver.: ";
constexpr size_t kBlockBytes = 16;
constexpr size_t kVersionChars = 4;
constexpr size_t kSlack = 4;

struct Payload {
  std::array<uint8_t, 3> bytes;
  size_t size;
};

// One row per group: the query, its reply length and time-out in cycles, where the version's four
// characters start in the reply, and for two-block modules the query of the second block.
struct VersionQuery {
  TypeGroup group;
  Payload query;
  size_t replyLength;
  uint32_t T;
  size_t textAt;
  Payload second;  // size 0: one block only
};
constexpr VersionQuery kQueries[] = {
    {TypeGroup::QM292, {{0x15, 0x20, 0x00}, 3}, 17, 1000, 0, {}},
    {TypeGroup::QM20, {{0x15, 0x20, 0x00}, 3}, 17, 1000, 0, {}},
    {TypeGroup::QM21, {{0x14, 0x03}, 2}, 16, 4000, 2, {}},
    {TypeGroup::QM21M, {{0x14, 0x03}, 2}, 16, 4000, 2, {}},
    {TypeGroup::QM23, {{0x14, 0x04}, 2}, 16, 4000, 2, {}},
    {TypeGroup::QM4x, {{0x14, 0x02}, 2}, 16, 4000, 2, {{0x14, 0x03}, 2}},
};

using Reply = std::array<uint8_t, 17 + kSlack>;

int ask(SerialPort& port, const Payload& p, size_t replyLength, uint32_t T, Reply& reply) {
  return exchange(port, std::span<const uint8_t>(p.bytes.data(), p.size), reply, replyLength, T);
}

std::string versionText(const Reply& reply, size_t at) {
  return std::string(kVersionPrefix) +
         std::string(reinterpret_cast<const char*>(reply.data()) + at, kVersionChars);
}

}  // namespace

std::string_view VersionBlock::text() const {
  return std::string_view(bytes.data(), strnlen(bytes.data(), bytes.size()));
}

bool isNoVersion(std::string_view versionText) {
  return versionText.substr(0, kUnknownVersionCompare) ==
         kUnknownVersionText.substr(0, kUnknownVersionCompare);
}

std::string readCoprocessorVersion(SerialPort& port, uint8_t typeCode, VersionBlock* block) {
  if (block) block->bytes[0] = 0;
  const TypeGroup group = typeGroupOf(typeCode);
  const auto row = std::find_if(std::begin(kQueries), std::end(kQueries),
                                [group](const VersionQuery& q) { return q.group == group; });
  if (!port.isOpen() || row == std::end(kQueries)) return std::string(kUnknownVersionText);
  Reply reply{};
  if (!ask(port, row->query, row->replyLength, row->T, reply))
    return std::string(kUnknownVersionText);
  if (block) {
    std::copy_n(reply.begin(), kBlockBytes, block->bytes.begin());
    block->bytes[kBlockBytes] = 0;
  }
  if (row->second.size == 0 || !block) return versionText(reply, row->textAt);
  // The second block's answer is not examined: a module that sends only the first still shows its
  // version, and its block then fails every version test.
  Reply second{};
  const int answered = ask(port, row->second, row->replyLength, row->T, second);
  std::copy_n(second.begin(), kBlockBytes, block->bytes.begin() + kBlockBytes);
  block->bytes[2 * kBlockBytes] = 0;
  return versionText(answered ? second : reply, row->textAt);
}

}  // namespace qdqm
