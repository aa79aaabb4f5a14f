#include "link/version_query.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <span>

#include "link/slot_commands.h"
#include "link/type_codes.h"

namespace qdqm {
namespace {

constexpr std::string_view kVersionPrefix = "Ver.: ";
constexpr std::string_view kNoQueryText = "Ver.: n.a.";
constexpr size_t kBlockBytes = 16;
constexpr size_t kVersionChars = 4;
constexpr size_t kLongestReply = 17;

struct Payload {
  std::array<uint8_t, 3> bytes;
  size_t size;
  std::span<const uint8_t> span() const { return {bytes.data(), size}; }
};

// The version queries whose reply is a version block: the query, the reply length, the wait (in
// exchange cycles when asked directly, in ms through a slot), where the version's four characters
// start in the reply (asked directly / through a slot), and for two-block modules the query of the
// second block. The plain group is asked only through a slot.
struct BlockQuery {
  TypeGroup group;
  Payload query;
  size_t replyLength;
  uint32_t wait;
  size_t directTextAt, slotTextAt;
  Payload second;  // size 0: one block only
  bool direct;
};
constexpr BlockQuery kBlockQueries[] = {
    {TypeGroup::QM292, {{0x15, 0x20, 0x00}, 3}, 17, 1000, 0, 0, {}, true},
    {TypeGroup::QM20, {{0x15, 0x20, 0x00}, 3}, 17, 1000, 0, 0, {}, true},
    {TypeGroup::QM21, {{0x14, 0x03}, 2}, 16, 4000, 2, 2, {}, true},
    {TypeGroup::QM21M, {{0x14, 0x03}, 2}, 16, 4000, 2, 1, {}, true},
    {TypeGroup::QM23, {{0x14, 0x04}, 2}, 16, 4000, 2, 2, {}, true},
    {TypeGroup::QM4x, {{0x14, 0x02}, 2}, 16, 4000, 2, 1, {{0x14, 0x03}, 2}, true},
    {TypeGroup::Plain, {{0x14, 0x00}, 2}, 16, 4000, 2, 2, {}, false},
};

using Reply = std::vector<uint8_t>;
// One query and its reply of `length` bytes; 1 when it came.
using Ask = std::function<int(const Payload& query, size_t length, uint32_t wait, Reply& reply)>;

const BlockQuery* blockQueryFor(uint8_t typeCode) {
  const TypeGroup group = typeGroupOf(typeCode);
  const auto row = std::find_if(std::begin(kBlockQueries), std::end(kBlockQueries),
                                [group](const BlockQuery& q) { return q.group == group; });
  return row == std::end(kBlockQueries) ? nullptr : &*row;
}

std::string versionText(const Reply& reply, size_t at) {
  std::string text(kVersionPrefix);
  for (size_t i = at; i < at + kVersionChars; ++i)
    text += static_cast<char>(i < reply.size() ? reply[i] : 0);
  return text;
}

// Asks for the block and, for two-block modules when a block is wanted, the second one, whose
// answer is not examined: a module that sends only the first still shows its version, and its
// block then fails every version test.
std::string queryBlock(const Ask& ask, const BlockQuery& q, size_t textAt, VersionBlock* block) {
  Reply reply;
  if (!ask(q.query, q.replyLength, q.wait, reply)) return std::string(kUnknownVersionText);
  if (block) {
    std::copy_n(reply.begin(), kBlockBytes, block->bytes.begin());
    block->bytes[kBlockBytes] = 0;
  }
  if (q.second.size == 0 || !block) return versionText(reply, textAt);
  Reply second;
  const int answered = ask(q.second, q.replyLength, q.wait, second);
  second.resize(kBlockBytes);
  std::copy_n(second.begin(), kBlockBytes, block->bytes.begin() + kBlockBytes);
  block->bytes[2 * kBlockBytes] = 0;
  return versionText(answered ? second : reply, textAt);
}

// A slot module found by asking it directly: its controller's software version, as text.
std::string selfVersion(SerialPort& port, uint8_t slot, uint8_t recordProtocol) {
  Reply reply;
  if (recordProtocol) {
    if (!slotExchange(port, SlotLetter::T, slot, ":050000090000000011e1", 6, 1000, &reply))
      return std::string(kUnknownVersionText);
    return "Ver.:" + std::string(reply.begin(), reply.begin() + 2) + "." +
           std::string(reply.begin() + 2, reply.begin() + 4);
  }
  if (!slotExchange(port, SlotLetter::P, slot, ":0100000502f8", 2, 1000, &reply))
    return std::string(kUnknownVersionText);
  char text[16];
  std::snprintf(text, sizeof text, "Ver.:%02x.%02x", reply[0], reply[1]);
  if (text[5] == '0') text[5] = ' ';  // 0x02 0x21 reads "Ver.: 2.21"
  return text;
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
  const BlockQuery* q = blockQueryFor(typeCode);
  if (!port.isOpen() || q == nullptr || !q->direct) return std::string(kUnknownVersionText);
  const Ask ask = [&](const Payload& query, size_t length, uint32_t T, Reply& reply) {
    reply.assign(kLongestReply + 4, 0);
    return exchange(port, query.span(), reply, length, T);
  };
  return queryBlock(ask, *q, q->directTextAt, block);
}

std::string slotReadVersion(SerialPort& port, uint8_t slot, uint8_t typeCode, VersionBlock* block,
                            uint8_t recordProtocol) {
  if (block) block->bytes[0] = 0;
  if (!port.isOpen()) return std::string(kUnknownVersionText);
  const TypeGroup group = typeGroupOf(typeCode);
  if (group == TypeGroup::Self) return selfVersion(port, slot, recordProtocol);
  if (group == TypeGroup::QM61) {
    Reply reply;
    const std::array<uint8_t, 3> query{0x15, 0x11, 0x00};
    if (!slotExchange(port, SlotLetter::P, slot, query, 2, 1000, &reply))
      return std::string(kUnknownVersionText);
    char text[24];
    std::snprintf(text, sizeof text, "Ver.: %u.%02u", unsigned{reply[0]}, unsigned{reply[1]});
    // The block holds the first 10 characters of the text.
    if (block) {
      const std::string_view first = std::string_view(text).substr(0, 10);
      std::copy(first.begin(), first.end(), block->bytes.begin());
      block->bytes[first.size()] = 0;
    }
    return text;
  }
  const BlockQuery* q = blockQueryFor(typeCode);
  if (q == nullptr) return std::string(kNoQueryText);
  const Ask ask = [&](const Payload& query, size_t length, uint32_t ms, Reply& reply) {
    return slotExchange(port, SlotLetter::P, slot, query.span(), length, ms, &reply);
  };
  return queryBlock(ask, *q, q->slotTextAt, block);
}

}  // namespace qdqm
