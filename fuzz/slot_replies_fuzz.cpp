// The slot commands against a base unit whose answers come from the fuzz input: answers short,
// late, garbled, for another slot or well framed. Every frame sent must be a slot frame, and a
// command may report success only when the answer it collected says so.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/script_line.h"
#include "fuzz/support/scripted_port.h"
#include "link/serial_port.h"
#include "link/slot_commands.h"
#include "link/version_query.h"

namespace qdqm::fuzz {
namespace {

// Type codes the generator picks from: every group, and a few codes of none.
constexpr uint8_t kCodes[] = {0x00, 0x53, 0x57, 0x56, 0x6B, 0x6D, 0x5E, 0x63, 0x67,
                              0x6C, 0x52, 0x5C, 0x66, 0x42, 0x4A, 0x01, 0xFF};

bool isQM292(uint8_t code) {
  return code == 0x53 || code == 0x57 || code == 0x58 || code == 0x59;
}
bool isQM4x(uint8_t code) {
  return (code >= 0x67 && code <= 0x6A) || code == 0x6C;
}
bool isQM23(uint8_t code) {
  return code == 0x5E;
}

// The answers of the base unit, one for each frame the tool sends.
void scriptReplies(FuzzInput& in, ScriptLine& line, uint8_t slot) {
  while (!in.empty()) {
    ScriptLine::Reply r;
    const uint8_t shape = in.byte();
    r.bytes = in.text(40);
    // Most answers end in the slot number, as the base unit frames them.
    if (shape & 1) r.bytes += static_cast<char>(shape & 2 ? slot : in.byte());
    r.afterUs = shape & 4 ? uint64_t{in.byte()} * 1000 : 0;
    r.gapUs = shape & 8 ? uint64_t{in.byte()} * 100 : 0;
    line.replies.push_back(r);
  }
}

// The frame layout: 00, slot, letter, payload length + 2, m, time-out, payload.
void expectSlotFrames(const ScriptLine& line, uint8_t slot) {
  for (const std::string& w : line.writes) {
    FUZZ_EXPECT(w.size() >= 7 && w[0] == 0 && uint8_t(w[1]) == slot);
    FUZZ_EXPECT(std::string_view("PQST").find(w[2]) != std::string_view::npos);
    FUZZ_EXPECT(size_t(uint8_t(w[3])) + 4 == w.size());
  }
}

// The answer collected to the last frame: the module's m bytes, then the slot number.
struct Answer {
  bool framed = false;
  uint8_t first = 0;
};
Answer lastAnswer(const ScriptLine& line, uint8_t slot) {
  if (line.writes.empty()) return {};
  const size_t m = uint8_t(line.writes.back()[4]);
  const std::string got = line.readSinceLastWrite();
  Answer a;
  a.framed = got.size() >= m + 1 && uint8_t(got[m]) == slot;
  a.first = got.empty() ? 0 : uint8_t(got[0]);
  return a;
}

void run(FuzzInput& in, SerialPort& port, ScriptLine& line, QuietHost& host) {
  const unsigned command = in.below(12);
  const uint8_t slot = static_cast<uint8_t>(in.below(10));
  const uint8_t code = in.flag() ? kCodes[in.below(sizeof kCodes)] : in.byte();
  const uint8_t record = in.byte() & 1;
  const unsigned moduleVersion = in.flag() ? 100 + in.below(8) : in.word();
  // The stages wait at most 40 s for a module through a slot.
  const uint32_t timeoutMs = in.flag() ? in.below(40000) : in.below(256) * 160;
  std::vector<uint8_t> data(in.below(248));
  for (uint8_t& b : data) b = in.byte();
  const std::array<uint8_t, 3> unitVersion{in.byte(), in.byte(), 0};
  const bool wantBlock = in.flag();
  // Mostly the base unit hangs up when the input has no answer left, sometimes it stays silent.
  line.hangUpWhenScriptEnds = in.below(4) != 0;
  scriptReplies(in, line, slot);

  VersionBlock block;
  int r = 0;
  switch (command) {
    case 0: {
      SlotModule entry;
      entry.typeCode = code;
      const std::string type = slotIdentify(port, slot, entry);
      expectSlotFrames(line, slot);
      // A module may call itself "empty"; the present flag, not the name, says a module answered.
      FUZZ_EXPECT(entry.present || type == "empty");
      if (!entry.present) {
        FUZZ_EXPECT(entry.typeCode == code && entry.recordProtocol == 0);
        return;
      }
      FUZZ_EXPECT(type.size() == 5 && entry.typeCode == 0 && lastAnswer(line, slot).framed);
      // The directory: the type, "_", and for a QM21M its hardware digit.
      const std::string dir = ".\\" + type + "_";
      FUZZ_EXPECT(entry.dirSpec.starts_with(dir));
      FUZZ_EXPECT(entry.dirSpec.size() ==
                  dir.size() + (type == "QM21M" && !entry.recordProtocol ? 1 : 0));
      return;
    }
    case 1: {
      const std::string text =
          slotReadVersion(port, slot, code, wantBlock ? &block : nullptr, record);
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(text.starts_with("Ver.:") && text.size() <= 16);
      FUZZ_EXPECT(block.text().size() <= 32);
      if (text == "Ver.: n.a.") FUZZ_EXPECT(line.writes.empty());
      // A version shown came in a framed answer (a two-block module's second query aside).
      if (!isNoVersion(text) && !line.writes.empty() && !(isQM4x(code) && wantBlock))
        FUZZ_EXPECT(lastAnswer(line, slot).framed);
      return;
    }
    case 2: {
      const std::string text = readCoprocessorVersion(port, code, wantBlock ? &block : nullptr);
      FUZZ_EXPECT(text.starts_with("Ver.: ") && text.size() == 10);
      FUZZ_EXPECT(block.text().size() <= 32);
      if (line.writes.empty()) FUZZ_EXPECT(text == "Ver.: ?.??");
      return;
    }
    case 3:
      r = slotWakeBootLoader(port, slot, code);
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(r == 0 || r == 1);
      if (r == 1 && !line.writes.empty()) FUZZ_EXPECT(lastAnswer(line, slot).framed);
      return;
    case 4: {
      r = slotEraseFlash(port, slot, code, record);
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(r >= 0 && r <= 0x101);
      const Answer a = lastAnswer(line, slot);
      // Erased only on the module's ".": any other answer is its result code, never success.
      if (r == 1) FUZZ_EXPECT(a.framed && a.first == '.');
      if (a.framed && a.first != '.') FUZZ_EXPECT(r != 1 && r != 0);
      if (!a.framed) FUZZ_EXPECT(r == 0);
      return;
    }
    case 5: {
      r = slotSelectController(port, slot, code, record);
      expectSlotFrames(line, slot);
      const Answer a = lastAnswer(line, slot);
      FUZZ_EXPECT(r == (!line.writes.empty() && a.framed && a.first == '.' ? 1 : 0));
      return;
    }
    case 6:
      r = slotEnterUpdateMode(port, slot, code, moduleVersion);
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(r == 0 || r == 1);
      if (r == 1 && !line.writes.empty())
        FUZZ_EXPECT(lastAnswer(line, slot).framed && lastAnswer(line, slot).first == 0xE0);
      if (line.writes.size() == 2)
        FUZZ_EXPECT(line.writes[1][2] ==
                    (isQM292(code) && moduleVersion >= 100 && moduleVersion <= 105 ? 'Q' : 'P'));
      return;
    case 7: {
      r = slotSendDataBlock(port, slot, data.data(), data.size(), timeoutMs, code, moduleVersion);
      expectSlotFrames(line, slot);
      if (data.empty()) {
        FUZZ_EXPECT(r == 1 && line.writes.empty());
        return;
      }
      FUZZ_EXPECT(line.writes.size() == 1);
      const std::string& w = line.writes[0];
      FUZZ_EXPECT(uint8_t(w[4]) == 1 && uint8_t(w[5]) == std::min<uint32_t>(timeoutMs / 100, 255));
      FUZZ_EXPECT(w.substr(6, 3) == std::string{0x3A, char(0xE1), char(data.size())});
      FUZZ_EXPECT(w.substr(9) == std::string(data.begin(), data.end()));
      const Answer a = lastAnswer(line, slot);
      FUZZ_EXPECT(r == (a.framed && a.first == 0xE1 ? 1 : 0));
      return;
    }
    case 8: {
      r = slotSendDataLength(port, slot, timeoutMs, code, moduleVersion);
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(line.writes.size() == 1 && line.writes[0].size() == 13);
      const Answer a = lastAnswer(line, slot);
      FUZZ_EXPECT(r == (a.framed && a.first == 0xE1 ? 1 : 0));
      return;
    }
    case 9: {
      r = slotCheckCrc(port, slot, timeoutMs, timeoutMs, unitVersion);
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(line.writes.size() == 1);
      const bool longWait = unitVersion[0] > 2 || (unitVersion[0] == 2 && unitVersion[1] > 0x21);
      FUZZ_EXPECT(line.writes[0][2] == (longWait ? 'S' : 'P'));
      const Answer a = lastAnswer(line, slot);
      const bool handset = !longWait && a.framed && a.first != 'O' && timeoutMs >= 25500;
      FUZZ_EXPECT(r == ((a.framed && a.first == 'O') || handset ? 1 : 0));
      FUZZ_EXPECT(host.boxes == (handset ? 1 : 0));
      return;
    }
    case 10: {
      r = slotEraseFpga(port, slot, code);
      expectSlotFrames(line, slot);
      if (!isQM23(code)) {
        FUZZ_EXPECT(line.writes.empty() && r == (code == 0 ? 1 : 0));
        return;
      }
      const Answer a = lastAnswer(line, slot);
      FUZZ_EXPECT(r == (a.framed && a.first == 0xE3 ? 1 : 0));
      return;
    }
    default: {
      // The bare exchange with an arbitrary payload and reply length.
      std::vector<uint8_t> reply;
      const size_t m = data.empty() ? 0 : data[0];
      r = slotExchange(port, SlotLetter::T, slot, std::span<const uint8_t>(data), m,
                       timeoutMs % 60000, &reply);
      if (data.empty()) {
        FUZZ_EXPECT(r == 0 && line.writes.empty());
        return;
      }
      expectSlotFrames(line, slot);
      FUZZ_EXPECT(reply.size() == m);
      FUZZ_EXPECT(r == (lastAnswer(line, slot).framed ? 1 : 0));
      return;
    }
  }
}

}  // namespace
}  // namespace qdqm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdqm;
  using namespace qdqm::fuzz;
  FuzzInput in(data, size);
  ScriptedPort s;
  run(in, s.port, s.line(), s.host);
  return 0;
}
